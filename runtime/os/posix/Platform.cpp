// The platform layer: anonymous mappings for pixel blocks and logical palettes, kept in tables
// so that every handle can be checked. Handles come from one counter and are never reused, so a
// stale handle is recognised as unknown instead of reaching another object.
//
// The program is single-threaded; the tables are not locked.
#include <VDIBitmap/Platform.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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

// mapping handle -> size in bytes
std::map<HANDLE, std::size_t>& Mappings() {
    static std::map<HANDLE, std::size_t> table;
    return table;
}

// view address -> mapped length, for munmap
std::map<void*, std::size_t>& Views() {
    static std::map<void*, std::size_t> table;
    return table;
}

// A view ends where its block ends, but the kernel maps whole pages, so a write just past the
// block lands in the rest of its last page unnoticed. Under AddressSanitizer that rest is marked
// unaddressable while the view lives, so such a write is reported like a heap overflow.
void GuardViewTail([[maybe_unused]] void* view, [[maybe_unused]] std::size_t size, [[maybe_unused]] bool guard) {
#ifdef VDIB_ADDRESS_SANITIZER
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t tail = (page - size % page) % page;
    if (guard) {
        ASAN_POISON_MEMORY_REGION(static_cast<char*>(view) + size, tail);
    } else {
        ASAN_UNPOISON_MEMORY_REGION(static_cast<char*>(view) + size, tail);
    }
#endif
}

std::map<HPALETTE, std::vector<PALETTEENTRY>>& Palettes() {
    static std::map<HPALETTE, std::vector<PALETTEENTRY>> table;
    return table;
}

}  // namespace

HANDLE CreateBlockMapping(std::size_t size) {
    if (size == 0) {
        errno = EINVAL;
        return 0;
    }
    try {
        const HANDLE handle = HandleFromValue<HANDLE>(NextHandle());
        Mappings().emplace(handle, size);
        return handle;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return 0;
    }
}

// Each view is fresh anonymous memory: the kernel hands it out zero-filled, so nobody needs to
// clear it. Pages are reserved only when touched (MAP_NORESERVE), as a page-file-backed mapping
// would be. Two views of one mapping do not share their bytes; this program maps each block once.
void* MapBlockView(HANDLE mapping) {
    const auto found = Mappings().find(mapping);
    if (found == Mappings().end()) {
        errno = EINVAL;
        return nullptr;
    }
    const std::size_t size = found->second;
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (view == MAP_FAILED) return nullptr;
    try {
        Views().emplace(view, size);
    } catch (const std::bad_alloc&) {
        ::munmap(view, size);
        errno = ENOMEM;
        return nullptr;
    }
    GuardViewTail(view, size, true);
    return view;
}

bool UnmapBlockView(void* view) {
    const auto found = Views().find(view);
    if (found == Views().end()) {
        errno = EINVAL;
        return false;
    }
    GuardViewTail(found->first, found->second, false);
    ::munmap(found->first, found->second);
    Views().erase(found);
    return true;
}

void AdviseLargePages(void* view, std::size_t size) {
    if (size >= HugePageSize) ::madvise(view, size, MADV_HUGEPAGE);
}

bool CloseBlockMapping(HANDLE mapping) {
    if (Mappings().erase(mapping) == 0) {
        errno = EBADF;
        return false;
    }
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
