# The client library other programs link (libsearchclient.so.1, header
# <searchclient/ZSearchClient.h>, CMake package "searchclient", pkg-config
# "searchclient"), the locate-style command `search`, and their installation.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(SEARCHCLIENT_VERSION 1.0.0)
set(SEARCHCLIENT_SOVERSION 1)

# The client layer with the parts of wire and storage that it reads, built
# position-independent into one shared library.
file(GLOB _searchclient_sources CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/src/client/*.cpp ${CMAKE_SOURCE_DIR}/src/wire/*.cpp)
add_library(zsearchclient SHARED ${_searchclient_sources}
            ${CMAKE_SOURCE_DIR}/src/storage/ZSharedSegment.cpp
            ${CMAKE_SOURCE_DIR}/src/win32/ZErrorLog.cpp
            ${CMAKE_SOURCE_DIR}/src/storage/ZItemRecord.cpp
            ${CMAKE_SOURCE_DIR}/src/storage/ZPieceHeader.cpp)
target_include_directories(zsearchclient PUBLIC
                           $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/src>
                           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(zsearchclient PUBLIC Qt5::Core Qt5::Network)
set_target_properties(zsearchclient PROPERTIES
                      OUTPUT_NAME searchclient
                      EXPORT_NAME searchclient
                      VERSION ${SEARCHCLIENT_VERSION}
                      SOVERSION ${SEARCHCLIENT_SOVERSION})

add_executable(search ${CMAKE_SOURCE_DIR}/tools/search/main.cpp)
target_link_libraries(search PRIVATE zsearchclient)
target_compile_definitions(search PRIVATE SEARCH_VERSION="${SEARCHCLIENT_VERSION}")

install(TARGETS search RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT searchclient)
install(TARGETS zsearchclient EXPORT searchclientTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT searchclient)
install(FILES ${CMAKE_SOURCE_DIR}/src/client/ZSearchClient.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/searchclient COMPONENT searchclient)
install(EXPORT searchclientTargets NAMESPACE searchclient::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/searchclient COMPONENT searchclient)

set(_pkg ${CMAKE_BINARY_DIR}/searchclient-package)
file(WRITE ${_pkg}/searchclientConfig.cmake
     "include(CMakeFindDependencyMacro)\n"
     "find_dependency(Qt5 5.15 COMPONENTS Core Network)\n"
     "include(\"\${CMAKE_CURRENT_LIST_DIR}/searchclientTargets.cmake\")\n")
write_basic_package_version_file(${_pkg}/searchclientConfigVersion.cmake
                                 VERSION ${SEARCHCLIENT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${_pkg}/searchclientConfig.cmake ${_pkg}/searchclientConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/searchclient COMPONENT searchclient)
# Relocatable: the prefix is found from where the file is.
file(RELATIVE_PATH _pc_up /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
file(WRITE ${_pkg}/searchclient.pc
     "prefix=\${pcfiledir}/${_pc_up}\n"
     "libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}\n"
     "includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}\n\n"
     "Name: searchclient\n"
     "Description: Client library of the file-name search service\n"
     "Version: ${SEARCHCLIENT_VERSION}\n"
     "Requires: Qt5Core Qt5Network\n"
     "Libs: -L\${libdir} -lsearchclient\n"
     "Cflags: -I\${includedir}\n")
install(FILES ${_pkg}/searchclient.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT searchclient)

if(SEARCH_BUILD_BENCH)
  add_executable(search_bench ${CMAKE_SOURCE_DIR}/bench/search_bench.cpp)
  target_link_libraries(search_bench PRIVATE zrunners)
  add_dependencies(search_bench search searchservice)
endif()

# These tests run the commands built beside them; the example test
# installs the library and builds examples/ against the installed copy.
foreach(_t search_command_test client_example_test service_emulated_test service_attack_test)
  if(TARGET ${_t})
    add_dependencies(${_t} search searchclient searchservice zsearchclient)
    target_compile_definitions(${_t} PRIVATE SEARCH_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                               SEARCH_BUILD_DIR="${CMAKE_BINARY_DIR}"
                               SEARCH_INSTALL_LIBDIR="${CMAKE_INSTALL_LIBDIR}")
  endif()
endforeach()
