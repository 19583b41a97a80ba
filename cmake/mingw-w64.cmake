# Cross build of Kestrix.exe for 64-bit Windows with mingw-w64:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTRIX_MINGW_TARGET x86_64-w64-mingw32)
# The compilers with the POSIX thread model where they are installed: GoogleTest needs
# std::mutex, which the win32 thread model of GCC before 13 lacks. The program itself uses no
# threads and runs the same from either.
find_program(KESTRIX_MINGW_CXX NAMES ${KESTRIX_MINGW_TARGET}-g++-posix ${KESTRIX_MINGW_TARGET}-g++)
find_program(KESTRIX_MINGW_CC NAMES ${KESTRIX_MINGW_TARGET}-gcc-posix ${KESTRIX_MINGW_TARGET}-gcc)
set(CMAKE_C_COMPILER ${KESTRIX_MINGW_CC})
set(CMAKE_CXX_COMPILER ${KESTRIX_MINGW_CXX})
set(CMAKE_RC_COMPILER ${KESTRIX_MINGW_TARGET}-windres)

# Libraries and headers come from the mingw-w64 tree only, never from the build machine's own
# (its libdeflate and zlib are Linux libraries); programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${KESTRIX_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# zlib is the one inflate backend of the Windows build.
set(KESTRIX_INFLATE zlib CACHE STRING "Inflate backend: auto, zlib or libdeflate")

# Every program links statically, so that it runs alone beside the system's own DLLs. zlib's
# static archive, not its import library.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
if(EXISTS /usr/${KESTRIX_MINGW_TARGET}/lib/libz.a)
  set(ZLIB_LIBRARY /usr/${KESTRIX_MINGW_TARGET}/lib/libz.a CACHE FILEPATH "zlib for Windows")
endif()
set(ZLIB_USE_STATIC_LIBS ON)
