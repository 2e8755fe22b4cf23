// What the rest of the program needs of the compiler beyond standard C++: the code address a
// call returns to (the reports print where an exception was raised) and printf-style argument
// checks.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#pragma intrinsic(_ReturnAddress)
#define VDIB_RETURN_ADDRESS() _ReturnAddress()
#define VDIB_PRINTF_FORMAT(formatIndex, firstArgument)
#elif defined(__EMSCRIPTEN__)
// WebAssembly code cannot read its own return addresses. The host's stack trace names the offset
// in the binary of each call; this takes the one of the caller's call, past the host's own call
// wrappers (C++ exceptions put some between two functions). Defined in web/Process.cpp.
extern "C" __attribute__((import_module("env"), import_name("vdib_caller_address"))) const void* vdib_caller_address(void);
#define VDIB_RETURN_ADDRESS() vdib_caller_address()
#define VDIB_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define VDIB_RETURN_ADDRESS() __builtin_return_address(0)
#define VDIB_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif
