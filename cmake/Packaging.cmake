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
function(sonolift_man_page program name)
  set(page ${PROJECT_BINARY_DIR}/${program}.1)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${SONOLIFT_HELP2MAN} --no-info --section=1 "--name=${name}"
            "--source=sonolift ${PROJECT_VERSION}"
            --include=${PROJECT_SOURCE_DIR}/doc/${program}.h2m
            --output=${page} $<TARGET_FILE:${program}>
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/doc/${program}.h2m
    COMMENT "Generating the man page ${program}.1"
    VERBATIM)
  add_custom_target(${program}-man ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
if(SONOLIFT_HELP2MAN)
  sonolift_man_page(sonolift "even out the loudness of PCM WAVE files")
  sonolift_man_page(sonoloud "measure the loudness of PCM WAVE files and normalise it")
else()
  message(STATUS "help2man not found: the man pages sonolift.1 and sonoloud.1 are not built")
endif()

set(CPACK_PACKAGE_NAME sonolift)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the sonolift developers")
set(CPACK_PACKAGE_CONTACT "the sonolift developers <sonolift-bugs@users.noreply.sonolift.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "even out the loudness of PCM WAVE files")
set(CPACK_PACKAGE_DESCRIPTION "sonolift amplifies each input WAVE file by a gain that moves in fixed steps at zero crossings, so quiet stretches are lifted, loud ones lowered and nothing clips; sonoloud measures loudness (EBU R 128) and normalises to a target.")
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
