// Anonymous mappings backed by the page file, and GDI's logical palettes.
#include <VDIBitmap/Platform.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "Internal.h"

namespace vdib {

// A page-file-backed section reads as zero bytes until written.
HANDLE CreateBlockMapping(std::size_t size) {
    if (size == 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto bytes = static_cast<std::uint64_t>(size);
    return ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(bytes >> 32),
                                static_cast<DWORD>(bytes), nullptr);
}

void* MapBlockView(HANDLE mapping) {
    if (mapping == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
}

bool UnmapBlockView(HANDLE, void* view) { return view != nullptr && ::UnmapViewOfFile(view); }

bool CloseBlockMapping(HANDLE mapping) { return mapping != nullptr && ::CloseHandle(mapping); }

// Large pages here need a privilege that ordinary users lack, and must be asked for when the
// mapping is created.
void AdviseLargePages(void*, std::size_t) {}

// The library's record has the system's layout, with room for every entry.
static_assert(offsetof(LOGPALETTE, palPalEntry) == offsetof(::LOGPALETTE, palPalEntry));

namespace {
// Palettes made here and not yet deleted; every palette of the library comes and goes through
// CreatePalette and DeleteObject below, from any thread.
std::atomic<std::size_t> LivePalettes{0};
}  // namespace

HPALETTE CreatePalette(const LOGPALETTE& logPalette) {
    if (logPalette.palVersion != 0x300 || logPalette.palNumEntries == 0 || logPalette.palNumEntries > 256) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const HPALETTE palette = ::CreatePalette(reinterpret_cast<const ::LOGPALETTE*>(&logPalette));
    if (palette != nullptr) LivePalettes.fetch_add(1, std::memory_order_relaxed);
    return palette;
}

// GDI answers for any object and fills as much of the buffer as it is given; only a palette's
// whole entry count is an answer here.
int GetObjectA(HPALETTE palette, int bufferSize, void* buffer) {
    if (buffer == nullptr || bufferSize < 2 || ::GetObjectType(palette) != OBJ_PAL) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return ::GetObjectA(palette, 2, buffer);
}

bool DeleteObject(HPALETTE palette) {
    if (::GetObjectType(palette) != OBJ_PAL || ::DeleteObject(palette) == 0) return false;
    LivePalettes.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

std::size_t LivePaletteCount() { return LivePalettes.load(std::memory_order_relaxed); }

}  // namespace vdib
