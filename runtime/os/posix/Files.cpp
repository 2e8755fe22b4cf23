// Files on a POSIX system: descriptors, and the safe replacement of a file.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <VDIBitmap/SysUtils.h>

#include "../Files.h"
#include "Interrupts.h"

namespace vdib::os {

const TFileHandle NoFile = -1;

namespace {

int OpenRetrying(const char* name, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(name, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A directory opens read-only without complaint, but it is no file to read or write.
TFileHandle RefuseDirectory(int fd) {
    if (fd < 0) return NoFile;
    struct stat st;
    if (::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode)) return fd;
    ::close(fd);
    errno = EISDIR;
    return NoFile;
}

}  // namespace

// There are no share modes here: a deny-write open is a plain open for its access.
TFileHandle OpenFile(const std::string& name, TFileAccess access, TFileShare) {
    const int flags = access == TFileAccess::Read ? O_RDONLY : access == TFileAccess::Write ? O_WRONLY : O_RDWR;
    return RefuseDirectory(OpenRetrying(name.c_str(), flags));
}

TFileHandle CreateNewFile(const std::string& name) {
    return RefuseDirectory(OpenRetrying(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666));
}

void CloseFile(TFileHandle file) noexcept {
    if (file >= 0) ::close(file);
}

int64_t ReadFile(TFileHandle file, void* to, int64_t wanted, int64_t room) noexcept {
    auto* bytes = static_cast<uint8_t*>(to);
    int64_t done = 0;
    while (done < wanted) {
        const ssize_t n = ::read(file, bytes + done, static_cast<size_t>(room - done));
        if (n > 0) {
            done += n;
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return done;
}

int64_t WriteFile(TFileHandle file, const void* from, int64_t count) noexcept {
    const auto* bytes = static_cast<const uint8_t*>(from);
    int64_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(file, bytes + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += n;
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return done;
}

// A character device such as /dev/null accepts any seek and answers with a position that means
// nothing, so positions are believed only where bytes are stored: a regular file or a block
// device.
bool IsDiskFile(TFileHandle file) noexcept {
    struct stat st;
    return ::fstat(file, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

// Linux gives origins 3 and 4 other meanings (SEEK_DATA, SEEK_HOLE); this contract knows three.
int64_t SeekFile(TFileHandle file, int64_t offset, int origin) noexcept {
    if (origin < 0 || origin > 2) {
        errno = EINVAL;
        return -1;
    }
    return ::lseek(file, offset, origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END);
}

int64_t FileSize(TFileHandle file) noexcept {
    struct stat st;
    if (::fstat(file, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) return st.st_size;
    if (!S_ISBLK(st.st_mode)) {
        errno = ESPIPE;
        return -1;
    }
    // A block device tells its size only by its end.
    const off_t here = ::lseek(file, 0, SEEK_CUR);
    const off_t end = here < 0 ? -1 : ::lseek(file, 0, SEEK_END);
    if (here >= 0) ::lseek(file, here, SEEK_SET);
    return end;
}

bool ResizeFile(TFileHandle file, int64_t size) noexcept {
    if (::lseek(file, size, SEEK_SET) < 0) return false;
    int rc;
    do {
        rc = ::ftruncate(file, size);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

void StartWriteOut([[maybe_unused]] TFileHandle file) noexcept {
#if defined(__linux__)
    ::sync_file_range(file, 0, 0, SYNC_FILE_RANGE_WRITE);  // starts it, waits for nothing
#endif
}

int LastError() noexcept { return errno; }

namespace {
// strerror_r comes in two forms: the XSI one (musl and so Emscripten, the BSDs) fills the buffer
// and returns 0 or an error number; GNU's (glibc under _GNU_SOURCE, which g++ defines) returns the
// text, which need not be in the buffer. Each overload takes one form's result.
[[maybe_unused]] const char* MessageOf(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] const char* MessageOf(const char* text, const char*) { return text; }
}  // namespace

// strerror's text may lie in a buffer that another thread's call overwrites; strerror_r writes
// into the caller's.
std::string ErrorText(int code) {
    char buffer[256] = "";
    const char* text = MessageOf(::strerror_r(code, buffer, sizeof buffer), buffer);
    return text != nullptr ? text : Format("Unknown error %d", code);
}

// --- Replacing a file safely -------------------------------------------------------------------
//
// Truncating the target first and then writing would destroy the only copy whenever writing
// fails, and the converter may be told to write over its own input. So a regular file is
// replaced in one step: the new contents go to a temporary file in the target's own directory
// (so the rename cannot cross file systems), are flushed and synced, and only then renamed over
// the target. Until that rename the target is untouched; on any failure the temporary file goes.
//
// Consequences worth knowing: a symbolic link is followed and the file it names is replaced
// (the link stays a link); the permission bits (and, where allowed, owner and group) of an
// existing target are carried over; a target with other hard links is replaced by a new file,
// so the other names keep the old contents. A file without any write permission bit is refused
// whoever asks, root included: replacing it needs only the directory's permission, but it is
// plainly meant to stay as it is.
//
// A target that exists but is no regular file (a device such as /dev/null, a pipe, a FIFO)
// cannot be replaced and is written directly, opened for writing only: opened for reading too,
// the program would be a reader of its own pipe and never see the real reader go away. A FIFO
// without a reader makes the open wait for one, as with any program that writes to it.
//
// While the temporary file exists its name is registered with the interrupt handlers, which
// remove it when an interrupting signal ends the process; the signals wait while the file is
// created and registered, and while it is renamed and forgotten.

namespace {

[[noreturn]] void RaiseCannotCreate(const std::string& fileName) {
    Raise<EFCreateError>(Format(msg::FCreateError, fileName.c_str()));
}

// The directory part of a path with its final '/', or "" for a bare name.
std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Follows symbolic links from a name that does not lead to an existing file, so that a dangling
// link gets its target made rather than being replaced by a file. False for a loop or an
// unreadable link.
bool FollowDanglingLinks(std::string& path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) return false;
        target.resize(static_cast<size_t>(n));
        path = target[0] == '/' ? target : DirectoryOf(path) + target;
    }
    return false;
}

// Creates `name`, whose last six characters are replaced, anew (never through a link), trying
// other names while one is taken; each is registered with `pending` before it is tried. The
// system gives it `mode` less what the umask or the folder's default ACL takes away, as for any
// new file; the umask itself is never touched, since other threads of the process may be creating
// files meanwhile.
int CreateUniqueFile(std::string& name, mode_t mode, TPendingFile& pending) {
    static constexpr char Letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    static std::atomic<std::uint64_t> calls{0};
    std::uint64_t state = (static_cast<std::uint64_t>(::getpid()) << 40) ^ (static_cast<std::uint64_t>(now.tv_sec) << 20) ^
                          static_cast<std::uint64_t>(now.tv_nsec) ^ (++calls << 52);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        for (std::size_t i = name.size() - 6; i < name.size(); ++i) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            name[i] = Letters[(state >> 33) % (sizeof Letters - 1)];
        }
        if (!pending.Creating(name.c_str())) return -1;
        const int fd = OpenRetrying(name.c_str(), O_RDWR | O_CREAT | O_EXCL, mode);
        pending.Created(fd >= 0);
        if (fd >= 0) return fd;
        if (errno != EEXIST) break;
    }
    return -1;
}

// Makes the rename itself durable; the new file is already complete, so a failure here is not
// reported.
void SyncDirectory(const std::string& directory) {
    const int fd = OpenRetrying(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

struct TCloser {
    int fd;
    ~TCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// Writes into a target that cannot be replaced (a device, a pipe, a FIFO).
void WriteDirectly(const std::string& fileName, const std::function<void(TFileHandle)>& write) {
    int fd = OpenRetrying(fileName.c_str(), O_WRONLY | O_NOCTTY);
    struct stat st;
    // Became a regular file since it was looked at: writing into it without truncating would
    // leave its old tail behind.
    if (fd >= 0 && (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) RaiseCannotCreate(fileName);
    const TCloser closer{fd};
    write(fd);
}

}  // namespace

void WriteFileSafely(const std::string& fileName, const std::function<void(TFileHandle)>& write) {
    if (fileName.empty() || fileName.find('\0') != std::string::npos) RaiseCannotCreate(fileName);

    struct stat existing;
    const bool exists = ::stat(fileName.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        WriteDirectly(fileName, write);
        return;
    }

    std::string target = fileName;
    if (exists) {
        if ((existing.st_mode & 0222) == 0) RaiseCannotCreate(fileName);
        char* real = ::realpath(fileName.c_str(), nullptr);
        if (real == nullptr) RaiseCannotCreate(fileName);
        target = real;
        std::free(real);
        // Renaming over the target needs only the directory's permission; a file that this
        // process may not write (read-only, say, or immutable) is one that cannot be created over.
        // Asked without opening it, which would disturb others watching or leasing the file.
        if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) RaiseCannotCreate(fileName);
    } else if (!FollowDanglingLinks(target)) {
        RaiseCannotCreate(fileName);
    }
    const std::string directory = DirectoryOf(target);
    const std::string base = target.substr(directory.size());
    if (base.empty()) RaiseCannotCreate(fileName);  // "dir/" names no file

    // ".<name>.XXXXXX", with the name shortened so the whole stays within a file name's limit.
    std::string tempName = directory + "." + base.substr(0, 200) + ".XXXXXX";
    // Registered before it exists, so that an interrupt in any thread removes it.
    TPendingFile pending;
    // A replacement starts private and takes the old file's mode before anything is written.
    int fd = CreateUniqueFile(tempName, exists ? 0600 : 0666, pending);
    if (fd < 0) RaiseCannotCreate(fileName);
    try {
        if (exists) {
            // Owner and group can be kept only with the right to give files away, so a refusal
            // is no failure; the permission bits can always be kept.
            [[maybe_unused]] const int owned = ::fchown(fd, existing.st_uid, existing.st_gid);
            ::fchmod(fd, existing.st_mode & 07777);
        }
        write(fd);
        if (::fsync(fd) != 0) Raise<EWriteError>(msg::WriteError);
        const int closed = ::close(fd);
        fd = -1;
        if (closed != 0) Raise<EWriteError>(msg::WriteError);
        if (::rename(tempName.c_str(), target.c_str()) != 0) RaiseCannotCreate(fileName);
        pending.Disarm();  // the file is the target now
    } catch (...) {
        if (fd >= 0) ::close(fd);
        ::unlink(tempName.c_str());
        throw;
    }
    SyncDirectory(directory);
}

}  // namespace vdib::os
