# Installing. The service and its holding client go to a private folder,
# /usr/lib/searchservice/, where the service's "log" folder is a link to
# /var/log/searchservice; the units go to systemd's folder; the command-line
# client and the client library come with their own rules. cpack -G DEB
# makes the Debian package, whose postinst creates the group "searchservice".
include(GNUInstallDirs)

# The holding client that keeps the service started at boot running.
add_executable(searchhold ${CMAKE_SOURCE_DIR}/tools/searchhold/main.cpp)
target_link_libraries(searchhold PRIVATE zclient)

# A package's private programs live in lib/<package>, not the multiarch folder.
set(SEARCH_PRIVATE_DIR lib/searchservice)
set(SEARCH_LOG_DIR /var/log/searchservice)
set(SEARCH_UNIT_DIR lib/systemd/system)
set(SEARCH_PROGRAM_DIR ${CMAKE_INSTALL_PREFIX}/${SEARCH_PRIVATE_DIR})
foreach(_unit searchservice searchhold)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/systemd/${_unit}.service.in
                 ${CMAKE_BINARY_DIR}/units/${_unit}.service @ONLY)
endforeach()

install(TARGETS searchservice searchhold RUNTIME DESTINATION ${SEARCH_PRIVATE_DIR} COMPONENT service)
install(CODE "
  set(_link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${SEARCH_PRIVATE_DIR}/log\")
  message(STATUS \"Installing: \${_link} -> ${SEARCH_LOG_DIR}\")
  file(REMOVE \"\${_link}\")
  file(CREATE_LINK ${SEARCH_LOG_DIR} \"\${_link}\" SYMBOLIC)
" COMPONENT service)
install(FILES ${CMAKE_BINARY_DIR}/units/searchservice.service ${CMAKE_BINARY_DIR}/units/searchhold.service
        DESTINATION ${SEARCH_UNIT_DIR} COMPONENT service)

set(CPACK_PACKAGE_NAME searchservice)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "searchservice maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "File-name index service kept current from the file systems' change events")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The packaged programs without their debugging symbols.
set(CPACK_STRIP_FILES ON)
# The libraries the programs link, found by dpkg-shlibdeps, and addgroup.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
                                       ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
                                       ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The tests of the installed layout run the programs built here and the
# units configured here.
if(TARGET install_unit_test)
  add_dependencies(install_unit_test searchservice searchhold)
  target_compile_definitions(install_unit_test PRIVATE
    SEARCHSERVICE_EXE="$<TARGET_FILE:searchservice>"
    SEARCHHOLD_EXE="$<TARGET_FILE:searchhold>"
    UNIT_DIR="${CMAKE_BINARY_DIR}/units")
endif()
