// The platform's handle of an open file, as file streams hold it: a descriptor, or a HANDLE on
// Windows.
#pragma once

namespace vdib {

#if defined(_WIN32)
using TFileHandle = void*;
#else
using TFileHandle = int;
#endif

}  // namespace vdib
