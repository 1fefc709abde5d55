// The process environment as the stand-ins see it: one lock around every
// getenv/setenv/unsetenv that goes through GetEnvironmentVariable*,
// SetEnvironmentVariable* or the helpers below, so that a reader never sees
// a variable half-replaced by another thread. Names are case-sensitive, as
// the Linux environment is (see README.md).
//
// Lock order: the environment lock is a leaf; nothing else is taken while
// it is held.
#pragma once

#include <optional>
#include <string>

namespace tp::win32 {

// The variable's value (UTF-8), or nothing when it is not set.
std::optional<std::string> ReadEnvironment(const char *name);

}  // namespace tp::win32
