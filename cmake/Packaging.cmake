# The Debian package: `cmake --build BUILD --target package` makes
# velloran_VERSION_ARCH.deb of what `cmake --install` installs, with the
# files Debian's policy asks of every package (copyright, changelog,
# compressed manual pages).
find_program(GZIP_PROGRAM gzip REQUIRED)

set(_pkg_out ${CMAKE_BINARY_DIR}/package-files)
set(_pkg_gz)
# gzip -n leaves out the name and time, so the package is the same each time.
foreach(_page velloran.1 velloran-gui.1)
  add_custom_command(OUTPUT ${_pkg_out}/${_page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_pkg_out}
    COMMAND ${GZIP_PROGRAM} -9nc ${CMAKE_SOURCE_DIR}/data/man/${_page} > ${_pkg_out}/${_page}.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/data/man/${_page} VERBATIM)
  list(APPEND _pkg_gz ${_pkg_out}/${_page}.gz)
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/data/package/changelog.in ${_pkg_out}/changelog @ONLY)
add_custom_command(OUTPUT ${_pkg_out}/changelog.gz
  COMMAND ${GZIP_PROGRAM} -9nc ${_pkg_out}/changelog > ${_pkg_out}/changelog.gz
  DEPENDS ${_pkg_out}/changelog VERBATIM)
add_custom_target(package_files ALL DEPENDS ${_pkg_gz} ${_pkg_out}/changelog.gz)

install(FILES ${_pkg_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/data/package/copyright ${_pkg_out}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/velloran)
install(FILES ${CMAKE_SOURCE_DIR}/data/completion/velloran
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velloran)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Velloran maintainers <maintainers@users.noreply.c-seed-7516a4a3.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "data CD/DVD burner: command-line tool and desktop application")
set(CPACK_PACKAGE_DESCRIPTION
    "Velloran records data CDs and DVDs: it lays out files and folders as an\n"
    "ISO 9660 file system with Joliet names, burns it to a writable disc in a\n"
    "new session (multi-session discs keep their files), saves or burns ISO\n"
    "images, erases rewritable discs and shows drives and sessions.\n"
    "This package holds the command-line tool velloran, the Qt desktop\n"
    "application velloran-gui and the virtual recorder, an emulated drive\n"
    "for machines without one.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
