# What a release installs besides the programs: the manual pages, the examples
# and the guides. Included from the top-level CMakeLists.txt.
include(GNUInstallDirs)

set(release_source_dir ${CMAKE_CURRENT_LIST_DIR}/..)

# Each page goes with its program: a page whose program this platform does not
# build (kbdpoke away from x86) is not installed either. The test is made when
# the build files are generated, so this file may be read before the programs'
# folders.
file(GLOB release_man_pages CONFIGURE_DEPENDS ${release_source_dir}/man/*.[1-8])
foreach(page IN LISTS release_man_pages)
  get_filename_component(program ${page} NAME_WLE)
  get_filename_component(section ${page} LAST_EXT)
  string(SUBSTRING ${section} 1 -1 section)
  install(FILES $<$<TARGET_EXISTS:${program}>:${page}>
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

if(EXISTS ${release_source_dir}/examples)
  install(DIRECTORY ${release_source_dir}/examples/
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
          USE_SOURCE_PERMISSIONS)
endif()
install(FILES ${release_source_dir}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)
# The simulator's guide, which its manual page points to.
install(FILES ${release_source_dir}/devsim/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/devsim OPTIONAL)
