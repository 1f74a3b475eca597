#include "files/vant_file.h"

#include "files/vant_path_check.h"

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

bool IsNetworkPath(const char* text) noexcept {
  return text[0] == '\\' && text[1] == '\\';
}

/// The text with its separators folded: "." removed, ".." climbing one level (never above the
/// root, nor above the server of a network path), repeated "/" merged. text must be absolute.
std::string Fold(std::string_view text) {
  std::string prefix = "/";
  std::size_t floor = 0; // components ".." may not remove
  if (text.size() >= 2 && text[0] == '\\' && text[1] == '\\') {
    prefix = "\\\\";
    text.remove_prefix(2);
    floor = 1;
  }
  std::vector<std::string_view> parts;
  bool directoryForm = text.empty() || text.back() == '/';
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('/', start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    const std::string_view part = text.substr(start, end - start);
    if (part == "..") {
      if (parts.size() > floor) {
        parts.pop_back();
      }
      directoryForm = true;
    } else if (part == ".") {
      directoryForm = true;
    } else if (!part.empty()) {
      parts.push_back(part);
      directoryForm = false;
    }
    start = end + 1;
  }
  if (!text.empty() && text.back() == '/') {
    directoryForm = true;
  }
  std::string folded = prefix;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      folded += '/';
    }
    folded += parts[i];
  }
  if (directoryForm && !parts.empty()) {
    folded += '/';
  }
  return folded;
}

/// The components of a folded absolute path after its prefix.
std::vector<std::string_view> Components(std::string_view folded) {
  folded.remove_prefix(folded.rfind("\\\\", 0) == 0 ? 2 : 1);
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start < folded.size()) {
    std::size_t end = folded.find('/', start);
    if (end == std::string_view::npos) {
      end = folded.size();
    }
    if (end > start) {
      parts.push_back(folded.substr(start, end - start));
    }
    start = end + 1;
  }
  return parts;
}

int64_t LocalMicroseconds(const statx_timestamp& stamp) noexcept {
  const time_t seconds = static_cast<time_t>(stamp.tv_sec);
  struct tm local {};
  const int64_t offset = ::localtime_r(&seconds, &local) != nullptr ? local.tm_gmtoff : 0;
  return (stamp.tv_sec + offset) * 1000000 + stamp.tv_nsec / 1000;
}

} // namespace

VANTFile::VANTFile(const char* text) {
  SetPath(text);
}

void VANTFile::SetPath(const char* text) {
  VANTStackedString<40> path(text); // a copy: text may be this object's own name or directory
  char* data = path.Data();
  const int32_t length = path.Length();
  const int32_t first = length >= 2 && IsNetworkPath(data) ? 2 : 0;
  int32_t lastSlash = -1;
  for (int32_t i = first; i < length; ++i) {
    if (data[i] == '\\') {
      data[i] = '/';
    }
    if (data[i] == '/') {
      lastSlash = i;
    }
  }
  m_directory = VANTStackedString<40>(data, lastSlash + 1);
  m_name = VANTStackedString<40>(data + lastSlash + 1, length - lastSlash - 1);
}

VANTStackedString<40> VANTFile::FullPath() const {
  VANTStackedString<40> full(m_directory);
  full += m_name;
  return full;
}

VANTFile VANTFile::ExecutablePath() {
  std::string buffer(260, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) {
      return VANTFile();
    }
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return VANTFile(buffer.c_str());
    }
    buffer.resize(buffer.size() * 2); // the link may have been cut: read it again, larger
  }
}

VANTFile VANTFile::FromAddress(const void* address) {
  Dl_info info{};
  link_map* map = nullptr;
  if (address == nullptr ||
      ::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
    return VANTFile();
  }
  // The main program's link map has an empty name, and its dli_fname is only argv[0].
  if (map == nullptr || map->l_name == nullptr || map->l_name[0] == 0 ||
      info.dli_fname == nullptr || info.dli_fname[0] == 0) {
    return ExecutablePath();
  }
  return VANTFile(info.dli_fname);
}

VANTFile VANTFile::EngineDirectory() {
  const void* symbol = ::dlsym(RTLD_DEFAULT, "vant_init");
  if (symbol == nullptr) {
    return VANTFile();
  }
  const VANTFile engine = FromAddress(symbol);
  return VANTFile(engine.Directory().Text());
}

bool VANTFile::ExistsAndIsReadable() const {
  VANTStackedString<40> full = FullPath();
  int32_t length = full.Length();
  while (length > 0 && (full.Text()[length - 1] == '/' || full.Text()[length - 1] == '\\')) {
    --length;
  }
  if (length == 0 && full.Text()[0] == '/') {
    length = 1; // the root itself
  }
  if (length == 0) {
    return false;
  }
  const VANTStackedString<40> path(full.Text(), length);
  if (!VANT::IsConvertiblePath(path.Text())) {
    return false;
  }
  struct stat st {};
  if (::stat(path.Text(), &st) != 0) {
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    DIR* dir = ::opendir(path.Text());
    if (dir == nullptr) {
      return false;
    }
    ::closedir(dir);
    return true;
  }
  // O_NONBLOCK: opening a FIFO for reading must not wait for a writer.
  const int fd = ::open(path.Text(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    return false;
  }
  ::close(fd);
  return true;
}

bool VANTFile::IsDirectory() const {
  const VANTStackedString<40> full = FullPath();
  struct stat st {};
  return VANT::IsConvertiblePath(full.Text()) && ::stat(full.Text(), &st) == 0 &&
         S_ISDIR(st.st_mode);
}

bool VANTFile::Delete() const {
  const VANTStackedString<40> full = FullPath();
  return VANT::IsConvertiblePath(full.Text()) && ::unlink(full.Text()) == 0;
}

bool VANTFile::Times(int64_t* creation, int64_t* lastAccess, int64_t* lastWrite) const {
  const VANTStackedString<40> full = FullPath();
  struct statx stx {};
  if (!VANT::IsConvertiblePath(full.Text()) ||
      ::statx(AT_FDCWD, full.Text(), 0, STATX_BTIME | STATX_ATIME | STATX_MTIME, &stx) != 0) {
    return false;
  }
  if (creation != nullptr) {
    *creation = (stx.stx_mask & STATX_BTIME) != 0 ? LocalMicroseconds(stx.stx_btime) : 0;
  }
  if (lastAccess != nullptr) {
    *lastAccess = LocalMicroseconds(stx.stx_atime);
  }
  if (lastWrite != nullptr) {
    *lastWrite = LocalMicroseconds(stx.stx_mtime);
  }
  return true;
}

bool VANTFile::List(const std::function<bool(const char* name, bool isDirectory)>& visit) const {
  const VANTStackedString<40> full = FullPath();
  if (!VANT::IsConvertiblePath(full.Text())) {
    return false;
  }
  DIR* dir = ::opendir(full.Text());
  if (dir == nullptr) {
    return false;
  }
  const int dirFd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") {
      continue;
    }
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      struct stat st {};
      isDirectory = ::fstatat(dirFd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    if (!visit(entry->d_name, isDirectory)) {
      break;
    }
  }
  ::closedir(dir);
  return true;
}

bool VANTFile::IsAbsolute() const noexcept {
  const char* text = m_directory.IsEmpty() ? m_name.Text() : m_directory.Text();
  return text[0] == '/' || IsNetworkPath(text);
}

VANTFile VANTFile::Absolute() const {
  const VANTStackedString<40> full = FullPath();
  if (IsAbsolute()) {
    return VANTFile(Fold(full.Text()).c_str());
  }
  std::string cwd(256, '\0');
  while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
    if (errno != ERANGE) {
      return VANTFile(Fold(std::string("/") + full.Text()).c_str());
    }
    cwd.resize(cwd.size() * 2);
  }
  cwd.resize(std::char_traits<char>::length(cwd.c_str()));
  return VANTFile(Fold(cwd + "/" + full.Text()).c_str());
}

VANTFile VANTFile::RelativeTo(const VANTFile& base) const {
  const VANTFile target = Absolute();
  const VANTStackedString<40> targetText = target.FullPath();
  const VANTStackedString<40> baseText = base.Absolute().FullPath();
  const bool targetNetwork = IsNetworkPath(targetText.Text());
  if (targetNetwork != IsNetworkPath(baseText.Text())) {
    return target;
  }
  const std::vector<std::string_view> to = Components(targetText.Text());
  const std::vector<std::string_view> from = Components(baseText.Text());
  std::size_t common = 0;
  while (common < to.size() && common < from.size() && to[common] == from[common]) {
    ++common;
  }
  if (targetNetwork && common == 0) {
    return target; // another server
  }
  std::string relative;
  for (std::size_t i = common; i < from.size(); ++i) {
    relative += "../";
  }
  for (std::size_t i = common; i < to.size(); ++i) {
    relative += to[i];
    relative += '/';
  }
  const bool directoryForm = target.Name().IsEmpty();
  if (!relative.empty() && !directoryForm && common < to.size()) {
    relative.pop_back();
  }
  if (relative.empty()) {
    relative = "./";
  }
  return VANTFile(relative.c_str());
}
