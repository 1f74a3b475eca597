#pragma once
// Locks that mark a file or a directory as in use by one holder.
//
// The mark is a lock file: ".lck" inside a locked directory, the file's path plus ".lck" beside a
// locked file. The holder keeps it open with an exclusive advisory lock (flock) on its own open
// file description and removes it when it unlocks. The system drops that lock when the last
// descriptor closes, at process death too, so a holder that dies leaves no lock behind: at most
// an unlocked ".lck" file, which the next holder takes over.
//
// Locks exclude every other holder, another process or another handle of this one. They are
// advisory: nothing stops a program that ignores them from touching the locked path.
//
// Thread: a handle (and its locker) belongs to one thread at a time.
// Blocks: never; a lock held elsewhere makes Lock return false at once.

#include "files/vant_file.h"
#include "util/vant_string.h"

#include <memory>

/// The kind-independent face of a lock handle.
class VANTFileLockerHandle {
public:
  VANTFileLockerHandle() = default;
  VANTFileLockerHandle(const VANTFileLockerHandle&) = delete;
  VANTFileLockerHandle& operator=(const VANTFileLockerHandle&) = delete;
  virtual ~VANTFileLockerHandle() = default;

  /// The lock file is open and locked by this handle.
  virtual bool IsLocked() const = 0;
  /// The locked directory or file.
  virtual VANTStackedString<40> Path() const = 0;
  /// True when locked already or when the lock file could be created or opened and locked; false
  /// when another holder has it, the path is not valid UTF-8, or the lock file cannot be made.
  /// Nothing is reported.
  virtual bool Lock() = 0;
  /// Removes the lock file and releases the lock when held. Always true.
  virtual bool Unlock() = 0;
};

/// A directory locked through the file ".lck" inside it.
class VANTFileLockerHandleDirectory final : public VANTFileLockerHandle {
public:
  VANTFileLockerHandleDirectory(const VANTStackedString<40>& path, bool lockNow);
  ~VANTFileLockerHandleDirectory() override;

  bool IsLocked() const override { return m_lockFd >= 0; }
  VANTStackedString<40> Path() const override { return m_path; }
  bool Lock() override;
  bool Unlock() override;

private:
  VANTStackedString<40> LockName() const;

  VANTStackedString<40> m_path;
  int m_lockFd = -1;
};

/// A file locked through the file named like it with ".lck" appended.
class VANTFileLockerHandleFile final : public VANTFileLockerHandle {
public:
  VANTFileLockerHandleFile(const VANTStackedString<40>& path, bool lockNow);
  ~VANTFileLockerHandleFile() override;

  bool IsLocked() const override { return m_lockFd >= 0; }
  VANTStackedString<40> Path() const override { return m_path; }
  bool Lock() override;
  bool Unlock() override;

private:
  VANTStackedString<40> LockName() const;

  VANTStackedString<40> m_path;
  int m_lockFd = -1;
};

/// VANTFileLocker: picks the kind of lock from what the path names (an existing directory or
/// anything else) and owns the handle.
class VANTFileLocker {
public:
  VANTFileLocker(const char* path, bool lockNow);
  VANTFileLocker(const VANTFile& path, bool lockNow);
  ~VANTFileLocker();
  VANTFileLocker(const VANTFileLocker&) = delete;
  VANTFileLocker& operator=(const VANTFileLocker&) = delete;

  bool IsLocked() const { return m_handle->IsLocked(); }
  VANTStackedString<40> Path() const { return m_handle->Path(); }
  bool Lock() { return m_handle->Lock(); }
  bool Unlock() { return m_handle->Unlock(); }
  VANTFileLockerHandle* Handle() const noexcept { return m_handle.get(); }

private:
  std::unique_ptr<VANTFileLockerHandle> m_handle;
};
