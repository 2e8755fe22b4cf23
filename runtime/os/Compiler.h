// What the rest of the program needs of the compiler beyond standard C++: the code address a
// call returns to (the reports print where an exception was raised) and printf-style argument
// checks.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#pragma intrinsic(_ReturnAddress)
#define VDIB_RETURN_ADDRESS() _ReturnAddress()
#define VDIB_PRINTF_FORMAT(formatIndex, firstArgument)
#else
#define VDIB_RETURN_ADDRESS() __builtin_return_address(0)
#define VDIB_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif
