# Diagnostics: the test stand-in for the telemetry library.
if(SEARCH_BUILD_TESTS)
  # Built into its own folder, not beside the test programs, so that a test
  # decides where the service finds it.
  add_library(ztally_test_plugin SHARED ${CMAKE_SOURCE_DIR}/tests/plugins/tally_plugin.cpp)
  target_include_directories(ztally_test_plugin PRIVATE ${CMAKE_SOURCE_DIR}/src)
  set_target_properties(ztally_test_plugin PROPERTIES
    OUTPUT_NAME ztally
    PREFIX lib
    SUFFIX .so
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/testplugins/tally)
  set(ZTALLY_TEST_PLUGIN ${CMAKE_BINARY_DIR}/testplugins/tally/libztally.so)
  foreach(t telemetry_test journal_monitor_test)
    if(TARGET ${t})
      add_dependencies(${t} ztally_test_plugin)
      target_compile_definitions(${t} PRIVATE ZTALLY_TEST_PLUGIN="${ZTALLY_TEST_PLUGIN}")
    endif()
  endforeach()
endif()
