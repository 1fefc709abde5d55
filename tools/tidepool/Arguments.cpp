#include "Arguments.h"

namespace tidepool {

std::vector<std::string> Utf8Arguments(int argc, char **argv) { return std::vector<std::string>(argv, argv + argc); }

}  // namespace tidepool
