// Console text output on standard output, with its pending I/O result and the I/O check.
//
// The text file opens on the first write. Text collects in a 128-byte buffer that is written
// out whenever it fills; a line end flushes it only when standard output is a character
// device, so text going to a file or a pipe stays buffered until the buffer fills or the
// output is closed at exit. A failed open or write is recorded as the pending I/O result, the
// buffered text is dropped, and later writes are ignored until the result is read (IOResult or
// IOCheck). Nothing here raises except IOCheck.
#include <cstring>

#include <VDIBitmap/Compiler.h>
#include <VDIBitmap/System.h>

#include "SystemInternal.h"
#include "os/Console.h"

namespace vdib {

namespace {

constexpr std::size_t OutputBufferSize = 128;

struct TTextOutput {
    bool IsOpen = false;
    bool IsDevice = false;
    std::size_t Fill = 0;
    char Buffer[OutputBufferSize];
};

TTextOutput Output;
thread_local int InOutRes = 0;

std::string IOErrorMessage(int code) {
    switch (code) {
        case 2:
            return "File not found";
        case 3:
            return "Invalid filename";
        case 4:
            return "Too many open files";
        case 5:
            return "File access denied";
        case 100:
            return "Read beyond end of file";
        case 101:
            return "Disk full";
        case 106:
            return "Invalid numeric input";
        default:
            return Format("I/O error %d", code);
    }
}

bool OpenOutput() {
    bool isDevice = false;
    const int result = os::OpenStandardOutput(isDevice);
    if (result != 0) {
        InOutRes = result;
        return false;
    }
    Output.IsDevice = isDevice;
    Output.IsOpen = true;
    Output.Fill = 0;
    return true;
}

void FlushBuffer() {
    if (Output.Fill == 0) return;
    const int result = os::WriteStandardOutput(Output.Buffer, Output.Fill);
    Output.Fill = 0;
    if (result != 0) InOutRes = result;
}

}  // namespace

void WriteText(std::string_view text) {
    if (InOutRes != 0) return;
    if (!Output.IsOpen && !OpenOutput()) return;
    while (!text.empty()) {
        const std::size_t room = OutputBufferSize - Output.Fill;
        const std::size_t count = text.size() < room ? text.size() : room;
        std::memcpy(Output.Buffer + Output.Fill, text.data(), count);
        Output.Fill += count;
        text.remove_prefix(count);
        if (Output.Fill == OutputBufferSize) {
            FlushBuffer();
            if (InOutRes != 0) return;
        }
    }
}

void WriteLine(std::string_view text) {
    WriteText(text);
    WriteText("\r\n");
    if (InOutRes == 0 && Output.IsOpen && Output.IsDevice) FlushBuffer();
}

int IOResult() {
    const int result = InOutRes;
    InOutRes = 0;
    return result;
}

// Not inlined, so that the exception points at the statement that checks.
[[gnu::noinline]] void IOCheck() {
    const int code = IOResult();
    if (code == 0) return;
    EInOutError e(IOErrorMessage(code), code);
    e.RaiseAddress = VDIB_RETURN_ADDRESS();
    throw e;
}

void FlushOutput() {
    if (Output.IsOpen) FlushBuffer();
}

namespace detail {

void FlushOutputQuietly() noexcept {
    if (!Output.IsOpen || Output.Fill == 0) return;
    WriteRaw(Output.Buffer, Output.Fill);
    Output.Fill = 0;
}

void CloseOutput() noexcept {
    FlushOutputQuietly();
    Output.IsOpen = false;
}

void WriteRaw(const char* data, std::size_t count) noexcept { os::WriteStandardOutput(data, count); }

}  // namespace detail

}  // namespace vdib
