#include "sync/sync_test_support.h"
#include "sync/vant_mutex.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using synctest::FreeForOtherThreads;

TEST(Mutex, IsRecursiveAndExcludesOtherThreadsUntilTheLastUnlock) {
  VANTMutex mutex;
  mutex.Lock();
  mutex.Lock();
  EXPECT_FALSE(FreeForOtherThreads(mutex));
  mutex.Unlock();
  EXPECT_FALSE(FreeForOtherThreads(mutex)) << "one unlock must not free a lock taken twice";
  mutex.Unlock();
  EXPECT_TRUE(FreeForOtherThreads(mutex));
}

TEST(Mutex, ExcludesConcurrentWriters) {
  VANTMutex mutex;
  int64_t counter = 0;
  auto work = [&] {
    for (int i = 0; i < 50000; ++i) {
      VANTMutexLocker locker(mutex);
      counter = counter + 1;
    }
  };
  std::thread a(work);
  std::thread b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 100000);
}

TEST(Mutex2, SecondLockIsIndependentOfTheFirst) {
  VANTMutex2 mutex;
  EXPECT_EQ(mutex.m_counter, 0);
  EXPECT_FALSE(mutex.m_flag);
  mutex.Lock();
  EXPECT_TRUE(FreeForOtherThreads(mutex.m_second));
  mutex.m_second.Lock();
  mutex.Unlock();
  EXPECT_TRUE(FreeForOtherThreads(mutex));
  EXPECT_FALSE(FreeForOtherThreads(mutex.m_second));
  mutex.m_second.Unlock();
}

TEST(MutexLocker, ReleasedByHandThenDestroyedDoesNotReleaseASecondTime) {
  VANTMutex mutex;
  mutex.Lock(); // an outer hold that must survive the locker
  {
    VANTMutexLocker locker(mutex);
    EXPECT_TRUE(locker.IsHeld());
    EXPECT_TRUE(locker.Release());
    EXPECT_FALSE(locker.Release()) << "a second release must do nothing";
  }
  EXPECT_FALSE(FreeForOtherThreads(mutex)) << "the destructor released the outer hold";
  mutex.Unlock();
  EXPECT_TRUE(FreeForOtherThreads(mutex));
}

TEST(MutexLocker, AcquireOnlyWhenReleasedAndReleaseOnEveryWayOut) {
  VANTMutex mutex;
  try {
    VANTMutexLocker locker(&mutex);
    EXPECT_FALSE(locker.Acquire()) << "already held";
    EXPECT_TRUE(locker.Release());
    EXPECT_TRUE(FreeForOtherThreads(mutex));
    EXPECT_TRUE(locker.Acquire());
    EXPECT_FALSE(FreeForOtherThreads(mutex));
    throw -5;
  } catch (int) {
  }
  EXPECT_TRUE(FreeForOtherThreads(mutex)) << "the exception left the mutex held";

  VANTMutexLocker none(nullptr);
  EXPECT_FALSE(none.IsHeld());
  EXPECT_FALSE(none.Acquire());
  EXPECT_FALSE(none.Release());
}

} // namespace
