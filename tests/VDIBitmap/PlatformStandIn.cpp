// TEST-ONLY STAND-IN — DELETE WHEN THE REAL PLATFORM LAYER (runtime/Platform.cpp) AND GRAPHIC
// FRAMEWORK (runtime/Graphics.cpp) LAND.
//
// The few platform and framework functions that the image store uses, so that the library's
// tests link before those modules exist: anonymous mappings over mmap, palettes in a map, and
// TSharedImage's reference counting.
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "Graphics.h"
#include "Platform.h"
#include "SysUtils.h"

namespace vdib {

namespace {
std::uintptr_t NextHandle = 0x1000;
std::map<HANDLE, std::size_t>& Mappings() {
    static std::map<HANDLE, std::size_t> mappings;
    return mappings;
}
std::map<void*, std::size_t>& Views() {
    static std::map<void*, std::size_t> views;
    return views;
}
std::map<HPALETTE, std::vector<PALETTEENTRY>>& Palettes() {
    static std::map<HPALETTE, std::vector<PALETTEENTRY>> palettes;
    return palettes;
}
}  // namespace

HANDLE CreateFileMapping(std::size_t size) {
    if (size == 0) {
        errno = EINVAL;
        return 0;
    }
    const HANDLE handle = NextHandle++;
    Mappings()[handle] = size;
    return handle;
}

void* MapViewOfFile(HANDLE mapping) {
    const auto found = Mappings().find(mapping);
    if (found == Mappings().end()) {
        errno = EINVAL;
        return nullptr;
    }
    void* view = mmap(nullptr, found->second, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (view == MAP_FAILED) return nullptr;
    Views()[view] = found->second;
    return view;
}

bool UnmapViewOfFile(void* view) {
    const auto found = Views().find(view);
    if (found == Views().end()) return false;
    munmap(view, found->second);
    Views().erase(found);
    return true;
}

bool CloseHandle(HANDLE mapping) { return Mappings().erase(mapping) != 0; }

HPALETTE CreatePalette(const LOGPALETTE& logPalette) {
    if (logPalette.palVersion != 0x300 || logPalette.palNumEntries == 0 || logPalette.palNumEntries > 256) {
        errno = EINVAL;
        return 0;
    }
    const HPALETTE handle = NextHandle++;
    Palettes()[handle].assign(logPalette.palPalEntry, logPalette.palPalEntry + logPalette.palNumEntries);
    return handle;
}

unsigned GetPaletteEntries(HPALETTE palette, unsigned start, unsigned count, PALETTEENTRY* entries) {
    const auto found = Palettes().find(palette);
    if (found == Palettes().end() || start >= found->second.size()) {
        errno = EINVAL;
        return 0;
    }
    const unsigned n = std::min<unsigned>(count, static_cast<unsigned>(found->second.size()) - start);
    std::memcpy(entries, found->second.data() + start, n * sizeof(PALETTEENTRY));
    return n;
}

int GetObjectA(HPALETTE palette, int bufferSize, void* buffer) {
    const auto found = Palettes().find(palette);
    if (found == Palettes().end() || bufferSize < 2) return 0;
    const uint16_t count = static_cast<uint16_t>(found->second.size());
    std::memcpy(buffer, &count, 2);
    return 2;
}

bool DeleteObject(HPALETTE palette) { return Palettes().erase(palette) != 0; }

std::size_t LivePaletteCount() { return Palettes().size(); }

void TSharedImage::DropHolder(TSharedImage* image) {
    if (image == nullptr) return;
    if (--image->HolderCount <= 0) {
        image->ReleaseHandles();
        delete image;
    }
}

void TSharedImage::ReleaseHandles() { Raise<EAbstractError>(msg::AbstractError); }

}  // namespace vdib
