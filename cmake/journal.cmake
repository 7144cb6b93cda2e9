# Journal and drive cache: the checksum library of the cache file, the
# libFuzzer target over the cache load (clang only; fuzz/run_drive_cache_fuzz.sh
# builds and runs it) or, in the ordinary build, the replay of its corpus,
# and the cache benchmark.

# xxHash (Debian: libxxhash-dev) checks the drive cache file.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(XXHASH QUIET IMPORTED_TARGET libxxhash)
endif()
if(TARGET PkgConfig::XXHASH)
  target_link_libraries(zvolume PUBLIC PkgConfig::XXHASH)
else()
  find_path(XXHASH_INCLUDE_DIR NAMES xxhash.h)
  find_library(XXHASH_LIBRARY NAMES xxhash)
  if(NOT XXHASH_INCLUDE_DIR OR NOT XXHASH_LIBRARY)
    message(FATAL_ERROR "xxHash not found: install libxxhash-dev (the drive cache file's checksum)")
  endif()
  target_include_directories(zvolume PUBLIC ${XXHASH_INCLUDE_DIR})
  target_link_libraries(zvolume PUBLIC ${XXHASH_LIBRARY})
endif()

search_fuzzer(drive_cache_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/drive_cache_fuzzer.cpp
              LIBS zvolume CORPUS drive_cache)

# Save and load of a large drive cache against a full enumeration.
if(SEARCH_BUILD_BENCH)
  add_executable(drive_cache_bench ${CMAKE_SOURCE_DIR}/bench/drive_cache_bench.cpp)
  target_link_libraries(drive_cache_bench PRIVATE zvolume)
endif()
