#include "packaging/vant_package_info.h"

#include "packaging/vant_base64.h"
#include "packaging/vant_sha512.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace VANT {
namespace {

// Closes a descriptor on every way out.
class FileDescriptor {
public:
  explicit FileDescriptor(int fd) noexcept : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int Get() const noexcept { return m_fd; }

private:
  int m_fd;
};

bool ReadFully(int fd, void* buffer, size_t size, uint64_t offset) noexcept {
  auto* bytes = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    const ssize_t got = ::pread(fd, bytes, size, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    bytes += got;
    size -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

uint32_t LoadLittleEndian32(const uint8_t* p) noexcept {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

// Splits the run (whose last byte is a NUL) into the marker and the entries.
PackageInfoStatus SplitRun(const uint8_t* run, uint32_t length, PackageInfo& info) {
  if (length == 0 || run[length - 1] != 0) {
    return PackageInfoStatus::kUnterminated;
  }
  std::vector<PackageInfoEntry> entries;
  bool first = true;
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (run[i] != 0) {
      continue;
    }
    const std::string_view text(reinterpret_cast<const char*>(run) + start, i - start);
    start = i + 1;
    if (first) {
      if (text != kPackageInfoMarker) {
        return PackageInfoStatus::kNoMarker;
      }
      first = false;
      continue;
    }
    if (text.empty()) {
      continue;
    }
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
      return PackageInfoStatus::kBadEntry;
    }
    entries.push_back({std::string(text.substr(0, equals)), std::string(text.substr(equals + 1))});
  }
  info.entries = std::move(entries);
  return PackageInfoStatus::kOk;
}

bool IsDigit(char c) noexcept {
  return c >= '0' && c <= '9';
}

bool HasControlBytes(std::string_view text) noexcept {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<uint8_t>(c);
    return byte < 0x20 || byte == 0x7F;
  });
}

// A file name (no directory) with a stem and the extension ".pck".
bool ValidFileName(std::string_view name) noexcept {
  constexpr std::string_view kExtension = ".pck";
  return name.size() > kExtension.size() && name.ends_with(kExtension) &&
         name.find('/') == std::string_view::npos && !HasControlBytes(name);
}

// Decimal numbers separated by single dots: "1", "1.4.0".
bool ValidVersion(std::string_view version) noexcept {
  bool digitBefore = false;
  for (const char c : version) {
    if (IsDigit(c)) {
      digitBefore = true;
    } else if (c == '.' && digitBefore) {
      digitBefore = false;
    } else {
      return false;
    }
  }
  return digitBefore;
}

// Eight digits that name a day of the Gregorian calendar: year, month, day.
bool ValidDate(std::string_view date) noexcept {
  if (date.size() != 8 || !std::all_of(date.begin(), date.end(), IsDigit)) {
    return false;
  }
  auto number = [&](size_t from, size_t count) {
    int value = 0;
    for (size_t i = from; i < from + count; ++i) {
      value = value * 10 + (date[i] - '0');
    }
    return value;
  };
  const int year = number(0, 4);
  const int month = number(4, 2);
  const int day = number(6, 2);
  if (year < 1 || month < 1 || month > 12 || day < 1) {
    return false;
  }
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// The Base64 text of 64 bytes: 86 characters of the alphabet, then "==".
bool ValidSignatureText(std::string_view text) noexcept {
  if (text.size() != 88 || !text.ends_with("==")) {
    return false;
  }
  return std::all_of(text.begin(), text.end() - 2, [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || IsDigit(c) || c == '+' || c == '/';
  });
}

// One line of text, not blank: what it says is the packager's (every package has its own).
bool ValidDescription(std::string_view text) noexcept {
  return text.find_first_not_of(' ') != std::string_view::npos && !HasControlBytes(text);
}

bool ValidEntry(const PackageInfoEntry& entry) noexcept {
  return !entry.key.empty() && entry.key.find('=') == std::string::npos &&
         entry.key.find('\0') == std::string::npos && entry.value.find('\0') == std::string::npos;
}

} // namespace

const char* Describe(PackageInfoStatus status) noexcept {
  switch (status) {
  case PackageInfoStatus::kOk:
    return "package information is valid";
  case PackageInfoStatus::kTooShort:
    return "file too short to hold a package information block";
  case PackageInfoStatus::kLengthOutOfRange:
    return "length word does not fit the file (truncated or not a package file)";
  case PackageInfoStatus::kUnterminated:
    return "package information is not NUL-terminated (damaged block)";
  case PackageInfoStatus::kNoMarker:
    return "PACKAGE_INFO marker missing (damaged block or not a package file)";
  case PackageInfoStatus::kBadEntry:
    return "package information entry without '=' (damaged block)";
  case PackageInfoStatus::kReadError:
    return "file cannot be read";
  }
  return "unknown status";
}

const std::string* PackageInfo::Find(std::string_view key) const noexcept {
  for (const PackageInfoEntry& entry : entries) {
    if (entry.key == key) {
      return &entry.value;
    }
  }
  return nullptr;
}

bool BuildPackageInfoRun(const std::vector<PackageInfoEntry>& entries, std::string& run) {
  std::string text(kPackageInfoMarker);
  text += '\0';
  for (const PackageInfoEntry& entry : entries) {
    if (!ValidEntry(entry)) {
      return false;
    }
    text += entry.key;
    text += '=';
    text += entry.value;
    text += '\0';
  }
  if (text.size() > kPackageInfoMaxLength) {
    return false;
  }
  run = std::move(text);
  return true;
}

bool BuildPackageInfoBlock(const std::vector<PackageInfoEntry>& entries, std::string& block) {
  std::string run;
  if (!BuildPackageInfoRun(entries, run)) {
    return false;
  }
  const auto length = static_cast<uint32_t>(run.size());
  for (int i = 0; i < 4; ++i) {
    run += static_cast<char>((length >> (8 * i)) & 0xFF);
  }
  block = std::move(run);
  return true;
}

PackageInfoStatus ParsePackageInfo(const uint8_t* file, size_t size, PackageInfo& info) {
  if (!file || size < 4) {
    return PackageInfoStatus::kTooShort;
  }
  const uint32_t length = LoadLittleEndian32(file + size - 4);
  if (length == 0 || length > kPackageInfoMaxLength || length > size - 4) {
    return PackageInfoStatus::kLengthOutOfRange;
  }
  const size_t runStart = size - 4 - length;
  const PackageInfoStatus status = SplitRun(file + runStart, length, info);
  if (status == PackageInfoStatus::kOk) {
    info.imageSize = runStart;
    info.length = length;
  }
  return status;
}

PackageInfoStatus ReadPackageInfo(const std::string& path, PackageInfo& info) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return PackageInfoStatus::kReadError;
  }
  const auto size = static_cast<uint64_t>(status.st_size);
  if (size < 4) {
    return PackageInfoStatus::kTooShort;
  }
  uint8_t word[4];
  if (!ReadFully(fd.Get(), word, sizeof(word), size - 4)) {
    return PackageInfoStatus::kReadError;
  }
  const uint32_t length = LoadLittleEndian32(word);
  if (length == 0 || length > kPackageInfoMaxLength || length > size - 4) {
    return PackageInfoStatus::kLengthOutOfRange;
  }
  std::vector<uint8_t> run(length);
  if (!ReadFully(fd.Get(), run.data(), length, size - 4 - length)) {
    return PackageInfoStatus::kReadError;
  }
  const PackageInfoStatus result = SplitRun(run.data(), length, info);
  if (result == PackageInfoStatus::kOk) {
    info.imageSize = size - 4 - length;
    info.length = length;
  }
  return result;
}

std::vector<PackageInfoEntry> PackageEntries(const PackageDescription& description,
                                             const uint8_t* image, size_t imageSize) {
  const Sha512::Digest digest = Sha512::Of(image, imageSize);
  std::vector<PackageInfoEntry> entries = {
      {"FILENAME", description.fileName},
      {"OS", std::string(kPackageOs)},
      {"ARCH", std::string(kPackageArch)},
      {"VERSION", description.version},
      {"DATE", description.date},
      {"TARGET", std::string(kPackageTarget)},
      {"SIG", Base64Encode(digest.data(), digest.size())},
      {"GENID", ""},
      {"DESCRIPTION", description.text},
  };
  entries[7].value = GenerationId(entries);
  return entries;
}

std::string GenerationId(const std::vector<PackageInfoEntry>& entries) {
  Sha512 hash;
  for (const PackageInfoEntry& entry : entries) {
    if (entry.key == "GENID") {
      continue;
    }
    const std::string text = entry.key + '=' + entry.value;
    hash.Update(reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1);
  }
  const Sha512::Digest digest = hash.Finish();
  static constexpr char kHex[] = "0123456789abcdef";
  std::string genid = "corvex-";
  for (size_t i = 0; genid.size() < 24; ++i) {
    const uint8_t byte = digest[i / 2];
    genid += kHex[i % 2 == 0 ? byte >> 4 : byte & 0xF];
  }
  return genid;
}

std::string PrintableText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string printable;
  for (const char c : text) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F) {
      printable += "\\x";
      printable += kHex[byte >> 4];
      printable += kHex[byte & 0xF];
    } else {
      printable += c;
    }
  }
  return printable;
}

std::vector<std::string> CheckPackageEntries(const PackageInfo& info) {
  std::vector<std::string> problems;
  auto quoted = [](const std::string& value) { return "'" + PrintableText(value) + "'"; };

  // The set of entries, then their order.
  for (const std::string_view key : kPackageKeys) {
    const auto count =
        std::count_if(info.entries.begin(), info.entries.end(),
                      [&](const PackageInfoEntry& entry) { return entry.key == key; });
    if (count == 0) {
      problems.push_back("no " + std::string(key) + " entry");
    } else if (count > 1) {
      problems.push_back(std::string(key) + " entry appears " + std::to_string(count) + " times");
    }
  }
  for (const PackageInfoEntry& entry : info.entries) {
    if (std::find(std::begin(kPackageKeys), std::end(kPackageKeys), entry.key) ==
        std::end(kPackageKeys)) {
      problems.push_back("unknown entry " + quoted(entry.key));
    }
  }
  if (problems.empty() &&
      !std::equal(info.entries.begin(), info.entries.end(), std::begin(kPackageKeys),
                  std::end(kPackageKeys), [](const PackageInfoEntry& entry, std::string_view key) {
                    return entry.key == key;
                  })) {
    problems.push_back("entries out of order (FILENAME, OS, ARCH, VERSION, DATE, TARGET, SIG, "
                       "GENID, DESCRIPTION expected)");
  }

  // The values, in entry order.
  for (const PackageInfoEntry& entry : info.entries) {
    const std::string& value = entry.value;
    if (entry.key == "FILENAME") {
      if (!ValidFileName(value)) {
        problems.push_back("FILENAME " + quoted(value) + " is not a package file name (NAME.pck)");
      }
    } else if (entry.key == "OS" || entry.key == "ARCH" || entry.key == "TARGET") {
      const std::string_view expected = entry.key == "OS"     ? kPackageOs
                                        : entry.key == "ARCH" ? kPackageArch
                                                              : kPackageTarget;
      if (value != expected) {
        problems.push_back("built for " + entry.key + " " + quoted(value) +
                           ", this engine needs '" + std::string(expected) + "'");
      }
    } else if (entry.key == "VERSION") {
      if (!ValidVersion(value)) {
        problems.push_back("VERSION " + quoted(value) + " is not a version (numbers and dots)");
      }
    } else if (entry.key == "DATE") {
      if (!ValidDate(value)) {
        problems.push_back("DATE " + quoted(value) + " is not a date (YYYYMMDD)");
      }
    } else if (entry.key == "SIG") {
      if (!ValidSignatureText(value)) {
        problems.push_back("SIG is not the Base64 text of a 64-byte digest");
      }
    } else if (entry.key == "GENID") {
      if (value != GenerationId(info.entries)) {
        problems.push_back("GENID " + quoted(value) +
                           " does not match the other entries (the block was changed after "
                           "packing)");
      }
    } else if (entry.key == "DESCRIPTION") {
      if (!ValidDescription(value)) {
        problems.push_back("DESCRIPTION " + quoted(value) + " is not one line of text");
      }
    }
  }
  return problems;
}

std::string BuildDate(const char* sourceDateEpoch, int64_t now) {
  int64_t seconds = now;
  if (sourceDateEpoch && *sourceDateEpoch) {
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(sourceDateEpoch, &end, 10);
    if (errno == 0 && end && *end == '\0' && parsed >= 0 && parsed <= 253402300799LL) {
      seconds = parsed; // up to 9999-12-31 23:59:59
    }
  }
  const time_t time = static_cast<time_t>(seconds);
  struct tm utc {};
  gmtime_r(&time, &utc);
  char text[48];
  std::snprintf(text, sizeof(text), "%04d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday);
  return text;
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status {};
  if (fd.Get() < 0 || ::fstat(fd.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  std::vector<uint8_t> content(static_cast<size_t>(status.st_size));
  if (!ReadFully(fd.Get(), content.data(), content.size(), 0)) {
    return false;
  }
  bytes = std::move(content);
  return true;
}

std::string ImageSignature(const std::string& path, uint64_t imageSize) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) {
    return {};
  }
  Sha512 hash;
  std::vector<uint8_t> buffer(1 << 16);
  uint64_t offset = 0;
  while (offset < imageSize) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), imageSize - offset));
    if (!ReadFully(fd.Get(), buffer.data(), want, offset)) {
      return {};
    }
    hash.Update(buffer.data(), want);
    offset += want;
  }
  const Sha512::Digest digest = hash.Finish();
  return Base64Encode(digest.data(), digest.size());
}

} // namespace VANT
