# What makes a program a Windows program of Kestrix, included from CMakeLists.txt in Windows
# builds:
#   kestrix_windows_program(TARGET NAME DESCRIPTION)
# names the executable NAME.exe, gives it the resources of cmake/windows/program.rc.in (the
# application manifest cmake/windows/program.manifest and a version resource with DESCRIPTION),
# and links it statically, stripped and without the link time stamp, so that two builds of one
# tree give the same bytes (scripts/check-reproducible-windows.sh).
enable_language(RC)

function(kestrix_windows_program target name description)
  set(KESTRIX_RC_NAME ${name})
  set(KESTRIX_RC_FILE ${name}.exe)
  set(KESTRIX_RC_DESCRIPTION "${description}")
  set(KESTRIX_RC_MANIFEST ${PROJECT_SOURCE_DIR}/cmake/windows/program.manifest)
  set(rc ${CMAKE_BINARY_DIR}/generated/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/program.rc.in ${rc} @ONLY)
  # windres does not see the manifest as a dependency of its own.
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${KESTRIX_RC_MANIFEST})
  target_sources(${target} PRIVATE ${rc})
  target_link_libraries(${target} PRIVATE kestrix_version)
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name})
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++ -s
                      -Wl,--no-insert-timestamp)
endfunction()
