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

# The entries of src/ that a path names: a folder, or every file of a name
# (loading/file_comparison: its .h and its .cpp).
function(duvo_entries out path)
  if(IS_DIRECTORY ${CMAKE_SOURCE_DIR}/src/${path})
    set(${out} ${path} PARENT_SCOPE)
  else()
    file(GLOB found CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/${path}.*)
    set(${out} ${found} PARENT_SCOPE)
  endif()
endfunction()

# A folder of links to the given entries of src/ (folders, or files and
# folders inside one: codecs/bmp), made anew at each configure.
function(duvo_view name)
  set(dir ${DUVO_LAYER_ROOT}/${name})
  # Removes the links, not what they point to.
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  foreach(entry ${ARGN})
    get_filename_component(parent ${dir}/${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${entry} ${dir}/${entry} SYMBOLIC)
  endforeach()
endfunction()

# duvo_layer(TARGET FOLDERS path... [EXCEPT path...] [BELOW target...]):
# TARGET sees its own folders and every entry the targets below it see, and
# links them. A folder with paths EXCEPT from it is seen entry by entry, the
# excepted ones left out: the codecs and loads only duvo-compare uses lie in
# the folders of their layer, where the desktop program's libraries do not
# see them.
function(duvo_layer target)
  cmake_parse_arguments(L "" "" "FOLDERS;EXCEPT;BELOW" ${ARGN})
  set(excluded "")
  foreach(path ${L_EXCEPT})
    duvo_entries(entries ${path})
    list(APPEND excluded ${entries})
  endforeach()
  set(folders "")
  foreach(path ${L_FOLDERS})
    if(L_EXCEPT AND IS_DIRECTORY ${CMAKE_SOURCE_DIR}/src/${path})
      file(GLOB entries CONFIGURE_DEPENDS LIST_DIRECTORIES true RELATIVE ${CMAKE_SOURCE_DIR}/src
           ${CMAKE_SOURCE_DIR}/src/${path}/*)
      if(excluded)
        list(REMOVE_ITEM entries ${excluded})
      endif()
    else()
      duvo_entries(entries ${path})
    endif()
    list(APPEND folders ${entries})
  endforeach()
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

# A library of one layer from the sources of its folders (STATIC unless
# told OBJECT).
function(duvo_layer_library target)
  cmake_parse_arguments(L "OBJECT" "" "FOLDERS;EXCEPT;BELOW;SOURCES" ${ARGN})
  if(L_OBJECT)
    add_library(${target} OBJECT ${L_SOURCES})
  else()
    add_library(${target} STATIC ${L_SOURCES})
  endif()
  duvo_layer(${target} FOLDERS ${L_FOLDERS} EXCEPT ${L_EXCEPT} BELOW ${L_BELOW})
endfunction()
