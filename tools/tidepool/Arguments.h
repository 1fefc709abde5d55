// The command line as UTF-8 text, which is what the tool's paths and options
// are read as on every system. On Windows, main's argv is in the ANSI code
// page, where a name outside it is lost or becomes bytes that are not UTF-8,
// so there the arguments are read from the wide command line instead
// (ArgumentsWindows.cpp); elsewhere argv already is UTF-8 (Arguments.cpp).
#pragma once

#include <string>
#include <vector>

namespace tidepool {

// One string per argument, the program's name first.
std::vector<std::string> Utf8Arguments(int argc, char **argv);

}  // namespace tidepool
