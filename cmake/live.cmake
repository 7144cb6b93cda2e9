# The live directory volume's journal file frames its records with zlib's CRC-32.
find_package(ZLIB REQUIRED)
target_link_libraries(zdevices PUBLIC ZLIB::ZLIB)

# xxHash (Debian: libxxhash-dev) checks the live volume's identity table and,
# through the layers above, the drive cache file.
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(XXHASH QUIET IMPORTED_TARGET libxxhash)
endif()
if(TARGET PkgConfig::XXHASH)
  target_link_libraries(zdevices PUBLIC PkgConfig::XXHASH)
else()
  find_path(XXHASH_INCLUDE_DIR NAMES xxhash.h)
  find_library(XXHASH_LIBRARY NAMES xxhash)
  if(NOT XXHASH_INCLUDE_DIR OR NOT XXHASH_LIBRARY)
    message(FATAL_ERROR "xxHash not found: install libxxhash-dev (the checksum of the state and cache files)")
  endif()
  target_include_directories(zdevices PUBLIC ${XXHASH_INCLUDE_DIR})
  target_link_libraries(zdevices PUBLIC ${XXHASH_LIBRARY})
endif()

# The identity table of a directory drive taken up from any contents: the
# libFuzzer target (clang, SEARCH_BUILD_FUZZ) or the replay of its corpus.
search_fuzzer(live_state_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/live_state_fuzzer.cpp
              LIBS zdevices CORPUS live_state)

# Live directory volumes: the walk and change-rate benchmark.
if(SEARCH_BUILD_BENCH)
  add_executable(live_walk_bench ${CMAKE_SOURCE_DIR}/bench/live_walk_bench.cpp)
  target_link_libraries(live_walk_bench PRIVATE zvolume)
endif()

# The differential tester: its fixed seeds in the tests, its long run as a
# program of its own (live_differential_run SEQUENCES [inotify|fanotify]).
set(_differential ${CMAKE_SOURCE_DIR}/tests/support/ZLiveDifferential.cpp)
if(SEARCH_BUILD_TESTS AND TARGET live_differential_test)
  target_sources(live_differential_test PRIVATE ${_differential})
  target_link_libraries(live_differential_test PRIVATE zclient)
endif()
if(SEARCH_BUILD_BENCH AND SEARCH_BUILD_TESTS)
  add_executable(live_differential_run ${CMAKE_SOURCE_DIR}/bench/live_differential_run.cpp ${_differential}
                 ${CMAKE_SOURCE_DIR}/tests/support/TestEnvironment.cpp)
  target_include_directories(live_differential_run PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(live_differential_run PRIVATE zrunners GTest::gtest)
endif()
if(SEARCH_BUILD_TESTS AND TARGET live_volume_test)
  target_sources(live_volume_test PRIVATE ${_differential})
  target_link_libraries(live_volume_test PRIVATE zclient)
endif()
