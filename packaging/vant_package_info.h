#pragma once
// The package information block appended to a package file: a run of NUL-terminated texts (the
// marker "PACKAGE_INFO", then one "KEY=value" text per entry) followed by the run's length L as
// an unsigned 32-bit little-endian word. The engine reads it from the end of the file without
// loading the library; the packaging step writes it after the link.
//
// Thread: free functions without shared state.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace VANT {

inline constexpr std::string_view kPackageInfoMarker = "PACKAGE_INFO";
/// Longest string run accepted when reading; a larger length word means a damaged file.
inline constexpr uint32_t kPackageInfoMaxLength = 1u << 20;

struct PackageInfoEntry {
  std::string key;
  std::string value;
};

enum class PackageInfoStatus {
  kOk,
  kTooShort,         // fewer than 4 bytes: no length word
  kLengthOutOfRange, // L is 0, larger than the bytes before the length word, or implausible
  kUnterminated,     // the run does not end with a NUL byte
  kNoMarker,         // the first text is not "PACKAGE_INFO"
  kBadEntry,         // a non-empty text without "="
  kReadError,        // the file could not be opened or read
};

/// A short English description of a status, for messages.
const char* Describe(PackageInfoStatus status) noexcept;

struct PackageInfo {
  std::vector<PackageInfoEntry> entries; // in file order, marker excluded
  uint64_t imageSize = 0;                // bytes before the block: the library image
  uint32_t length = 0;                   // L

  /// The value of the first entry with that key, or null.
  const std::string* Find(std::string_view key) const noexcept;
};

/// The string run for these entries (marker first, every text NUL-terminated), without L.
/// Keys must be non-empty without "=" or NUL, values without NUL; returns false otherwise.
bool BuildPackageInfoRun(const std::vector<PackageInfoEntry>& entries, std::string& run);
/// The whole block: the run followed by its length word.
bool BuildPackageInfoBlock(const std::vector<PackageInfoEntry>& entries, std::string& block);

/// Parses the block at the end of a file held in memory.
PackageInfoStatus ParsePackageInfo(const uint8_t* file, size_t size, PackageInfo& info);
/// Parses the block at the end of a file, reading only its tail.
PackageInfoStatus ReadPackageInfo(const std::string& path, PackageInfo& info);

/// The keys of a package's entries, in their file order.
inline constexpr std::string_view kPackageKeys[] = {
    "FILENAME", "OS", "ARCH", "VERSION", "DATE", "TARGET", "SIG", "GENID", "DESCRIPTION"};
/// The platform and engine this build makes packages for, and loads them on.
inline constexpr std::string_view kPackageOs = "linux";
inline constexpr std::string_view kPackageArch = "x86_64";
inline constexpr std::string_view kPackageTarget = "corvex";

/// What this build writes into the block of the package file.
struct PackageDescription {
  std::string fileName; // FILENAME: the package file's name, extension ".pck"
  std::string version;  // VERSION: the component model's version
  std::string date;     // DATE: eight digits, year, month, day
  std::string text;     // DESCRIPTION: one line naming the maker and what the package holds
};

/// The package's entries in their file order: FILENAME, OS (linux), ARCH (x86_64), VERSION,
/// DATE, TARGET (corvex), SIG (Base64 of the image's 64-byte SHA-512), GENID (GenerationId of
/// the others), DESCRIPTION (description.text).
std::vector<PackageInfoEntry> PackageEntries(const PackageDescription& description,
                                             const uint8_t* image, size_t imageSize);

/// The GENID of a package: "corvex-" and the first 17 hexadecimal digits of the SHA-512 of every
/// entry but GENID ("KEY=value" and its terminator, in file order), 24 characters. As SIG is
/// among them, the GENID ties every entry to the library image: with a byte changed in any entry
/// the block no longer matches its GENID.
std::string GenerationId(const std::vector<PackageInfoEntry>& entries);

/// What is wrong with a package's entries, one sentence each (first the set and order, then the
/// values in entry order); empty when they are sound. The entries must be exactly those of
/// kPackageKeys, once each and in that order; FILENAME a file name ending in ".pck"; OS, ARCH and
/// TARGET this engine's; VERSION numbers separated by dots; DATE a calendar date as eight digits;
/// SIG the Base64 text of 64 bytes; GENID the GenerationId of the entries; DESCRIPTION one line
/// of text, not blank. Whether SIG is the digest of the library image is ImageSignature's to
/// tell.
std::vector<std::string> CheckPackageEntries(const PackageInfo& info);

/// The text with every control byte written as \xNN, for messages and listings.
std::string PrintableText(std::string_view text);

/// The build date as eight digits (UTC): from sourceDateEpoch (seconds since 1970, as
/// SOURCE_DATE_EPOCH gives it) when it is set and valid, else from now.
std::string BuildDate(const char* sourceDateEpoch, int64_t now);

/// Reads a whole regular file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes);

/// Base64 of the SHA-512 of the first imageSize bytes of the file at path; empty when the file
/// cannot be read that far.
std::string ImageSignature(const std::string& path, uint64_t imageSize);

} // namespace VANT
