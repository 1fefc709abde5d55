# Warnings are errors everywhere we compile our own code.
add_library(tp_warnings INTERFACE)
target_compile_options(tp_warnings INTERFACE
  -Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wno-deprecated-copy>)
