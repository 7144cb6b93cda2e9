# Journal and drive cache: the libFuzzer target over the cache load (clang
# only; fuzz/run_drive_cache_fuzz.sh builds and runs it) or, in the ordinary
# build, the replay of its corpus, and the cache benchmark. The cache file's
# checksum library comes with the devices layer (live.cmake).

search_fuzzer(drive_cache_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/drive_cache_fuzzer.cpp
              LIBS zvolume CORPUS drive_cache)

# Save and load of a large drive cache against a full enumeration.
if(SEARCH_BUILD_BENCH)
  add_executable(drive_cache_bench ${CMAKE_SOURCE_DIR}/bench/drive_cache_bench.cpp)
  target_link_libraries(drive_cache_bench PRIVATE zvolume)
endif()
