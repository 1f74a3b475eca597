// corvex-pckinfo: shows the package information block of a package file and checks it: the
// PACKAGE_INFO marker and the length word; the entries (each of FILENAME, OS, ARCH, VERSION,
// DATE, TARGET, SIG, GENID, DESCRIPTION once, in that order, with sound values for this engine,
// and a GENID that matches the others, so that a byte changed in the block is caught); and the
// signature (SIG must be the Base64 of the SHA-512 of the library image in front of the block).
//
//   corvex-pckinfo [--models] FILE.pck
//
// With --models, a valid package is then loaded in the engine stand-in and the models it
// registers are listed with their inputs, outputs and properties.
//
// Exit status: 0 valid; 1 usage or unreadable file; 2 damaged or truncated block, or entries
// missing, out of order or with wrong values; 3 signature missing or not matching the image;
// 4 (--models) the package cannot be loaded or registers no model.
#include "host/host.h"
#include "packaging/vant_package_info.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kValid = 0;
constexpr int kUsage = 1;
constexpr int kDamaged = 2;
constexpr int kBadSignature = 3;
constexpr int kNotLoaded = 4;

constexpr const char kUsageText[] = "usage: corvex-pckinfo [--models] FILE.pck\n"
                                    "       corvex-pckinfo --help\n";

constexpr const char kHelpText[] =
    "\nShows the package information block of a Corvex package file and checks it: every entry\n"
    "present once and in order, values this engine accepts, a GENID matching the other entries\n"
    "and a SIG that is the SHA-512 of the library in front of the block.\n"
    "\n"
    "  --models    then load the package (as the engine does) and list the component models it\n"
    "              registers, with their inputs, outputs and properties\n"
    "  -h, --help  this text\n"
    "\n"
    "Exit status: 0 valid; 1 usage error or unreadable file; 2 damaged block or wrong entries;\n"
    "3 signature missing or not matching; 4 (--models) not loadable, or no model registered.\n";

// Loads the package in a host of its own and lists its models.
int ListModels(const std::string& path) {
  // The host stays: the package keeps its kernel pointer until the process ends.
  auto* host = new Host();
  std::string error;
  int32_t count = 0;
  if (!host->Packages().Load(path, host, error, &count)) {
    std::fprintf(stderr, "corvex-pckinfo: %s\n", error.c_str());
    return kNotLoaded;
  }
  if (count <= 0) {
    std::fprintf(stderr, "corvex-pckinfo: %s: the package registers no component model\n",
                 path.c_str());
    return kNotLoaded;
  }
  std::printf("models: %d\n", count);
  for (VANTComponentModelDefinition* record : host->Packages().Models()) {
    HostPackages::FillCounts(record);
    std::printf("%s", HostPackages::DescribeModel(*record).c_str());
  }
  return kValid;
}

} // namespace

int main(int argc, char** argv) {
  bool models = false;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0) {
      std::printf("%s%s", kUsageText, kHelpText);
      return kValid;
    }
    if (std::strcmp(argument, "--models") == 0) {
      models = true;
    } else if (argument[0] == '-' && argument[1] != '\0') {
      std::fprintf(stderr, "corvex-pckinfo: unknown option %s\n%s", argument, kUsageText);
      return kUsage;
    } else if (path.empty()) {
      path = argument;
    } else {
      std::fprintf(stderr, "corvex-pckinfo: one package file only\n%s", kUsageText);
      return kUsage;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "%s", kUsageText);
    return kUsage;
  }
  VANT::PackageInfo info;
  const VANT::PackageInfoStatus status = VANT::ReadPackageInfo(path, info);
  if (status != VANT::PackageInfoStatus::kOk) {
    std::fprintf(stderr, "corvex-pckinfo: %s: %s\n", path.c_str(), VANT::Describe(status));
    return status == VANT::PackageInfoStatus::kReadError ? kUsage : kDamaged;
  }

  std::printf("file: %s\n", path.c_str());
  std::printf("library image: %llu bytes\n", static_cast<unsigned long long>(info.imageSize));
  std::printf("information block: %u bytes + 4-byte length word, %zu entries\n", info.length,
              info.entries.size());
  for (const VANT::PackageInfoEntry& entry : info.entries) {
    std::printf("  %s=%s\n", VANT::PrintableText(entry.key).c_str(),
                VANT::PrintableText(entry.value).c_str());
  }
  std::fflush(stdout);

  const std::vector<std::string> problems = VANT::CheckPackageEntries(info);
  for (const std::string& problem : problems) {
    std::fprintf(stderr, "corvex-pckinfo: %s: %s\n", path.c_str(), problem.c_str());
  }
  const std::string* signature = info.Find("SIG");
  if (!signature) {
    return kBadSignature; // reported with the other problems
  }
  const std::string actual = VANT::ImageSignature(path, info.imageSize);
  if (actual.empty()) {
    std::fprintf(stderr, "corvex-pckinfo: %s: library image cannot be read\n", path.c_str());
    return kUsage;
  }
  if (actual != *signature) {
    std::fprintf(stderr,
                 "corvex-pckinfo: %s: SIG does not match the library image (damaged file)\n",
                 path.c_str());
    return kBadSignature;
  }
  std::printf("signature: valid (SHA-512 of the library image)\n");
  std::fflush(stdout);
  if (!problems.empty()) {
    std::fprintf(stderr, "corvex-pckinfo: %s: package information is not valid\n", path.c_str());
    return kDamaged;
  }
  std::printf("entries: valid\n");
  std::fflush(stdout);
  return models ? ListModels(path) : kValid;
}
