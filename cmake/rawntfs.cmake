# Raw NTFS volumes: the image fixture maker (libntfs-3g), its use by the
# tests, and the fuzz target over the volume parsing.

find_library(NTFS3G_LIBRARY NAMES ntfs-3g)
find_path(NTFS3G_INCLUDE_DIR NAMES ntfs-3g/volume.h)

if(NTFS3G_LIBRARY AND NTFS3G_INCLUDE_DIR)
  add_library(zntfsfixture STATIC ${CMAKE_SOURCE_DIR}/tools/ntfsfixture/ZNtfsFixture.cpp)
  target_include_directories(zntfsfixture PUBLIC ${CMAKE_SOURCE_DIR}/tools/ntfsfixture ${NTFS3G_INCLUDE_DIR})
  # libntfs-3g's headers want these from its own configure step.
  target_compile_definitions(zntfsfixture PRIVATE HAVE_STDINT_H HAVE_INTTYPES_H HAVE_STDBOOL_H HAVE_STDDEF_H
                             HAVE_STDLIB_H HAVE_STRING_H HAVE_ERRNO_H HAVE_SYS_TYPES_H HAVE_SYS_STAT_H HAVE_FCNTL_H)
  target_compile_options(zntfsfixture PRIVATE -Wno-missing-field-initializers)
  target_link_libraries(zntfsfixture PUBLIC ${NTFS3G_LIBRARY})

  add_executable(ntfsfixture ${CMAKE_SOURCE_DIR}/tools/ntfsfixture/ntfsfixture.cpp)
  target_link_libraries(ntfsfixture PRIVATE zntfsfixture)

  if(TARGET raw_ntfs_test)
    target_link_libraries(raw_ntfs_test PRIVATE zntfsfixture)
    target_compile_definitions(raw_ntfs_test PRIVATE SEARCH_HAVE_NTFS_FIXTURE=1)
  endif()
  if(TARGET search_command_test)
    add_dependencies(search_command_test ntfsfixture)   # it makes an image drive
  endif()
else()
  message(STATUS "libntfs-3g not found: no NTFS fixture maker, raw NTFS tests use the sample image only")
endif()

# The fuzz target over the image parsing (fuzz/run_raw_ntfs_fuzz.sh runs it
# in a fuzz build; the test build replays its corpus).
search_fuzzer(raw_ntfs_fuzzer SOURCES ${CMAKE_SOURCE_DIR}/fuzz/raw_ntfs_fuzzer.cpp
              LIBS zdevices CORPUS raw_ntfs)

# Enumeration of a large raw NTFS image into the pool, beside fsntfsinfo.
if(SEARCH_BUILD_BENCH AND TARGET zntfsfixture)
  add_executable(raw_ntfs_bench ${CMAKE_SOURCE_DIR}/bench/raw_ntfs_bench.cpp)
  target_link_libraries(raw_ntfs_bench PRIVATE zvolume zntfsfixture)
endif()
