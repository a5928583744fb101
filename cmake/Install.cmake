# Install rules and the Debian package built from them.
#
# The four shared libraries are Tolvex's own, not for other programs, so they
# go into a private folder, lib/tolvex/ under the prefix: hotsync looks for
# the conduit at <exe dir>/../lib/tolvex/libTolvex2.so, and the run paths
# below find the rest, so an installed tree runs without LD_LIBRARY_PATH.

include(GNUInstallDirs)

set(TOLVEX_INSTALL_LIBDIR lib/tolvex)
set(TOLVEX_LIBRARIES Tolvex2 syncmgr condmgr hostos)
set(TOLVEX_PROGRAMS hotsync conduit-cleanup)

foreach(program IN LISTS TOLVEX_PROGRAMS)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${TOLVEX_INSTALL_LIBDIR}")
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

foreach(library IN LISTS TOLVEX_LIBRARIES)
  if(TARGET ${library})
    set_target_properties(${library} PROPERTIES INSTALL_RPATH "$ORIGIN")
    install(TARGETS ${library} LIBRARY DESTINATION ${TOLVEX_INSTALL_LIBDIR})
  endif()
endforeach()

# The conduit's help text, when the tree carries one.
file(GLOB TOLVEX_HELP_FILES "${CMAKE_CURRENT_SOURCE_DIR}/help/*")
if(TOLVEX_HELP_FILES)
  install(FILES ${TOLVEX_HELP_FILES} DESTINATION ${CMAKE_INSTALL_DATADIR}/tolvex/help)
endif()

install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DATADIR}/tolvex/example
        PATTERN "*.pl" EXCLUDE)
# Manual pages and the changelog are installed compressed, as Debian wants them.
set(TOLVEX_COMPRESSED)
foreach(source man/hotsync.1 man/conduit-cleanup.1 cmake/package/changelog)
  get_filename_component(name ${source} NAME)
  set(compressed ${CMAKE_BINARY_DIR}/package/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package
    COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/${source} > ${compressed}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND TOLVEX_COMPRESSED ${compressed})
endforeach()
add_custom_target(tolvex_compressed_docs ALL DEPENDS ${TOLVEX_COMPRESSED})
install(FILES ${CMAKE_BINARY_DIR}/package/hotsync.1.gz ${CMAKE_BINARY_DIR}/package/conduit-cleanup.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md cmake/package/copyright ${CMAKE_BINARY_DIR}/package/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tolvex)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tolvex developers <tolvex@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "HotSync conduit for a Palm OS outline application, with a HotSync host")
set(CPACK_PACKAGE_DESCRIPTION
    "Synchronizes outlines on a Palm OS handheld (or a folder of its .pdb backup files) with their desktop XML files. Includes the hotsync program and conduit-cleanup.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tolvex developers <tolvex@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1, libexpat1 (>= 2.5), libwxbase3.2-1 (>= 3.2.2), zlib1g")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "man-db, libpalm-perl")
include(CPack)
