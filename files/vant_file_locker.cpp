#include "files/vant_file_locker.h"

#include "files/vant_path_check.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool SameFile(const struct stat& a, const struct stat& b) noexcept {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

/// Opens (creating when needed) and locks the lock file name. The descriptor, or -1 when another
/// holder has the lock or the file cannot be opened.
int Acquire(const char* name) noexcept {
  if (!VANT::IsConvertiblePath(name)) {
    return -1;
  }
  // A holder unlinks its file while still locked. Between our open and our flock it may have
  // done so and gone, leaving us locked on a file no longer in the directory: then start again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = -1;
    do {
      fd = ::open(name, O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      return -1;
    }
    int rc = 0;
    do {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      ::close(fd); // held elsewhere (EWOULDBLOCK) or not lockable
      return -1;
    }
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) == 0 && ::stat(name, &named) == 0 && SameFile(opened, named)) {
      return fd;
    }
    ::close(fd);
  }
  return -1;
}

/// Removes the lock file while still holding it, then releases it.
void Release(const char* name, int& fd) noexcept {
  if (fd < 0) {
    return;
  }
  // Only our own file: if the name was replaced meanwhile, the new file may be another holder's.
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd, &opened) == 0 && ::stat(name, &named) == 0 && SameFile(opened, named)) {
    ::unlink(name);
  }
  ::close(fd);
  fd = -1;
}

} // namespace

// ---------------------------------------------------------------------------------------------

VANTFileLockerHandleDirectory::VANTFileLockerHandleDirectory(const VANTStackedString<40>& path,
                                                             bool lockNow)
    : m_path(path) {
  if (lockNow) {
    Lock();
  }
}

VANTFileLockerHandleDirectory::~VANTFileLockerHandleDirectory() {
  Unlock();
}

VANTStackedString<40> VANTFileLockerHandleDirectory::LockName() const {
  VANTStackedString<40> name(m_path);
  const int32_t length = name.Length();
  if (length == 0 || name.Text()[length - 1] != '/') {
    name += '/';
  }
  name += ".lck";
  return name;
}

bool VANTFileLockerHandleDirectory::Lock() {
  if (IsLocked()) {
    return true;
  }
  m_lockFd = Acquire(LockName().Text());
  return IsLocked();
}

bool VANTFileLockerHandleDirectory::Unlock() {
  if (IsLocked()) {
    Release(LockName().Text(), m_lockFd);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------

VANTFileLockerHandleFile::VANTFileLockerHandleFile(const VANTStackedString<40>& path, bool lockNow)
    : m_path(path) {
  if (lockNow) {
    Lock();
  }
}

VANTFileLockerHandleFile::~VANTFileLockerHandleFile() {
  Unlock();
}

VANTStackedString<40> VANTFileLockerHandleFile::LockName() const {
  VANTStackedString<40> name(m_path);
  name += ".lck";
  return name;
}

bool VANTFileLockerHandleFile::Lock() {
  if (IsLocked()) {
    return true;
  }
  m_lockFd = Acquire(LockName().Text());
  return IsLocked();
}

bool VANTFileLockerHandleFile::Unlock() {
  if (IsLocked()) {
    Release(LockName().Text(), m_lockFd);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------

VANTFileLocker::VANTFileLocker(const char* path, bool lockNow)
    : VANTFileLocker(VANTFile(path), lockNow) {}

VANTFileLocker::VANTFileLocker(const VANTFile& path, bool lockNow) {
  const VANTStackedString<40> full = path.FullPath();
  if (path.IsDirectory()) {
    m_handle = std::make_unique<VANTFileLockerHandleDirectory>(full, lockNow);
  } else {
    m_handle = std::make_unique<VANTFileLockerHandleFile>(full, lockNow);
  }
}

VANTFileLocker::~VANTFileLocker() = default;
