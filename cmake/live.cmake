# Live directory volumes: the walk and change-rate benchmark.
if(SEARCH_BUILD_BENCH)
  add_executable(live_walk_bench ${CMAKE_SOURCE_DIR}/bench/live_walk_bench.cpp)
  target_link_libraries(live_walk_bench PRIVATE zvolume)
endif()
