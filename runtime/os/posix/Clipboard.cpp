// A clipboard of this process, standing in for the system's where there is none to share: what
// one part of a program puts there, another takes back, with the system clipboard's ownership
// rules. One thread only; there is no lock.
#include <VDIBitmap/Clipboard.h>

#include <cerrno>
#include <map>

namespace vdib {

namespace {

// Its blocks are not freed when the process ends: the global memory's own table, which may be
// gone before this one, releases every block then.
struct TClipboard {
    bool IsOpen = false;
    std::map<unsigned, HGLOBAL> Blocks;  // format -> the clipboard's own block
};

TClipboard& Clipboard() {
    static TClipboard clipboard;
    return clipboard;
}

bool Refuse(int error) {
    errno = error;
    return false;
}

}  // namespace

bool OpenClipboard(HWND) {
    TClipboard& clipboard = Clipboard();
    if (clipboard.IsOpen) return Refuse(EBUSY);
    clipboard.IsOpen = true;
    return true;
}

bool CloseClipboard() {
    TClipboard& clipboard = Clipboard();
    if (!clipboard.IsOpen) return Refuse(EINVAL);
    clipboard.IsOpen = false;
    return true;
}

bool EmptyClipboard() {
    TClipboard& clipboard = Clipboard();
    if (!clipboard.IsOpen) return Refuse(EINVAL);
    for (const auto& entry : clipboard.Blocks) GlobalFree(entry.second);
    clipboard.Blocks.clear();
    return true;
}

HGLOBAL SetClipboardData(unsigned format, HGLOBAL data) {
    TClipboard& clipboard = Clipboard();
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
    const auto found = clipboard.Blocks.find(format);
    if (!clipboard.IsOpen || found == clipboard.Blocks.end()) {
        errno = EINVAL;
        return 0;
    }
    return found->second;
}

bool IsClipboardFormatAvailable(unsigned format) { return Clipboard().Blocks.count(format) != 0; }

}  // namespace vdib
