# libFuzzer targets over what another local user can hand the service or its
# clients: the segment ledger's lines, the client's message stream and a
# segment's bytes under the client-side reader. Clang only;
# fuzz/run_trust_fuzz.sh builds and runs them.
if(SEARCH_BUILD_FUZZ)
  search_fuzzer(segment_ledger_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/segment_ledger_fuzzer.cpp LIBS zstorage)
  # The service's message builders re-encode what the decoder returns.
  search_fuzzer(message_decoder_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/message_decoder_fuzzer.cpp LIBS zclient zservice)
  search_fuzzer(segment_reader_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/segment_reader_fuzzer.cpp LIBS zclient)
endif()
