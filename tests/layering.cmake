# cmake -DCXX=<compiler> -DLAYERS=<build>/layers -DWORK=<dir> [-DQT_INCLUDES=a|b|...] -P layering.cmake
# The layers are enforced by the build: each library compiles against a
# folder of links to its own folders and those below it. This proves it
# holds: from each layer's view an include of the layer below compiles and
# an include of the layer above is not found.
cmake_minimum_required(VERSION 3.25)

set(probes
  # view                compiles                        must not be found
  "duvo_platform|rtl/exceptions.h|codecs/row_source.h"
  "duvo_codecs|platform/raster.h|graphics/bitmap.h"
  "duvo_codecs|codecs/row_source.h|compare/compare.h"
  "duvo_graphics|codecs/row_source.h|compare/compare.h"
  "duvo_compare|graphics/bitmap.h|loading/open_routes.h"
  "duvo_loading|compare/compare.h|widgets/Dialogs.h"
  "duvo_widgets|loading/open_routes.h|results/Wynik.h"
  "duvo_results|widgets/Dialogs.h|app/Main.h"
  # The codecs only duvo-compare reads and writes lie beside the layers the
  # desktop program is built from, which do not see them.
  "duvo_codecs|codecs/bmp/bmp_decoder.h|codecs/png/png_rows.h"
  "duvo_graphics|codecs/jpeg/jpeg_decoder.h|codecs/webp/webp_decoder.h"
  "duvo_loading|loading/open_routes.h|codecs/tiff/tiff_decoder.h"
  "duvo_widgets|loading/open_routes.h|codecs/png/png_writer.h"
  "duvo_widgets|loading/open_routes.h|loading/file_comparison.h"
  "duvo_codecs_cli|codecs/png/png_rows.h|graphics/bitmap.h"
  "duvo_loading_cli|codecs/webp/webp_decoder.h|widgets/Dialogs.h")

string(REPLACE "|" ";" qt_includes "${QT_INCLUDES}")
list(TRANSFORM qt_includes PREPEND "-I")
file(MAKE_DIRECTORY ${WORK})

# How an include of header fares from view: "compiles", "not-found" (the
# header is not in the view), or "fails" (found, but broken otherwise).
function(probe view header result)
  file(WRITE ${WORK}/probe.cpp "#include \"${header}\"\n")
  execute_process(COMMAND ${CXX} -std=c++20 -fPIC -fsyntax-only -I${LAYERS}/${view} ${qt_includes} ${WORK}/probe.cpp
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(REPLACE "." "\\." quoted "${header}")
  if(rc EQUAL 0)
    set(${result} compiles PARENT_SCOPE)
  elseif(out MATCHES "probe\\.cpp:1:[0-9]+: fatal error: '?${quoted}'?:? (file not found|No such file or directory)")
    set(${result} not-found PARENT_SCOPE)
  else()
    set(${result} fails PARENT_SCOPE)
  endif()
endfunction()

# The errors the probes give, one line each.
function(check_layers probe_list result)
  set(errors "")
  foreach(entry ${probe_list})
    string(REPLACE "|" ";" parts "${entry}")
    list(GET parts 0 view)
    list(GET parts 1 lower_header)
    list(GET parts 2 upper_header)
    if(NOT IS_DIRECTORY ${LAYERS}/${view})
      continue()  # a layer this build does not make (the windows without DUVO_GUI)
    endif()
    if(lower_header MATCHES "^(widgets|results|app)/" AND NOT qt_includes)
      set(lower "compiles")  # the window headers need Qt, which this run was not given
    else()
      probe(${view} ${lower_header} lower)
    endif()
    if(NOT lower STREQUAL "compiles")
      string(APPEND errors "  ${view} cannot include ${lower_header}, which lies below it (${lower})\n")
    endif()
    probe(${view} ${upper_header} upper)
    if(NOT upper STREQUAL "not-found")
      string(APPEND errors "  ${view} can reach ${upper_header}, which lies above it (${upper})\n")
    endif()
  endforeach()
  set(${result} "${errors}" PARENT_SCOPE)
endfunction()

# First the check itself must be able to fail: probes that claim the wrong
# direction (a codec including the comparison, a layer refusing the one
# below it) are each reported.
check_layers("duvo_codecs|compare/compare.h|platform/raster.h" self_errors)
string(REGEX MATCHALL "\n" lines "${self_errors}")
list(LENGTH lines reported)
if(NOT reported EQUAL 2)
  message(FATAL_ERROR "The layering check cannot fail: a codec including compare/compare.h "
                      "gave ${reported} of 2 errors:\n${self_errors}")
endif()

check_layers("${probes}" errors)
if(errors)
  message(FATAL_ERROR "The layers do not hold:\n${errors}")
endif()
