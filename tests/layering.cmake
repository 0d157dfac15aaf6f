# cmake -DCXX=<compiler> -DLAYERS=<build>/layers -DWORK=<dir> -P layering.cmake
# The layers are enforced by the build: each library compiles against a
# folder of links to its own folders and those below it. This proves it
# holds: from each layer's view an include of the layer below compiles and
# an include of the layer above does not.
set(probes
  # view            compiles                       must not compile
  "duvo_platform|rtl/exceptions.h|codecs/row_source.h"
  "duvo_codecs|platform/raster.h|graphics/bitmap.h"
  "duvo_graphics|codecs/row_source.h|compare/compare.h"
  "duvo_compare|graphics/bitmap.h|loading/open_routes.h"
  "duvo_loading|compare/compare.h|widgets/Dialogs.h"
  "duvo_widgets|loading/open_routes.h|results/Wynik.h"
  "duvo_results|widgets/Dialogs.h|app/Main.h")
file(MAKE_DIRECTORY ${WORK})
set(errors "")
foreach(probe ${probes})
  string(REPLACE "|" ";" parts "${probe}")
  list(GET parts 0 view)
  list(GET parts 1 below)
  list(GET parts 2 above)
  if(NOT IS_DIRECTORY ${LAYERS}/${view})
    continue()  # a layer this build does not make (the windows without DUVO_GUI)
  endif()
  foreach(kind below above)
    set(header ${${kind}})
    file(WRITE ${WORK}/probe.cpp "#include \"${header}\"\n")
    execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only -I${LAYERS}/${view} ${WORK}/probe.cpp
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
    if(kind STREQUAL "below" AND NOT rc EQUAL 0 AND NOT header MATCHES "^(widgets|results|app)/")
      string(APPEND errors "  ${view} cannot include ${header}, which lies below it\n")
    elseif(kind STREQUAL "above" AND rc EQUAL 0)
      string(APPEND errors "  ${view} can include ${header}, which lies above it\n")
    endif()
  endforeach()
endforeach()
if(errors)
  message(FATAL_ERROR "The layers do not hold:\n${errors}")
endif()
