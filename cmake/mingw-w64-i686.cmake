# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (posix threads variant):
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Debian's Wine runs 32-bit programs only with the i386 architecture added (wine32), and only on
# a kernel that runs 32-bit code; the tests are discovered when they run, so the build succeeds
# on any machine.
set(VDIB_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# The programs may use addresses above 2 GiB: on 64-bit Windows they get 4 GiB of address space
# instead of 2, room for the largest picture the format describes (just under 2 GiB) beside the
# program. What still cannot be mapped is refused as out of memory.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--large-address-aware")
