# Installation (cmake --install) and the packages: on Linux the Debian package
# (cpack -G DEB: the program, its manual page, the README, the example database and
# the copyright file); on Windows the release archive (cpack -G ZIP: mkxform.exe,
# README.md, LICENSE, the manual as text and the example). The version comes from
# project() alone.
include(GNUInstallDirs)

# Installing (and so cpack) takes what is already built instead of first building
# every target, tests included: build, then install or package.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(MKX_PACKAGE_MAINTAINER "mkxform maintainers <maintainers@users.noreply.c-seed-ebd31a98.example>"
    CACHE STRING "Maintainer field of the Debian package")

# The manual page carries the version.
configure_file("${CMAKE_SOURCE_DIR}/docs/mkxform.1.in" "${CMAKE_BINARY_DIR}/mkxform.1" @ONLY)

if(WIN32)
  # The manual as plain text with CR LF line ends, for Notepad (needs man-db and col
  # on the build machine).
  find_program(MKX_MAN man REQUIRED)
  find_program(MKX_COL col REQUIRED)
  add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/mkxform.txt"
                     COMMAND sh -c "LC_ALL=C.UTF-8 MANWIDTH=80 '${MKX_MAN}' -l '${CMAKE_BINARY_DIR}/mkxform.1' | '${MKX_COL}' -bx | sed 's/$/\r/' >mkxform.txt"
                     DEPENDS "${CMAKE_BINARY_DIR}/mkxform.1"
                     WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
                     VERBATIM)
  add_custom_target(mkxform_manual_text ALL DEPENDS "${CMAKE_BINARY_DIR}/mkxform.txt")
  # One folder: the program beside its documents.
  install(TARGETS mkxform RUNTIME DESTINATION .)
  install(FILES "${CMAKE_SOURCE_DIR}/README.md" "${CMAKE_SOURCE_DIR}/LICENSE" "${CMAKE_BINARY_DIR}/mkxform.txt"
          DESTINATION .)
  install(FILES "${CMAKE_SOURCE_DIR}/examples/example.msi" "${CMAKE_SOURCE_DIR}/examples/example.properties"
          DESTINATION examples)
else()
  # Debian wants manual pages compressed; without gzip the page is installed as is.
  find_program(MKX_GZIP gzip)
  if(MKX_GZIP)
    add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/mkxform.1.gz"
                       COMMAND "${MKX_GZIP}" -9nkf "${CMAKE_BINARY_DIR}/mkxform.1"
                       DEPENDS "${CMAKE_BINARY_DIR}/mkxform.1"
                       VERBATIM)
    add_custom_target(mkxform_manpage ALL DEPENDS "${CMAKE_BINARY_DIR}/mkxform.1.gz")
    set(_mkx_manpage "${CMAKE_BINARY_DIR}/mkxform.1.gz")
  else()
    set(_mkx_manpage "${CMAKE_BINARY_DIR}/mkxform.1")
  endif()

  # The licence in Debian's machine-readable copyright format: LICENSE's text as the
  # License field's body (each line indented by one space, an empty line as " .").
  file(READ "${CMAKE_SOURCE_DIR}/LICENSE" _mkx_license)
  string(STRIP "${_mkx_license}" _mkx_license)
  string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" _mkx_unused "${_mkx_license}")
  set(_mkx_copyright_holder "${CMAKE_MATCH_1}")
  string(REPLACE "\n\n" "\n.\n" _mkx_license "${_mkx_license}")
  string(REPLACE "\n" "\n " _mkx_license "${_mkx_license}")
  file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/copyright" CONTENT [=[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: mkxform

Files: *
Copyright: ${_mkx_copyright_holder}
License: Expat
 ${_mkx_license}
]=])

  install(TARGETS mkxform RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
  install(FILES "${_mkx_manpage}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
  install(FILES "${CMAKE_SOURCE_DIR}/README.md" "${CMAKE_BINARY_DIR}/copyright" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
  install(FILES "${CMAKE_SOURCE_DIR}/examples/example.msi" "${CMAKE_SOURCE_DIR}/examples/example.properties"
          DESTINATION "${CMAKE_INSTALL_DOCDIR}/examples")
endif()

set(CPACK_PACKAGE_NAME mkxform)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "mkxform maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "writes Windows Installer transforms that set Property table entries")
set(CPACK_PACKAGE_DESCRIPTION [=[
mkxform reads a Windows Installer database (.msi) and a text file of
NAME=value lines and writes a transform (.mst) that adds or changes exactly
those rows of the database's Property table. The database, and so its
signature, stays untouched: the transform is given to the installer beside it
(msiexec /i product.msi TRANSFORMS=custom.mst). mkxform carries its own
installer-database engine and needs neither Windows nor Wine.]=])
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MKX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(NOT CPACK_GENERATOR)
  set(CPACK_GENERATOR TGZ)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(CPACK_GENERATOR DEB)
  elseif(WIN32)
    set(CPACK_GENERATOR ZIP)
  endif()
endif()
include(CPack)
