# SPDX-License-Identifier: Apache-2.0
# Installing and packaging: `cmake --install` lays out the programs, their
# desktop entry, icons, man pages and the service; `cpack -G DEB` (run in the
# build directory) makes nimbrel_<version>_<arch>.deb from the same rules.
# The install files themselves live in packaging/.

include(GNUInstallDirs)

set(NIMBREL_PACKAGING_DIR ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(NIMBREL_STAGE_DIR ${CMAKE_CURRENT_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${NIMBREL_STAGE_DIR})

install(TARGETS nimbrel nimbreld RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Desktop entry, and an autostart entry that users copy to
# ~/.config/autostart to start the program with their session (off unless
# they do).
install(FILES ${NIMBREL_PACKAGING_DIR}/nimbrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${NIMBREL_PACKAGING_DIR}/nimbrel-autostart.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/nimbrel/autostart RENAME nimbrel.desktop)

# The icon: the SVG itself, and PNGs rendered from it at build time.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/res/nimbrel.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
add_executable(nimbrel_render_icon tools/RenderIcon.cpp)
target_link_libraries(nimbrel_render_icon PRIVATE Qt6::Gui Qt6::Svg)
set(NIMBREL_ICON_PNGS)
foreach(NIMBREL_ICON_SIZE 16 22 24 32 48 64 128 256)
    set(NIMBREL_ICON_PNG ${NIMBREL_STAGE_DIR}/icons/${NIMBREL_ICON_SIZE}/nimbrel.png)
    add_custom_command(OUTPUT ${NIMBREL_ICON_PNG}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${NIMBREL_STAGE_DIR}/icons/${NIMBREL_ICON_SIZE}
        COMMAND nimbrel_render_icon ${CMAKE_CURRENT_SOURCE_DIR}/res/nimbrel.svg ${NIMBREL_ICON_PNG} ${NIMBREL_ICON_SIZE}
        DEPENDS nimbrel_render_icon ${CMAKE_CURRENT_SOURCE_DIR}/res/nimbrel.svg
        VERBATIM)
    list(APPEND NIMBREL_ICON_PNGS ${NIMBREL_ICON_PNG})
    install(FILES ${NIMBREL_ICON_PNG}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${NIMBREL_ICON_SIZE}x${NIMBREL_ICON_SIZE}/apps)
endforeach()

# Man pages, changelog: compressed as Debian wants them (-n: reproducible).
find_program(NIMBREL_GZIP gzip REQUIRED)
set(NIMBREL_GZIPPED)
foreach(NIMBREL_DOC nimbrel.1 nimbreld.8 changelog)
    add_custom_command(OUTPUT ${NIMBREL_STAGE_DIR}/${NIMBREL_DOC}.gz
        COMMAND ${NIMBREL_GZIP} -9nc ${NIMBREL_PACKAGING_DIR}/${NIMBREL_DOC} > ${NIMBREL_STAGE_DIR}/${NIMBREL_DOC}.gz
        DEPENDS ${NIMBREL_PACKAGING_DIR}/${NIMBREL_DOC}
        VERBATIM)
    list(APPEND NIMBREL_GZIPPED ${NIMBREL_STAGE_DIR}/${NIMBREL_DOC}.gz)
endforeach()
add_custom_target(nimbrel_install_files ALL DEPENDS ${NIMBREL_ICON_PNGS} ${NIMBREL_GZIPPED})
install(FILES ${NIMBREL_STAGE_DIR}/nimbrel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${NIMBREL_STAGE_DIR}/nimbreld.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
set(NIMBREL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/nimbrel)
install(FILES ${NIMBREL_STAGE_DIR}/changelog.gz ${NIMBREL_PACKAGING_DIR}/copyright DESTINATION ${NIMBREL_DOCDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/examples/nimbrel.ini DESTINATION ${NIMBREL_DOCDIR}/examples)

# The service. ExecStart names the installed nimbreld, so the unit is made
# at install time, when the prefix is known (a package's is /usr).
install(CODE "
    set(NIMBREL_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${NIMBREL_PACKAGING_DIR}/nimbreld.service.in\" \"${NIMBREL_STAGE_DIR}/nimbreld.service\" @ONLY)
")
install(FILES ${NIMBREL_STAGE_DIR}/nimbreld.service DESTINATION lib/systemd/system)

# ---- The Debian package ----
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Nimbrel maintainers <maintainers@nimbrel.invalid>" CACHE STRING "The package's Maintainer field")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network-to-serial-port bridge")
set(CPACK_PACKAGE_DESCRIPTION
    "Nimbrel creates up to 256 virtual serial ports (COM1 to COM256) as
pseudo-terminals and joins each of them to a network connection: a TCP
client, a TCP server or a UDP endpoint, optionally with TLS, Telnet or a
login. It comes as a desktop program with a notification-area icon
(nimbrel) and as a daemon with a systemd unit (nimbreld).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# The package built, unpacked and run (tests/packaging/package_test.sh).
add_test(NAME nimbrel_package
    COMMAND /bin/bash ${CMAKE_CURRENT_SOURCE_DIR}/tests/packaging/package_test.sh
        ${CMAKE_CURRENT_BINARY_DIR} ${PROJECT_VERSION})
set_tests_properties(nimbrel_package PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE)
