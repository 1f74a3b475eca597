#pragma once
// The back-ends of the asynchronous write ring of a file write handle: io_uring where the kernel
// allows it, else one writer thread per handle. Both keep the same contract, so the ring above
// them (VANTFileWriteHandle) cannot tell them apart.
//
// Thread: one owner thread calls Submit, Poll and Wait. The writer thread of the fallback is
//   internal.
// Blocks: only Wait, until the named slot's write has ended. Submit and Poll never block.
// Ownership: the writer never owns the buffers. A submitted buffer must stay valid and untouched
//   until Poll or Wait has reported its slot finished.

#include <cstdint>
#include <memory>

namespace VANT {

/// Number of writes a ring keeps in flight.
inline constexpr int AsyncSlotCount = 3;

class AsyncWriter {
public:
  virtual ~AsyncWriter() = default;

  /// Starts writing size bytes at offset from slot (0..2), which must be free. 0 when the write
  /// runs in the background; otherwise an errno and the slot stays free.
  virtual int Submit(int slot, const void* buffer, uint32_t size, uint64_t offset) noexcept = 0;

  /// Without blocking: EINPROGRESS while the slot's write runs; otherwise the slot is free again
  /// and the result is 0 (every byte written) or the errno of the failure.
  virtual int Poll(int slot) noexcept = 0;

  /// Blocks until the slot's write has ended; then as Poll.
  virtual int Wait(int slot) noexcept = 0;

  /// "io_uring" or "thread".
  virtual const char* Name() const noexcept = 0;
};

enum class AsyncBackend {
  Automatic, ///< io_uring, unless CORVEX_NO_IO_URING is set or the kernel refuses; then thread
  IoUring,   ///< io_uring only
  Thread,    ///< the writer thread only
};

/// Creates a writer for fd. Null when none could be made, with the errno in *error.
std::unique_ptr<AsyncWriter> MakeAsyncWriter(int fd, AsyncBackend backend, int* error) noexcept;

/// Writes every byte with pwrite, retrying interrupted and short writes. 0 or an errno; *written
/// (when given) receives the number of bytes written, also those before a failure.
int WriteFully(int fd, const void* buffer, uint64_t size, uint64_t offset,
               uint64_t* written = nullptr) noexcept;

} // namespace VANT
