# cmake -DDESKTOP=<duvo> -DCOMMAND_LINE=<duvo-compare> -P linked_libraries.cmake
# The desktop program links none of the libraries of the formats only
# duvo-compare reads (ISA-L for PNG, libwebp, libtiff) nor the tests'
# libspng; duvo-compare links the first three, which shows that the check
# reads what it should.
cmake_minimum_required(VERSION 3.25)

find_program(READELF readelf REQUIRED)

# The shared libraries a program names itself (not those they bring).
function(needed program result)
  execute_process(COMMAND ${READELF} -d ${program} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "readelf cannot read ${program}")
  endif()
  string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" lines "${out}")
  list(TRANSFORM lines REPLACE "Shared library: \\[([^]]+)\\]" "\\1")
  set(${result} ${lines} PARENT_SCOPE)
endfunction()

set(command_line_only libisal libwebp libwebpdemux libtiff)
needed(${DESKTOP} desktop)
needed(${COMMAND_LINE} command_line)
set(errors "")
foreach(lib ${command_line_only} libspng)
  if(desktop MATCHES "(^|;)${lib}\\.so")
    string(APPEND errors "  the desktop program links ${lib}\n")
  endif()
endforeach()
foreach(lib ${command_line_only})
  if(NOT command_line MATCHES "(^|;)${lib}\\.so")
    string(APPEND errors "  duvo-compare does not link ${lib}: the check does not see what it looks for\n")
  endif()
endforeach()
if(errors)
  message(FATAL_ERROR "Linked libraries:\n${errors}desktop: ${desktop}\nduvo-compare: ${command_line}")
endif()
