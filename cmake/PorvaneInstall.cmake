# What cmake --install and the Debian package put in place: the programs with their manual pages
# and bash completion, the attachment, the reader library with its header, pkg-config file and
# CMake package (reader/), the workbench's manual (porvane/shell/ui/).

# The installed programs. Each one's manual page and completion script are made at build time by
# the program itself from its own option definitions (--generate), so neither can drift from
# what the program accepts.
set(PORVANE_PROGRAMS porvane-cli brevant-cli sievrad vport quor-sim)
if(PORVANE_GUI)
    list(APPEND PORVANE_PROGRAMS porvane brevant)
endif()
set(PORVANE_INSTALLED_TARGETS ${PORVANE_PROGRAMS} sievra quor_b)
foreach(program ${PORVANE_PROGRAMS})
    set(man ${CMAKE_BINARY_DIR}/share/man/man1/${program}.1)
    set(completion ${CMAKE_BINARY_DIR}/share/bash-completion/completions/${program})
    add_custom_command(OUTPUT ${man} ${completion}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DMAN=${man}
            -DCOMPLETION=${completion} -P ${PROJECT_SOURCE_DIR}/cmake/GenerateProgramDocs.cmake
        DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/GenerateProgramDocs.cmake
        COMMENT "Manual page and bash completion of ${program}"
        VERBATIM)
    add_custom_target(${program}_docs ALL DEPENDS ${man} ${completion})
    list(APPEND PORVANE_INSTALLED_TARGETS ${program}_docs)
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endforeach()

# The attachment in a folder of its own, where porvane-cli watch looks for it: it is preloaded
# into other programs, never linked.
install(TARGETS sievra LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/porvane)

# Everything the installation takes, and nothing else: the package is built from this target
# alone, without the tests.
add_custom_target(porvane_installed DEPENDS ${PORVANE_INSTALLED_TARGETS})

# The Debian package (make package: cpack -G DEB in a build folder configured for /usr).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME porvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "serial-port toolkit: workbench, command line, filter driver, card reader library")
set(CPACK_PACKAGE_DESCRIPTION
    "Porvane is a workbench for engineers who build and debug equipment on RS-232 lines: a
terminal, a line tester, a monitor and a filter that act on the port of an unmodified program,
the command line porvane-cli, the filter driver host sievrad with its preloaded attachment, the
card reader library Quor_B with the command assistant brevant, and the virtual ports vport and
quor-sim for work without hardware.")
set(CPACK_PACKAGE_CONTACT "Porvane developers <porvane@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# The libraries the programs link come from dpkg-shlibdeps (Qt, libstdc++, glibc with its iconv);
# what they load or read at run time is named here: the CJK font without which the windows show
# boxes, Qt's translations of its own dialogs and its platform plugins, glibc's GBK converter.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
if(PORVANE_GUI)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-wqy-microhei, qt6-translations-l10n, qt6-qpa-plugins")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion, man-db")
# The build's debugging information stays in the build folder; the package carries the programs.
set(CPACK_STRIP_FILES ON)
# Installed as if under the real prefix (DESTDIR), so that what is written at install time, such
# as quor_b.pc, names /usr and not the staging folder.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_SET_DESTDIR ON)
include(CPack)
