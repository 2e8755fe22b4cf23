// Logical palettes where the system has none: a palette handle is the address of a record that
// CreatePalette allocates and DeleteObject frees (no table; see Platform.h). A null handle is
// refused.
#include <VDIBitmap/Platform.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>

struct vdib::TPaletteKind {
    std::uint16_t Count;
    vdib::PALETTEENTRY Entries[256];
};

namespace vdib {

namespace {

std::atomic<std::size_t> LivePalettes{0};

}  // namespace

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
