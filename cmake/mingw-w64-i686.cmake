# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (posix threads variant):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Debian's Wine runs 32-bit programs only with the i386 architecture added (wine32). Without it
# this target is for compiling and linking: configure it with the tests off, or with their
# discovery left to test time, since discovering them runs the test programs.
set(VDIB_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
