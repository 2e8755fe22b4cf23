// The platform layer: anonymous mappings for pixel blocks and logical palettes.
//
// A handle is the address of a record that the call which made it allocated and the call which
// closes it frees, as the system's own handles are opaque to their users: there is no table to
// look them up in, to lock, or to outlive at exit. A null handle is refused; a handle used after
// it was closed is the caller's error, as a pointer used after it was freed.
#include <VDIBitmap/Platform.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

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

// The records behind the handle kinds (incomplete types in Platform.h).
struct vdib::THandleKind {
    std::size_t Size;
};
struct vdib::TPaletteKind {
    std::uint16_t Count;
    vdib::PALETTEENTRY Entries[256];
};

namespace vdib {

namespace {

constexpr std::size_t HugePageSize = 2 * 1024 * 1024;

std::atomic<std::size_t> LivePalettes{0};

// A view ends where its block ends, but the kernel maps whole pages, so a write just past the
// block lands in the rest of its last page unnoticed. Under AddressSanitizer that rest is marked
// unaddressable while the view lives, so such a write is reported like a heap overflow.
void GuardViewTail([[maybe_unused]] void* view, [[maybe_unused]] std::size_t size, [[maybe_unused]] bool guard) {
#ifdef VDIB_ADDRESS_SANITIZER
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const auto end = reinterpret_cast<std::uintptr_t>(view) + size;
    const std::size_t tail = (page - end % page) % page;
    if (guard) {
        ASAN_POISON_MEMORY_REGION(reinterpret_cast<void*>(end), tail);
    } else {
        ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(end), tail);
    }
#endif
}

}  // namespace

HANDLE CreateBlockMapping(std::size_t size) {
    if (size == 0) {
        errno = EINVAL;
        return 0;
    }
    const HANDLE mapping = new (std::nothrow) THandleKind{size};
    if (mapping == 0) errno = ENOMEM;
    return mapping;
}

// Each view is fresh memory: the kernel hands it out zero-filled, so nobody needs to clear it.
// Pages are reserved only when touched (MAP_NORESERVE), as a page-file-backed mapping would be.
// Two views of one mapping do not share their bytes; the library maps each block once.
void* MapBlockView(HANDLE mapping) {
    if (mapping == 0) {
        errno = EINVAL;
        return nullptr;
    }
    void* view = ::mmap(nullptr, mapping->Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (view == MAP_FAILED) return nullptr;
    GuardViewTail(view, mapping->Size, true);
    return view;
}

bool UnmapBlockView(HANDLE mapping, void* view) {
    if (mapping == 0 || view == nullptr) {
        errno = EINVAL;
        return false;
    }
    GuardViewTail(view, mapping->Size, false);
    return ::munmap(view, mapping->Size) == 0;
}

void AdviseLargePages(void* view, std::size_t size) {
    if (size >= HugePageSize) ::madvise(view, size, MADV_HUGEPAGE);
}

bool CloseBlockMapping(HANDLE mapping) {
    if (mapping == 0) {
        errno = EBADF;
        return false;
    }
    delete mapping;
    return true;
}

HPALETTE CreatePalette(const LOGPALETTE& logPalette) {
    if (logPalette.palVersion != 0x300 || logPalette.palNumEntries == 0 || logPalette.palNumEntries > 256) {
        errno = EINVAL;
        return 0;
    }
    const HPALETTE palette = new (std::nothrow) TPaletteKind;
    if (palette == 0) {
        errno = ENOMEM;
        return 0;
    }
    palette->Count = logPalette.palNumEntries;
    std::memcpy(palette->Entries, logPalette.palPalEntry, palette->Count * sizeof(PALETTEENTRY));
    LivePalettes.fetch_add(1, std::memory_order_relaxed);
    return palette;
}

// Null `entries` asks for the palette's entry count, as the system call it stands in for does.
unsigned GetPaletteEntries(HPALETTE palette, unsigned start, unsigned count, PALETTEENTRY* entries) {
    if (palette == 0) {
        errno = EINVAL;
        return 0;
    }
    if (entries == nullptr) return palette->Count;
    if (start >= palette->Count) {
        errno = EINVAL;
        return 0;
    }
    const unsigned n = std::min(count, palette->Count - start);
    std::memcpy(entries, palette->Entries + start, n * sizeof(PALETTEENTRY));
    return n;
}

int GetObjectA(HPALETTE palette, int bufferSize, void* buffer) {
    if (palette == 0 || buffer == nullptr || bufferSize < 2) {
        errno = EINVAL;
        return 0;
    }
    std::memcpy(buffer, &palette->Count, sizeof palette->Count);
    return 2;
}

bool DeleteObject(HPALETTE palette) {
    if (palette == 0) {
        errno = EINVAL;
        return false;
    }
    delete palette;
    LivePalettes.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

std::size_t LivePaletteCount() { return LivePalettes.load(std::memory_order_relaxed); }

}  // namespace vdib
