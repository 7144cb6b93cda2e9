# Volume thread and change application tests: signal spies, and the telemetry
# stand-in library for the thread's reports.
if(SEARCH_BUILD_TESTS)
  find_package(Qt5 5.15 REQUIRED COMPONENTS Test)
  foreach(t change_apply_test volume_thread_test)
    if(TARGET ${t})
      target_link_libraries(${t} PRIVATE Qt5::Test)
    endif()
  endforeach()
  if(TARGET volume_thread_test AND TARGET ztally_test_plugin)
    add_dependencies(volume_thread_test ztally_test_plugin)
    target_compile_definitions(volume_thread_test PRIVATE
      ZTALLY_TEST_PLUGIN="${CMAKE_BINARY_DIR}/testplugins/tally/libztally.so")
  endif()
endif()

# Changes applied per second: bench/change_apply_bench.
if(SEARCH_BUILD_BENCH)
  add_executable(change_apply_bench ${CMAKE_SOURCE_DIR}/bench/change_apply_bench.cpp)
  target_link_libraries(change_apply_bench PRIVATE zvolume)
endif()
