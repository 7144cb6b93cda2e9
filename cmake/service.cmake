# The command-line client of the search service.
add_executable(searchclient ${CMAKE_SOURCE_DIR}/tools/searchclient/main.cpp)
target_link_libraries(searchclient PRIVATE zsearchclient)

# Fan-out of a burst of changes to many clients: bench/service_fanout_bench.
if(SEARCH_BUILD_BENCH)
  add_executable(service_fanout_bench ${CMAKE_SOURCE_DIR}/bench/service_fanout_bench.cpp)
  target_link_libraries(service_fanout_bench PRIVATE zrunners)
endif()

# The process tests run the service executable built beside them.
if(TARGET service_process_test)
  add_dependencies(service_process_test searchservice)
endif()
