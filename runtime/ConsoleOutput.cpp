// Console text output on standard output, with its pending I/O result and the I/O check.
//
// The text file opens on the first write. Text collects in a 128-byte buffer that is written
// out whenever it fills; a line end flushes it only when standard output is a character
// device, so text going to a file or a pipe stays buffered until the buffer fills or the
// output is closed at exit. A failed open or write is recorded as the pending I/O result, the
// buffered text is dropped, and later writes are ignored until the result is read (IOResult or
// IOCheck). Nothing here raises except IOCheck.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <VDIBitmap/System.h>
#include "SystemInternal.h"

namespace vdib {

namespace {

constexpr std::size_t OutputBufferSize = 128;
constexpr int StandardOutput = 1;
// "File not open": standard output exists but its kind cannot be told.
constexpr int NoFileType = 105;

struct TTextOutput {
    bool IsOpen = false;
    bool IsDevice = false;
    std::size_t Fill = 0;
    char Buffer[OutputBufferSize];
};

TTextOutput Output;
thread_local int InOutRes = 0;

// The I/O result codes of the message table, from the platform's errno. Codes without a
// meaning of their own are reported as they are, except EIO: its errno value (5) is the
// table's "File access denied", so it is reported as 29, the usual code of a write fault.
int IOResultFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return 2;
        case ENOTDIR:
        case ENAMETOOLONG:
            return 3;
        case EMFILE:
        case ENFILE:
            return 4;
        case EACCES:
        case EPERM:
        case EROFS:
            return 5;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return 101;
        case EIO:
            return 29;
        default:
            return error;
    }
}

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

// Writes all bytes, resuming after interrupts and partial writes; false with `error` set when
// the platform refuses.
bool WriteAll(const char* data, std::size_t count, int& error) noexcept {
    while (count > 0) {
        const ssize_t written = ::write(StandardOutput, data, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            error = errno;
            return false;
        }
        if (written == 0) {
            error = EIO;
            return false;
        }
        data += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

bool OpenOutput() {
    // A descriptor that exists but cannot be written (the frame parks /dev/null read-only on a
    // closed standard output) counts as an invalid handle, like a missing one.
    const int flags = ::fcntl(StandardOutput, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
        InOutRes = IOResultFromErrno(flags < 0 ? errno : EBADF);
        return false;
    }
    struct stat status;
    if (::fstat(StandardOutput, &status) != 0) {
        // The descriptor stays open: closing it would let the next file opened take it over as
        // standard output.
        InOutRes = NoFileType;
        return false;
    }
    Output.IsDevice = S_ISCHR(status.st_mode);
    Output.IsOpen = true;
    Output.Fill = 0;
    return true;
}

void FlushBuffer() {
    if (Output.Fill == 0) return;
    int error = 0;
    const bool written = WriteAll(Output.Buffer, Output.Fill, error);
    Output.Fill = 0;
    if (!written) InOutRes = IOResultFromErrno(error);
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
    e.RaiseAddress = __builtin_return_address(0);
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

void WriteRaw(const char* data, std::size_t count) noexcept {
    int ignored = 0;
    WriteAll(data, count, ignored);
}

}  // namespace detail

}  // namespace vdib
