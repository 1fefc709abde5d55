// DataFile: a movie's data file opened for reading, on the system's own file
// calls (POSIX descriptors with pread on Linux, Win32 handles with
// overlapped-offset ReadFile on Windows). Paths are UTF-8 on Linux and in the
// ANSI code page on Windows; a path written
// with "\" separators that does not open is tried with "/" where "/" is the
// separator.
//
// Test seam, on both systems: the environment variable TP_DATAFILE_FAULT,
// read when a file is opened, makes every read from byte offset N on behave
// as if the file ended there ("eof@N") or as a failing device ("io@N").
// Reads before N are untouched; anything else in the variable is ignored.
//
// Ownership: the object owns its handle and closes it when destroyed or
// reopened. Threads: ReadAt carries its own offset, so concurrent ReadAt
// calls on one open file are safe; Open and Close are not safe against
// reads in progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <QuickTime/MacErrors.h>

namespace tp::qt {

class DataFile {
 public:
  DataFile() = default;
  ~DataFile();
  DataFile(const DataFile &) = delete;
  DataFile &operator=(const DataFile &) = delete;
  DataFile(DataFile &&other) noexcept;
  DataFile &operator=(DataFile &&other) noexcept;

  // True when the file opened for reading (closing what was open before).
  bool Open(const std::string &path);
  void Close();
  bool IsOpen() const;
  // True for an ordinary file (not a folder, device or pipe).
  bool IsRegular() const;
  // The file's size in bytes, or -1 when it cannot be told.
  int64_t Size() const;
  // Reads exactly n bytes at pos: ioErr when the system fails, eofErr when
  // the file ends first.
  OSErr ReadAt(uint64_t pos, void *dst, size_t n) const;
  // Reads up to n bytes at pos; the count read, or -1 on failure.
  int64_t ReadSome(uint64_t pos, void *dst, size_t n) const;

  // True when `path` (or its "/" spelling) names something that exists.
  static bool Exists(const std::string &path);
  // The spelling of `path` that exists: itself, else its "/" spelling when
  // that exists, else `path` unchanged.
  static std::string Resolve(const std::string &path);

  // What TP_DATAFILE_FAULT asks for (exposed for its tests).
  struct Fault {
    enum class Kind { kNone, kEnd, kIo } kind = Kind::kNone;
    uint64_t at = 0;
  };
  static Fault ParseFault(const char *text);

 private:
  // The system's read, before the test seam.
  int64_t ReadNative(uint64_t pos, void *dst, size_t n) const;

  intptr_t handle_ = -1;  // descriptor, or the Win32 HANDLE's value; -1 when closed
  Fault fault_;           // from TP_DATAFILE_FAULT when the file was opened
};

}  // namespace tp::qt
