#include "files/vant_async_writer.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unistd.h>

#ifdef CORVEX_HAVE_URING
#include <liburing.h>
#endif

namespace VANT {

int WriteFully(int fd, const void* buffer, uint64_t size, uint64_t offset,
               uint64_t* written) noexcept {
  const auto* bytes = static_cast<const char*>(buffer);
  uint64_t done = 0;
  int result = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      result = errno;
      break;
    }
    if (n == 0) {
      result = EIO; // a regular file never accepts nothing without an error; do not spin
      break;
    }
    done += static_cast<uint64_t>(n);
  }
  if (written != nullptr) {
    *written = done;
  }
  return result;
}

namespace {

struct Request {
  const void* buffer = nullptr;
  uint32_t size = 0;
  uint64_t offset = 0;
};

#ifdef CORVEX_HAVE_URING

// One 4-entry ring per handle; user_data carries the slot. Completions may arrive out of order, so
// every look at the completion queue drains all of it into per-slot flags.
class UringWriter final : public AsyncWriter {
public:
  explicit UringWriter(int fd) noexcept : m_fd(fd) {}
  UringWriter(const UringWriter&) = delete;
  UringWriter& operator=(const UringWriter&) = delete;

  int Init() noexcept {
    const int rc = io_uring_queue_init(4, &m_ring, 0);
    if (rc < 0) {
      return -rc;
    }
    m_ready = true;
    return 0;
  }

  ~UringWriter() override {
    if (!m_ready) {
      return;
    }
    // The kernel must be done with every buffer before the ring goes away.
    for (int slot = 0; slot < AsyncSlotCount; ++slot) {
      if (m_busy[slot]) {
        Wait(slot);
      }
    }
    io_uring_queue_exit(&m_ring);
  }

  int Submit(int slot, const void* buffer, uint32_t size, uint64_t offset) noexcept override {
    if (m_broken != 0) {
      return m_broken;
    }
    io_uring_sqe* sqe = io_uring_get_sqe(&m_ring);
    if (sqe == nullptr) {
      return EBUSY; // cannot happen with at most three writes in a four-entry ring
    }
    io_uring_prep_write(sqe, m_fd, buffer, size, offset);
    sqe->user_data = static_cast<uint64_t>(slot);
    m_requests[slot] = Request{buffer, size, offset};
    int rc = 0;
    do {
      rc = io_uring_submit(&m_ring);
    } while (rc == -EINTR);
    if (rc <= 0) {
      // The entry may still sit in the submission queue, where a later submit would send it with
      // a buffer that has been handed back. Every later Submit fails without entering the
      // kernel, so it never is.
      m_broken = rc < 0 ? -rc : EAGAIN;
      return m_broken;
    }
    m_busy[slot] = true;
    m_done[slot] = false;
    return 0;
  }

  int Poll(int slot) noexcept override {
    io_uring_cqe* cqe = nullptr;
    while (io_uring_peek_cqe(&m_ring, &cqe) == 0 && cqe != nullptr) {
      Complete(cqe);
    }
    return Take(slot);
  }

  int Wait(int slot) noexcept override {
    while (m_busy[slot] && !m_done[slot]) {
      io_uring_cqe* cqe = nullptr;
      const int rc = io_uring_wait_cqe(&m_ring, &cqe);
      if (rc == -EINTR || rc == -EAGAIN) {
        continue;
      }
      if (rc < 0) {
        return -rc;
      }
      Complete(cqe);
    }
    return Take(slot);
  }

  const char* Name() const noexcept override { return "io_uring"; }

private:
  void Complete(io_uring_cqe* cqe) noexcept {
    const auto slot = static_cast<int>(cqe->user_data);
    const int res = cqe->res;
    io_uring_cqe_seen(&m_ring, cqe);
    if (slot < 0 || slot >= AsyncSlotCount || !m_busy[slot]) {
      return;
    }
    const Request& r = m_requests[slot];
    if (res < 0) {
      m_result[slot] = -res;
    } else if (static_cast<uint32_t>(res) < r.size) {
      m_result[slot] = WriteFully(m_fd, static_cast<const char*>(r.buffer) + res,
                                  r.size - static_cast<uint32_t>(res), r.offset + res);
    } else {
      m_result[slot] = 0;
    }
    m_done[slot] = true;
  }

  int Take(int slot) noexcept {
    if (!m_busy[slot]) {
      return 0;
    }
    if (!m_done[slot]) {
      return EINPROGRESS;
    }
    m_busy[slot] = false;
    m_done[slot] = false;
    return m_result[slot];
  }

  int m_fd;
  bool m_ready = false;
  int m_broken = 0;
  io_uring m_ring{};
  Request m_requests[AsyncSlotCount];
  bool m_busy[AsyncSlotCount] = {};
  bool m_done[AsyncSlotCount] = {};
  int m_result[AsyncSlotCount] = {};
};

#endif // CORVEX_HAVE_URING

// One writer thread serves the slots in the order they were submitted.
class ThreadWriter final : public AsyncWriter {
public:
  explicit ThreadWriter(int fd) noexcept : m_fd(fd) {}
  ThreadWriter(const ThreadWriter&) = delete;
  ThreadWriter& operator=(const ThreadWriter&) = delete;

  int Init() noexcept {
    try {
      m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error& e) {
      return e.code().value() != 0 ? e.code().value() : EAGAIN;
    } catch (...) {
      return ENOMEM;
    }
    return 0;
  }

  ~ThreadWriter() override {
    if (!m_thread.joinable()) {
      return;
    }
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true; // the thread still finishes every queued write before it leaves
    }
    m_work.notify_one();
    m_thread.join();
  }

  int Submit(int slot, const void* buffer, uint32_t size, uint64_t offset) noexcept override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests[slot] = Request{buffer, size, offset};
      m_state[slot] = Queued;
      m_queue[(m_queueHead + m_queueCount) % AsyncSlotCount] = slot;
      ++m_queueCount;
    }
    m_work.notify_one();
    return 0;
  }

  int Poll(int slot) noexcept override {
    std::lock_guard<std::mutex> lock(m_mutex);
    return TakeLocked(slot);
  }

  int Wait(int slot) noexcept override {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_done.wait(lock, [&] { return m_state[slot] == Free || m_state[slot] == Done; });
    return TakeLocked(slot);
  }

  const char* Name() const noexcept override { return "thread"; }

private:
  enum State { Free, Queued, Done };

  int TakeLocked(int slot) noexcept {
    if (m_state[slot] == Free) {
      return 0;
    }
    if (m_state[slot] != Done) {
      return EINPROGRESS;
    }
    m_state[slot] = Free;
    return m_result[slot];
  }

  void Run() noexcept {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
      m_work.wait(lock, [&] { return m_queueCount > 0 || m_stop; });
      if (m_queueCount == 0) {
        return; // stopping, and nothing left to write
      }
      const int slot = m_queue[m_queueHead];
      m_queueHead = (m_queueHead + 1) % AsyncSlotCount;
      --m_queueCount;
      const Request r = m_requests[slot];
      lock.unlock(); // never hold the lock across the write
      const int result = WriteFully(m_fd, r.buffer, r.size, r.offset);
      lock.lock();
      m_result[slot] = result;
      m_state[slot] = Done;
      m_done.notify_all();
    }
  }

  int m_fd;
  std::mutex m_mutex;
  std::condition_variable m_work; // the owner queued a write or asks the thread to stop
  std::condition_variable m_done; // a write has ended
  Request m_requests[AsyncSlotCount];
  State m_state[AsyncSlotCount] = {Free, Free, Free};
  int m_result[AsyncSlotCount] = {};
  int m_queue[AsyncSlotCount] = {};
  int m_queueHead = 0;
  int m_queueCount = 0;
  bool m_stop = false;
  std::thread m_thread;
};

template <class Writer>
std::unique_ptr<AsyncWriter> Make(int fd, int* error) noexcept {
  std::unique_ptr<Writer> writer(new (std::nothrow) Writer(fd));
  if (!writer) {
    *error = ENOMEM;
    return nullptr;
  }
  *error = writer->Init();
  if (*error != 0) {
    return nullptr;
  }
  return writer;
}

} // namespace

std::unique_ptr<AsyncWriter> MakeAsyncWriter(int fd, AsyncBackend backend, int* error) noexcept {
  int ignored = 0;
  int* err = error != nullptr ? error : &ignored;
  *err = 0;
#ifdef CORVEX_HAVE_URING
  const bool tryUring =
      backend == AsyncBackend::IoUring ||
      (backend == AsyncBackend::Automatic && std::getenv("CORVEX_NO_IO_URING") == nullptr);
  if (tryUring) {
    if (auto writer = Make<UringWriter>(fd, err)) {
      return writer;
    }
    if (backend == AsyncBackend::IoUring) {
      return nullptr;
    }
  }
#else
  if (backend == AsyncBackend::IoUring) {
    *err = ENOSYS;
    return nullptr;
  }
#endif
  return Make<ThreadWriter>(fd, err);
}

} // namespace VANT
