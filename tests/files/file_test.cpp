#include "files/vant_file.h"
#include "files_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <gnu/libc-version.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using files_test::ScratchDirectory;
using files_test::WriteAll;

std::string Str(const VANTStackedString<40>& text) {
  return std::string(text.Text(), text.Length());
}

std::string Cwd() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) != nullptr ? buffer : "";
}

TEST(VANTFilePath, SplitsIntoDirectoryAndName) {
  struct Case {
    const char* text;
    const char* directory;
    const char* name;
  };
  const Case cases[] = {
      {"C:\\data\\run1.pcap", "C:/data/", "run1.pcap"},
      {"\\\\server\\share\\run1.pcap", "\\\\server/share/", "run1.pcap"},
      {"/var/log/", "/var/log/", ""},
      {"a\\b/c", "a/b/", "c"},
      {"run1.pcap", "", "run1.pcap"},
      {"\\\\server", "", "\\\\server"},
      {"/", "/", ""},
      {"", "", ""},
      {"/a/rather/long/directory/that/needs/the/heap/block.bin",
       "/a/rather/long/directory/that/needs/the/heap/", "block.bin"},
  };
  for (const Case& c : cases) {
    const VANTFile file(c.text);
    EXPECT_EQ(Str(file.Directory()), c.directory) << c.text;
    EXPECT_EQ(Str(file.Name()), c.name) << c.text;
    EXPECT_EQ(Str(file.FullPath()), std::string(c.directory) + c.name) << c.text;
  }
  EXPECT_EQ(Str(VANTFile(nullptr).FullPath()), "");
}

TEST(VANTFilePath, SetPathAcceptsTheObjectsOwnText) {
  VANTFile file("/some/directory/with/a/long/enough/name/file.txt");
  file.SetPath(file.Directory().Text());
  EXPECT_EQ(Str(file.Directory()), "/some/directory/with/a/long/enough/name/");
  EXPECT_EQ(Str(file.Name()), "");
  file.SetPath(file.Directory().Text() + 1);
  EXPECT_EQ(Str(file.FullPath()), "some/directory/with/a/long/enough/name/");
}

TEST(VANTFilePath, AbsoluteFoldsDotsAndRelativeClimbs) {
  EXPECT_EQ(Str(VANTFile("/x/./y//z/../w").Absolute().FullPath()), "/x/y/w");
  EXPECT_EQ(Str(VANTFile("/x/y/../../..").Absolute().FullPath()), "/");
  EXPECT_EQ(Str(VANTFile("/x/y/.").Absolute().FullPath()), "/x/y/");
  EXPECT_EQ(Str(VANTFile("\\\\srv\\share\\..\\..\\f").Absolute().FullPath()), "\\\\srv/f");
  EXPECT_EQ(Str(VANTFile("a/./b/../c").Absolute().FullPath()), Cwd() + "/a/c");
  EXPECT_FALSE(VANTFile("a/b").IsAbsolute());
  EXPECT_TRUE(VANTFile("\\\\srv\\share").IsAbsolute());

  const VANTFile base("/data/captures/");
  EXPECT_EQ(Str(VANTFile("/data/captures/run1.pcap").RelativeTo(base).FullPath()), "run1.pcap");
  EXPECT_EQ(Str(VANTFile("/data/logs/today/a.txt").RelativeTo(base).FullPath()),
            "../logs/today/a.txt");
  EXPECT_EQ(Str(VANTFile("/data/").RelativeTo(base).FullPath()), "../");
  EXPECT_EQ(Str(VANTFile("/data/captures").RelativeTo(base).FullPath()), "./");
  EXPECT_EQ(
      Str(VANTFile("\\\\other\\share\\f").RelativeTo(VANTFile("\\\\srv\\share\\")).FullPath()),
      "\\\\other/share/f");
  EXPECT_EQ(Str(VANTFile("sub/f").RelativeTo(VANTFile(Cwd().c_str())).FullPath()), "sub/f");
}

class VANTFileOnDisk : public testing::Test {
protected:
  ScratchDirectory m_dir;
};

TEST_F(VANTFileOnDisk, ExistenceReadabilityAndDirectories) {
  WriteAll(m_dir / "file.txt", "x");
  ASSERT_EQ(::mkdir((m_dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((m_dir / "sub").c_str(), (m_dir / "link").c_str()), 0);
  ASSERT_EQ(::mkfifo((m_dir / "fifo").c_str(), 0644), 0);

  EXPECT_TRUE(VANTFile((m_dir / "file.txt").c_str()).ExistsAndIsReadable());
  EXPECT_TRUE(VANTFile((m_dir / "sub").c_str()).ExistsAndIsReadable());
  EXPECT_TRUE(VANTFile((m_dir / "sub\\\\//").c_str()).ExistsAndIsReadable());
  EXPECT_TRUE(VANTFile("/").ExistsAndIsReadable()) << "the root survives the trailing-slash trim";
  EXPECT_TRUE(VANTFile((m_dir / "fifo").c_str()).ExistsAndIsReadable()) << "must not block";
  EXPECT_FALSE(VANTFile((m_dir / "missing").c_str()).ExistsAndIsReadable());
  EXPECT_FALSE(VANTFile("").ExistsAndIsReadable());

  EXPECT_TRUE(VANTFile((m_dir / "sub").c_str()).IsDirectory());
  EXPECT_TRUE(VANTFile((m_dir / "link").c_str()).IsDirectory());
  EXPECT_TRUE(VANTFile((m_dir / "sub/").c_str()).IsDirectory());
  EXPECT_FALSE(VANTFile((m_dir / "file.txt").c_str()).IsDirectory());
  EXPECT_FALSE(VANTFile((m_dir / "missing").c_str()).IsDirectory());

  if (::geteuid() != 0) { // root reads anything
    ASSERT_EQ(::chmod((m_dir / "file.txt").c_str(), 0), 0);
    EXPECT_FALSE(VANTFile((m_dir / "file.txt").c_str()).ExistsAndIsReadable());
  }
}

TEST_F(VANTFileOnDisk, InvalidUtf8NeverReachesTheSystem) {
  const std::string bad = m_dir / "bad\xED\xA0\x80name"; // an encoded surrogate
  WriteAll(bad, "x");
  const VANTFile file(bad.c_str());
  EXPECT_FALSE(file.ExistsAndIsReadable());
  EXPECT_FALSE(file.Delete());
  EXPECT_FALSE(file.Times(nullptr, nullptr, nullptr));
  EXPECT_TRUE(files_test::Exists(bad));
}

TEST_F(VANTFileOnDisk, DeleteRemovesFilesOnly) {
  WriteAll(m_dir / "gone.txt", "x");
  ASSERT_EQ(::mkdir((m_dir / "sub").c_str(), 0755), 0);
  EXPECT_TRUE(VANTFile((m_dir / "gone.txt").c_str()).Delete());
  EXPECT_FALSE(files_test::Exists(m_dir / "gone.txt"));
  EXPECT_FALSE(VANTFile((m_dir / "gone.txt").c_str()).Delete());
  EXPECT_FALSE(VANTFile((m_dir / "sub").c_str()).Delete());
  EXPECT_TRUE(files_test::Exists(m_dir / "sub"));
}

TEST_F(VANTFileOnDisk, TimesAreLocalMicrosecondsSince1970) {
  const std::string path = m_dir / "stamped";
  WriteAll(path, "x");
  const timespec times[2] = {{1577934245, 678901000}, {1577934246, 5000}}; // 2020-01-02 03:04:05Z
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

  const char* saved = std::getenv("TZ");
  const std::string savedTz = saved != nullptr ? saved : "";
  ::setenv("TZ", "UTC-02", 1); // two hours east of UTC, no daylight saving
  ::tzset();
  int64_t creation = -1;
  int64_t access = -1;
  int64_t write = -1;
  const bool ok = VANTFile(path.c_str()).Times(&creation, &access, &write);
  if (saved != nullptr) {
    ::setenv("TZ", savedTz.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();

  ASSERT_TRUE(ok);
  constexpr int64_t offset = 2 * 3600 * int64_t{1000000};
  EXPECT_EQ(access, 1577934245 * int64_t{1000000} + 678901 + offset);
  EXPECT_EQ(write, 1577934246 * int64_t{1000000} + 5 + offset);
  EXPECT_GE(creation, 0) << "0 when the file system keeps no creation time";
  EXPECT_FALSE(VANTFile((m_dir / "missing").c_str()).Times(&creation, nullptr, nullptr));
}

TEST_F(VANTFileOnDisk, ListVisitsEveryEntryUntilToldToStop) {
  WriteAll(m_dir / "a.txt", "x");
  WriteAll(m_dir / "b.txt", "x");
  ASSERT_EQ(::mkdir((m_dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("sub", (m_dir / "link").c_str()), 0);
  std::vector<std::pair<std::string, bool>> seen;
  ASSERT_TRUE(VANTFile(m_dir.Path().c_str()).List([&](const char* name, bool isDirectory) {
    seen.emplace_back(name, isDirectory);
    return true;
  }));
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{
                      {"a.txt", false}, {"b.txt", false}, {"link", true}, {"sub", true}}));

  int visits = 0;
  ASSERT_TRUE(VANTFile(m_dir.Path().c_str()).List([&](const char*, bool) { return ++visits < 2; }));
  EXPECT_EQ(visits, 2);
  EXPECT_FALSE(VANTFile((m_dir / "a.txt").c_str()).List([](const char*, bool) { return true; }));
}

TEST(VANTFileLocation, ExecutableAndLoadedObjects) {
  const VANTFile exe = VANTFile::ExecutablePath();
  EXPECT_EQ(Str(exe.Name()), "files_tests");
  EXPECT_TRUE(exe.IsAbsolute());
  EXPECT_TRUE(exe.ExistsAndIsReadable());

  static int inThisProgram = 0;
  EXPECT_EQ(Str(VANTFile::FromAddress(&inThisProgram).FullPath()), Str(exe.FullPath()))
      << "the main program is named by its real path, not argv[0]";
  // A libc function that no sanitizer intercepts: AddressSanitizer's own dlopen would name its
  // runtime library instead.
  const std::string libc =
      Str(VANTFile::FromAddress(reinterpret_cast<void*>(&::gnu_get_libc_version)).Name());
  EXPECT_NE(libc.find("libc.so"), std::string::npos) << libc;
  EXPECT_EQ(Str(VANTFile::FromAddress(nullptr).FullPath()), "");
}

TEST(VANTFileLocation, EngineDirectoryIsFoundOnlyWhenTheEngineIsLoaded) {
  // A repeated run finds the library still mapped: the symbol lookup pins it in the process.
  if (::dlopen(FILES_TEST_ENGINE_LIBRARY, RTLD_NOW | RTLD_NOLOAD) == nullptr) {
    EXPECT_EQ(Str(VANTFile::EngineDirectory().FullPath()), "") << "nothing exports vant_init yet";
  }
  void* engine = ::dlopen(FILES_TEST_ENGINE_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
  ASSERT_NE(engine, nullptr) << ::dlerror();
  const VANTFile expected(FILES_TEST_ENGINE_LIBRARY);
  const VANTFile found = VANTFile::EngineDirectory();
  EXPECT_EQ(Str(found.FullPath()), Str(expected.Directory()));
  EXPECT_EQ(Str(found.Name()), "");
  ::dlclose(engine);
}

} // namespace
