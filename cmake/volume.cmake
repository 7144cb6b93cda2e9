# Volume: the enumeration benchmark and the record-parse fuzzer.
if(SEARCH_BUILD_BENCH)
  add_executable(volume_enumeration_bench ${CMAKE_SOURCE_DIR}/bench/volume_enumeration_bench.cpp)
  target_link_libraries(volume_enumeration_bench PRIVATE zvolume)
endif()

search_fuzzer(parse_file_record_fuzz SOURCES ${CMAKE_SOURCE_DIR}/fuzz/parse_file_record_fuzz.cpp
              LIBS zvolume CORPUS parse_file_record)
