# Emulated NTFS volume: its timing program.
if(SEARCH_BUILD_BENCH)
  add_executable(emulated_volume_bench ${CMAKE_SOURCE_DIR}/bench/emulated_volume_bench.cpp)
  target_link_libraries(emulated_volume_bench PRIVATE zplatform)
endif()
