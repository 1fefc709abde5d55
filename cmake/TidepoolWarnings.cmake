# Warnings are errors everywhere we compile our own code.
add_library(tp_warnings INTERFACE)
target_compile_options(tp_warnings INTERFACE
  -Wall -Wextra -Werror -Wno-unused-parameter -Wno-missing-field-initializers
  $<$<COMPILE_LANGUAGE:CXX>:-Wno-deprecated-copy>)
# No -Wnon-virtual-dtor: COM interfaces have no destructor by design (an
# object is destroyed by its own Release), and GCC reports every class that
# implements one, even when the class's own destructor is virtual.
