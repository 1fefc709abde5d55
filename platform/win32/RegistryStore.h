// The registry's file store, shared by every process that uses the same
// file: one text file in the format of registry exports (RegistryTree).
//
// Where: the file named by the environment variable TP_REGISTRY_FILE, else
// $XDG_DATA_HOME/tidepool/registry.reg, else
// ~/.local/share/tidepool/registry.reg. The variable is looked up at every
// operation, so a test can point the store at a file of its own.
//
// Reads see the latest file: the parsed tree is cached and re-read whenever
// the file on disk is another one (device, inode, size, times). A change
// takes an exclusive flock on "<file>.lock", re-reads the file under it,
// applies the change, writes a temporary file beside the store and renames
// it into place, so concurrent processes never lose an update and a reader
// never sees a half-written file.
//
// A file that exists but is not a registry file (no header line), is larger
// than kMaxFileBytes, or cannot be read, is never overwritten: reads and
// changes fail with ERROR_REGISTRY_CORRUPT / ERROR_CANTREAD.
//
// Lock order: the store mutex, then the flock on the lock file. The
// environment lock is taken (and released) before the store mutex, when the
// file's path is looked up. Nothing else is taken under either.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "win32/RegistryTree.h"

namespace tp::win32 {

class RegistryStore {
 public:
  static constexpr size_t kMaxFileBytes = 64u << 20;

  // The path of the store file for the current environment.
  static std::string FilePath();

  // Runs `reader` on the latest content; returns its result, or the store's
  // error when the file cannot be read.
  static LONG Read(const std::function<LONG(const RegistryTree &)> &reader);
  // Runs `writer` on a copy of the latest content under the file lock. When
  // it returns ERROR_SUCCESS and sets `changed`, the copy replaces the file.
  // Returns the writer's result or the store's error.
  static LONG Modify(const std::function<LONG(RegistryTree &, bool &changed)> &writer);
};

}  // namespace tp::win32
