#include "files/vant_file_accessor.h"
#include "files_test_support.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#ifdef CORVEX_HAVE_URING
#include <liburing.h>
#endif

namespace {

using files_test::ReadAll;
using files_test::ScratchDirectory;
using files_test::WriteAll;

std::vector<std::string> g_errors;
std::vector<uintptr_t> g_released;

void CaptureError(const char* text) {
  g_errors.emplace_back(text);
}
void CaptureRelease(void* token) {
  g_released.push_back(reinterpret_cast<uintptr_t>(token));
}

void* Token(uintptr_t n) {
  return reinterpret_cast<void*>(n);
}

/// Buffers aligned for direct I/O, freed at the end.
struct AlignedBuffer {
  explicit AlignedBuffer(std::size_t size, char fill = 0)
      : data(static_cast<char*>(std::aligned_alloc(4096, size))) {
    std::memset(data, fill, size);
  }
  ~AlignedBuffer() { std::free(data); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  char* data;
};

class FileAccessorTest : public testing::Test {
protected:
  void SetUp() override {
    g_errors.clear();
    g_released.clear();
  }
  ScratchDirectory m_dir;
};

std::string UnbufferedText(bool writing, uint32_t sector) {
  return std::string(writing ? "File write error : The size of written items"
                             : "File read error : The size of read items") +
         " must be proportionnal to the " + std::to_string(sector) +
         " bytes sector size. Remove the \"No buffering\" optimization.";
}

TEST_F(FileAccessorTest, UnbufferedTransfersMustBeWholeSectors) {
  const std::string path = m_dir / "sectors.bin";
  WriteAll(path, std::string(8192, 'a'));

  VANTFileAccessor reader(&CaptureError);
  ASSERT_TRUE(reader.OpenRead(path.c_str(), VANT::FileNoBuffering));
  const uint32_t sector = reader.ReadHandle()->SectorSize();
  ASSERT_GT(sector, 0u);
  ASSERT_EQ(4096 % sector, 0u) << "sector sizes are powers of two up to 4096";

  AlignedBuffer buffer(8192);
  EXPECT_FALSE(reader.Read(buffer.data, 1000));
  ASSERT_EQ(g_errors.size(), 1u);
  EXPECT_EQ(g_errors[0], UnbufferedText(false, sector));
  EXPECT_EQ(reader.ReadHandle()->Position(), 0u) << "a refused read does not move";

  uint32_t count = 0;
  ASSERT_TRUE(reader.Read(buffer.data, sector, &count));
  EXPECT_EQ(count, sector);
  EXPECT_EQ(reader.ReadHandle()->Position(), sector);
  EXPECT_EQ(buffer.data[0], 'a');

  VANTFileAccessor writer(&CaptureError);
  ASSERT_TRUE(writer.OpenWrite((m_dir / "out.bin").c_str(), VANT::FileNoBuffering));
  EXPECT_FALSE(writer.Write(buffer.data, 1000));
  ASSERT_EQ(g_errors.size(), 2u);
  EXPECT_EQ(g_errors[1], UnbufferedText(true, writer.WriteHandle()->SectorSize()));
  EXPECT_EQ(writer.WriteHandle()->Position(), 0u);
  std::memset(buffer.data, 'b', 4096);
  EXPECT_TRUE(writer.Write(buffer.data, 4096));
  EXPECT_TRUE(writer.Flush());
  EXPECT_TRUE(ReadAll(m_dir / "out.bin") == std::string(4096, 'b'));
}

TEST_F(FileAccessorTest, UnknownSectorSizeRefusesUnbufferedTransfersWithoutDividingByZero) {
  const std::string path = m_dir / "zero.bin";
  WriteAll(path, std::string(4096, 'z'));
  AlignedBuffer buffer(4096);
  const VANTFileCallbacks callbacks{&CaptureError, &CaptureRelease};

  VANTFileReadHandle reader(::open(path.c_str(), O_RDONLY | O_CLOEXEC), VANT::FileNoBuffering, 0);
  EXPECT_FALSE(reader.Read(buffer.data, 4096, nullptr, callbacks));
  VANTFileWriteHandle writer(::open(path.c_str(), O_WRONLY | O_CLOEXEC), VANT::FileNoBuffering, 0,
                             nullptr);
  EXPECT_FALSE(writer.Write(buffer.data, 4096, Token(7), callbacks));

  ASSERT_EQ(g_errors.size(), 2u);
  EXPECT_EQ(g_errors[0], UnbufferedText(false, 0));
  EXPECT_EQ(g_errors[1], UnbufferedText(true, 0));
  EXPECT_TRUE(g_released.empty()) << "a refused write keeps its buffer with the caller";
  EXPECT_TRUE(ReadAll(path) == std::string(4096, 'z'));
}

TEST_F(FileAccessorTest, MisalignedDirectBufferIsReportedAsWriteError) {
  VANTFileAccessor writer(&CaptureError);
  const std::string path = m_dir / "direct.bin";
  ASSERT_TRUE(writer.OpenWrite(path.c_str(), VANT::FileNoBuffering));
  if ((::fcntl(writer.WriteHandle()->Descriptor(), F_GETFL) & O_DIRECT) == 0) {
    GTEST_SKIP() << "this file system refused direct I/O; the write would be buffered";
  }
  AlignedBuffer buffer(8192, 'd');
  EXPECT_FALSE(writer.Write(buffer.data + 1, 4096));
  ASSERT_EQ(g_errors.size(), 1u);
  EXPECT_EQ(g_errors[0], "File write error : Invalid argument");
  EXPECT_EQ(writer.WriteHandle()->Position(), 0u) << "nothing was written";
  // The aligned write that follows lands at the start: no hole of zeros in front of it.
  EXPECT_TRUE(writer.Write(buffer.data, 4096));
  EXPECT_TRUE(writer.CloseWrite());
  EXPECT_TRUE(ReadAll(path) == std::string(4096, 'd'));
}

TEST_F(FileAccessorTest, OpeningForWritingTruncatesUnlessAppending) {
  const std::string path = m_dir / "log.txt";
  WriteAll(path, "hello world");
  {
    VANTFileAccessor append(&CaptureError);
    ASSERT_TRUE(append.OpenWrite(path.c_str(), VANT::FileAppend));
    EXPECT_EQ(append.WriteHandle()->Position(), 11u);
    ASSERT_TRUE(append.Write("!!", 2));
  }
  EXPECT_EQ(ReadAll(path), "hello world!!");
  {
    VANTFileAccessor fresh(&CaptureError);
    ASSERT_TRUE(fresh.OpenWrite(path.c_str(), 0));
    EXPECT_EQ(fresh.WriteHandle()->Position(), 0u);
    uint64_t size = 99;
    ASSERT_TRUE(fresh.Size(&size));
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(fresh.Write("new", 3));
  }
  EXPECT_EQ(ReadAll(path), "new");
  EXPECT_TRUE(g_errors.empty());
}

TEST_F(FileAccessorTest, ReadsSeeksAndEndOfFileKeepThePosition) {
  const std::string path = m_dir / "data.txt";
  WriteAll(path, "0123456789");
  VANTFileAccessor file(&CaptureError);
  ASSERT_TRUE(file.OpenRead(path.c_str(), VANT::FileSequentialAccess));
  EXPECT_TRUE(file.OpenRead(path.c_str(), 0)) << "already open: nothing to do";

  char text[16] = {};
  uint32_t count = 0;
  ASSERT_TRUE(file.SeekTo(7));
  ASSERT_TRUE(file.Read(text, 8, &count));
  EXPECT_EQ(count, 3u) << "a read past the end returns what is there";
  EXPECT_EQ(std::string(text, count), "789");
  ASSERT_TRUE(file.Read(text, 8, &count));
  EXPECT_EQ(count, 0u);

  ASSERT_TRUE(file.SeekBy(-4));
  EXPECT_EQ(file.ReadHandle()->Position(), 6u);
  EXPECT_FALSE(file.SeekBy(-7)) << "before the start of the file";
  EXPECT_EQ(file.ReadHandle()->Position(), 6u);
  ASSERT_EQ(g_errors.size(), 1u);
  EXPECT_EQ(g_errors[0], "File read/write error : Invalid argument");
  ASSERT_TRUE(file.Rewind());
  ASSERT_TRUE(file.Read(text, 2, &count));
  EXPECT_EQ(std::string(text, count), "01");
  ASSERT_TRUE(file.SeekToEnd());
  EXPECT_EQ(file.ReadHandle()->Position(), 10u);

  VANTFileAccessor cut(&CaptureError);
  ASSERT_TRUE(cut.OpenWrite(path.c_str(), VANT::FileAppend | VANT::FileReadWrite));
  ASSERT_TRUE(cut.SeekTo(4));
  ASSERT_TRUE(cut.SetEndOfFile());
  EXPECT_EQ(ReadAll(path), "0123");
  ASSERT_TRUE(cut.SeekTo(6));
  ASSERT_TRUE(cut.SetEndOfFile());
  EXPECT_EQ(ReadAll(path), std::string("0123\0\0", 6));
}

TEST_F(FileAccessorTest, OpenFailuresAreFalseWithTheSystemText) {
  VANTFileAccessor file(&CaptureError);
  EXPECT_FALSE(file.OpenRead((m_dir / "missing").c_str(), 0));
  EXPECT_FALSE(file.OpenRead(m_dir.Path().c_str(), 0)) << "a directory is not a readable file";
  EXPECT_FALSE(file.OpenWrite((m_dir / "bad\xC0\xAF").c_str(), 0)) << "overlong UTF-8";
  EXPECT_FALSE(file.OpenWrite((m_dir / "no/such/dir/file").c_str(), 0));
  ASSERT_EQ(g_errors.size(), 4u);
  EXPECT_EQ(g_errors[0], "File read/write error : No such file or directory");
  EXPECT_EQ(g_errors[1], "File read/write error : Is a directory");
  EXPECT_EQ(g_errors[2],
            "File read/write error : Invalid or incomplete multibyte or wide character");
  EXPECT_FALSE(files_test::Exists(m_dir / "bad\xC0\xAF"));

  char byte = 0;
  EXPECT_FALSE(file.Read(&byte, 1)) << "nothing open";
  EXPECT_FALSE(file.Write(&byte, 1));
  EXPECT_FALSE(file.Flush());
  EXPECT_FALSE(file.SeekTo(0));
  EXPECT_EQ(g_errors.size(), 4u) << "no handle is not a system failure";
}

// A failed synchronous write moves the position only by what reached the file, so the next write
// follows on without a hole of zeros (it used to move on by the whole size); its buffer still
// comes back.
TEST_F(FileAccessorTest, FailedSynchronousWriteMovesOnlyByWhatItWrote) {
  const std::string path = m_dir / "readonly.bin";
  WriteAll(path, "x");
  const VANTFileCallbacks callbacks{&CaptureError, &CaptureRelease};
  VANTFileWriteHandle readOnly(::open(path.c_str(), O_RDONLY | O_CLOEXEC), 0, 512, nullptr);
  EXPECT_FALSE(readOnly.Write("abc", 3, Token(5), callbacks));
  EXPECT_EQ(readOnly.Position(), 0u);
  EXPECT_EQ(g_released, std::vector<uintptr_t>{5});
  ASSERT_EQ(g_errors.size(), 1u);
  EXPECT_EQ(g_errors[0], "File write error : Bad file descriptor");

  // A buffer whose second page cannot be read: the system takes the first page, if any of it,
  // then fails.
  const long page = ::sysconf(_SC_PAGESIZE);
  void* mapped = ::mmap(nullptr, static_cast<std::size_t>(2 * page), PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char* bytes = static_cast<char*>(mapped);
  std::memset(bytes, 'a', static_cast<std::size_t>(page));
  ASSERT_EQ(::mprotect(bytes + page, static_cast<std::size_t>(page), PROT_NONE), 0);
  VANTFileAccessor writer(&CaptureError, &CaptureRelease);
  const std::string partial = m_dir / "partial.bin";
  ASSERT_TRUE(writer.OpenWrite(partial.c_str(), 0));
  EXPECT_FALSE(writer.Write(bytes, static_cast<uint32_t>(2 * page), Token(6)));
  const uint64_t written = writer.WriteHandle()->Position();
  EXPECT_LE(written, static_cast<uint64_t>(page));
  EXPECT_TRUE(writer.Write("tail", 4, Token(7)));
  EXPECT_TRUE(writer.CloseWrite());
  EXPECT_TRUE(ReadAll(partial) == std::string(written, 'a') + "tail");
  EXPECT_EQ(g_released, (std::vector<uintptr_t>{5, 6, 7}));
  EXPECT_EQ(g_errors.size(), 2u);
  ::munmap(mapped, static_cast<std::size_t>(2 * page));
}

// ---------------------------------------------------------------------------------------------
// The asynchronous ring, on each back-end.

class AsyncRingTest : public FileAccessorTest, public testing::WithParamInterface<const char*> {
protected:
  void SetUp() override {
    FileAccessorTest::SetUp();
    const char* saved = std::getenv("CORVEX_NO_IO_URING");
    m_hadSetting = saved != nullptr;
    if (m_hadSetting) {
      m_saved = saved;
    }
    if (std::string(GetParam()) == "thread") {
      ::setenv("CORVEX_NO_IO_URING", "1", 1);
    } else {
      ::unsetenv("CORVEX_NO_IO_URING");
      if (!UringAvailable()) {
        GTEST_SKIP() << "io_uring is not available here";
      }
    }
  }
  void TearDown() override {
    if (m_hadSetting) {
      ::setenv("CORVEX_NO_IO_URING", m_saved.c_str(), 1);
    } else {
      ::unsetenv("CORVEX_NO_IO_URING");
    }
  }

  static bool UringAvailable() {
#ifdef CORVEX_HAVE_URING
    io_uring ring{};
    if (io_uring_queue_init(4, &ring, 0) != 0) {
      return false;
    }
    io_uring_queue_exit(&ring);
    return true;
#else
    return false;
#endif
  }

  VANT::AsyncBackend Backend() const {
    return std::string(GetParam()) == "thread" ? VANT::AsyncBackend::Thread
                                               : VANT::AsyncBackend::IoUring;
  }

private:
  bool m_hadSetting = false;
  std::string m_saved;
};

TEST_P(AsyncRingTest, TokensComeBackInIssueOrderAndTheFourthWriteWaitsForTheFirst) {
  const std::string path = m_dir / "ring.bin";
  constexpr uint32_t block = 64 * 1024;
  constexpr int writes = 12;
  std::vector<std::string> buffers;
  for (int i = 0; i < writes; ++i) {
    buffers.emplace_back(block, static_cast<char>('A' + i));
  }
  VANTFileAccessor file(&CaptureError, &CaptureRelease);
  ASSERT_TRUE(file.OpenWrite(path.c_str(), VANT::FileAsynchronous));
  EXPECT_STREQ(file.WriteHandle()->AsyncBackendName(), GetParam());

  for (int i = 0; i < writes; ++i) {
    ASSERT_TRUE(file.Write(buffers[i].data(), block, Token(i + 1)));
    const std::size_t released = g_released.size();
    EXPECT_GE(released + 3, static_cast<std::size_t>(i + 1))
        << "after write " << i + 1 << " at most three may still be held";
    EXPECT_LE(released, static_cast<std::size_t>(i + 1));
    EXPECT_LE(file.WriteHandle()->Pending(), 3);
  }
  ASSERT_TRUE(file.CloseWrite());

  std::vector<uintptr_t> expected;
  std::string content;
  for (int i = 0; i < writes; ++i) {
    expected.push_back(static_cast<uintptr_t>(i + 1));
    content += buffers[i];
  }
  EXPECT_EQ(g_released, expected);
  EXPECT_TRUE(ReadAll(path) == content) << "the file does not hold the blocks in order";
  EXPECT_TRUE(g_errors.empty());
}

TEST_P(AsyncRingTest, FlushHandsEverythingBackAndCountsTheDepths) {
  const std::string path = m_dir / "flush.bin";
  constexpr uint32_t block = 4096;
  AlignedBuffer buffers[4] = {AlignedBuffer(block, '0'), AlignedBuffer(block, '1'),
                              AlignedBuffer(block, '2'), AlignedBuffer(block, '3')};
  VANTFileAccessor file(&CaptureError, &CaptureRelease);
  ASSERT_TRUE(file.OpenWrite(path.c_str(), VANT::FileAsynchronous | VANT::FileNoBuffering));
  ASSERT_EQ(block % file.WriteHandle()->SectorSize(), 0u);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(file.Write(buffers[i].data, block, Token(i + 1)));
  }
  ASSERT_TRUE(file.Flush());
  EXPECT_EQ(g_released, (std::vector<uintptr_t>{1, 2, 3, 4}));
  EXPECT_EQ(file.WriteHandle()->Pending(), 0);
  uint64_t size = 0;
  ASSERT_TRUE(file.Size(&size));
  EXPECT_EQ(size, 4u * block);
  const uint32_t* depth = file.WriteHandle()->DepthStatistics();
  EXPECT_EQ(depth[0] + depth[1] + depth[2] + depth[3], 4u);
  EXPECT_GE(depth[0], 1u) << "the first write finds nothing in flight";
  EXPECT_TRUE(ReadAll(path) == std::string(block, '0') + std::string(block, '1') +
                                   std::string(block, '2') + std::string(block, '3'));
}

TEST_P(AsyncRingTest, EachFailedWriteIsReportedOnceAndItsBufferStillComesBack) {
  const std::string path = m_dir / "readonly.bin";
  WriteAll(path, "");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  int err = 0;
  auto writer = VANT::MakeAsyncWriter(fd, Backend(), &err);
  ASSERT_NE(writer, nullptr) << err;
  VANTFileWriteHandle handle(fd, VANT::FileAsynchronous, 512, std::move(writer));
  const VANTFileCallbacks callbacks{&CaptureError, &CaptureRelease};
  char data[8] = "abcdefg";
  int falseResults = 0;
  for (int i = 0; i < 5; ++i) {
    falseResults += handle.Write(data, sizeof data, Token(i + 1), callbacks) ? 0 : 1;
  }
  EXPECT_FALSE(handle.Drain(callbacks));
  EXPECT_EQ(g_released, (std::vector<uintptr_t>{1, 2, 3, 4, 5}));
  ASSERT_EQ(g_errors.size(), 5u) << "one report per failed write, never repeated";
  for (const std::string& text : g_errors) {
    EXPECT_EQ(text, "File write error : Bad file descriptor");
  }
  // The fourth write waits for the first (the ring holds three) and so sees a failure; the failures
  // of writes already finished may all be collected by that one call, leaving the fifth a free
  // slot.
  EXPECT_GE(falseResults, 1) << "the fourth write at least had to wait for a failed one";
  EXPECT_EQ(handle.Position(), 5u * sizeof data);
}

INSTANTIATE_TEST_SUITE_P(Backends, AsyncRingTest, testing::Values("io_uring", "thread"),
                         [](const testing::TestParamInfo<const char*>& backend) {
                           return std::string(backend.param) == "thread" ? "Thread" : "IoUring";
                         });

// ---------------------------------------------------------------------------------------------
// The ring's bookkeeping against a back-end whose completions the test decides.

class ScriptedWriter final : public VANT::AsyncWriter {
public:
  int Submit(int slot, const void*, uint32_t, uint64_t offset) noexcept override {
    calls.push_back("submit" + std::to_string(slot) + "@" + std::to_string(offset));
    busy[slot] = true;
    done[slot] = false;
    return 0;
  }
  int Poll(int slot) noexcept override {
    if (busy[slot] && !done[slot]) {
      return EINPROGRESS;
    }
    busy[slot] = false;
    return 0;
  }
  int Wait(int slot) noexcept override {
    calls.push_back("wait" + std::to_string(slot));
    busy[slot] = false;
    return 0;
  }
  const char* Name() const noexcept override { return "scripted"; }

  std::vector<std::string> calls;
  bool busy[3] = {};
  bool done[3] = {};
};

TEST_F(FileAccessorTest, RingReleasesStrictlyOldestFirstEvenWhenLaterWritesEndEarlier) {
  auto owned = std::make_unique<ScriptedWriter>();
  ScriptedWriter* script = owned.get();
  VANTFileWriteHandle handle(-1, VANT::FileAsynchronous, 512, std::move(owned));
  const VANTFileCallbacks callbacks{&CaptureError, &CaptureRelease};
  char data[100] = {};

  ASSERT_TRUE(handle.Write(data, 100, Token(1), callbacks));
  ASSERT_TRUE(handle.Write(data, 100, Token(2), callbacks));
  script->done[1] = true; // the second write ends before the first
  ASSERT_TRUE(handle.Write(data, 100, Token(3), callbacks));
  EXPECT_TRUE(g_released.empty()) << "token 2 must wait for token 1";

  // All three slots hold writes: the fourth waits for the first, in slot 0, then reuses it.
  ASSERT_TRUE(handle.Write(data, 100, Token(4), callbacks));
  EXPECT_EQ(script->calls, (std::vector<std::string>{"submit0@0", "submit1@100", "submit2@200",
                                                     "wait0", "submit0@300"}));
  EXPECT_EQ(g_released, (std::vector<uintptr_t>{1}));

  script->done[2] = true;
  ASSERT_TRUE(handle.Write(data, 100, Token(5), callbacks));
  EXPECT_EQ(g_released, (std::vector<uintptr_t>{1, 2, 3})) << "2 and 3 had both ended";
  EXPECT_EQ(handle.Pending(), 2);
  ASSERT_TRUE(handle.Drain(callbacks));
  EXPECT_EQ(g_released, (std::vector<uintptr_t>{1, 2, 3, 4, 5}));
  const uint32_t* depth = handle.DepthStatistics();
  EXPECT_EQ(depth[0], 1u);
  EXPECT_EQ(depth[1], 2u) << "write 2, and write 5 after 2 and 3 were reaped";
  EXPECT_EQ(depth[2], 1u);
  EXPECT_EQ(depth[3], 1u) << "write 4 found all three in flight";
}

} // namespace
