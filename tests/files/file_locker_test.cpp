#include "files/vant_file_locker.h"
#include "files_test_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using files_test::Exists;
using files_test::ScratchDirectory;
using files_test::WriteAll;

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) {
      ++count;
    }
    ::closedir(dir);
  }
  return count;
}

class FileLockerTest : public testing::Test {
protected:
  ScratchDirectory m_dir;
};

TEST_F(FileLockerTest, DirectoryIsLockedThroughALockFileInside) {
  const std::string lockFile = m_dir / ".lck";
  {
    VANTFileLocker locker(m_dir.Path().c_str(), true);
    ASSERT_NE(dynamic_cast<VANTFileLockerHandleDirectory*>(locker.Handle()), nullptr);
    EXPECT_TRUE(locker.IsLocked());
    EXPECT_EQ(std::string(locker.Path().Text()), m_dir.Path());
    EXPECT_TRUE(Exists(lockFile));

    EXPECT_TRUE(locker.Unlock());
    EXPECT_FALSE(locker.IsLocked());
    EXPECT_FALSE(Exists(lockFile));
    EXPECT_TRUE(locker.Unlock()) << "unlocking an unlocked handle is harmless";

    ASSERT_TRUE(locker.Lock());
    EXPECT_TRUE(Exists(lockFile));
  }
  EXPECT_FALSE(Exists(lockFile)) << "the destructor unlocks";

  VANTFileLocker slash((m_dir.Path() + "/").c_str(), true);
  EXPECT_TRUE(slash.IsLocked());
  EXPECT_TRUE(Exists(lockFile)) << "no doubled separator in the lock file's name";
}

TEST_F(FileLockerTest, TwoHandlesExcludeEachOther) {
  const std::string data = m_dir / "capture.pcap";
  WriteAll(data, "x");
  VANTFileLocker first(data.c_str(), true);
  ASSERT_NE(dynamic_cast<VANTFileLockerHandleFile*>(first.Handle()), nullptr);
  ASSERT_TRUE(first.IsLocked());
  EXPECT_TRUE(Exists(data + ".lck"));

  VANTFileLocker second(data.c_str(), true);
  EXPECT_FALSE(second.IsLocked());
  EXPECT_FALSE(second.Lock());

  const int before = OpenDescriptors();
  EXPECT_TRUE(first.Lock()) << "locking a locked handle succeeds";
  EXPECT_EQ(OpenDescriptors(), before) << "... without opening the lock file again";

  first.Unlock();
  EXPECT_TRUE(second.Lock());
  EXPECT_FALSE(first.Lock());
  second.Unlock();
  EXPECT_FALSE(Exists(data + ".lck"));
}

TEST_F(FileLockerTest, LockFileLeftByADeadHolderIsTakenOver) {
  const std::string data = m_dir / "run.pcap";
  WriteAll(data + ".lck", ""); // what a crashed holder leaves: a file, but no lock
  VANTFileLocker locker(data.c_str(), true);
  EXPECT_TRUE(locker.IsLocked());
  locker.Unlock();
  EXPECT_FALSE(Exists(data + ".lck"));
}

TEST_F(FileLockerTest, KilledHolderProcessLeavesNoLockBehind) {
  const std::string data = m_dir / "shared.pcap";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    VANTFileLocker locker(data.c_str(), true);
    const char state = locker.IsLocked() ? 'L' : 'F';
    if (::write(ready[1], &state, 1) != 1) {
      ::_exit(1);
    }
    for (;;) {
      ::pause(); // hold the lock until killed
    }
  }
  ::close(ready[1]);
  char state = 0;
  ASSERT_EQ(::read(ready[0], &state, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(state, 'L') << "the child could not lock";

  VANTFileLocker locker(data.c_str(), true);
  EXPECT_FALSE(locker.IsLocked()) << "another process holds the lock";

  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));

  EXPECT_TRUE(locker.Lock()) << "the lock died with its holder";
}

TEST_F(FileLockerTest, UnusablePathsFailQuietly) {
  VANTFileLocker missingDirectory((m_dir / "no/such/dir/file").c_str(), true);
  EXPECT_FALSE(missingDirectory.IsLocked());
  EXPECT_FALSE(missingDirectory.Lock());

  const std::string bad = m_dir / "bad\xC3";
  VANTFileLocker invalid(bad.c_str(), true);
  EXPECT_FALSE(invalid.Lock());
  EXPECT_FALSE(Exists(bad + ".lck")) << "an invalid name never reaches the system";

  ASSERT_EQ(::symlink("elsewhere", (m_dir / "linked.lck").c_str()), 0);
  VANTFileLocker linked((m_dir / "linked").c_str(), true);
  EXPECT_FALSE(linked.IsLocked()) << "a symbolic link is never followed to a lock file";
  EXPECT_FALSE(Exists(m_dir / "elsewhere"));
}

} // namespace
