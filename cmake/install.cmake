# Installing: the service in a private folder with its log link, the units,
# and the Debian package. The tests of the installed layout run the service
# built here.
if(TARGET install_program_test)
  add_dependencies(install_program_test searchservice)
  target_compile_definitions(install_program_test PRIVATE SEARCHSERVICE_EXE="$<TARGET_FILE:searchservice>")
endif()
