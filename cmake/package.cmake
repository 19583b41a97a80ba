# The Debian package, made by CPack in a build folder of its own (make package):
#   cmake -S . -B build-package -DKESTRIX_PACKAGE=ON -DKESTRIX_TESTS=OFF
#   cmake --build build-package && cd build-package && cpack
# Included from CMakeLists.txt after the programs. The package installs into /usr, with the
# documents as Debian lays them out: the manual pages compressed (cmake/install.cmake), and in
# /usr/share/doc/kestrix the copyright file (LICENSE in Debian's form, in place of LICENSE), a
# Debian changelog.gz, README.md and CHANGELOG.md; and what lintian is told to pass over
# (cmake/kestrix.lintian-overrides).
if(WIN32)
  message(FATAL_ERROR "KESTRIX_PACKAGE makes the Debian package: build it on Linux")
endif()
if(KESTRIX_RELEASE_DATE STREQUAL "unreleased")
  message(FATAL_ERROR "A package is made of a release: give it a heading in CHANGELOG.md")
endif()

set(KESTRIX_MAINTAINER "The Kestrix developers <kestrix@example.invalid>")
set(debian ${CMAKE_BINARY_DIR}/debian)

# copyright: the license in Debian's machine-readable form, its paragraphs indented by one space
# and the empty lines between them written " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
string(REGEX REPLACE "^.*\n\n(Permission)" "\\1" license "${license}")
string(STRIP "${license}" license)
string(REPLACE "\n\n" "\n.\n" license "${license}")
string(REPLACE "\n" "\n " license "${license}")
# libdeflate, where it is built into the programs (cmake/libdeflate.cmake), is under the same
# license.
set(libdeflate_files "")
if(KESTRIX_LIBDEFLATE_ZLIB_VERDICTS)
  set(libdeflate_files
      "Files: third_party/libdeflate/*\n"
      "Copyright: 2016, 2018 Eric Biggers\n"
      "License: Expat\n"
      "Comment: libdeflate ${KESTRIX_LIBDEFLATE_PATCHED_VERSION}, from Debian's source package, "
      "changed by third_party/libdeflate/zlib-verdicts.patch and built into the programs.\n"
      "\n")
endif()
file(WRITE ${debian}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: Kestrix\n"
     "Upstream-Contact: ${KESTRIX_MAINTAINER}\n"
     "\n"
     "Files: *\n"
     "Copyright: 2026 the Kestrix developers\n"
     "License: Expat\n"
     "\n"
     ${libdeflate_files}
     "License: Expat\n"
     " ${license}\n")

# changelog.gz: one entry for this version, dated the release day, that points to CHANGELOG.md.
execute_process(COMMAND date -u -R -d "${KESTRIX_RELEASE_DATE} 00:00:00 UTC"
                OUTPUT_VARIABLE release_time OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
file(WRITE ${debian}/changelog
     "kestrix (${PROJECT_VERSION}) unstable; urgency=medium\n"
     "\n"
     "  * Kestrix ${PROJECT_VERSION}: see /usr/share/doc/kestrix/CHANGELOG.md.\n"
     "\n"
     " -- ${KESTRIX_MAINTAINER}  ${release_time}\n")
add_custom_command(OUTPUT ${debian}/changelog.gz
                   COMMAND gzip -9 -n -c ${debian}/changelog > ${debian}/changelog.gz
                   DEPENDS ${debian}/changelog VERBATIM)
add_custom_target(kestrix_debian_changelog ALL DEPENDS ${debian}/changelog.gz)

install(FILES ${debian}/copyright ${debian}/changelog.gz README.md CHANGELOG.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(KESTRIX_PYTHON)
  install(FILES ${debian}/copyright ${debian}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-kestrix COMPONENT python)
endif()
install(FILES cmake/kestrix.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME kestrix)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrix)
set(CPACK_PACKAGE_VENDOR "The Kestrix developers")
set(CPACK_PACKAGE_CONTACT "${KESTRIX_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTRIX_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check, unpack and pack DZ firmware containers")
# CPack puts the summary on the Description line, above this.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Kestrix opens a DZ container, a phone firmware package made of a main
header, an offset table and a series of compressed sub-files, and checks
it at every level with markers and MD5 digests. It prints the header and
the table on request and unpacks every sub-file into a folder, joining
the pieces that belong together.
It never writes outside the output folder and leaves no half-written
file behind.
.
Its companion kx tests a container without writing a byte, lists it,
extracts chosen images, reports in JSON for scripts, works on several
processors, and packs a container again from extracted files.")

# One package a component: kestrix (the programs) and, in a build with the Python module,
# python3-kestrix for Debian's Python of this version.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME kestrix)
if(KESTRIX_PYTHON)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kestrix)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${KESTRIX_PYTHON_VERSION}~), python3 (<< ${KESTRIX_PYTHON_VERSION}.9999)")
  # CPack puts the summary both packages share on the Description line, above this.
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "The Python module kestrix opens a DZ container, a phone firmware package
made of a main header, an offset table and a series of compressed
sub-files, and gives a script its header, its table and every sub-file,
each proven against its MD5 digest at native speed, with the verdicts of
the kestrix and kx programs. It reads a sub-file whole or as a stream in
flat memory, extracts outputs whole or not at all, and packs a container
again.")
endif()
include(CPack)
