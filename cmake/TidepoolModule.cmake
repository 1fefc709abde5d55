# tp_add_com_module(NAME <target> OUTPUT_NAME <file name without .ax> DEF <file.def>
#                   SOURCES ... [LIBS ...])
# A COM in-process server module "<OUTPUT_NAME>.ax" in bin/, built from the
# server layer (tp_server, whole: its exports must reach the module even
# though nothing in the module calls them) and the module's own sources (its
# factory template table). The .def file lists the exports: on Windows it is
# the module's export table; elsewhere it becomes a linker version script
# that exports those names and the module entry DllMain, and hides the rest.
function(tp_add_com_module)
  cmake_parse_arguments(M "" "NAME;OUTPUT_NAME;DEF" "SOURCES;LIBS" ${ARGN})
  add_library(${M_NAME} SHARED ${M_SOURCES})
  set_target_properties(${M_NAME} PROPERTIES PREFIX "" OUTPUT_NAME ${M_OUTPUT_NAME} SUFFIX ".ax")
  target_link_libraries(${M_NAME} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,tp_server>" ${M_LIBS} tp_warnings)
  if(TP_WINDOWS)
    target_sources(${M_NAME} PRIVATE ${M_DEF})
    # One self-contained DLL: no compiler runtime DLLs beside it.
    target_link_options(${M_NAME} PRIVATE -static-libgcc -static-libstdc++)
  else()
    file(STRINGS ${M_DEF} def_lines)
    set(exports "DllMain;")
    set(in_exports OFF)
    foreach(line IN LISTS def_lines)
      string(STRIP "${line}" line)
      if(line MATCHES "^EXPORTS")
        set(in_exports ON)
      elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
        string(APPEND exports "${CMAKE_MATCH_1};")
      endif()
    endforeach()
    set(map ${CMAKE_CURRENT_BINARY_DIR}/${M_NAME}.map)
    file(WRITE ${map} "{\n  global:\n    ${exports}\n  local:\n    *;\n};\n")
    target_link_options(${M_NAME} PRIVATE -Wl,--version-script=${map})
    set_property(TARGET ${M_NAME} APPEND PROPERTY LINK_DEPENDS ${map} ${M_DEF})
  endif()
endfunction()
