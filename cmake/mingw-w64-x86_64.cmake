# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix threads variant):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The executables link libgcc, libstdc++ and winpthread statically, so they need no DLL beside
# them; tests run under Wine through cmake/wine-run.
set(VDIB_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
