// Standard output on the Win32 API.
//
// Files and pipes get the text's bytes as they are (UTF-8), the same bytes as on other systems. A
// console window shows UTF-16: WriteConsoleW is given the text decoded, with the decoder's state
// kept from one call to the next so that a character whose bytes arrive in two calls (the frame
// writes from a 128-byte buffer) is shown whole. Bytes that are not UTF-8 show as U+FFFD.
//
// Everything here may run in the fault handler: no allocation, no locks, fixed buffers only.
#include "../Console.h"

#include <cstdint>

#include "Internal.h"

namespace vdib::os {

namespace {

// I/O result codes that the message table names differently from the system's error codes; the
// others (2 not found, 5 access denied, 6 invalid handle, ...) are the system's own.
constexpr int InvalidHandle = 6;
constexpr int WriteFault = 29;
constexpr int DiskFull = 101;
constexpr int NoFileType = 105;

int ResultOf(DWORD error) {
    switch (error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return DiskFull;
        case NO_ERROR:  // a write that took nothing and reported no error
            return WriteFault;
        default:
            return static_cast<int>(error);
    }
}

// Whether standard output is a console window, asked once per handle.
HANDLE KnownHandle = nullptr;
bool KnownIsConsole = false;

bool IsConsole(HANDLE output) {
    if (output != KnownHandle) {
        DWORD mode;
        KnownIsConsole = ::GetConsoleMode(output, &mode) != 0;
        KnownHandle = output;
    }
    return KnownIsConsole;
}

int WriteBytes(HANDLE output, const char* data, std::size_t count) {
    while (count > 0) {
        DWORD written = 0;
        const DWORD step = count < 0x40000000 ? static_cast<DWORD>(count) : 0x40000000;
        if (!::WriteFile(output, data, step, &written, nullptr) || written == 0) return ResultOf(::GetLastError());
        data += written;
        count -= written;
    }
    return 0;
}

int WriteWide(HANDLE output, const wchar_t* text, std::size_t count) {
    while (count > 0) {
        DWORD written = 0;
        if (!::WriteConsoleW(output, text, static_cast<DWORD>(count), &written, nullptr) || written == 0)
            return ResultOf(::GetLastError());
        text += written;
        count -= written;
    }
    return 0;
}

// The UTF-8 decoder's state between calls: the code point begun, the continuation bytes it still
// needs, and the smallest value its length may encode (smaller ones are overlong forms).
struct TDecoder {
    uint32_t Value = 0;
    int Needed = 0;
    uint32_t Minimum = 0;
};
TDecoder Decoder;

constexpr wchar_t Replacement = 0xFFFD;

int WriteConsoleText(HANDLE output, const char* data, std::size_t count) {
    wchar_t wide[256];
    std::size_t fill = 0;
    auto put = [&](uint32_t c) -> int {
        if (fill + 2 > sizeof wide / sizeof wide[0]) {
            if (const int result = WriteWide(output, wide, fill)) return result;
            fill = 0;
        }
        if (c >= 0x10000) {
            wide[fill++] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            wide[fill++] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            wide[fill++] = static_cast<wchar_t>(c);
        }
        return 0;
    };

    TDecoder& d = Decoder;
    for (std::size_t i = 0; i < count; ++i) {
        const auto byte = static_cast<uint8_t>(data[i]);
        int result = 0;
        if (d.Needed > 0 && (byte & 0xC0) == 0x80) {
            d.Value = (d.Value << 6) | (byte & 0x3F);
            if (--d.Needed == 0) {
                const bool valid = d.Value >= d.Minimum && d.Value <= 0x10FFFF && (d.Value < 0xD800 || d.Value > 0xDFFF);
                result = put(valid ? d.Value : Replacement);
            }
        } else {
            // A sequence cut short by a byte that does not continue it shows as one U+FFFD; the
            // byte then starts afresh.
            if (d.Needed > 0) {
                d.Needed = 0;
                result = put(Replacement);
            }
            if (result == 0) {
                if (byte < 0x80) {
                    result = put(byte);
                } else if (byte >= 0xC2 && byte <= 0xF4) {
                    d.Needed = byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
                    d.Value = byte & (0x3F >> d.Needed);
                    d.Minimum = d.Needed == 1 ? 0x80 : d.Needed == 2 ? 0x800 : 0x10000;
                } else {
                    result = put(Replacement);
                }
            }
        }
        if (result != 0) return result;
    }
    return WriteWide(output, wide, fill);
}

}  // namespace

int OpenStandardOutput(bool& isDevice) noexcept {
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return InvalidHandle;
    const DWORD type = ::GetFileType(output);
    if (type == FILE_TYPE_UNKNOWN) {
        const DWORD error = ::GetLastError();
        return error == NO_ERROR ? NoFileType : ResultOf(error);
    }
    isDevice = type == FILE_TYPE_CHAR;
    return 0;
}

int WriteStandardOutput(const char* data, std::size_t count) noexcept {
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return InvalidHandle;
    if (count == 0) return 0;
    return IsConsole(output) ? WriteConsoleText(output, data, count) : WriteBytes(output, data, count);
}

}  // namespace vdib::os
