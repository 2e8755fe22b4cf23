// A clipboard of this process, standing in for the system's where there is none to share: what
// one part of a program puts there, another takes back, with the system clipboard's ownership
// rules. It is open to one user at a time, as the system's is; its state is guarded, so threads
// may use it.
#include <VDIBitmap/Clipboard.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace vdib {

namespace {

struct TClipboard {
    std::mutex Lock;
    bool IsOpen = false;
    std::map<unsigned, HGLOBAL> Blocks;  // format -> the clipboard's own block
};

// Made on first use and never destroyed, so that nothing a program does while its statics go
// finds it gone; the blocks it holds at exit stay reachable through it.
TClipboard& Clipboard() {
    static TClipboard* const clipboard = new TClipboard;
    return *clipboard;
}

bool Refuse(int error) {
    errno = error;
    return false;
}

// Opens or closes the clipboard; refused with `error` when it already is so.
bool ChangeOpen(bool open, int error) {
    TClipboard& clipboard = Clipboard();
    const std::lock_guard<std::mutex> lock(clipboard.Lock);
    if (clipboard.IsOpen == open) return Refuse(error);
    clipboard.IsOpen = open;
    return true;
}

}  // namespace

bool OpenClipboard(HWND) { return ChangeOpen(true, EBUSY); }

bool CloseClipboard() { return ChangeOpen(false, EINVAL); }

bool EmptyClipboard() {
    TClipboard& clipboard = Clipboard();
    const std::lock_guard<std::mutex> lock(clipboard.Lock);
    if (!clipboard.IsOpen) return Refuse(EINVAL);
    for (const auto& entry : clipboard.Blocks) GlobalFree(entry.second);
    clipboard.Blocks.clear();
    return true;
}

HGLOBAL SetClipboardData(unsigned format, HGLOBAL data) {
    TClipboard& clipboard = Clipboard();
    const std::lock_guard<std::mutex> lock(clipboard.Lock);
    if (!clipboard.IsOpen || GlobalFlags(data) == GMEM_INVALID_HANDLE) {
        errno = EINVAL;
        return 0;
    }
    HGLOBAL& held = clipboard.Blocks[format];
    if (held != 0 && held != data) GlobalFree(held);
    held = data;
    return data;
}

HGLOBAL GetClipboardData(unsigned format) {
    TClipboard& clipboard = Clipboard();
    const std::lock_guard<std::mutex> lock(clipboard.Lock);
    const auto found = clipboard.Blocks.find(format);
    if (!clipboard.IsOpen || found == clipboard.Blocks.end()) {
        errno = EINVAL;
        return 0;
    }
    return found->second;
}

bool IsClipboardFormatAvailable(unsigned format) {
    TClipboard& clipboard = Clipboard();
    const std::lock_guard<std::mutex> lock(clipboard.Lock);
    return clipboard.Blocks.count(format) != 0;
}

}  // namespace vdib
