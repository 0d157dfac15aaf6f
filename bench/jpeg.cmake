# The benchmark compresses its pictures with the tests' JPEG fixtures.
target_include_directories(bench_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/core)
