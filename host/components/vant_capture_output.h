#pragma once
// VANTCaptureOutput: where a merge writes, chosen so that a failure never destroys anything.
//
// - "-" is standard output; it is written straight and never closed or removed. So are the
//   names of descriptors this program was given: /dev/stdout, /dev/stderr, /dev/fd/N and
//   /proc/self/fd/N.
// - A regular file that exists, a path that does not exist yet, or a symbolic link to either:
//   the capture is written to a new temporary file in the folder of the file the path finally
//   names, which Commit renames over it. Until then the old file is untouched; a symbolic link
//   stays a link (its target is replaced). Abort removes the temporary file and nothing else.
// - Anything else (a pipe, a FIFO, a terminal, a character device such as /dev/null) is opened
//   and written straight; it is never truncated, renamed or removed.
//
// Thread: one thread at a time; TemporaryPath() may be read by a signal handler (see there).
// Ownership: the object owns the descriptor it opened and the temporary file until Commit.

#include <string>

class VANTCaptureOutput {
public:
  VANTCaptureOutput() = default;
  VANTCaptureOutput(const VANTCaptureOutput&) = delete;
  VANTCaptureOutput& operator=(const VANTCaptureOutput&) = delete;
  /// Aborts when neither Commit nor Abort was called.
  ~VANTCaptureOutput();

  /// Prepares the output `path`; false with Error() set (naming the path) when it cannot be
  /// written.
  [[nodiscard]] bool Open(const std::string& path);
  /// The descriptor to write to (-1 before Open).
  int Descriptor() const noexcept { return m_fd; }
  /// True when the capture goes to a temporary file that Commit renames.
  bool Replaces() const noexcept { return !m_temporary.empty(); }
  /// The temporary file (empty when writing straight), valid until Commit or Abort.
  const char* TemporaryPath() const noexcept { return m_temporary.c_str(); }
  /// The path as given, and the file that is finally written (a link's target).
  const std::string& Path() const noexcept { return m_path; }
  const std::string& Target() const noexcept { return m_target; }

  /// Makes the written capture the output: closes the temporary file and renames it over the
  /// target. False with Error() set when that fails (the temporary file is then removed).
  [[nodiscard]] bool Commit();
  /// Gives the output up: removes the temporary file, if any; anything written straight stays.
  void Abort() noexcept;

  const std::string& Error() const noexcept { return m_error; }

private:
  std::string m_path;
  std::string m_target;
  std::string m_temporary;
  std::string m_error;
  int m_fd = -1;
  bool m_ownsDescriptor = false;
};
