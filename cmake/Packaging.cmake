# What `cmake --install` puts under the prefix besides bin/sonolift (installed with its target),
# the man page made from the built program's own --help and --version, and the Debian package.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/sonolift)
install(FILES ${PROJECT_SOURCE_DIR}/completions/sonolift
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The page is generated, not written by hand, so it cannot drift from the switch table. Without
# help2man the build still works; only the page is missing.
find_program(SONOLIFT_HELP2MAN help2man)
if(SONOLIFT_HELP2MAN)
  set(sonolift_man ${PROJECT_BINARY_DIR}/sonolift.1)
  add_custom_command(
    OUTPUT ${sonolift_man}
    COMMAND ${SONOLIFT_HELP2MAN} --no-info --section=1
            "--name=even out the loudness of PCM WAVE files"
            "--source=sonolift ${PROJECT_VERSION}"
            --include=${PROJECT_SOURCE_DIR}/doc/sonolift.h2m
            --output=${sonolift_man} $<TARGET_FILE:sonolift>
    DEPENDS sonolift ${PROJECT_SOURCE_DIR}/doc/sonolift.h2m
    COMMENT "Generating the man page sonolift.1"
    VERBATIM)
  add_custom_target(sonolift-man ALL DEPENDS ${sonolift_man})
  install(FILES ${sonolift_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man not found: the man page sonolift.1 is not built")
endif()

set(CPACK_PACKAGE_NAME sonolift)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the sonolift developers")
set(CPACK_PACKAGE_CONTACT "the sonolift developers <sonolift-bugs@users.noreply.sonolift.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "even out the loudness of PCM WAVE files")
set(CPACK_PACKAGE_DESCRIPTION "sonolift amplifies each input WAVE file by a gain that moves in fixed steps at zero crossings, so quiet stretches are lifted, loud ones lowered and nothing clips.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "the sonolift developers <sonolift-bugs@users.noreply.sonolift.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The C++ run-time dependencies, read off the binaries (needs dpkg-shlibdeps from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# sonolift-tree runs its jobs on GNU parallel; sonolift itself needs nothing more.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS parallel)
include(CPack)
