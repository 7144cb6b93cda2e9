# Process frame: the test helper program that logs, and the crash-dump
# monitor plug-ins. The plug-ins live in folders of their own, so that no
# libzdump.so ever sits beside the real searchservice.
if(SEARCH_BUILD_TESTS)
  add_executable(frame_log_writer ${CMAKE_SOURCE_DIR}/tests/frame/log_writer.cpp)
  target_link_libraries(frame_log_writer PRIVATE zframe)

  add_library(zdump_recorder SHARED ${CMAKE_SOURCE_DIR}/tests/frame/zdump_recorder.cpp)
  set_target_properties(zdump_recorder PROPERTIES OUTPUT_NAME zdump
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/testplugins/recorder)
  add_library(zdump_noexport SHARED ${CMAKE_SOURCE_DIR}/tests/frame/zdump_noexport.cpp)
  set_target_properties(zdump_noexport PROPERTIES OUTPUT_NAME zdump
                        LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/testplugins/noexport)

  foreach(t frame_entry_test frame_log_test platform_module_test)
    if(TARGET ${t})
      add_dependencies(${t} searchservice frame_log_writer zdump_recorder zdump_noexport)
      target_compile_definitions(${t} PRIVATE
        SEARCHSERVICE_EXE="$<TARGET_FILE:searchservice>"
        FRAME_LOG_WRITER_EXE="$<TARGET_FILE:frame_log_writer>"
        ZDUMP_RECORDER_LIB="$<TARGET_FILE:zdump_recorder>"
        ZDUMP_NOEXPORT_LIB="$<TARGET_FILE:zdump_noexport>")
    endif()
  endforeach()
endif()
