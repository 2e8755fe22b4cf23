// Files, as the file streams and SaveFile reach them. Not part of the library's interface.
//
// A handle is the platform's own (a descriptor, a HANDLE); NoFile is none. Names are byte strings
// in the system's code page, passed to the platform as they stand. A call that fails leaves the
// platform's error code for LastError().
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <VDIBitmap/FileHandle.h>

namespace vdib::os {

// No file: what a failed open returns.
extern const TFileHandle NoFile;

enum class TFileAccess { Read, Write, ReadWrite };
// What others may do with the file while it is open.
enum class TFileShare { None, Read, Write, ReadWrite };

// Opens an existing file that is not a directory; NoFile on failure. Where the platform has no
// share modes, the sharing is not enforced.
TFileHandle OpenFile(const std::string& name, TFileAccess access, TFileShare share);
// Creates a file, or truncates an existing one, for reading and writing, shared with nobody;
// NoFile on failure (a directory included).
TFileHandle CreateNewFile(const std::string& name);
void CloseFile(TFileHandle file) noexcept;

// Reads at most `room` bytes, going on until at least `wanted` arrived, the end of the file or an
// error (which, like the end, just stops the count). Returns the bytes read. A regular file fills
// `room` in one call; a pipe is not waited on for more than `wanted`.
int64_t ReadFile(TFileHandle file, void* to, int64_t wanted, int64_t room) noexcept;
// Writes until all `count` bytes went out or the file refuses more; returns the bytes written.
int64_t WriteFile(TFileHandle file, const void* from, int64_t count) noexcept;

// True for a file with positions (a regular file or a disk); false for pipes, FIFOs, sockets and
// character devices (consoles, the null device), which only take bytes in order.
bool IsDiskFile(TFileHandle file) noexcept;
// Moves to `offset` from the beginning (0), the current position (1) or the end (2); returns the
// new position, or -1 (a file without positions, a position before 0, another origin).
int64_t SeekFile(TFileHandle file, int64_t offset, int origin) noexcept;
// The size of the file, without moving its position; -1 for a file without positions.
int64_t FileSize(TFileHandle file) noexcept;
// Cuts or extends the file at `size`; the position is left there. False on failure.
bool ResizeFile(TFileHandle file, int64_t size) noexcept;
// Asks the system to start writing what was written so far out to the disk; only a hint, nothing
// waits for it.
void StartWriteOut(TFileHandle file) noexcept;

// The platform's error code of the last failed call, and its text for reports.
int LastError() noexcept;
std::string ErrorText(int code);

// Writes the file `name` safely. `write` is given a handle to write the whole new contents into
// (at position 0; it must have written everything out before it returns).
//
// A regular file, existing or not, is replaced in one step: `write` fills a temporary file in the
// target's own directory, which is made durable and only then takes the target's place, keeping
// its permissions (and owner, where allowed). Until then the target is untouched; when `write`
// raises, or anything after it fails, the temporary file goes and the target stays as it was. An
// interrupt (Ctrl+C, SIGINT, SIGTERM, SIGHUP, SIGQUIT) while the temporary file exists removes it
// before the process ends as the interrupt would have ended it.
//
// A symbolic link is followed and the file it names is replaced. An existing target that is not a
// regular file (a device, a pipe, a FIFO) is opened for writing only and written directly. A
// read-only target (no write permission for anybody, or one the caller may not open for writing)
// is refused for every user, root included.
//
// Raises EFCreateError "ファイル %s を作成できません" with the name as passed when the target
// cannot be created or replaced, EWriteError when the written data cannot be made durable;
// whatever `write` raises passes on.
void WriteFileSafely(const std::string& name, const std::function<void(TFileHandle)>& write);

}  // namespace vdib::os
