# Each layer of the program is a library that sees only its own folders and
# those of the layers below it: its include path is a folder of links made
# here (build/layers/NAME/<folder> -> src/<folder>), so an include that runs
# back up the layers does not compile.
set(DUVO_LAYER_ROOT ${CMAKE_BINARY_DIR}/layers)

# The warnings every target of ours is built with; -Werror with DUVO_WERROR.
add_library(duvo_warnings INTERFACE)
target_compile_options(duvo_warnings INTERFACE -Wall -Wextra)
if(DUVO_WERROR)
  target_compile_options(duvo_warnings INTERFACE -Werror)
endif()

# A folder of links to the given folders of src/.
function(duvo_view name)
  set(dir ${DUVO_LAYER_ROOT}/${name})
  file(MAKE_DIRECTORY ${dir})
  foreach(folder ${ARGN})
    if(NOT IS_SYMLINK ${dir}/${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${folder} ${dir}/${folder} SYMBOLIC)
    endif()
  endforeach()
endfunction()

# duvo_layer(TARGET FOLDERS folder... [BELOW target...]): TARGET sees its own
# folders and every folder the targets below it see, and links them.
function(duvo_layer target)
  cmake_parse_arguments(L "" "" "FOLDERS;BELOW" ${ARGN})
  set(folders ${L_FOLDERS})
  foreach(below ${L_BELOW})
    get_property(more TARGET ${below} PROPERTY DUVO_VIEW_FOLDERS)
    list(APPEND folders ${more})
  endforeach()
  list(REMOVE_DUPLICATES folders)
  duvo_view(${target} ${folders})
  set_property(TARGET ${target} PROPERTY DUVO_VIEW_FOLDERS ${folders})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${DUVO_LAYER_ROOT}/${target})
    target_link_libraries(${target} INTERFACE ${L_BELOW})
  else()
    target_include_directories(${target} PUBLIC ${DUVO_LAYER_ROOT}/${target})
    target_link_libraries(${target} PUBLIC ${L_BELOW})
    target_link_libraries(${target} PRIVATE duvo_warnings)
  endif()
endfunction()

# A library of one layer from the sources of its folders.
function(duvo_layer_library target)
  cmake_parse_arguments(L "" "" "FOLDERS;BELOW;SOURCES" ${ARGN})
  add_library(${target} STATIC ${L_SOURCES})
  duvo_layer(${target} FOLDERS ${L_FOLDERS} BELOW ${L_BELOW})
endfunction()
