// TEST-ONLY STAND-IN, TO BE DELETED when the platform layer's logical palettes land in
// runtime/Platform.cpp: that file defines these same functions, and the test program will not
// link until this one is gone.
//
// Just enough of the palette calls declared in Platform.h for the device-context tests: a
// table of palettes with their entries.
#include <cerrno>
#include <map>
#include <vector>

#include "Platform.h"

namespace vdib {

namespace {
std::map<HPALETTE, std::vector<PALETTEENTRY>>& Palettes() {
    static std::map<HPALETTE, std::vector<PALETTEENTRY>> palettes;
    return palettes;
}
HPALETTE NextPalette = 0x7A000004;
}  // namespace

HPALETTE CreatePalette(const LOGPALETTE& logPalette) {
    if (logPalette.palVersion != 0x300 || logPalette.palNumEntries == 0 || logPalette.palNumEntries > 256) {
        errno = EINVAL;
        return 0;
    }
    const HPALETTE palette = NextPalette;
    NextPalette += 4;
    Palettes()[palette].assign(logPalette.palPalEntry, logPalette.palPalEntry + logPalette.palNumEntries);
    return palette;
}

unsigned GetPaletteEntries(HPALETTE palette, unsigned start, unsigned count, PALETTEENTRY* entries) {
    auto it = Palettes().find(palette);
    if (it == Palettes().end() || start >= it->second.size()) {
        errno = EINVAL;
        return 0;
    }
    const auto available = static_cast<unsigned>(it->second.size()) - start;
    const unsigned copied = count < available ? count : available;
    for (unsigned i = 0; i < copied; ++i) entries[i] = it->second[start + i];
    return copied;
}

int GetObjectA(HPALETTE palette, int bufferSize, void* buffer) {
    auto it = Palettes().find(palette);
    if (it == Palettes().end() || bufferSize < 2) {
        errno = EINVAL;
        return 0;
    }
    const auto count = static_cast<std::uint16_t>(it->second.size());
    *static_cast<std::uint8_t*>(buffer) = static_cast<std::uint8_t>(count & 0xFF);
    static_cast<std::uint8_t*>(buffer)[1] = static_cast<std::uint8_t>(count >> 8);
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
