# The command-line client of the search service.
add_executable(searchclient ${CMAKE_SOURCE_DIR}/tools/searchclient/main.cpp)
target_link_libraries(searchclient PRIVATE zclient)
