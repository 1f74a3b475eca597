// The package information reader on arbitrary file contents, in memory and from a file.
//
// Input: the whole file. Both readers must agree on the status and the entries; a block they
// accept must lie within the file, and its entries must be written back by the block builder into
// a block that both readers give back unchanged. The entry check passes only the package's own
// entries in their order.

#include "fuzz_support.h"
#include "packaging/vant_package_info.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

bool SameEntries(const VANT::PackageInfo& a, const VANT::PackageInfo& b) {
  if (a.entries.size() != b.entries.size()) {
    return false;
  }
  for (size_t i = 0; i < a.entries.size(); ++i) {
    if (a.entries[i].key != b.entries[i].key || a.entries[i].value != b.entries[i].value) {
      return false;
    }
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const fuzz::ScratchFile file(".pck");
  const std::vector<uint8_t> content(bytes, bytes + size); // exactly the file's size

  VANT::PackageInfo memory;
  const VANT::PackageInfoStatus status =
      VANT::ParsePackageInfo(content.empty() ? bytes : content.data(), content.size(), memory);
  FUZZ_CHECK(VANT::Describe(status) != nullptr);

  FUZZ_CHECK(file.Write(bytes, size));
  VANT::PackageInfo disk;
  const VANT::PackageInfoStatus diskStatus = VANT::ReadPackageInfo(file.Path(), disk);
  FUZZ_CHECK(diskStatus == status);
  if (status != VANT::PackageInfoStatus::kOk) {
    return 0;
  }
  FUZZ_CHECK(SameEntries(memory, disk));
  FUZZ_CHECK(memory.imageSize == disk.imageSize && memory.length == disk.length);
  FUZZ_CHECK(memory.length > 0 && memory.length <= VANT::kPackageInfoMaxLength);
  FUZZ_CHECK(memory.imageSize + memory.length + 4 == size);
  const uint8_t* run = content.data() + memory.imageSize;
  FUZZ_CHECK(std::memcmp(run, VANT::kPackageInfoMarker.data(), VANT::kPackageInfoMarker.size()) ==
                 0 &&
             run[VANT::kPackageInfoMarker.size()] == 0);
  for (const VANT::PackageInfoEntry& entry : memory.entries) {
    FUZZ_CHECK(entry.key.find('=') == std::string::npos);
    FUZZ_CHECK(entry.key.find('\0') == std::string::npos);
    FUZZ_CHECK(entry.value.find('\0') == std::string::npos);
    if (const std::string* found = memory.Find(entry.key)) {
      FUZZ_CHECK(found->size() <= memory.length);
    }
  }

  // The entry check takes any entries; what it passes is exactly the package's set, in order,
  // sealed by its GENID.
  const std::vector<std::string> problems = VANT::CheckPackageEntries(memory);
  if (problems.empty()) {
    FUZZ_CHECK(memory.entries.size() == std::size(VANT::kPackageKeys));
    for (size_t i = 0; i < memory.entries.size(); ++i) {
      FUZZ_CHECK(memory.entries[i].key == VANT::kPackageKeys[i]);
    }
    FUZZ_CHECK(*memory.Find("GENID") == VANT::GenerationId(memory.entries));
  }

  // Written back behind the same image, the entries read the same. A key may be empty ("=x"),
  // which the builder refuses.
  std::string block;
  if (!VANT::BuildPackageInfoBlock(memory.entries, block)) {
    bool emptyKey = false;
    for (const VANT::PackageInfoEntry& entry : memory.entries) {
      emptyKey = emptyKey || entry.key.empty();
    }
    FUZZ_CHECK(emptyKey);
    return 0;
  }
  std::vector<uint8_t> rebuilt(content.begin(), content.begin() + memory.imageSize);
  rebuilt.insert(rebuilt.end(), block.begin(), block.end());
  VANT::PackageInfo again;
  FUZZ_CHECK(VANT::ParsePackageInfo(rebuilt.data(), rebuilt.size(), again) ==
             VANT::PackageInfoStatus::kOk);
  FUZZ_CHECK(SameEntries(again, memory) && again.imageSize == memory.imageSize);
  FUZZ_CHECK(again.length <= memory.length); // empty texts of the original are not written
  return 0;
}
