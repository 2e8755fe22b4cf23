// The operating system's bitmap records, handles, anonymous memory mappings and logical palettes,
// as the image library uses them.
//
// On Windows these are the system's own: the handle types, the DIB records and the constants come
// from <windows.h>, palettes are GDI's and pixel blocks are page-file-backed mappings. Elsewhere
// this header declares records of the same layout and a small layer stands in for the calls.
// Handles are opaque; 0 (null) means none or failure. A failing call leaves the platform's error
// for os::LastError().
#pragma once

#include <cstddef>
#include <cstdint>

#include <VDIBitmap/FileHandle.h>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

namespace vdib {

#if defined(_WIN32)

using ::HANDLE;
using ::HDC;
using ::HWND;
using ::HGLOBAL;
using ::HPALETTE;

using ::BITMAPINFOHEADER;
using ::PALETTEENTRY;
using ::RGBQUAD;

#else

// Each kind of handle is a type of its own, a pointer to a record that only the layer standing in
// for the system knows (as with the Windows API's STRICT handles), so that a handle of one kind
// passed where another is expected does not compile.
struct THandleKind;
struct TPaletteKind;
struct TGlobalBlockKind;
struct TDeviceContextKind;
struct TWindowKind;
using HANDLE = THandleKind*;
using HPALETTE = TPaletteKind*;
using HGLOBAL = TGlobalBlockKind*;
using HDC = TDeviceContextKind*;
using HWND = TWindowKind*;

template <class THandle>
std::uintptr_t HandleValue(THandle handle) noexcept {
    return reinterpret_cast<std::uintptr_t>(handle);
}

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

struct RGBQUAD {
    std::uint8_t rgbBlue;
    std::uint8_t rgbGreen;
    std::uint8_t rgbRed;
    std::uint8_t rgbReserved;
};

struct PALETTEENTRY {
    std::uint8_t peRed;
    std::uint8_t peGreen;
    std::uint8_t peBlue;
    std::uint8_t peFlags;
};

#endif

static_assert(sizeof(BITMAPINFOHEADER) == 40);
static_assert(sizeof(RGBQUAD) == 4);
static_assert(sizeof(PALETTEENTRY) == 4);

// The header followed by its colour table (or the three masks of a bit-field image). The
// system's own records declare one entry and are used with as many as the header says; these
// hold the most any picture uses, with the same layout, on every platform.
struct BITMAPINFO {
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[256];
};
static_assert(offsetof(BITMAPINFO, bmiColors) == sizeof(BITMAPINFOHEADER));

// Version 0x300 and up to 256 entries.
struct LOGPALETTE {
    std::uint16_t palVersion;
    std::uint16_t palNumEntries;
    PALETTEENTRY palPalEntry[256];
};

// --- Anonymous memory mappings ---------------------------------------------------------------

// A zero-filled, read/write mapping of `size` bytes, not yet mapped into view; 0 when the size is
// 0 or the mapping cannot be made.
HANDLE CreateBlockMapping(std::size_t size);
// Maps the whole mapping; the view reads as zero bytes until written. Null on failure.
void* MapBlockView(HANDLE mapping);
// Unmaps a view that MapBlockView made of `mapping`.
bool UnmapBlockView(HANDLE mapping, void* view);
bool CloseBlockMapping(HANDLE mapping);
// Asks for huge pages over a view that is about to be filled from start to end, which then takes
// a few hundred page faults instead of one per 4 KiB. Only advice. Not for blocks that untrusted
// data may touch here and there: each touch would then cost 2 MiB of memory instead of 4 KiB.
void AdviseLargePages(void* view, std::size_t size);

// --- Logical palettes --------------------------------------------------------------------------

// 0 when the record is malformed (version not 0x300, 0 or more than 256 entries) or out of memory.
HPALETTE CreatePalette(const LOGPALETTE& logPalette);
// Copies up to `count` entries from `start`; returns how many were copied, 0 on failure (unknown
// handle, start past the end). Null `entries` asks for the palette's entry count.
#if defined(_WIN32)
// The system's own: a declaration of the same signature here would make every call ambiguous.
using ::GetPaletteEntries;
#else
unsigned GetPaletteEntries(HPALETTE palette, unsigned start, unsigned count, PALETTEENTRY* entries);
#endif
// For a palette: writes its entry count as a 16-bit value into `buffer` and returns 2; 0 for an
// unknown handle or a buffer smaller than 2 bytes.
int GetObjectA(HPALETTE palette, int bufferSize, void* buffer);
bool DeleteObject(HPALETTE palette);

// Palettes made by CreatePalette and not yet deleted, by every thread (for leak checks in tests).
std::size_t LivePaletteCount();

}  // namespace vdib
