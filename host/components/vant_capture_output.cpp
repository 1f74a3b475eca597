#include "host/components/vant_capture_output.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string SystemError(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof(buffer));
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Base(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

/// The path a chain of symbolic links finally names (the path itself when it is none). A link
/// that points nowhere yet names the file it would create. Empty with `error` set on a loop.
std::string FollowLinks(const std::string& path, std::string& error) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      return current;
    }
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t length = ::readlink(current.c_str(), target.data(), PATH_MAX);
    if (length < 0) {
      error = SystemError(errno);
      return {};
    }
    const std::string next(target.data(), static_cast<size_t>(length));
    current = next.starts_with('/') ? next : Folder(current) + "/" + next;
  }
  error = SystemError(ELOOP);
  return {};
}

/// The descriptor a path names by number ("/dev/stdout", "/dev/fd/3", "/proc/self/fd/3"), or -1.
int NamedDescriptor(const std::string& path) {
  if (path == "/dev/stdout") {
    return STDOUT_FILENO;
  }
  if (path == "/dev/stderr") {
    return STDERR_FILENO;
  }
  for (const char* prefix : {"/dev/fd/", "/proc/self/fd/"}) {
    const std::string head(prefix);
    if (path.size() > head.size() && path.compare(0, head.size(), head) == 0 &&
        path.find_first_not_of("0123456789", head.size()) == std::string::npos &&
        path.size() - head.size() < 9) {
      return std::atoi(path.c_str() + head.size());
    }
  }
  return -1;
}

mode_t CurrentUmask() {
  const mode_t mask = ::umask(022);
  ::umask(mask);
  return mask;
}

} // namespace

VANTCaptureOutput::~VANTCaptureOutput() {
  Abort();
}

bool VANTCaptureOutput::Open(const std::string& path) {
  Abort();
  m_path = path;
  m_target.clear();
  m_error.clear();
  // A descriptor this program was given: written as it is, whatever it leads to.
  const int given = path == "-" ? STDOUT_FILENO : NamedDescriptor(path);
  if (given >= 0) {
    if (::fcntl(given, F_GETFL) < 0) {
      m_error = path + ": " + SystemError(errno);
      return false;
    }
    m_fd = given;
    m_ownsDescriptor = false;
    return true;
  }
  std::string error;
  const std::string target = FollowLinks(path, error);
  if (target.empty()) {
    m_error = path + ": " + error;
    return false;
  }
  struct stat info {};
  const bool exists = ::stat(target.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) {
    m_error = path + ": is a directory";
    return false;
  }
  if (exists && !S_ISREG(info.st_mode)) {
    // A pipe, a terminal, a device: written as it is, never replaced.
    m_fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (m_fd < 0) {
      m_error = path + ": " + SystemError(errno);
      return false;
    }
    m_ownsDescriptor = true;
    m_target = target;
    return true;
  }
  // Replacing a file goes through its folder: a file its user may not write is refused as if
  // it were written in place.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    m_error = path + ": " + SystemError(errno);
    return false;
  }
  std::string temporary = Folder(target) + "/." + Base(target) + ".corvex-XXXXXX";
  m_fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (m_fd < 0) {
    m_error = path + ": cannot create a file in " + Folder(target) + ": " + SystemError(errno);
    return false;
  }
  m_ownsDescriptor = true;
  m_temporary = temporary;
  m_target = target;
  // The new file gets the old one's permissions (and owner, where allowed), or those of a file
  // created now.
  if (exists) {
    (void)::fchmod(m_fd, info.st_mode & 07777);
    (void)::fchown(m_fd, info.st_uid, info.st_gid);
  } else {
    (void)::fchmod(m_fd, 0666 & ~CurrentUmask());
  }
  return true;
}

bool VANTCaptureOutput::Commit() {
  if (m_ownsDescriptor && m_fd >= 0) {
    const int closed = ::close(m_fd);
    m_fd = -1;
    m_ownsDescriptor = false;
    if (closed != 0) {
      m_error = m_path + ": " + SystemError(errno);
      Abort();
      return false;
    }
  }
  m_fd = -1;
  if (!m_temporary.empty()) {
    if (::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
      m_error = m_path + ": cannot replace " + m_target + ": " + SystemError(errno);
      Abort();
      return false;
    }
    m_temporary.clear();
  }
  return true;
}

void VANTCaptureOutput::Abort() noexcept {
  if (m_ownsDescriptor && m_fd >= 0) {
    ::close(m_fd);
  }
  m_fd = -1;
  m_ownsDescriptor = false;
  if (!m_temporary.empty()) {
    ::unlink(m_temporary.c_str()); // the only file this object ever created
    m_temporary.clear();
  }
}
