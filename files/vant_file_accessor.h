#pragma once
// Reading and writing one file: VANTFileAccessor with its read and write handles.
//
// The accessor opens a file for reading, for writing, or both, with option bits that recording
// needs: unbuffered transfers (O_DIRECT, sizes in whole sectors), access hints, append, and
// asynchronous writing with up to three writes in flight. Every failure is a false result and a
// text handed to the error callback; nothing is thrown.
//
// Thread: an accessor and its handles belong to one thread at a time.
// Blocks: Read, synchronous Write, Flush and the close operations block on the disk; an
//   asynchronous Write blocks only when three writes are already in flight, until the oldest ends.
// Ownership: with asynchronous writing the caller's buffer belongs to the system from Write until
//   its release token comes back through the release callback. Tokens come back in the order the
//   writes were issued; Flush, CloseWrite and the destructor hand back every one still held.

#include "files/vant_async_writer.h"

#include <cstdint>
#include <memory>

namespace VANT {

/// Option bits of VANTFileAccessor::OpenRead and OpenWrite.
inline constexpr int32_t FileAsynchronous = 1; ///< writing: three-slot asynchronous ring
inline constexpr int32_t FileNoBuffering = 2;  ///< bypass the system cache; whole sectors only
inline constexpr int32_t FileAppend = 4;       ///< writing: keep an existing file, start at its end
inline constexpr int32_t FileRandomAccess = 8; ///< access hint
inline constexpr int32_t FileSequentialAccess = 16; ///< access hint
inline constexpr int32_t FileReadWrite = 32;        ///< writing: open for reading and writing too

} // namespace VANT

/// Receives each failure text (UTF-8, no trailing line break).
using VANTFileErrorCallback = void (*)(const char* text);
/// Receives the token of a write whose buffer the caller may use again.
using VANTFileReleaseCallback = void (*)(void* token);

/// The callbacks an accessor hands to its handles' operations. A null error callback sends the
/// texts to the report hook instead (level 2); a null release callback drops the tokens.
struct VANTFileCallbacks {
  VANTFileErrorCallback error = nullptr;
  VANTFileReleaseCallback release = nullptr;
};

/// VANTFileHandle: one open file with the accessor's offset in it. Transfers use that offset
/// (pread/pwrite), so the system's own file offset matters only to the seeks.
class VANTFileHandle {
public:
  /// Takes ownership of fd. sectorSize 0 means unknown: unbuffered transfers are then refused.
  VANTFileHandle(int fd, int32_t options, uint32_t sectorSize) noexcept;
  virtual ~VANTFileHandle();
  VANTFileHandle(const VANTFileHandle&) = delete;
  VANTFileHandle& operator=(const VANTFileHandle&) = delete;

  int Descriptor() const noexcept { return m_fd; }
  uint64_t Position() const noexcept { return m_position; }
  int32_t Options() const noexcept { return m_options; }
  uint32_t SectorSize() const noexcept { return m_sectorSize; }

  bool Rewind(const VANTFileCallbacks& callbacks) noexcept;
  bool SeekTo(uint64_t offset, const VANTFileCallbacks& callbacks) noexcept;
  bool SeekBy(int32_t offset, const VANTFileCallbacks& callbacks) noexcept;
  bool SeekToEnd(const VANTFileCallbacks& callbacks) noexcept;
  bool Size(uint64_t* size, const VANTFileCallbacks& callbacks) const noexcept;

protected:
  /// With FileNoBuffering, refuses (with the unbuffered text) a size that is not a whole number
  /// of sectors, and every size while the sector size is unknown.
  bool CheckUnbuffered(uint32_t size, bool writing, const VANTFileCallbacks& callbacks) const;

  int m_fd;
  uint64_t m_position = 0;
  int32_t m_options;
  uint32_t m_sectorSize;
};

class VANTFileReadHandle final : public VANTFileHandle {
public:
  using VANTFileHandle::VANTFileHandle;

  /// Reads up to size bytes at the position (fewer only at the end of the file) and moves on.
  bool Read(void* buffer, uint32_t size, uint32_t* count, const VANTFileCallbacks& callbacks);
};

class VANTFileWriteHandle final : public VANTFileHandle {
public:
  /// writer: the asynchronous back-end, required with FileAsynchronous and ignored without it.
  VANTFileWriteHandle(int fd, int32_t options, uint32_t sectorSize,
                      std::unique_ptr<VANT::AsyncWriter> writer) noexcept;
  /// Waits for the writes still in flight; their tokens are dropped, so close through the
  /// accessor (or call Drain) to have them handed back.
  ~VANTFileWriteHandle() override;

  /// Writes size bytes at the position. A synchronous write moves the position by the bytes it
  /// wrote (all of them, or those before a failure), so a failed write leaves no hole before the
  /// next one; it hands the token back before returning. An asynchronous write moves the
  /// position by size at once and hands the token back through the ring; its false result may
  /// concern an earlier write that failed meanwhile.
  bool Write(const void* buffer, uint32_t size, void* token, const VANTFileCallbacks& callbacks);

  /// Waits for every write in flight and hands back every token still held, oldest first.
  bool Drain(const VANTFileCallbacks& callbacks);
  /// Drains, then writes the system's buffers to the disk.
  bool Flush(const VANTFileCallbacks& callbacks);
  /// Drains, then cuts or extends the file at the position.
  bool SetEndOfFile(const VANTFileCallbacks& callbacks);

  /// Counter k: the asynchronous writes issued while k writes were in flight (k = 0..3).
  const uint32_t* DepthStatistics() const noexcept { return m_depth; }
  /// Writes in flight.
  int32_t Pending() const noexcept { return m_pending; }
  /// "io_uring", "thread", or "" without asynchronous writing.
  const char* AsyncBackendName() const noexcept;

private:
  bool WriteAsync(const void* buffer, uint32_t size, void* token,
                  const VANTFileCallbacks& callbacks);
  bool Finish(int slot, int result, const VANTFileCallbacks& callbacks);
  void ReleaseTail(const VANTFileCallbacks& callbacks);

  std::unique_ptr<VANT::AsyncWriter> m_writer;
  int32_t m_head = 0;    // slot of the next write
  int32_t m_tail = 0;    // oldest slot whose token has not been handed back
  int32_t m_used = 0;    // slots holding a token, in flight or not
  int32_t m_pending = 0; // writes in flight
  uint32_t m_depth[VANT::AsyncSlotCount + 1] = {};
  bool m_inFlight[VANT::AsyncSlotCount] = {};
  void* m_tokens[VANT::AsyncSlotCount] = {};
};

/// VANTFileAccessor: opens one file for reading and/or writing and runs the transfers.
///
/// Positional operations (rewind, seeks, size) act on the read handle when it is open, otherwise
/// on the write handle; Flush and SetEndOfFile act on the write handle.
class VANTFileAccessor {
public:
  explicit VANTFileAccessor(VANTFileErrorCallback error = nullptr,
                            VANTFileReleaseCallback release = nullptr) noexcept;
  /// Closes both handles (the write handle as CloseWrite does).
  ~VANTFileAccessor();
  VANTFileAccessor(const VANTFileAccessor&) = delete;
  VANTFileAccessor& operator=(const VANTFileAccessor&) = delete;

  void SetErrorCallback(VANTFileErrorCallback error) noexcept { m_callbacks.error = error; }
  void SetReleaseCallback(VANTFileReleaseCallback release) noexcept {
    m_callbacks.release = release;
  }

  /// Opens an existing file for reading. True at once when a read handle is already open.
  bool OpenRead(const char* path, int32_t options);
  /// Opens for writing: creates the file, emptied unless FileAppend; the position starts at the
  /// end. True at once when a write handle is already open.
  bool OpenWrite(const char* path, int32_t options);
  bool CloseRead() noexcept;
  /// Waits for the writes in flight, hands their tokens back, closes. False when one failed.
  bool CloseWrite();

  bool Read(void* buffer, uint32_t size, uint32_t* count = nullptr);
  bool Write(const void* buffer, uint32_t size, void* token = nullptr);
  bool Rewind() noexcept;
  bool SeekTo(uint64_t offset) noexcept;
  bool SeekBy(int32_t offset) noexcept;
  bool SeekToEnd() noexcept;
  bool Size(uint64_t* size) const noexcept;
  bool Flush();
  bool SetEndOfFile();

  VANTFileReadHandle* ReadHandle() const noexcept { return m_read.get(); }
  VANTFileWriteHandle* WriteHandle() const noexcept { return m_write.get(); }

private:
  VANTFileHandle* Positional() const noexcept;

  std::unique_ptr<VANTFileReadHandle> m_read;
  std::unique_ptr<VANTFileWriteHandle> m_write;
  VANTFileCallbacks m_callbacks;
};
