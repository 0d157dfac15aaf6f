# duvo_embed_resources(TARGET DIR NAME...): compiles the files DIR/NAME into
# TARGET as byte arrays, reachable through src/widgets/resources.h. The files are
# made by tools/make_assets.py and kept in the repository.
function(duvo_embed_resources target dir)
  duvo_embed_files(${target} ${dir} widgets/resources.h duvo::res ${ARGN})
endfunction()

# duvo_embed_files(TARGET DIR HEADER NAMESPACE NAME...): the same with the
# lookup in NAMESPACE, declared by HEADER (which defines Blob there).
function(duvo_embed_files target dir header namespace)
  string(MAKE_C_IDENTIFIER "${namespace}" tag)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${tag}_resources.cpp)
  set(deps)
  foreach(name ${ARGN})
    list(APPEND deps ${dir}/${name})
  endforeach()
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DOUT=${out} -DDIR=${dir} -DHEADER=${header} -DNAMESPACE=${namespace} "-DNAMES=${ARGN}" -P ${CMAKE_SOURCE_DIR}/cmake/embed_run.cmake
    DEPENDS ${deps} ${CMAKE_SOURCE_DIR}/cmake/embed_run.cmake
    COMMENT "Embedding resources"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
