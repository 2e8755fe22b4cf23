# The part of the mingw-w64 toolchain files that both targets share; VDIB_MINGW_TRIPLET names
# the target (x86_64-w64-mingw32 or i686-w64-mingw32).
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${VDIB_MINGW_TRIPLET})

set(CMAKE_C_COMPILER ${VDIB_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VDIB_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VDIB_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VDIB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static: libgcc, libstdc++ and winpthread go into the executable, which then needs
# only the system's own DLLs. GDI and the user interface library (palettes, device contexts, the
# clipboard, CharNextA) come with CMake's standard libraries for this platform (-lgdi32 -luser32
# among them).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs, and GoogleTest's discovery of their tests, run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
