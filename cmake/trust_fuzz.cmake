# libFuzzer targets over what another local user can hand the service or its
# clients: the segment ledger's lines, the client's message stream and a
# segment's bytes under the client-side reader. Fuzz builds (clang)
# run them (fuzz/run_trust_fuzz.sh); the test build replays their corpora.
search_fuzzer(segment_ledger_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/segment_ledger_fuzzer.cpp
              LIBS zstorage CORPUS segment_ledger)
# The service's message builders re-encode what the decoder returns.
search_fuzzer(message_decoder_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/message_decoder_fuzzer.cpp
              LIBS zclient zservice CORPUS message_decoder)
search_fuzzer(segment_reader_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/segment_reader_fuzzer.cpp
              LIBS zclient CORPUS segment_reader)
