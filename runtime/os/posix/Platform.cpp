// The platform layer: anonymous and file mappings for pixel blocks and logical palettes, kept in
// tables so that every handle can be checked. Handles come from one counter and are never reused,
// so a stale handle is recognised as unknown instead of reaching another object.
//
// Pixel blocks and palettes are made and released by one thread; the tables are not locked. Only
// the guards of file views are read from other threads (by the bus-error handler).
#include <VDIBitmap/Platform.h>

#include "FileViews.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define VDIB_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VDIB_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef VDIB_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace vdib {

namespace {

constexpr std::size_t HugePageSize = 2 * 1024 * 1024;

std::uintptr_t NextHandle() {
    static std::uintptr_t last = 0x1000;
    return ++last;
}

std::size_t PageSize() {
    static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    return page;
}

// A mapping: anonymous, or a file's bytes from Offset on through a descriptor of its own.
struct TMapping {
    std::size_t Size;
    int File = -1;
    std::uint64_t Offset = 0;
};

std::map<HANDLE, TMapping>& Mappings() {
    static std::map<HANDLE, TMapping> table;
    return table;
}

// A view as mapped: Base and Length for munmap (a file view starts inside its first page); a
// file view also keeps a descriptor of its own, the file offset where it ends, its guard, and
// the file's modification time when it was made.
struct TView {
    void* Base;
    std::size_t Length;
    int File = -1;
    std::uint64_t End = 0;
    int Guard = -1;
    timespec Modified{};
};

std::map<void*, TView>& Views() {
    static std::map<void*, TView> table;
    return table;
}

std::map<HPALETTE, std::vector<PALETTEENTRY>>& Palettes() {
    static std::map<HPALETTE, std::vector<PALETTEENTRY>> table;
    return table;
}

bool SameTime(const timespec& a, const timespec& b) noexcept { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// A view ends where its block ends, but the kernel maps whole pages, so a write just past the
// block lands in the rest of its last page unnoticed. Under AddressSanitizer that rest is marked
// unaddressable while the view lives, so such a write is reported like a heap overflow.
void GuardViewTail([[maybe_unused]] void* view, [[maybe_unused]] std::size_t size, [[maybe_unused]] bool guard) {
#ifdef VDIB_ADDRESS_SANITIZER
    const auto end = reinterpret_cast<std::uintptr_t>(view) + size;
    const std::size_t tail = (PageSize() - end % PageSize()) % PageSize();
    if (guard) {
        ASAN_POISON_MEMORY_REGION(reinterpret_cast<void*>(end), tail);
    } else {
        ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(end), tail);
    }
#endif
}

// --- Files cut short under their views ----------------------------------------------------------
//
// A page of a file view that lies past the file's end once the file has been cut short cannot be
// read: the system raises SIGBUS in the thread that touches it. The bus-error handler finds the
// view among the guards, maps a zero page over the faulting page and lets the access run again,
// so the reader of the pixels sees zero bytes there; the guard remembers that the view lost
// bytes. One page at a time, as pages before it may have been written to and must stay, and
// consecutive zero pages merge into one mapping of the system. The guards are plain atomics,
// since the handler may run in any thread at any moment.

struct TGuard {
    std::atomic<std::uintptr_t> Start{0};  // 0: free
    std::atomic<std::uintptr_t> End{0};
    std::atomic<bool> Cut{false};
};

constexpr int MaxGuards = 64;
TGuard Guards[MaxGuards];
struct sigaction PreviousBusAction;

// What happens to a bus error that is no view's: what would have happened without this handler.
void OnBusError(int signal, siginfo_t* info, void* context) {
    // The faulting access may sit between a call and the reading of its errno.
    const int savedErrno = errno;
    if (os::RepairCutFileView(info->si_addr)) {
        errno = savedErrno;
        return;
    }
    const struct sigaction& previous = PreviousBusAction;
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
    } else if ((previous.sa_flags & SA_SIGINFO) == 0 && previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
        previous.sa_handler(signal);
    } else {
        // The access runs again and now meets the default action.
        ::signal(SIGBUS, SIG_DFL);
    }
}

// Installed with the first file view, in front of whatever handled bus errors before (the
// process frame's report, or the default). False when it cannot be.
bool InstallBusErrorHandler() {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_sigaction = OnBusError;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        return ::sigaction(SIGBUS, &action, &PreviousBusAction) == 0;
    }();
    return installed;
}

int TakeGuard(void* view, std::size_t size) {
    for (int i = 0; i < MaxGuards; ++i) {
        if (Guards[i].Start.load() != 0) continue;
        Guards[i].Cut.store(false);
        Guards[i].End.store(reinterpret_cast<std::uintptr_t>(view) + size);
        Guards[i].Start.store(reinterpret_cast<std::uintptr_t>(view));
        return i;
    }
    return -1;
}

void* MapFileView(const TMapping& mapping) {
    if (!InstallBusErrorHandler()) return nullptr;
    const std::uint64_t start = mapping.Offset / PageSize() * PageSize();
    const auto lead = static_cast<std::size_t>(mapping.Offset - start);
    const std::size_t length = lead + mapping.Size;
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_NORESERVE, mapping.File,
                        static_cast<off_t>(start));
    if (base == MAP_FAILED) return nullptr;
    void* view = static_cast<char*>(base) + lead;
    const int file = ::fcntl(mapping.File, F_DUPFD_CLOEXEC, 0);
    struct stat st;
    const int guard = file < 0 || ::fstat(file, &st) != 0 ? -1 : TakeGuard(view, mapping.Size);
    if (guard >= 0) {
        try {
            Views().emplace(view, TView{base, length, file, mapping.Offset + mapping.Size, guard, st.st_mtim});
            return view;
        } catch (const std::bad_alloc&) {
            Guards[guard].Start.store(0);
        }
    }
    if (file >= 0) ::close(file);
    ::munmap(base, length);
    errno = ENOMEM;
    return nullptr;
}

}  // namespace

namespace os {

bool RepairCutFileView(const void* address) noexcept {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    for (TGuard& guard : Guards) {
        const std::uintptr_t start = guard.Start.load();
        if (start == 0 || at < start || at >= guard.End.load()) continue;
        void* page = reinterpret_cast<void*>(at / PageSize() * PageSize());
        if (::mmap(page, PageSize(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
            return false;
        guard.Cut.store(true);
        return true;
    }
    return false;
}

}  // namespace os

HANDLE CreateBlockMapping(std::size_t size) {
    if (size == 0) {
        errno = EINVAL;
        return 0;
    }
    try {
        const HANDLE handle = HandleFromValue<HANDLE>(NextHandle());
        Mappings().emplace(handle, TMapping{size});
        return handle;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return 0;
    }
}

HANDLE CreateFileBlockMapping(TFileHandle file, std::uint64_t offset, std::size_t size) {
    struct stat st;
    if (size == 0 || ::fstat(file, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<std::uint64_t>(st.st_size) < offset || static_cast<std::uint64_t>(st.st_size) - offset < size) {
        errno = EINVAL;
        return 0;
    }
    const int own = ::fcntl(file, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return 0;
    try {
        const HANDLE handle = HandleFromValue<HANDLE>(NextHandle());
        Mappings().emplace(handle, TMapping{size, own, offset});
        return handle;
    } catch (const std::bad_alloc&) {
        ::close(own);
        errno = ENOMEM;
        return 0;
    }
}

// Each anonymous view is fresh memory: the kernel hands it out zero-filled, so nobody needs to
// clear it. Pages are reserved only when touched (MAP_NORESERVE), as a page-file-backed mapping
// would be. Two views of one mapping do not share their bytes; this program maps each block once.
void* MapBlockView(HANDLE mapping) {
    const auto found = Mappings().find(mapping);
    if (found == Mappings().end()) {
        errno = EINVAL;
        return nullptr;
    }
    const TMapping& block = found->second;
    void* view = nullptr;
    if (block.File >= 0) {
        view = MapFileView(block);
    } else {
        view = ::mmap(nullptr, block.Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (view == MAP_FAILED) return nullptr;
        try {
            Views().emplace(view, TView{view, block.Size});
        } catch (const std::bad_alloc&) {
            ::munmap(view, block.Size);
            errno = ENOMEM;
            return nullptr;
        }
    }
    if (view != nullptr) GuardViewTail(view, block.Size, true);
    return view;
}

bool UnmapBlockView(void* view) {
    const auto found = Views().find(view);
    if (found == Views().end()) {
        errno = EINVAL;
        return false;
    }
    const TView& mapped = found->second;
    GuardViewTail(view, mapped.Length - static_cast<std::size_t>(static_cast<char*>(view) - static_cast<char*>(mapped.Base)), false);
    if (mapped.Guard >= 0) Guards[mapped.Guard].Start.store(0);
    if (mapped.File >= 0) ::close(mapped.File);
    ::munmap(mapped.Base, mapped.Length);
    Views().erase(found);
    return true;
}

bool BlockViewIntact(const void* view) {
    const auto found = Views().find(const_cast<void*>(view));
    if (found == Views().end() || found->second.File < 0) return true;
    const TView& mapped = found->second;
    // Pages not read yet follow the file: one written over since the view was made may have
    // changed under it.
    struct stat st;
    return !Guards[mapped.Guard].Cut.load() && ::fstat(mapped.File, &st) == 0 && st.st_size >= 0 &&
           static_cast<std::uint64_t>(st.st_size) >= mapped.End && SameTime(st.st_mtim, mapped.Modified);
}

void AdviseLargePages(void* view, std::size_t size) {
    if (size >= HugePageSize) ::madvise(view, size, MADV_HUGEPAGE);
}

bool CloseBlockMapping(HANDLE mapping) {
    const auto found = Mappings().find(mapping);
    if (found == Mappings().end()) {
        errno = EBADF;
        return false;
    }
    if (found->second.File >= 0) ::close(found->second.File);
    Mappings().erase(found);
    return true;
}

HPALETTE CreatePalette(const LOGPALETTE& logPalette) {
    if (logPalette.palVersion != 0x300 || logPalette.palNumEntries == 0 || logPalette.palNumEntries > 256) {
        errno = EINVAL;
        return 0;
    }
    try {
        const HPALETTE handle = HandleFromValue<HPALETTE>(NextHandle());
        Palettes().emplace(handle, std::vector<PALETTEENTRY>(logPalette.palPalEntry,
                                                             logPalette.palPalEntry + logPalette.palNumEntries));
        return handle;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return 0;
    }
}

// Null `entries` asks for the palette's entry count, as the system call it stands in for does.
unsigned GetPaletteEntries(HPALETTE palette, unsigned start, unsigned count, PALETTEENTRY* entries) {
    const auto found = Palettes().find(palette);
    if (found == Palettes().end()) {
        errno = EINVAL;
        return 0;
    }
    const std::vector<PALETTEENTRY>& table = found->second;
    if (entries == nullptr) return static_cast<unsigned>(table.size());
    if (start >= table.size()) {
        errno = EINVAL;
        return 0;
    }
    const std::size_t n = std::min<std::size_t>(count, table.size() - start);
    std::memcpy(entries, table.data() + start, n * sizeof(PALETTEENTRY));
    return static_cast<unsigned>(n);
}

int GetObjectA(HPALETTE palette, int bufferSize, void* buffer) {
    const auto found = Palettes().find(palette);
    if (found == Palettes().end() || buffer == nullptr || bufferSize < 2) {
        errno = EINVAL;
        return 0;
    }
    const auto count = static_cast<std::uint16_t>(found->second.size());
    std::memcpy(buffer, &count, sizeof count);
    return 2;
}

bool DeleteObject(HPALETTE palette) {
    if (Palettes().erase(palette) == 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

std::size_t LivePaletteCount() { return Palettes().size(); }

}  // namespace vdib
