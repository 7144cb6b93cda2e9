# libFuzzer targets over what another local user can hand the service or its
# clients: the segment ledger's lines, the client's message stream and a
# segment's bytes under the client-side reader. Clang
# only; the layers they fuzz are instrumented in cmake/journal.cmake.
# fuzz/run_trust_fuzz.sh builds and runs them.
if(SEARCH_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SEARCH_BUILD_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  foreach(_fuzzer IN ITEMS segment_ledger_fuzzer message_decoder_fuzzer segment_reader_fuzzer)
    add_executable(${_fuzzer} ${CMAKE_SOURCE_DIR}/fuzz/${_fuzzer}.cpp)
    target_compile_options(${_fuzzer} PRIVATE -fsanitize=address,fuzzer -fno-omit-frame-pointer)
    target_link_options(${_fuzzer} PRIVATE -fsanitize=address,fuzzer)
  endforeach()
  target_link_libraries(segment_ledger_fuzzer PRIVATE zstorage)
  # The service's message builders re-encode what the decoder returns.
  target_link_libraries(message_decoder_fuzzer PRIVATE zclient zservice)
  target_link_libraries(segment_reader_fuzzer PRIVATE zclient)
endif()
