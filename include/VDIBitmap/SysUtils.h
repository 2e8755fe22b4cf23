// Exceptions, message texts and small string helpers shared by every part of the program.
//
// Every failure is an exception: a class and a message text. The class name is what the
// top-level report prints, so each class answers ClassName() with its own name. Raise<E>()
// records the code address following the raising call, which the report prints as an offset
// inside the module that holds it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

#include <VDIBitmap/Compiler.h>

namespace vdib {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : FMessage(std::move(message)) {}

    virtual const char* ClassName() const noexcept { return "Exception"; }
    const std::string& Message() const noexcept { return FMessage; }
    const char* what() const noexcept override { return FMessage.c_str(); }

    // Code address following the call that raised this exception; null when the exception
    // was thrown without Raise<>().
    const void* RaiseAddress = nullptr;

private:
    std::string FMessage;
};

#define VDIB_EXCEPTION_CLASS(Name, Base)                                      \
    class Name : public Base {                                                \
    public:                                                                   \
        using Base::Base;                                                     \
        const char* ClassName() const noexcept override { return #Name; }     \
    };

VDIB_EXCEPTION_CLASS(EStreamError, Exception)
VDIB_EXCEPTION_CLASS(EFOpenError, EStreamError)
VDIB_EXCEPTION_CLASS(EFCreateError, EStreamError)
VDIB_EXCEPTION_CLASS(EFilerError, EStreamError)
VDIB_EXCEPTION_CLASS(EReadError, EFilerError)
VDIB_EXCEPTION_CLASS(EWriteError, EFilerError)
VDIB_EXCEPTION_CLASS(EInvalidGraphic, Exception)
VDIB_EXCEPTION_CLASS(EInvalidOperation, Exception)
VDIB_EXCEPTION_CLASS(EConvertError, Exception)
VDIB_EXCEPTION_CLASS(EAssertionFailed, Exception)
VDIB_EXCEPTION_CLASS(EAbstractError, Exception)
VDIB_EXCEPTION_CLASS(EOutOfMemory, Exception)
VDIB_EXCEPTION_CLASS(EInvalidPointer, Exception)
VDIB_EXCEPTION_CLASS(EExternal, Exception)
VDIB_EXCEPTION_CLASS(EIntError, EExternal)
VDIB_EXCEPTION_CLASS(ERangeError, EIntError)
VDIB_EXCEPTION_CLASS(EDivByZero, EIntError)
VDIB_EXCEPTION_CLASS(EAccessViolation, EExternal)
VDIB_EXCEPTION_CLASS(EStackOverflow, EExternal)
VDIB_EXCEPTION_CLASS(EExternalException, EExternal)

// A failed platform call: carries the platform's error code (os::LastError()).
class EOSError : public Exception {
public:
    EOSError(std::string message, int errorCode) : Exception(std::move(message)), ErrorCode(errorCode) {}
    const char* ClassName() const noexcept override { return "EOSError"; }
    int ErrorCode;
};

// A failed text-file operation, raised by the I/O check with the pending I/O result.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, int errorCode) : Exception(std::move(message)), ErrorCode(errorCode) {}
    const char* ClassName() const noexcept override { return "EInOutError"; }
    int ErrorCode;
};

#undef VDIB_EXCEPTION_CLASS

// Builds the exception, records the address following this call, and throws it.
template <class E, class... Args>
[[noreturn, gnu::noinline]] void Raise(Args&&... args) {
    E e(std::forward<Args>(args)...);
    e.RaiseAddress = VDIB_RETURN_ADDRESS();
    throw e;
}

// The position of the next character of zero-terminated text in code page 932 (Shift JIS): two
// bytes on for a lead byte (81-9F, E0-FC) followed by a non-zero byte, otherwise one; `position`
// itself at the terminating zero.
inline const char* NextCP932Character(const char* position) noexcept {
    const auto byte = static_cast<unsigned char>(*position);
    if (byte == 0) return position;
    const bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    return lead && position[1] != '\0' ? position + 2 : position + 1;
}

// printf-style formatting into a byte string.
std::string Format(const char* format, ...) VDIB_PRINTF_FORMAT(1, 2);

// Raises EOSError for the last platform error: "System Error.  Code: %d.\r\n%s", or "A call to
// an OS function failed" when the error code is 0.
[[noreturn, gnu::noinline]] void RaiseLastOSError();
[[noreturn, gnu::noinline]] void RaiseLastOSError(int errorCode);

// The runtime's message table. The Japanese texts are held as UTF-8, this platform's code page.
// The library's texts are in VDIBitmap/Messages.h, the converter's usage line in app/.
namespace msg {
inline constexpr const char* ReadError = "ストリームからの読み込みエラー";
inline constexpr const char* WriteError = "ストリームへの書き込みエラー";
inline constexpr const char* FOpenError = "ファイル %s は開けません";
inline constexpr const char* FCreateError = "ファイル %s を作成できません";
inline constexpr const char* SeekNotImplemented = "%s.Seek は実装されていません";
inline constexpr const char* MemoryStreamError = "メモリストリームの拡大中にメモリが足りなくなりました";
inline constexpr const char* RangeError = "Range check error";
inline constexpr const char* AbstractError = "Abstract Error";
inline constexpr const char* AssignError = "%s を %s に代入することはできません";
inline constexpr const char* NoCanvasHandle = "Canvas に対する描画ができません";
inline constexpr const char* OutOfMemory = "Out of memory";
inline constexpr const char* InvalidPointer = "Invalid pointer operation";
inline constexpr const char* AssertionFormat = "%s (%s, line %d)";
inline constexpr const char* AssertionFailed = "Assertion failed";
inline constexpr const char* OSError = "System Error.  Code: %d.\r\n%s";
inline constexpr const char* UnkOSError = "A call to an OS function failed";
inline constexpr const char* AccessViolation = "Access violation";
inline constexpr const char* DivByZero = "Division by zero";
inline constexpr const char* StackOverflow = "Stack overflow";
inline constexpr const char* ExternalException = "External exception";
}  // namespace msg

}  // namespace vdib
