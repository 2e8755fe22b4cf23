// A small platform layer in place of the operating-system services that the graphic library
// was designed against: the DIB records, anonymous memory mappings for pixel blocks and logical
// palettes.
// Handles are opaque non-null values; 0 (null) means none or failure. A failing call sets errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

namespace vdib {

// Each kind of handle is a type of its own, a pointer to an incomplete record that is never
// dereferenced (as with the Windows API's STRICT handles), so that a handle of one kind passed
// where another is expected does not compile. The tables behind them count handles out as
// integers and convert them at the edge (HandleFromValue, HandleValue).
struct THandleKind;
struct TPaletteKind;
struct TGlobalBlockKind;
struct TDeviceContextKind;
using HANDLE = THandleKind*;
using HPALETTE = TPaletteKind*;
using HGLOBAL = TGlobalBlockKind*;
using HDC = TDeviceContextKind*;

template <class THandle>
THandle HandleFromValue(std::uintptr_t value) noexcept {
    return reinterpret_cast<THandle>(value);
}
template <class THandle>
std::uintptr_t HandleValue(THandle handle) noexcept {
    return reinterpret_cast<std::uintptr_t>(handle);
}

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
static_assert(offsetof(BITMAPINFO, bmiColors) == sizeof(BITMAPINFOHEADER));

// The pixel block of a DIB: Rows stored rows of RowBytes bytes each, ImageBytes in all.
struct TDIBGeometry {
    std::int32_t RowBytes;
    std::int32_t Rows;
    std::uint32_t ImageBytes;
};

// The pixel block of `width` pixels by |height| rows (a negative height stores the top row
// first) at `bitCount` bits per pixel: each row ((bitCount × width + 31) div 32) × 4 bytes,
// padded to a multiple of 4. Worked out in 64 bits, and empty when the bit count or the width is
// negative, or when the bits of a row (with the 31 of the rounding), the row count or the whole
// block does not fit a 32-bit signed value: the header fields, the stream positions and the
// arithmetic of every consumer of the block are 32-bit, and a size that wrapped there would
// describe a block smaller than the rows that are walked.
constexpr std::optional<TDIBGeometry> DIBGeometry(std::int32_t bitCount, std::int32_t width,
                                                  std::int32_t height) noexcept {
    constexpr std::int64_t Max = std::numeric_limits<std::int32_t>::max();
    const std::int64_t rows = height < 0 ? -std::int64_t{height} : std::int64_t{height};
    const std::int64_t rowBits = std::int64_t{bitCount} * width;
    if (bitCount < 0 || width < 0 || rowBits > Max - 31 || rows > Max) return std::nullopt;
    const std::int64_t rowBytes = (rowBits + 31) / 32 * 4;
    if (rowBytes * rows > Max) return std::nullopt;
    return TDIBGeometry{static_cast<std::int32_t>(rowBytes), static_cast<std::int32_t>(rows),
                        static_cast<std::uint32_t>(rowBytes * rows)};
}

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
