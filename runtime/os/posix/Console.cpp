// Standard output on a POSIX system: descriptor 1.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "../Console.h"

namespace vdib::os {

namespace {

constexpr int StandardOutput = 1;
// "File not open": standard output exists but its kind cannot be told.
constexpr int NoFileType = 105;

// The I/O result codes of the message table, from errno. Codes without a meaning of their own
// are reported as they are, except EIO: its value (5) is the table's "File access denied", so it
// is reported as 29, the usual code of a write fault.
int IOResultFromErrno(int error) noexcept {
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

}  // namespace

int OpenStandardOutput(bool& isDevice) noexcept {
    // A descriptor that exists but cannot be written (the process parks /dev/null read-only on a
    // closed standard output) counts as an invalid handle, like a missing one.
    const int flags = ::fcntl(StandardOutput, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return IOResultFromErrno(flags < 0 ? errno : EBADF);
    struct stat status;
    // The descriptor stays open even then: closing it would let the next file opened take it
    // over as standard output.
    if (::fstat(StandardOutput, &status) != 0) return NoFileType;
    isDevice = S_ISCHR(status.st_mode);
    return 0;
}

int WriteStandardOutput(const char* data, std::size_t count) noexcept {
    while (count > 0) {
        const ssize_t written = ::write(StandardOutput, data, count);
        if (written < 0) {
            if (errno == EINTR) continue;
            return IOResultFromErrno(errno);
        }
        if (written == 0) return IOResultFromErrno(EIO);
        data += written;
        count -= static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace vdib::os
