# What `cmake --install` puts where, included from CMakeLists.txt.
#
# On Linux:    bin/kestrix, share/man/man1/kestrix.1, share/doc/kestrix/{README.md, LICENSE,
#              CHANGELOG.md}. The Debian package's build (KESTRIX_PACKAGE, cmake/package.cmake)
#              compresses the manual pages and lays out the documents as Debian wants them.
# On Windows:  Kestrix.exe, README.md, LICENSE and CHANGELOG.md side by side, as they go into the
#              release zip.
#
# A program is installed with kestrix_install_program(TARGET); on Linux its man page is
# man/TARGET.1.in.

# The release day, for the man pages and the package: the heading of this version in
# CHANGELOG.md, "## 1.0.0 (2026-12-07)".
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md KESTRIX_RELEASE_HEADING
     REGEX "^## ${PROJECT_VERSION} \\([0-9]+-[0-9]+-[0-9]+\\)$")
string(REGEX MATCH "[0-9]+-[0-9]+-[0-9]+" KESTRIX_RELEASE_DATE "${KESTRIX_RELEASE_HEADING}")
if(NOT KESTRIX_RELEASE_DATE)
  message(WARNING "CHANGELOG.md has no heading \"## ${PROJECT_VERSION} (YYYY-MM-DD)\"")
  set(KESTRIX_RELEASE_DATE "unreleased")
endif()

# Lower case, as a package names its folder; GNUInstallDirs would take the project's name.
set(CMAKE_INSTALL_DOCDIR share/doc/kestrix CACHE PATH "Documentation")
include(GNUInstallDirs)
if(WIN32)
  set(KESTRIX_INSTALL_BINDIR .)
  set(KESTRIX_INSTALL_DOCDIR .)
else()
  set(KESTRIX_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(KESTRIX_INSTALL_DOCDIR ${CMAKE_INSTALL_DOCDIR})
endif()
# Folders made by the installation are readable by all, whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Installs the program TARGET and, on Linux, its man page: man/TARGET.1.in, written with the
# version and release day into the build folder's man/ (where `man ./build/man/TARGET.1` shows
# it), installed as section 1.
# kx's completions for bash, zsh and fish, where each shell looks for them.
if(NOT WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/completions/kx.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kx)
  install(FILES ${PROJECT_SOURCE_DIR}/completions/_kx
          DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
  install(FILES ${PROJECT_SOURCE_DIR}/completions/kx.fish
          DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d)
endif()

function(kestrix_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${KESTRIX_INSTALL_BINDIR})
  if(WIN32)
    return()
  endif()
  if(KESTRIX_PACKAGE)
    # Stripped as Debian strips: no symbols, no compiler notes.
    install(CODE "execute_process(COMMAND ${CMAKE_STRIP} --strip-unneeded
                    --remove-section=.comment --remove-section=.note
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\"
                  COMMAND_ERROR_IS_FATAL ANY)")
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${target}.1)
  configure_file(${PROJECT_SOURCE_DIR}/man/${target}.1.in ${page} @ONLY)
  if(KESTRIX_PACKAGE)
    add_custom_command(OUTPUT ${page}.gz
                       COMMAND gzip -9 -n -c ${page} > ${page}.gz
                       DEPENDS ${page} VERBATIM)
    add_custom_target(${target}_man ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endfunction()

# The documents that come with the programs.
if(NOT KESTRIX_PACKAGE)
  install(FILES README.md LICENSE CHANGELOG.md DESTINATION ${KESTRIX_INSTALL_DOCDIR})
endif()
