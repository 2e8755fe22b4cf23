#include <VDIBitmap/SysUtils.h>

#include <cstdarg>
#include <cstdio>

#include "os/Files.h"

namespace vdib {

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string result;
    if (length > 0) {
        result.resize(static_cast<std::size_t>(length));
        std::vsnprintf(result.data(), result.size() + 1, format, again);
    }
    va_end(again);
    return result;
}

namespace {
[[noreturn]] void ThrowOSError(int errorCode, const void* address) {
    EOSError e(errorCode != 0 ? Format(msg::OSError, errorCode, os::ErrorText(errorCode).c_str()) : std::string(msg::UnkOSError),
               errorCode);
    e.RaiseAddress = address;
    throw e;
}
}  // namespace

void RaiseLastOSError() { ThrowOSError(os::LastError(), VDIB_RETURN_ADDRESS()); }

void RaiseLastOSError(int errorCode) { ThrowOSError(errorCode, VDIB_RETURN_ADDRESS()); }

}  // namespace vdib
