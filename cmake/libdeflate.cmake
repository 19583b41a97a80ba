# libdeflate built here from Debian's source, with zlib's verdicts: a small change to its
# decompressor (third_party/libdeflate/zlib-verdicts.patch) refuses, as it decodes, exactly the
# few streams that libdeflate decodes and zlib's inflate refuses (more symbols than the codes
# have, a length repeat past the end of the list, a missing end-of-block code, an incomplete
# precode, and the codewords zlib refuses to decode: symbols 286 and 287 and offsets 30 and 31
# of the static codes, any codeword of an empty offset code, the unused '1' of a code with a
# single one-bit codeword). The libdeflate backend then needs no reading of the codes before it
# inflates (dzlib/deflate_check.h), which cost about as much again as a third of the inflate.
#
# The source comes from Debian's archive (scripts/debian-source.sh), once per checkout into
# KESTRIX_DEBIAN_SOURCES, and only the version the change was made for is taken. Where it cannot
# be had (no network, another version), the system's libdeflate is used with that reading, as
# before, and configuring says so.
#
# Sets KESTRIX_LIBDEFLATE_ZLIB_VERDICTS, and when it is ON, LIBDEFLATE_LIBRARY (a target) and
# LIBDEFLATE_INCLUDE_DIR.
option(KESTRIX_LIBDEFLATE_FROM_SOURCE
       "Build libdeflate from Debian's source with zlib's verdicts (else the system's)" ON)
set(KESTRIX_DEBIAN_SOURCES "${PROJECT_SOURCE_DIR}/.cache/debian-source" CACHE PATH
    "Where Debian's source packages the build needs are kept")
set(KESTRIX_LIBDEFLATE_PATCHED_VERSION "1.14")
set(KESTRIX_LIBDEFLATE_ZLIB_VERDICTS OFF)

if(KESTRIX_LIBDEFLATE_FROM_SOURCE AND NOT WIN32 AND NOT KESTRIX_INFLATE STREQUAL "zlib")
  execute_process(
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/debian-source.sh libdeflate ${KESTRIX_DEBIAN_SOURCES}
    OUTPUT_VARIABLE libdeflate_source OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE libdeflate_fetched)
  set(libdeflate_version "")
  if(libdeflate_fetched EQUAL 0 AND EXISTS "${libdeflate_source}/libdeflate.h")
    file(STRINGS "${libdeflate_source}/libdeflate.h" libdeflate_version
         REGEX "^#define[ \t]+LIBDEFLATE_VERSION_STRING[ \t]+\"[^\"]*\"")
    string(REGEX REPLACE "^.*\"([^\"]*)\".*$" "\\1" libdeflate_version "${libdeflate_version}")
  endif()
  if(libdeflate_version STREQUAL KESTRIX_LIBDEFLATE_PATCHED_VERSION)
    set(patched ${CMAKE_BINARY_DIR}/libdeflate)
    set(patch ${PROJECT_SOURCE_DIR}/third_party/libdeflate/zlib-verdicts.patch)
    file(SHA256 ${patch} patch_hash)
    if(NOT EXISTS ${patched}/.patched-${patch_hash})
      file(REMOVE_RECURSE ${patched})
      file(COPY ${libdeflate_source}/ DESTINATION ${patched} PATTERN debian EXCLUDE)
      execute_process(COMMAND patch -p1 -s -i ${patch} WORKING_DIRECTORY ${patched}
                      RESULT_VARIABLE patched_result)
      if(NOT patched_result EQUAL 0)
        message(FATAL_ERROR "${patch} does not apply to libdeflate ${libdeflate_version}")
      endif()
      file(TOUCH ${patched}/.patched-${patch_hash})
    endif()
    enable_language(C)
    set(names deflate_decompress deflate_compress zlib_decompress zlib_compress gzip_decompress
              gzip_compress adler32 crc32 utils x86/cpu_features arm/cpu_features)
    list(TRANSFORM names PREPEND ${patched}/lib/)
    list(TRANSFORM names APPEND .c)
    add_library(kestrix_libdeflate STATIC ${names})
    # Compiled as its own build compiles it; its warnings are not this project's.
    set_target_properties(kestrix_libdeflate PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
    target_compile_options(kestrix_libdeflate PRIVATE -w -fvisibility=hidden)
    target_include_directories(kestrix_libdeflate PRIVATE ${patched})
    set(LIBDEFLATE_LIBRARY kestrix_libdeflate)
    set(LIBDEFLATE_INCLUDE_DIR ${patched})
    set(KESTRIX_LIBDEFLATE_ZLIB_VERDICTS ON)
  else()
    message(WARNING "libdeflate ${KESTRIX_LIBDEFLATE_PATCHED_VERSION} from Debian's source could "
      "not be had (found: '${libdeflate_version}'): the system's libdeflate is used, its streams "
      "read before it inflates them.")
  endif()
endif()
