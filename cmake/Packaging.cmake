# What `cmake --install` puts under the prefix besides the programs (installed with their
# targets): the man pages made from the programs' own --help and --version, the documents, the
# bash completion, and the Debian package.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# the companions' reference, where the README's links lead
install(FILES ${PROJECT_SOURCE_DIR}/doc/sonoloud.md ${PROJECT_SOURCE_DIR}/doc/sonolift-tree.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)
install(FILES ${PROJECT_SOURCE_DIR}/completions/sonolift
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The pages are generated, not written by hand, so they cannot drift from the switch tables.
# Without help2man the build still works; only the pages are missing. Program is the path run,
# the arguments after it what the page depends on.
find_program(SONOLIFT_HELP2MAN help2man)
function(sonolift_man_page page name program)
  set(out ${PROJECT_BINARY_DIR}/${page}.1)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${SONOLIFT_HELP2MAN} --no-info --section=1 "--name=${name}"
            "--source=sonolift ${PROJECT_VERSION}"
            --include=${PROJECT_SOURCE_DIR}/doc/${page}.h2m
            --output=${out} ${program}
    DEPENDS ${ARGN} ${PROJECT_SOURCE_DIR}/doc/${page}.h2m
    COMMENT "Generating the man page ${page}.1"
    VERBATIM)
  add_custom_target(${page}-man ALL DEPENDS ${out})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
if(SONOLIFT_HELP2MAN)
  sonolift_man_page(sonolift "even out the loudness of PCM WAVE files" $<TARGET_FILE:sonolift> sonolift)
  if(TARGET sonoloud)
    sonolift_man_page(sonoloud "measure the loudness of PCM WAVE files and normalise it" $<TARGET_FILE:sonoloud> sonoloud)
  endif()
  if(TARGET sonolift-meta)
    # the copy beside sonolift-meta, which tells it the version
    sonolift_man_page(sonolift-tree "level every WAVE file of a folder tree with sonolift"
                      ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/sonolift-tree sonolift-tree sonolift-meta
                      ${PROJECT_SOURCE_DIR}/tools/tree/sonolift-tree)
  endif()
else()
  message(STATUS "help2man not found: the man pages sonolift.1, sonoloud.1 and sonolift-tree.1 are not built")
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
