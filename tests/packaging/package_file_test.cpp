// The package file as the build produces it: its information block, its exports, and the way an
// engine loads it. Each test loads fresh copies, so every load starts with a newly built registry.
#include "elf_symbols.h"
#include "host/host.h"
#include "packaging/vant_package_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

using PckInit = int32_t (*)(VANTHostKernel*, int32_t);
using ModelsQuery = int32_t (*)(const char*, void**, int32_t);

struct CorvexProbe {
  VANTHostKernel* (*kernel)();
  const char* (*log)();
  void (*registerLate)();
  uint32_t (*seenInputCount)();
  uint32_t (*seenPropertyCount)();
};

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(VANT::ReadWholeFile(path, bytes)) << path;
  return bytes;
}

void WriteAll(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// A loaded library, closed at the end of the scope but kept in memory: a package never frees its
// registry, so unloading it would only turn that memory into leaks.
class Loaded {
public:
  explicit Loaded(const fs::path& path)
      : m_handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE)) {
    if (!m_handle) {
      const char* why = dlerror();
      ADD_FAILURE() << "dlopen " << path << ": " << (why ? why : "?");
    }
  }
  ~Loaded() {
    if (m_handle) {
      dlclose(m_handle);
    }
  }
  Loaded(const Loaded&) = delete;
  Loaded& operator=(const Loaded&) = delete;

  template <typename F>
  F Get(const char* name) const {
    return m_handle ? reinterpret_cast<F>(dlsym(m_handle, name)) : nullptr;
  }

private:
  void* m_handle;
};

class PackageFile : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "corvex_pck_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(m_dir, ignored);
  }

  // A copy of a file under a new name in the test's directory.
  fs::path CopyOf(const std::string& source, const std::string& name) {
    const fs::path target = m_dir / name;
    fs::copy_file(source, target, fs::copy_options::overwrite_existing);
    return target;
  }

  // A copy of the probe package with an information block; one entry may be replaced.
  fs::path ProbeWithBlock(const std::string& name, const std::string& key = "",
                          const std::string& value = "") {
    std::vector<uint8_t> image = ReadAll(CORVEX_PROBE_PACKAGE);
    auto entries = VANT::PackageEntries({name, "1.4.0", "20240301", "Corvex Sorting Multiplexer"},
                                        image.data(), image.size());
    for (auto& entry : entries) {
      if (entry.key == key) {
        entry.value = value;
      }
    }
    std::string block;
    EXPECT_TRUE(VANT::BuildPackageInfoBlock(entries, block));
    image.insert(image.end(), block.begin(), block.end());
    WriteAll(m_dir / name, image);
    return m_dir / name;
  }

  fs::path m_dir;
};

TEST_F(PackageFile, InformationBlockDescribesThisBuild) {
  VANT::PackageInfo info;
  ASSERT_EQ(VANT::ReadPackageInfo(CORVEX_PACKAGE_FILE, info), VANT::PackageInfoStatus::kOk);

  const char* keys[] = {"FILENAME", "OS",  "ARCH",  "VERSION",    "DATE",
                        "TARGET",   "SIG", "GENID", "DESCRIPTION"};
  ASSERT_EQ(info.entries.size(), std::size(keys));
  for (size_t i = 0; i < info.entries.size(); ++i) {
    EXPECT_EQ(info.entries[i].key, keys[i]);
  }
  EXPECT_EQ(*info.Find("FILENAME"), "corvex_sorting_multiplexer.pck");
  EXPECT_EQ(*info.Find("OS"), "linux");
  EXPECT_EQ(*info.Find("ARCH"), "x86_64");
  EXPECT_EQ(*info.Find("VERSION"), "1.4.0");
  EXPECT_EQ(*info.Find("TARGET"), "corvex");
  const std::string& date = *info.Find("DATE");
  EXPECT_EQ(date.size(), 8u);
  EXPECT_TRUE(std::all_of(date.begin(), date.end(), [](char c) { return c >= '0' && c <= '9'; }));
  EXPECT_EQ(info.Find("GENID")->size(), 24u);
  EXPECT_EQ(info.Find("DESCRIPTION")->size(), 26u);

  // L is the string run: the marker and every entry, each with its terminator.
  std::string run;
  ASSERT_TRUE(VANT::BuildPackageInfoRun(info.entries, run));
  EXPECT_EQ(info.length, run.size());
  EXPECT_EQ(info.length, 279u);

  // The image in front of the block is the linked library, byte for byte, and SIG signs it.
  const std::vector<uint8_t> library = ReadAll(CORVEX_PACKAGE_LIBRARY);
  const std::vector<uint8_t> file = ReadAll(CORVEX_PACKAGE_FILE);
  ASSERT_EQ(info.imageSize, library.size());
  ASSERT_EQ(file.size(), library.size() + info.length + 4);
  EXPECT_TRUE(std::equal(library.begin(), library.end(), file.begin()));
  EXPECT_EQ(*info.Find("SIG"), VANT::ImageSignature(CORVEX_PACKAGE_FILE, info.imageSize));
}

TEST_F(PackageFile, ExportsOnlyTheTwoEntryPointsAndNeedsNoPcreOrUring) {
  const ElfDynamicInfo elf = ReadElfDynamicInfo(ReadAll(CORVEX_PACKAGE_FILE));
  ASSERT_TRUE(elf.valid);
  std::vector<std::string> exports = elf.exports;
  std::sort(exports.begin(), exports.end());
  EXPECT_EQ(exports, (std::vector<std::string>{"VANTGetModulesDefStruct", "VANTPckInit"}));
  for (const std::string& library : elf.needed) {
    EXPECT_EQ(library.find("pcre"), std::string::npos) << library;
    EXPECT_EQ(library.find("uring"), std::string::npos) << library;
  }
}

TEST_F(PackageFile, LoadsWithDlopenTrailerIncludedAndAnswers) {
  Host first;
  Host second;
  {
    Loaded package(CopyOf(CORVEX_PACKAGE_FILE, "copy.pck"));
    auto init = package.Get<PckInit>("VANTPckInit");
    auto query = package.Get<ModelsQuery>("VANTGetModulesDefStruct");
    ASSERT_NE(init, nullptr);
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(init(&first, 0x804A8 - 1), 0);
    EXPECT_EQ(init(&first, 0x804A8 + 1), 0);
    EXPECT_EQ(init(nullptr, 0x804A8), 0);
    EXPECT_EQ(init(&first, 0x804A8), 4);
    EXPECT_EQ(init(&second, 0x804A8), 4);

    const int32_t count = query(nullptr, nullptr, 0);
    ASSERT_GE(count, 0);
    std::vector<void*> records(static_cast<size_t>(count) + 1, nullptr);
    EXPECT_EQ(query(nullptr, records.data(), count + 1), count);
    EXPECT_EQ(query(nullptr, records.data(), 0), 0);
    EXPECT_EQ(query("no such group", nullptr, 0), -1);
    EXPECT_EQ(query("no such group", records.data(), 1), 0);
  }
  EXPECT_TRUE(second.TakeReports().empty()) << "the second kernel must not be used";
}

TEST_F(PackageFile, VersionWordsAndKernelsInAFreshlyLoadedPackage) {
  Host first;
  Host second;
  Loaded package(CopyOf(CORVEX_PROBE_PACKAGE, "probe.so"));
  auto init = package.Get<PckInit>("VANTPckInit");
  auto api = package.Get<const CorvexProbe* (*)()>("CorvexProbeApi");
  ASSERT_NE(init, nullptr);
  ASSERT_NE(api, nullptr);
  const CorvexProbe* probe = api();

  EXPECT_EQ(init(&first, 0x804A8 + 1), 0);
  EXPECT_EQ(init(&first, 0x804A8 - 1), 0);
  EXPECT_EQ(probe->kernel(), nullptr) << "a refused call stores nothing";
  EXPECT_STREQ(probe->log(), "") << "a refused call runs nothing";

  EXPECT_EQ(init(&first, 0x804A8), 4);
  EXPECT_EQ(probe->kernel(), &first);
  // Callbacks run in group order, before the kernel is stored.
  EXPECT_STREQ(probe->log(), "ProbeFirst-kernel;ProbeSecond-kernel;");

  EXPECT_EQ(init(&second, 0x804A8), 4);
  EXPECT_EQ(probe->kernel(), &first) << "the first kernel stays";
  EXPECT_STREQ(probe->log(), "ProbeFirst-kernel;ProbeSecond-kernel;");

  probe->registerLate();
  EXPECT_STREQ(probe->log(), "ProbeFirst-kernel;ProbeSecond-kernel;ProbeLate+kernel;");
}

TEST_F(PackageFile, ConcurrentFirstCallsInitialiseOnce) {
  for (int round = 0; round < 20; ++round) {
    Host first;
    Host second;
    Loaded package(CopyOf(CORVEX_PROBE_PACKAGE, "probe" + std::to_string(round) + ".so"));
    auto init = package.Get<PckInit>("VANTPckInit");
    auto api = package.Get<const CorvexProbe* (*)()>("CorvexProbeApi");
    ASSERT_NE(api, nullptr);
    std::atomic<int> ready{0};
    int32_t answers[2] = {};
    auto call = [&](int index, Host* host) {
      ready.fetch_add(1);
      while (ready.load() < 2) {
      }
      answers[index] = init(host, 0x804A8);
    };
    std::thread a(call, 0, &first);
    std::thread b(call, 1, &second);
    a.join();
    b.join();
    EXPECT_EQ(answers[0], 4);
    EXPECT_EQ(answers[1], 4);
    EXPECT_STREQ(api()->log(), "ProbeFirst-kernel;ProbeSecond-kernel;");
    EXPECT_TRUE(api()->kernel() == &first || api()->kernel() == &second);
  }
}

TEST_F(PackageFile, DefinitionsRegisteredBeforeInitialisationWaitForIt) {
  Host host;
  Loaded package(CopyOf(CORVEX_PROBE_PACKAGE, "probe.so"));
  auto init = package.Get<PckInit>("VANTPckInit");
  auto api = package.Get<const CorvexProbe* (*)()>("CorvexProbeApi");
  ASSERT_NE(api, nullptr);
  api()->registerLate();
  EXPECT_STREQ(api()->log(), "");
  ASSERT_EQ(init(&host, 0x804A8), 4);
  EXPECT_STREQ(api()->log(), "ProbeFirst-kernel;ProbeSecond-kernel;ProbeLate-kernel;");
}

TEST_F(PackageFile, GroupCountsAcrossTheLibraryBoundary) {
  Loaded plain(CopyOf(CORVEX_PACKAGE_FILE, "plain.pck"));
  Loaded package(CopyOf(CORVEX_PROBE_PACKAGE, "probe.so"));
  auto plainQuery = plain.Get<ModelsQuery>("VANTGetModulesDefStruct");
  auto query = package.Get<ModelsQuery>("VANTGetModulesDefStruct");
  ASSERT_NE(plainQuery, nullptr);
  ASSERT_NE(query, nullptr);

  // The probe adds two definitions to whatever the package itself declares.
  EXPECT_EQ(query(nullptr, nullptr, 0), plainQuery(nullptr, nullptr, 0) + 2);
  EXPECT_EQ(query("ProbeRoot", nullptr, 0), 2);
  EXPECT_EQ(query("ProbeChild", nullptr, 0), 1);
  void* out[3] = {};
  ASSERT_EQ(query("ProbeRoot", out, 3), 2);
  // The group's own definition first, then its subgroup's.
  EXPECT_STREQ(static_cast<VANTComponentModelDefinition*>(out[0])->modelName, "ProbeSecond");
  EXPECT_STREQ(static_cast<VANTComponentModelDefinition*>(out[1])->modelName, "ProbeFirst");
  EXPECT_EQ(out[2], nullptr);
}

TEST_F(PackageFile, HostLoadsAPackageFileAndCountsTablesBeforeTheFirstInstance) {
  Host host;
  const fs::path file = ProbeWithBlock("probe.pck");
  std::string error;
  ASSERT_TRUE(host.LoadPackage(file.string(), &error)) << error;
  VANTComponentModelDefinition* record = host.Model("ProbeFirst");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->inputCount, 2u);
  EXPECT_EQ(record->outputCount, 0u);
  EXPECT_EQ(record->propertyCount, 1u);
  EXPECT_EQ(record->actionCount, 0u);
  ASSERT_NE(host.Model("ProbeSecond"), nullptr);
  EXPECT_EQ(host.Model("ProbeLate"), nullptr);

  VANTModule* module = host.CreateComponent("ProbeFirst", "probe1");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(host.ModuleByName("probe1"), module);
  EXPECT_TRUE(host.NameTaken("probe1"));
  EXPECT_EQ(host.CreateComponent("ProbeFirst", "probe1"), nullptr);
  EXPECT_EQ(host.CreateComponent("NoSuchModel", "probe2"), nullptr);
  EXPECT_EQ(host.TakeReports().size(), 2u);

  auto package = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(package, nullptr);
  auto api = reinterpret_cast<const CorvexProbe* (*)()>(dlsym(package, "CorvexProbeApi"));
  EXPECT_EQ(api()->seenInputCount(), 2u) << "the factory must see real counts";
  EXPECT_EQ(api()->seenPropertyCount(), 1u);
  EXPECT_EQ(api()->kernel(), &host);
  dlclose(package);

  // The same models twice in one engine are refused.
  EXPECT_FALSE(host.LoadPackage(ProbeWithBlock("again.pck").string(), &error));
  EXPECT_NE(error.find("already known"), std::string::npos) << error;
}

TEST_F(PackageFile, HostRefusesPackagesForAnotherPlatformOrEngine) {
  const struct {
    const char* key;
    const char* value;
  } cases[] = {{"OS", "windows"}, {"ARCH", "aarch64"}, {"TARGET", "other"}, {"OS", ""}};
  for (const auto& c : cases) {
    Host host;
    std::string error;
    const fs::path file = ProbeWithBlock(std::string(c.key) + ".pck", c.key, c.value);
    EXPECT_FALSE(host.LoadPackage(file.string(), &error)) << c.key;
    EXPECT_NE(error.find(c.key), std::string::npos) << error;
    EXPECT_TRUE(host.Models().empty());
    const std::vector<HostReport> reports = host.TakeReports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].level, 2);
  }
  Host host;
  std::string error;
  EXPECT_FALSE(host.LoadPackage(CORVEX_PACKAGE_LIBRARY, &error)) << "no information block";
  EXPECT_FALSE(host.LoadPackage((m_dir / "missing.pck").string(), &error));
}

// A package whose SIG is not the digest of its code is refused before anything of it is loaded
// (it used to be loaded unchecked), with a message that says why.
TEST_F(PackageFile, HostRefusesAPackageWhoseSignatureDoesNotMatchItsCode) {
  std::vector<uint8_t> image = ReadAll(CORVEX_PROBE_PACKAGE);
  std::vector<uint8_t> other = image;
  other.push_back(0); // sound entries, but they sign another image
  std::string block;
  ASSERT_TRUE(VANT::BuildPackageInfoBlock(
      VANT::PackageEntries({"signed.pck", "1.4.0", "20240301", "Corvex Sorting Multiplexer"},
                           other.data(), other.size()),
      block));
  image.insert(image.end(), block.begin(), block.end());
  const fs::path file = m_dir / "signed.pck";
  WriteAll(file, image);

  Host host;
  std::string error;
  EXPECT_FALSE(host.LoadPackage(file.string(), &error));
  EXPECT_NE(error.find("SIG does not match the library code"), std::string::npos) << error;
  EXPECT_NE(error.find(file.string()), std::string::npos) << error;
  EXPECT_TRUE(host.Models().empty());
  EXPECT_EQ(dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "loaded anyway";
  const std::vector<HostReport> reports = host.TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 2);
}

// The command-line reader: its output, and damaged copies it must refuse without crashing.
struct ToolRun {
  int status = -1;
  std::string output;
};

ToolRun RunPckInfo(const std::string& path, const std::string& options = "") {
  const std::string command =
      std::string("'") + CORVEX_PCKINFO + "' " + options + " '" + path + "' 2>&1";
  ToolRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    return run;
  }
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    run.output.append(buffer, got);
  }
  const int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return run;
}

int RunCommand(const std::string& command) {
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

TEST_F(PackageFile, PackingIsReproducibleAndNamesWhatTheCallerSays) {
  const std::string pack = std::string("SOURCE_DATE_EPOCH=1709251200 '") + CORVEX_PACK +
                           "' --input '" + CORVEX_PACKAGE_LIBRARY +
                           "' --version 2.0.1 --description 'Acme Labs size filter' --output '";
  const fs::path first = m_dir / "first" / "acme_filter.pck";
  const fs::path second = m_dir / "second" / "acme_filter.pck";
  fs::create_directories(first.parent_path());
  fs::create_directories(second.parent_path());
  ASSERT_EQ(RunCommand(pack + first.string() + "'"), 0);
  ASSERT_EQ(RunCommand(pack + second.string() + "'"), 0);
  EXPECT_EQ(ReadAll(first.string()), ReadAll(second.string()));
  VANT::PackageInfo info;
  ASSERT_EQ(VANT::ReadPackageInfo(first.string(), info), VANT::PackageInfoStatus::kOk);
  EXPECT_EQ(*info.Find("DATE"), "20240301");
  EXPECT_EQ(*info.Find("FILENAME"), "acme_filter.pck");
  EXPECT_EQ(*info.Find("VERSION"), "2.0.1");
  EXPECT_EQ(*info.Find("DESCRIPTION"), "Acme Labs size filter");
  EXPECT_TRUE(VANT::CheckPackageEntries(info).empty());

  // Refusals leave no output behind: no input, no version, no description, a bad date, a
  // version or a file name the engine would refuse.
  const fs::path refused = m_dir / "refused.pck";
  const std::string library = std::string(" --input '") + CORVEX_PACKAGE_LIBRARY + "'";
  const std::string out = " --output '" + refused.string() + "'";
  for (const std::string& arguments : {
           " --input '" + (m_dir / "missing.so").string() + "' --version 1 --description d" + out,
           library + " --description d" + out,
           library + " --version 1.4.0" + out,
           library + " --version 1.4.0 --description d --date 2024-3-1" + out,
           library + " --version 1..4 --description d" + out,
           library + " --version 1.4.0 --description d --output '" + (m_dir / "x.so").string() +
               "'",
       }) {
    EXPECT_NE(RunCommand(std::string("'") + CORVEX_PACK + "'" + arguments + " 2>/dev/null"), 0)
        << arguments;
  }
  EXPECT_FALSE(fs::exists(refused));
  EXPECT_FALSE(fs::exists(m_dir / "x.so"));
}

TEST_F(PackageFile, PckInfoShowsAndVerifiesTheBuiltPackage) {
  const ToolRun run = RunPckInfo(CORVEX_PACKAGE_FILE);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("  OS=linux\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("  FILENAME=corvex_sorting_multiplexer.pck\n"), std::string::npos);
  EXPECT_NE(run.output.find("279 bytes"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("signature: valid"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("entries: valid"), std::string::npos) << run.output;
}

TEST_F(PackageFile, PckInfoListsTheModelsAPackageRegisters) {
  const struct {
    const char* file;
    const char* options;
    int status;
    std::vector<const char*> says;
  } cases[] = {
      {CORVEX_PACKAGE_FILE,
       "--models",
       0,
       {"models: 1\nmodel SortingMultiplexer, version 1.4.0\n  input    none in the record",
        "  output   output: type 0x", "  property nb_inputs = 1 (integer)\n",
        "  property flush_delay = 500000 (integer)\n"}},
      {CORVEX_SIZE_FILTER_PACKAGE,
       "--models",
       0,
       {"model PcapSizeFilter, version 1.0.0\n", "  input    input: accepts",
        "named VANTpcap_data_t", "  input    iEndOfFile: accepts",
        "  output   end_of_file: type 0x8000, FIFO of 4\n", "  property min_size = 0 (integer)"}},
      {CORVEX_EMPTY_PACKAGE, "--models", 4, {"registers no component model"}},
      {CORVEX_PACKAGE_FILE, "--help", 0, {"usage: corvex-pckinfo [--models] FILE.pck"}},
      {CORVEX_PACKAGE_FILE, "--modles", 1, {"unknown option --modles"}},
  };
  for (const auto& c : cases) {
    const ToolRun run = RunPckInfo(c.file, c.options);
    EXPECT_EQ(run.status, c.status) << c.file << " " << c.options << ": " << run.output;
    for (const char* text : c.says) {
      EXPECT_NE(run.output.find(text), std::string::npos) << text << " in:\n" << run.output;
    }
  }
}

// A bare name is the file in the current folder (the loader used to look for it along its own
// search path and fail), and a package without models loads with a warning.
TEST_F(PackageFile, HostTakesABareNameFromTheCurrentFolderAndWarnsOfNoModels) {
  CopyOf(CORVEX_EMPTY_PACKAGE, "empty.pck");
  const fs::path before = fs::current_path();
  fs::current_path(m_dir);
  Host host;
  std::string error;
  const bool loaded = host.LoadPackage("empty.pck", &error);
  fs::current_path(before);
  ASSERT_TRUE(loaded) << error;
  EXPECT_TRUE(host.Models().empty());
  const std::vector<HostReport> reports = host.TakeReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].text, "Package empty.pck: registers no component model");
}

TEST_F(PackageFile, PckInfoRefusesDamagedCopiesClearly) {
  const std::vector<uint8_t> good = ReadAll(CORVEX_PACKAGE_FILE);
  VANT::PackageInfo info;
  ASSERT_EQ(VANT::ParsePackageInfo(good.data(), good.size(), info), VANT::PackageInfoStatus::kOk);
  const size_t runStart = good.size() - 4 - info.length;

  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    int status;
    const char* says;
  };
  std::vector<Case> cases;
  cases.push_back({"truncated", {good.begin(), good.end() - 10}, 2, "length word"});
  // Cut inside the ELF header: its last word (section count and string-table index) is always
  // far beyond the 64 bytes left, whatever the library's layout.
  cases.push_back({"cut_in_image", {good.begin(), good.begin() + 64}, 2, "length word"});
  cases.push_back({"empty", {}, 2, "too short"});
  auto flipped = good;
  flipped[runStart / 2] ^= 0x40;
  cases.push_back({"image_byte_flipped", flipped, 3, "SIG does not match"});
  auto marker = good;
  marker[runStart] = 'X';
  cases.push_back({"marker", marker, 2, "marker"});
  auto huge = good;
  std::fill(huge.end() - 4, huge.end(), 0xFF);
  cases.push_back({"length_word", huge, 2, "length word"});
  auto signature = good;
  const std::string sigKey = "SIG=";
  auto at = std::search(signature.begin() + static_cast<std::ptrdiff_t>(runStart), signature.end(),
                        sigKey.begin(), sigKey.end());
  ASSERT_NE(at, signature.end());
  at[4] = at[4] == 'A' ? 'B' : 'A';
  cases.push_back({"signature_text", signature, 3, "SIG does not match"});
  // Entries changed after packing: the image and its SIG still agree, the entries do not.
  auto changed = [&](const std::string& key, size_t offset) {
    auto copy = good;
    const std::string prefix = key + "=";
    auto entry = std::search(copy.begin() + static_cast<std::ptrdiff_t>(runStart), copy.end(),
                             prefix.begin(), prefix.end());
    EXPECT_NE(entry, copy.end()) << key;
    uint8_t& byte = entry[static_cast<std::ptrdiff_t>(prefix.size() + offset)];
    byte = byte == '2' ? '3' : byte == 'x' ? 'z' : static_cast<uint8_t>(byte ^ 0x01);
    return copy;
  };
  cases.push_back({"os_byte", changed("OS", 4), 2, "built for OS 'linuz'"});
  cases.push_back({"date_byte", changed("DATE", 0), 2, "GENID"}); // still a valid date
  cases.push_back({"genid_byte", changed("GENID", 20), 2, "does not match the other entries"});
  cases.push_back({"description_byte", changed("DESCRIPTION", 1), 2, "GENID"});
  auto entries = info.entries;
  entries.erase(std::find_if(entries.begin(), entries.end(),
                             [](const auto& entry) { return entry.key == "TARGET"; }));
  std::string block;
  ASSERT_TRUE(VANT::BuildPackageInfoBlock(entries, block));
  std::vector<uint8_t> withoutTarget(good.begin(),
                                     good.begin() + static_cast<std::ptrdiff_t>(runStart));
  withoutTarget.insert(withoutTarget.end(), block.begin(), block.end());
  cases.push_back({"no_target", withoutTarget, 2, "no TARGET entry"});

  for (const Case& c : cases) {
    const fs::path path = m_dir / (std::string(c.name) + ".pck");
    WriteAll(path, c.bytes);
    const ToolRun run = RunPckInfo(path.string());
    EXPECT_EQ(run.status, c.status) << c.name << ": " << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.name << ": " << run.output;
    EXPECT_NE(run.output.find(path.string()), std::string::npos) << "names the file";
  }
  const ToolRun missing = RunPckInfo((m_dir / "missing.pck").string());
  EXPECT_EQ(missing.status, 1) << missing.output;
  EXPECT_NE(missing.output.find("cannot be read"), std::string::npos) << missing.output;
}

} // namespace
