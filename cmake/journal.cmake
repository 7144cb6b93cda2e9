# Journal and drive cache: the libFuzzer target over the cache load. Needs
# clang; the layer libraries the fuzz targets reach are built with
# AddressSanitizer and fuzzer coverage. fuzz/run_drive_cache_fuzz.sh builds
# and runs it.
if(SEARCH_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SEARCH_BUILD_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # The layers the fuzz targets reach, named here as CMakeLists.txt makes them.
  foreach(lib IN ITEMS zplatform zframe zstorage zdiagnostics zvolume zservice zclient)
    target_compile_options(${lib} PRIVATE -fsanitize=address,fuzzer-no-link -fno-omit-frame-pointer)
    target_link_options(${lib} INTERFACE -fsanitize=address)
  endforeach()
  add_executable(drive_cache_fuzzer ${CMAKE_SOURCE_DIR}/fuzz/drive_cache_fuzzer.cpp)
  target_compile_options(drive_cache_fuzzer PRIVATE -fsanitize=address,fuzzer -fno-omit-frame-pointer)
  target_link_options(drive_cache_fuzzer PRIVATE -fsanitize=address,fuzzer)
  # clang calls libatomic for atomics on packed fields of the piece header.
  target_link_libraries(drive_cache_fuzzer PRIVATE zvolume atomic)
endif()

# Save and load of a large drive cache against a full enumeration.
if(SEARCH_BUILD_BENCH)
  add_executable(drive_cache_bench ${CMAKE_SOURCE_DIR}/bench/drive_cache_bench.cpp)
  target_link_libraries(drive_cache_bench PRIVATE zvolume)
endif()
