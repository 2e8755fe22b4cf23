// A small platform layer in place of the operating-system services that the graphic library
// was designed against: the DIB records, anonymous memory mappings for pixel blocks and logical
// palettes.
// Handles are opaque non-zero values; 0 means none or failure. A failing call sets errno.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vdib {

using HANDLE = std::uintptr_t;
using HPALETTE = std::uintptr_t;
using HGLOBAL = std::uintptr_t;
using HDC = std::uintptr_t;

// --- Device-independent bitmap records -----------------------------------------------------

inline constexpr std::uint32_t BI_RGB = 0;
inline constexpr std::uint32_t BI_RLE8 = 1;
inline constexpr std::uint32_t BI_RLE4 = 2;
inline constexpr std::uint32_t BI_BITFIELDS = 3;

// In memory with the same layout as in a BMP file (little-endian host).
struct BITMAPINFOHEADER {
    std::uint32_t biSize;
    std::int32_t biWidth;
    std::int32_t biHeight;
    std::uint16_t biPlanes;
    std::uint16_t biBitCount;
    std::uint32_t biCompression;
    std::uint32_t biSizeImage;
    std::int32_t biXPelsPerMeter;
    std::int32_t biYPelsPerMeter;
    std::uint32_t biClrUsed;
    std::uint32_t biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct RGBQUAD {
    std::uint8_t rgbBlue;
    std::uint8_t rgbGreen;
    std::uint8_t rgbRed;
    std::uint8_t rgbReserved;
};
static_assert(sizeof(RGBQUAD) == 4);

// The header followed by up to 256 colours (or the three masks of a bit-field image).
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[256];
};

// --- Anonymous memory mappings ---------------------------------------------------------------

// A zero-filled, read/write mapping of `size` bytes, not yet mapped into view. 0 when size is 0
// or the mapping cannot be made.
HANDLE CreateFileMapping(std::size_t size);
// Maps the whole mapping; the view reads as zero bytes until written. Null on failure.
void* MapViewOfFile(HANDLE mapping);
bool UnmapViewOfFile(void* view);
// Asks for huge pages over a view that is about to be filled from start to end, which then takes
// a few hundred page faults instead of one per 4 KiB. Only advice. Not for blocks that untrusted
// data may touch here and there: each touch would then cost 2 MiB of memory instead of 4 KiB.
void AdviseLargePages(void* view, std::size_t size);
bool CloseHandle(HANDLE mapping);

// --- Logical palettes ------------------------------------------------------------------------

struct PALETTEENTRY {
    std::uint8_t peRed;
    std::uint8_t peGreen;
    std::uint8_t peBlue;
    std::uint8_t peFlags;
};

// Version 0x300 and up to 256 entries.
struct LOGPALETTE {
    std::uint16_t palVersion;
    std::uint16_t palNumEntries;
    PALETTEENTRY palPalEntry[256];
};

// 0 when the record is malformed (version not 0x300, 0 or more than 256 entries) or out of
// memory.
HPALETTE CreatePalette(const LOGPALETTE& logPalette);
// Copies up to `count` entries from `start`; returns how many were copied, 0 on failure
// (unknown handle, start past the end).
unsigned GetPaletteEntries(HPALETTE palette, unsigned start, unsigned count, PALETTEENTRY* entries);
// For a palette: writes its entry count as a 16-bit value into `buffer` and returns 2;
// 0 for an unknown handle or a buffer smaller than 2 bytes.
int GetObjectA(HPALETTE palette, int bufferSize, void* buffer);
bool DeleteObject(HPALETTE palette);

// Number of palettes alive (for leak checks in tests).
std::size_t LivePaletteCount();

}  // namespace vdib
