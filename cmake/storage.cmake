# Index storage extras: the reader probe spawned by the storage reader test,
# the pool-loader fuzzer and the storage benchmark.

# A reader in its own process; it needs only the storage layouts, the
# client-side reader and Qt Core.
add_executable(storage_reader_probe
    ${CMAKE_SOURCE_DIR}/tests/storage/storage_reader_probe.cpp
    ${CMAKE_SOURCE_DIR}/src/client/ZSharedPoolReader.cpp)
target_include_directories(storage_reader_probe PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(storage_reader_probe PRIVATE zstorage Qt5::Core)

if(TARGET storage_reader_test)
  target_compile_definitions(storage_reader_test PRIVATE
      STORAGE_READER_PROBE="$<TARGET_FILE:storage_reader_probe>")
  add_dependencies(storage_reader_test storage_reader_probe)
endif()

# Replays the checked-in fuzz corpus through the loader in the ordinary build.
if(TARGET storage_fuzz_corpus_test)
  target_sources(storage_fuzz_corpus_test PRIVATE ${CMAKE_SOURCE_DIR}/fuzz/storage_pool_load_input.cpp)
  target_include_directories(storage_fuzz_corpus_test PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
  target_compile_definitions(storage_fuzz_corpus_test PRIVATE
      STORAGE_FUZZ_CORPUS="${CMAKE_SOURCE_DIR}/fuzz/corpus/storage_pool_load")
endif()

# libFuzzer target over the pool loader (clang only): see fuzz/run_storage_fuzz.sh.
if(SEARCH_BUILD_FUZZ)
  search_fuzzer(storage_pool_fuzz
      SOURCES ${CMAKE_SOURCE_DIR}/fuzz/storage_pool_fuzz.cpp ${CMAKE_SOURCE_DIR}/fuzz/storage_pool_load_input.cpp
      LIBS zstorage)
  target_include_directories(storage_pool_fuzz PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
endif()

# Append, walk, save and load one million records: bench/storage_bench.
if(SEARCH_BUILD_BENCH)
  add_executable(storage_bench ${CMAKE_SOURCE_DIR}/bench/storage_bench.cpp
      ${CMAKE_SOURCE_DIR}/src/client/ZSharedPoolReader.cpp)
  target_include_directories(storage_bench PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(storage_bench PRIVATE zstorage Qt5::Core)
endif()
