#include "files/vant_file_accessor.h"

#include "files/vant_path_check.h"
#include "util/vant_codepage.h"
#include "util/vant_report_hook.h"
#include "util/vant_string.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* ReadError = "File read error : ";
constexpr const char* WriteError = "File write error : ";
constexpr const char* OtherError = "File read/write error : ";

void Deliver(const VANTFileCallbacks& callbacks, const char* text) noexcept {
  if (callbacks.error != nullptr) {
    callbacks.error(text);
  } else {
    VANT::ReportThroughHook(text, VANT::kError);
  }
}

/// prefix followed by the system's text for err, in UTF-8 (kept as it is when the locale's text
/// does not convert). Never throws: the seeks and queries that call it promise not to.
void ReportErrno(const VANTFileCallbacks& callbacks, const char* prefix, int err) noexcept {
  char buffer[256];
  const char* system = strerror_r(err, buffer, sizeof buffer);
  try {
    VANTStackedString<40> text;
    if (!VANTCodePageRegistry::Instance().AnsiToString(system, text)) {
      text = system;
    }
    VANTStreamedString message;
    message << prefix << text;
    Deliver(callbacks, message.Text());
  } catch (...) {
    Deliver(callbacks, prefix); // out of memory: at least the kind of failure
  }
}

/// Bytes per sector for unbuffered transfers on fd's volume, first that works: the direct I/O
/// offset alignment, the logical sector size of a block device, the preferred I/O size; else 0.
uint32_t QuerySectorSize(int fd) noexcept {
  struct statx stx {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &stx) == 0 &&
      (stx.stx_mask & STATX_DIOALIGN) != 0 && stx.stx_dio_offset_align != 0) {
    return stx.stx_dio_offset_align;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return 0;
  }
  if (S_ISBLK(st.st_mode)) {
    int sector = 0;
    if (::ioctl(fd, BLKSSZGET, &sector) == 0 && sector > 0) {
      return static_cast<uint32_t>(sector);
    }
  }
  return st.st_blksize > 0 ? static_cast<uint32_t>(st.st_blksize) : 0;
}

/// Opens path, asking for O_DIRECT with FileNoBuffering. A file system that refuses direct I/O
/// gets a buffered descriptor; the sector-size check still applies to it.
int OpenWithOptions(const char* path, int flags, int32_t options) noexcept {
  int fd = -1;
  if ((options & VANT::FileNoBuffering) != 0) {
    do {
      fd = ::open(path, flags | O_DIRECT, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0 || errno != EINVAL) {
      return fd;
    }
  }
  do {
    fd = ::open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void ApplyHints(int fd, int32_t options) noexcept {
  if ((options & VANT::FileRandomAccess) != 0) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  } else if ((options & VANT::FileSequentialAccess) != 0) {
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// VANTFileHandle

VANTFileHandle::VANTFileHandle(int fd, int32_t options, uint32_t sectorSize) noexcept
    : m_fd(fd), m_options(options), m_sectorSize(sectorSize) {}

VANTFileHandle::~VANTFileHandle() {
  if (m_fd >= 0) {
    ::close(m_fd);
  }
}

bool VANTFileHandle::CheckUnbuffered(uint32_t size, bool writing,
                                     const VANTFileCallbacks& callbacks) const {
  if ((m_options & VANT::FileNoBuffering) == 0) {
    return true;
  }
  // An unknown sector size (0) refuses every unbuffered transfer rather than dividing by zero.
  if (m_sectorSize != 0 && size % m_sectorSize == 0) {
    return true;
  }
  VANTStreamedString text;
  text << (writing ? WriteError : ReadError)
       << (writing ? "The size of written items" : "The size of read items")
       << " must be proportionnal to the " << m_sectorSize
       << " bytes sector size. Remove the \"No buffering\" optimization.";
  Deliver(callbacks, text.Text());
  return false;
}

bool VANTFileHandle::Rewind(const VANTFileCallbacks& callbacks) noexcept {
  return SeekTo(0, callbacks);
}

bool VANTFileHandle::SeekTo(uint64_t offset, const VANTFileCallbacks& callbacks) noexcept {
  if (offset > static_cast<uint64_t>(INT64_MAX)) {
    ReportErrno(callbacks, OtherError, EINVAL);
    return false;
  }
  const off_t at = ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET);
  if (at < 0) {
    ReportErrno(callbacks, OtherError, errno);
    return false;
  }
  m_position = static_cast<uint64_t>(at);
  return true;
}

bool VANTFileHandle::SeekBy(int32_t offset, const VANTFileCallbacks& callbacks) noexcept {
  if (offset < 0 && static_cast<uint64_t>(-static_cast<int64_t>(offset)) > m_position) {
    ReportErrno(callbacks, OtherError, EINVAL); // before the start of the file
    return false;
  }
  return SeekTo(m_position + static_cast<uint64_t>(static_cast<int64_t>(offset)), callbacks);
}

bool VANTFileHandle::SeekToEnd(const VANTFileCallbacks& callbacks) noexcept {
  const off_t at = ::lseek(m_fd, 0, SEEK_END);
  if (at < 0) {
    ReportErrno(callbacks, OtherError, errno);
    return false;
  }
  m_position = static_cast<uint64_t>(at);
  return true;
}

bool VANTFileHandle::Size(uint64_t* size, const VANTFileCallbacks& callbacks) const noexcept {
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) {
    ReportErrno(callbacks, OtherError, errno);
    return false;
  }
  if (size != nullptr) {
    *size = static_cast<uint64_t>(st.st_size);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// VANTFileReadHandle

bool VANTFileReadHandle::Read(void* buffer, uint32_t size, uint32_t* count,
                              const VANTFileCallbacks& callbacks) {
  if (!CheckUnbuffered(size, false, callbacks)) {
    return false;
  }
  auto* bytes = static_cast<char*>(buffer);
  uint32_t done = 0;
  while (done < size) {
    const ssize_t n =
        ::pread(m_fd, bytes + done, size - done, static_cast<off_t>(m_position + done));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      ReportErrno(callbacks, ReadError, errno);
      return false;
    }
    done += static_cast<uint32_t>(n);
    // The end of the file; an unbuffered read must not go on at an offset off the sector grid.
    if (n == 0 || (m_options & VANT::FileNoBuffering) != 0) {
      break;
    }
  }
  m_position += done;
  if (count != nullptr) {
    *count = done;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// VANTFileWriteHandle

VANTFileWriteHandle::VANTFileWriteHandle(int fd, int32_t options, uint32_t sectorSize,
                                         std::unique_ptr<VANT::AsyncWriter> writer) noexcept
    : VANTFileHandle(fd, options, sectorSize), m_writer(std::move(writer)) {}

VANTFileWriteHandle::~VANTFileWriteHandle() {
  // The writer's destructor waits for what is still in flight; the descriptor closes after.
  m_writer.reset();
}

const char* VANTFileWriteHandle::AsyncBackendName() const noexcept {
  return m_writer ? m_writer->Name() : "";
}

bool VANTFileWriteHandle::Write(const void* buffer, uint32_t size, void* token,
                                const VANTFileCallbacks& callbacks) {
  if (!CheckUnbuffered(size, true, callbacks)) {
    return false;
  }
  if ((m_options & VANT::FileAsynchronous) != 0 && m_writer) {
    return WriteAsync(buffer, size, token, callbacks);
  }
  // The position moves by what reached the file: after a failure the next write goes on where
  // this one stopped, instead of leaving a hole of zeros.
  uint64_t written = 0;
  const int result = VANT::WriteFully(m_fd, buffer, size, m_position, &written);
  m_position += written;
  if (callbacks.release != nullptr && token != nullptr) {
    callbacks.release(token);
  }
  if (result != 0) {
    ReportErrno(callbacks, WriteError, result);
    return false;
  }
  return true;
}

bool VANTFileWriteHandle::Finish(int slot, int result, const VANTFileCallbacks& callbacks) {
  m_inFlight[slot] = false;
  --m_pending;
  if (result != 0) {
    ReportErrno(callbacks, WriteError, result);
    return false;
  }
  return true;
}

void VANTFileWriteHandle::ReleaseTail(const VANTFileCallbacks& callbacks) {
  void* token = m_tokens[m_tail];
  m_tokens[m_tail] = nullptr;
  m_tail = (m_tail + 1) % VANT::AsyncSlotCount;
  --m_used;
  if (callbacks.release != nullptr && token != nullptr) {
    callbacks.release(token);
  }
}

bool VANTFileWriteHandle::WriteAsync(const void* buffer, uint32_t size, void* token,
                                     const VANTFileCallbacks& callbacks) {
  bool result = true;
  // Hand back the writes that have ended, strictly oldest first: a later write that ended early
  // keeps its token until every earlier one is back. A failed write is reported once and its
  // buffer handed back like any other.
  while (m_used > 0) {
    const int slot = m_tail;
    if (m_inFlight[slot]) {
      const int polled = m_writer->Poll(slot);
      if (polled == EINPROGRESS) {
        break;
      }
      result = Finish(slot, polled, callbacks) && result;
    }
    ReleaseTail(callbacks);
  }

  ++m_depth[m_pending];

  // Every slot still holds a token: wait for the oldest, which is the slot to be reused.
  if (m_used == VANT::AsyncSlotCount) {
    const int slot = m_tail;
    if (m_inFlight[slot]) {
      result = Finish(slot, m_writer->Wait(slot), callbacks) && result;
    }
    ReleaseTail(callbacks);
  }

  const int slot = m_head;
  const int submitted = m_writer->Submit(slot, buffer, size, m_position);
  if (submitted == 0) {
    m_inFlight[slot] = true;
    ++m_pending;
  } else {
    ReportErrno(callbacks, WriteError, submitted);
    result = false;
  }
  // Even a write that failed to start keeps its place, so its token comes back in order.
  m_tokens[slot] = token;
  m_head = (m_head + 1) % VANT::AsyncSlotCount;
  ++m_used;
  m_position += size;
  return result;
}

bool VANTFileWriteHandle::Drain(const VANTFileCallbacks& callbacks) {
  bool result = true;
  while (m_used > 0) {
    const int slot = m_tail;
    if (m_inFlight[slot]) {
      result = Finish(slot, m_writer->Wait(slot), callbacks) && result;
    }
    ReleaseTail(callbacks);
  }
  return result;
}

bool VANTFileWriteHandle::Flush(const VANTFileCallbacks& callbacks) {
  bool result = Drain(callbacks);
  if (::fsync(m_fd) != 0) {
    ReportErrno(callbacks, OtherError, errno);
    result = false;
  }
  return result;
}

bool VANTFileWriteHandle::SetEndOfFile(const VANTFileCallbacks& callbacks) {
  bool result = Drain(callbacks);
  if (m_position > static_cast<uint64_t>(INT64_MAX) ||
      ::ftruncate(m_fd, static_cast<off_t>(m_position)) != 0) {
    ReportErrno(callbacks, OtherError,
                m_position > static_cast<uint64_t>(INT64_MAX) ? EINVAL : errno);
    result = false;
  }
  return result;
}

// ---------------------------------------------------------------------------------------------
// VANTFileAccessor

VANTFileAccessor::VANTFileAccessor(VANTFileErrorCallback error,
                                   VANTFileReleaseCallback release) noexcept
    : m_callbacks{error, release} {}

VANTFileAccessor::~VANTFileAccessor() {
  CloseWrite();
  CloseRead();
}

bool VANTFileAccessor::OpenRead(const char* path, int32_t options) {
  if (m_read) {
    return true;
  }
  if (!VANT::IsConvertiblePath(path)) {
    ReportErrno(m_callbacks, OtherError, EILSEQ);
    return false;
  }
  const int fd = OpenWithOptions(path, O_RDONLY | O_CLOEXEC, options);
  if (fd < 0) {
    ReportErrno(m_callbacks, OtherError, errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd); // a directory opens on Linux but cannot be read as a file
    ReportErrno(m_callbacks, OtherError, EISDIR);
    return false;
  }
  ApplyHints(fd, options);
  m_read = std::make_unique<VANTFileReadHandle>(fd, options, QuerySectorSize(fd));
  return true;
}

bool VANTFileAccessor::OpenWrite(const char* path, int32_t options) {
  if (m_write) {
    return true;
  }
  if (!VANT::IsConvertiblePath(path)) {
    ReportErrno(m_callbacks, OtherError, EILSEQ);
    return false;
  }
  int flags = ((options & VANT::FileReadWrite) != 0 ? O_RDWR : O_WRONLY) | O_CREAT | O_CLOEXEC;
  if ((options & VANT::FileAppend) == 0) {
    flags |= O_TRUNC;
  }
  const int fd = OpenWithOptions(path, flags, options);
  if (fd < 0) {
    ReportErrno(m_callbacks, OtherError, errno);
    return false;
  }
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) {
    const int err = errno;
    ::close(fd);
    ReportErrno(m_callbacks, OtherError, err);
    return false;
  }
  ApplyHints(fd, options);
  std::unique_ptr<VANT::AsyncWriter> writer;
  if ((options & VANT::FileAsynchronous) != 0) {
    int err = 0;
    writer = VANT::MakeAsyncWriter(fd, VANT::AsyncBackend::Automatic, &err);
    if (!writer) {
      ::close(fd);
      ReportErrno(m_callbacks, OtherError, err);
      return false;
    }
  }
  m_write =
      std::make_unique<VANTFileWriteHandle>(fd, options, QuerySectorSize(fd), std::move(writer));
  m_write->SeekTo(static_cast<uint64_t>(end), m_callbacks);
  return true;
}

bool VANTFileAccessor::CloseRead() noexcept {
  m_read.reset();
  return true;
}

bool VANTFileAccessor::CloseWrite() {
  if (!m_write) {
    return true;
  }
  const bool result = m_write->Drain(m_callbacks);
  m_write.reset();
  return result;
}

bool VANTFileAccessor::Read(void* buffer, uint32_t size, uint32_t* count) {
  return m_read && m_read->Read(buffer, size, count, m_callbacks);
}

bool VANTFileAccessor::Write(const void* buffer, uint32_t size, void* token) {
  return m_write && m_write->Write(buffer, size, token, m_callbacks);
}

VANTFileHandle* VANTFileAccessor::Positional() const noexcept {
  if (m_read) {
    return m_read.get();
  }
  return m_write.get();
}

bool VANTFileAccessor::Rewind() noexcept {
  VANTFileHandle* handle = Positional();
  return handle != nullptr && handle->Rewind(m_callbacks);
}

bool VANTFileAccessor::SeekTo(uint64_t offset) noexcept {
  VANTFileHandle* handle = Positional();
  return handle != nullptr && handle->SeekTo(offset, m_callbacks);
}

bool VANTFileAccessor::SeekBy(int32_t offset) noexcept {
  VANTFileHandle* handle = Positional();
  return handle != nullptr && handle->SeekBy(offset, m_callbacks);
}

bool VANTFileAccessor::SeekToEnd() noexcept {
  VANTFileHandle* handle = Positional();
  return handle != nullptr && handle->SeekToEnd(m_callbacks);
}

bool VANTFileAccessor::Size(uint64_t* size) const noexcept {
  const VANTFileHandle* handle = Positional();
  return handle != nullptr && handle->Size(size, m_callbacks);
}

bool VANTFileAccessor::Flush() {
  return m_write && m_write->Flush(m_callbacks);
}

bool VANTFileAccessor::SetEndOfFile() {
  return m_write && m_write->SetEndOfFile(m_callbacks);
}
