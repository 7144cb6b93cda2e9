# Volume: the enumeration benchmark and the record-parse fuzzer.
if(SEARCH_BUILD_BENCH)
  add_executable(volume_enumeration_bench ${CMAKE_SOURCE_DIR}/bench/volume_enumeration_bench.cpp)
  target_link_libraries(volume_enumeration_bench PRIVATE zvolume)
endif()

if(SEARCH_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SEARCH_BUILD_FUZZ needs clang (CC=clang CXX=clang++)")
  endif()
  # The parser is instrumented where it lives; the fuzzer links libFuzzer's main.
  target_compile_options(zvolume PRIVATE -fsanitize=fuzzer-no-link,address)
  add_executable(parse_file_record_fuzz ${CMAKE_SOURCE_DIR}/fuzz/parse_file_record_fuzz.cpp)
  target_compile_options(parse_file_record_fuzz PRIVATE -fsanitize=fuzzer,address)
  target_link_options(parse_file_record_fuzz PRIVATE -fsanitize=fuzzer,address)
  target_link_libraries(parse_file_record_fuzz PRIVATE zvolume)
endif()
