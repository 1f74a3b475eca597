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
  // GENID: a fixed origin prefix and the first 17 hex digits of the image digest, 24 characters.
  static constexpr char kHex[] = "0123456789abcdef";
  std::string genid = "corvex-";
  for (size_t i = 0; genid.size() < 24; ++i) {
    const uint8_t byte = digest[i / 2];
    genid += kHex[i % 2 == 0 ? byte >> 4 : byte & 0xF];
  }
  return {
      {"FILENAME", description.fileName},
      {"OS", "linux"},
      {"ARCH", "x86_64"},
      {"VERSION", description.version},
      {"DATE", description.date},
      {"TARGET", "corvex"},
      {"SIG", Base64Encode(digest.data(), digest.size())},
      {"GENID", genid},
      {"DESCRIPTION", "Corvex Sorting Multiplexer"},
  };
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
