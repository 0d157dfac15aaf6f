# The benchmark builds its GIFs with the tests' GIF builder and decodes the
# same bytes with giflib for comparison; the program never links giflib.
find_package(GIF REQUIRED)
target_include_directories(bench_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/core)
target_link_libraries(bench_${name} PRIVATE GIF::GIF)
