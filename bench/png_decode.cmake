# The PNG decoding benchmark holds our decoder against libspng and the
# inflaters we chose among (zlib, ISA-L through the core, libdeflate); none
# of them but ISA-L is linked into the program.
pkg_check_modules(DEFLATE REQUIRED IMPORTED_TARGET libdeflate)
target_link_libraries(bench_${name} PRIVATE PkgConfig::SPNG PkgConfig::DEFLATE ZLIB::ZLIB)
