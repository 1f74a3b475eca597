// corvex-pckinfo: shows the package information block of a package file and checks it: the
// PACKAGE_INFO marker and the length word; the entries (each of FILENAME, OS, ARCH, VERSION,
// DATE, TARGET, SIG, GENID, DESCRIPTION once, in that order, with sound values for this engine,
// and a GENID that matches the others, so that a byte changed in the block is caught); and the
// signature (SIG must be the Base64 of the SHA-512 of the library image in front of the block).
//
//   corvex-pckinfo FILE.pck
//
// Exit status: 0 valid; 1 usage or unreadable file; 2 damaged or truncated block, or entries
// missing, out of order or with wrong values; 3 signature missing or not matching the image.
#include "packaging/vant_package_info.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kValid = 0;
constexpr int kUsage = 1;
constexpr int kDamaged = 2;
constexpr int kBadSignature = 3;

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: corvex-pckinfo FILE.pck\n");
    return kUsage;
  }
  const std::string path = argv[1];
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
  return kValid;
}
