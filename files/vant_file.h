#pragma once
// VANTFile: a path split into its directory and its name, with the checks components make on the
// files and directories their properties name, and the ordinary path utilities.
//
// Paths are UTF-8 and use "/". A text may use backslashes instead: they become "/", except the
// two that open a network path ("\\server/share/..."). A text that is not valid UTF-8 never
// reaches the system: the checks answer false and the queries fail.
//
// Thread: a VANTFile belongs to one thread at a time; the static constructors may run anywhere.

#include "util/vant_string.h"

#include <cstdint>
#include <functional>

class VANTFile {
public:
  VANTFile() = default;
  /// text may be null (the empty path).
  explicit VANTFile(const char* text);
  explicit VANTFile(const VANTStackedString<40>& text) : VANTFile(text.Text()) {}
  VANTFile(const VANTFile& other) = default;
  VANTFile& operator=(const VANTFile& other) = default;
  virtual ~VANTFile() = default;

  /// The directory of the engine library that exports "vant_init" in this process, ending in
  /// "/"; the empty path when no loaded object exports it. Nothing is ever loaded to find it.
  static VANTFile EngineDirectory();
  /// The library or executable that contains address; the empty path when none does.
  static VANTFile FromAddress(const void* address);
  /// The process's executable; the empty path when it cannot be read.
  static VANTFile ExecutablePath();

  /// Splits text into directory (up to and including the last "/") and name (the rest). A text
  /// without any "/" is all name.
  void SetPath(const char* text);

  const VANTStackedString<40>& Name() const noexcept { return m_name; }
  const VANTStackedString<40>& Directory() const noexcept { return m_directory; }
  /// Directory followed by name.
  VANTStackedString<40> FullPath() const;

  /// The path (trailing separators ignored) names a file that can be opened for reading or a
  /// directory whose contents can be listed.
  bool ExistsAndIsReadable() const;
  /// The path names an existing directory (symbolic links followed).
  bool IsDirectory() const;
  /// Removes the file (not a directory); true when the system did.
  bool Delete() const;

  /// Creation, last access and last write of the file (null pointers are skipped), in
  /// microseconds since 1970-01-01 00:00 local time (the UTC time plus the local offset in
  /// force at that instant). A creation time the file system does not keep is 0. False when the
  /// file cannot be examined.
  bool Times(int64_t* creation, int64_t* lastAccess, int64_t* lastWrite) const;

  /// Calls visit with each entry of the directory named by the full path ("." and ".." left out),
  /// in the system's order, until visit returns false. False when the directory cannot be read.
  bool List(const std::function<bool(const char* name, bool isDirectory)>& visit) const;

  /// Starts with "/" or is a network path.
  bool IsAbsolute() const noexcept;
  /// The path made absolute against the working directory, with "." and ".." folded and repeated
  /// separators merged. A path that is already absolute is only folded.
  VANTFile Absolute() const;
  /// The path relative to the directory base (its full path taken as a directory), both made
  /// absolute first: "../" for each level to climb, then the rest. A network path on another
  /// server than base's stays absolute.
  VANTFile RelativeTo(const VANTFile& base) const;

private:
  VANTStackedString<40> m_name;
  VANTStackedString<40> m_directory;
};
