// corvex-pckinfo: shows the package information block of a package file and checks it: the
// PACKAGE_INFO marker, the length word and the signature (SIG must be the Base64 of the SHA-512
// of the library image in front of the block).
//
//   corvex-pckinfo FILE.pck
//
// Exit status: 0 valid; 1 usage or unreadable file; 2 damaged or truncated block; 3 signature
// missing or not matching the image.
#include "packaging/vant_package_info.h"

#include <cstdio>
#include <string>

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
    std::printf("  %s=%s\n", entry.key.c_str(), entry.value.c_str());
  }

  const std::string* signature = info.Find("SIG");
  if (!signature) {
    std::fprintf(stderr, "corvex-pckinfo: %s: no SIG entry\n", path.c_str());
    return kBadSignature;
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
  return kValid;
}
