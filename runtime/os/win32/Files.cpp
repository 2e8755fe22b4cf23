// Files on the Win32 API: handles from CreateFileA, transfers in loops of ReadFile and WriteFile
// (each call moves at most a DWORD's worth and a pipe may give less), positions with
// SetFilePointerEx, and the safe replacement of a file.
#include "../Files.h"

#include <algorithm>

#include <VDIBitmap/SysUtils.h>
#include "Internal.h"

namespace vdib::os {

const TFileHandle NoFile = INVALID_HANDLE_VALUE;

namespace {

constexpr int64_t TransferStep = int64_t{1} << 30;

// A name with an embedded zero byte would silently name a different, shorter file.
bool IsUsableName(const std::string& name) {
    if (name.find('\0') == std::string::npos) return true;
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
}

// Pipes, consoles and the null device have no positions; the system leaves the file pointer of
// such a handle undefined rather than refusing to move it.
bool HasPositions(HANDLE file) {
    const DWORD type = ::GetFileType(file);
    if (type == FILE_TYPE_DISK) return true;
    if (type != FILE_TYPE_UNKNOWN || ::GetLastError() == NO_ERROR) ::SetLastError(ERROR_SEEK_ON_DEVICE);
    return false;
}

}  // namespace

TFileHandle OpenFile(const std::string& name, TFileAccess access, TFileShare share) {
    static constexpr DWORD Access[] = {GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE};
    static constexpr DWORD Sharing[] = {0, FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE};
    if (!IsUsableName(name)) return NoFile;
    // A directory opens only with FILE_FLAG_BACKUP_SEMANTICS, so it is refused here.
    return ::CreateFileA(name.c_str(), Access[static_cast<int>(access)], Sharing[static_cast<int>(share)], nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

TFileHandle CreateNewFile(const std::string& name) {
    if (!IsUsableName(name)) return NoFile;
    return ::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
}

void CloseFile(TFileHandle file) noexcept {
    if (file != NoFile && file != nullptr) ::CloseHandle(file);
}

int64_t ReadFile(TFileHandle file, void* to, int64_t wanted, int64_t room) noexcept {
    auto* bytes = static_cast<char*>(to);
    int64_t done = 0;
    while (done < wanted) {
        DWORD count = 0;
        if (!::ReadFile(file, bytes + done, static_cast<DWORD>(std::min(room - done, TransferStep)), &count, nullptr) ||
            count == 0)
            break;
        done += count;
    }
    return done;
}

int64_t WriteFile(TFileHandle file, const void* from, int64_t count) noexcept {
    const auto* bytes = static_cast<const char*>(from);
    int64_t done = 0;
    while (done < count) {
        DWORD written = 0;
        if (!::WriteFile(file, bytes + done, static_cast<DWORD>(std::min(count - done, TransferStep)), &written,
                         nullptr) ||
            written == 0)
            break;
        done += written;
    }
    return done;
}

bool IsDiskFile(TFileHandle file) noexcept { return ::GetFileType(file) == FILE_TYPE_DISK; }

int64_t SeekFile(TFileHandle file, int64_t offset, int origin) noexcept {
    // The origins 0, 1 and 2 are FILE_BEGIN, FILE_CURRENT and FILE_END.
    if (origin < 0 || origin > 2) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!HasPositions(file)) return -1;
    LARGE_INTEGER distance;
    LARGE_INTEGER position;
    distance.QuadPart = offset;
    if (!::SetFilePointerEx(file, distance, &position, static_cast<DWORD>(origin))) return -1;
    return position.QuadPart;
}

int64_t FileSize(TFileHandle file) noexcept {
    LARGE_INTEGER size;
    if (!HasPositions(file) || !::GetFileSizeEx(file, &size)) return -1;
    return size.QuadPart;
}

bool ResizeFile(TFileHandle file, int64_t size) noexcept {
    return SeekFile(file, size, 0) >= 0 && ::SetEndOfFile(file);
}

// The system's lazy writer already starts writing dirty pages out on its own.
void StartWriteOut(TFileHandle) noexcept {}

int LastError() noexcept { return static_cast<int>(::GetLastError()); }

std::string ErrorText(int code) {
    char text[512];
    DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                    static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) --length;
    if (length == 0) return Format("Unknown error %d", code);
    return std::string(text, length);
}

// --- Replacing a file safely ---------------------------------------------------------------------
//
// The new contents go to a temporary file beside the target (so the move cannot cross volumes),
// are flushed to the disk, and only then take the target's place with MoveFileExW, which
// replaces a file in one step. ReplaceFileW would also carry the target's security descriptor
// over, but when it cannot move the new file into place it may leave the target removed; here
// the target is either the old file or the new one.
//
// The work is done on UTF-16 names: the name given is converted from the system's code page as
// the ...A calls would, but the path that a link resolves to may hold characters that code page
// lacks, and converting it back could name a different file.

namespace {

using detail::WideName;

// The temporary files of the replacements in progress, for the console control handler, which
// runs on a thread of its own: each save links a record of its own into the list while it runs
// (its Name empty when there is no file). The lock covers creating a file, and closing it until
// it has taken the target's place or is gone, so the handler never removes a file that is not
// this process's or one that has become the target.
SRWLOCK PendingLock = SRWLOCK_INIT;

class TPendingLock {
public:
    TPendingLock() { ::AcquireSRWLockExclusive(&PendingLock); }
    ~TPendingLock() { ::ReleaseSRWLockExclusive(&PendingLock); }
    TPendingLock(const TPendingLock&) = delete;
    TPendingLock& operator=(const TPendingLock&) = delete;
};

class TPendingFile;
TPendingFile* PendingFiles = nullptr;

class TPendingFile {
public:
    std::wstring Name;  // guarded by the lock

    TPendingFile() {
        TPendingLock lock;
        FNext = PendingFiles;
        PendingFiles = this;
    }
    ~TPendingFile() {
        TPendingLock lock;
        TPendingFile** link = &PendingFiles;
        while (*link != this) link = &(*link)->FNext;
        *link = FNext;
    }
    TPendingFile(const TPendingFile&) = delete;
    TPendingFile& operator=(const TPendingFile&) = delete;

    // Deletes the file, if any, and names none; with the lock held.
    void Remove() {
        if (Name.empty()) return;
        ::DeleteFileW(Name.c_str());
        Name.clear();
    }
    // Every file's, with the lock held.
    static void RemoveAll() {
        for (TPendingFile* file = PendingFiles; file != nullptr; file = file->FNext) file->Remove();
    }

private:
    TPendingFile* FNext = nullptr;
};

// Called for Ctrl+C, Ctrl+Break and the console window closing, after every handler registered
// later. A temporary file is open in its saving thread, shared for deletion only: it goes when
// that handle closes, at the latest when the process ends. FALSE lets the next handler (in the
// end the system's, which ends the process) run as it would have.
BOOL WINAPI RemovePendingFiles(DWORD) {
    TPendingLock lock;
    TPendingFile::RemoveAll();
    return FALSE;
}

// Attributes that SetFileAttributesW can give the new file; FILE_ATTRIBUTE_READONLY never gets
// that far.
constexpr DWORD KeptAttributes = FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                 FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;

[[noreturn]] void RaiseCannotCreate(const std::string& name) {
    Raise<EFCreateError>(Format(msg::FCreateError, name.c_str()));
}

// The full path of an open file, links resolved ("\\?\" form); empty when unknown.
std::wstring FinalPathOf(HANDLE file) {
    std::wstring path(32768, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(file, path.data(), static_cast<DWORD>(path.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    path.resize(length < path.size() ? length : 0);
    return path;
}

// Creates "<name>.~XXXXXX.tmp" in `directory`, new (CREATE_NEW), trying other numbers while the
// name is taken, and records it in `pending` for the console control handler. The name is cut to 200 UTF-16
// units (never between the two of a surrogate pair) so that the whole stays a valid file name.
HANDLE CreateTemporaryFile(const std::wstring& directory, std::wstring base, const std::string& target,
                           TPendingFile& pending) {
    if (base.size() > 200) base.resize(base[199] >= 0xD800 && base[199] <= 0xDBFF ? 199 : 200);
    uint32_t number = (::GetTickCount() ^ (::GetCurrentProcessId() << 12)) * 2654435761u;
    for (int attempt = 0; attempt < 100; ++attempt, number += 0x9E3779B9u) {
        std::wstring tempName = directory + base + L".~";
        for (int shift = 28; shift >= 8; shift -= 4) tempName += L"0123456789ABCDEF"[(number >> shift) & 0xF];
        tempName += L".tmp";
        TPendingLock lock;
        pending.Name = tempName;
        const HANDLE file = ::CreateFileW(tempName.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        pending.Name.clear();
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    RaiseCannotCreate(target);
}

}  // namespace

void WriteFileSafely(const std::string& name, const std::function<void(TFileHandle)>& write) {
    if (name.empty() || !IsUsableName(name)) RaiseCannotCreate(name);

    // Opening the target for writing tells what it is: missing, refused (read-only, a directory,
    // in use), a disk file, or a device or pipe. Those last cannot be replaced and are written
    // through this handle (a pipe instance, once taken, is this one).
    std::wstring target = WideName(name);
    const HANDLE existing = ::CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool keepAttributes = false;
    DWORD attributes = 0;
    if (existing == INVALID_HANDLE_VALUE) {
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) RaiseCannotCreate(name);
    } else if (::GetFileType(existing) != FILE_TYPE_DISK) {
        try {
            write(existing);
        } catch (...) {
            ::CloseHandle(existing);
            throw;
        }
        ::CloseHandle(existing);
        return;
    } else {
        BY_HANDLE_FILE_INFORMATION info;
        const bool known = ::GetFileInformationByHandle(existing, &info);
        // A link is followed: the file it leads to is replaced, the link stays. (Wine shows a
        // Unix symbolic link as a plain file, but resolves it here too.) Where the system cannot
        // tell the final path of a plain file, its name serves.
        const std::wstring finalPath = FinalPathOf(existing);
        const bool isLink = known && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (!finalPath.empty()) target = finalPath;
        ::CloseHandle(existing);
        // The attribute is checked as well as the open: as an administrator (and under Wine as
        // root) a read-only file may open for writing, but it is refused for every user.
        if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 || (isLink && finalPath.empty()))
            RaiseCannotCreate(name);
        keepAttributes = true;
        attributes = info.dwFileAttributes & KeptAttributes;
    }

    // The directory part with its final separator ('\', '/' or a drive's ':'), empty for a bare name.
    const std::size_t split = target.find_last_of(L"\\/:") + 1;  // 0 when there is none
    const std::wstring directory = target.substr(0, split);
    if (split == target.size()) RaiseCannotCreate(name);  // "dir\" names no file

    TPendingFile pending;
    HANDLE temp = CreateTemporaryFile(directory, target.substr(split), name, pending);
    try {
        write(temp);
        if (!::FlushFileBuffers(temp)) Raise<EWriteError>(msg::WriteError);
        TPendingLock lock;
        const HANDLE closing = temp;
        temp = INVALID_HANDLE_VALUE;
        if (!::CloseHandle(closing)) Raise<EWriteError>(msg::WriteError);
        if (pending.Name.empty()) RaiseCannotCreate(name);  // an interrupt removed it
        if (keepAttributes) ::SetFileAttributesW(pending.Name.c_str(), attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
        if (!::MoveFileExW(pending.Name.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            RaiseCannotCreate(name);
        pending.Name.clear();
    } catch (...) {
        TPendingLock lock;
        if (temp != INVALID_HANDLE_VALUE) ::CloseHandle(temp);
        pending.Remove();
        throw;
    }
}

namespace detail {

namespace {

// Flags 0 and no default character: the only ones that UTF-8 accepts. Bytes that are not
// characters of the code page become U+FFFD, as in the ...A calls.
UINT FileNameCodePage() { return ::AreFileApisANSI() ? CP_ACP : CP_OEMCP; }

}  // namespace

std::wstring WideName(const std::string& name) {
    const UINT codePage = FileNameCodePage();
    const int length = ::MultiByteToWideChar(codePage, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(codePage, 0, name.data(), static_cast<int>(name.size()), wide.data(), length);
    return wide;
}

std::string NarrowName(const wchar_t* name, std::size_t length) {
    const UINT codePage = FileNameCodePage();
    const int count = static_cast<int>(length);
    const int bytes = ::WideCharToMultiByte(codePage, 0, name, count, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(codePage, 0, name, count, narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}

void InstallInterruptCleanup() { ::SetConsoleCtrlHandler(RemovePendingFiles, TRUE); }

void RemovePendingFilesAtExit() noexcept {
    if (!::TryAcquireSRWLockExclusive(&PendingLock)) return;
    TPendingFile::RemoveAll();
    ::ReleaseSRWLockExclusive(&PendingLock);
}

}  // namespace detail

}  // namespace vdib::os
