// Drawing on a device context: the calls the DIB graphic class draws through (state stack,
// palette selection, stretch mode and StretchDIBits), and surfaces in memory to draw on.
//
// On Windows the drawing calls are GDI's own and a surface is a memory device context with a
// 32-bit DIB section selected. Elsewhere a software device context stands in: an RGB surface in
// memory with the same calls and the same pixels (it follows GDI's choice of source pixel when
// stretching, rows and columns, enlarging and shrinking, mirrored or not), and it records each
// call made on it. Handles are opaque; the stand-in refuses a null one ("unknown" below), and one
// that was deleted may not be used again, as with GDI's. A failing call leaves its error for
// os::LastError().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <VDIBitmap/Platform.h>

namespace vdib {

#if !defined(_WIN32)

// --- Constants ----------------------------------------------------------------------------------

inline constexpr std::uint32_t DIB_RGB_COLORS = 0;
inline constexpr std::uint32_t DIB_PAL_COLORS = 1;

inline constexpr int BLACKONWHITE = 1;
inline constexpr int WHITEONBLACK = 2;
inline constexpr int COLORONCOLOR = 3;
inline constexpr int HALFTONE = 4;

inline constexpr std::uint32_t SRCCOPY = 0x00CC0020;      // S
// The raster operations that combine source and destination.
inline constexpr std::uint32_t SRCPAINT = 0x00EE0086;     // S | D
inline constexpr std::uint32_t SRCAND = 0x008800C6;       // S & D
inline constexpr std::uint32_t SRCINVERT = 0x00660046;    // S ^ D
inline constexpr std::uint32_t SRCERASE = 0x00440328;     // S & ~D
inline constexpr std::uint32_t NOTSRCCOPY = 0x00330008;   // ~S
inline constexpr std::uint32_t NOTSRCERASE = 0x001100A6;  // ~(S | D)
inline constexpr std::uint32_t MERGEPAINT = 0x00BB0226;   // ~S | D
inline constexpr std::uint32_t DSTINVERT = 0x00550009;    // ~D
inline constexpr std::uint32_t BLACKNESS = 0x00000042;    // 0
inline constexpr std::uint32_t WHITENESS = 0x00FF0062;    // 1

inline constexpr unsigned GDI_ERROR = 0xFFFFFFFF;
inline constexpr std::uint32_t CLR_INVALID = 0xFFFFFFFF;

#endif

// The largest surface: enough for any drawing a test looks at, small enough that the pixel
// count never strains the arithmetic.
inline constexpr std::int64_t SurfacePixelLimit = std::int64_t{1} << 26;

// --- The surface -------------------------------------------------------------------------------

// A surface of width × height pixels (each 0 or more, at most SurfacePixelLimit in all), every
// pixel `fill` (0x00RRGGBB); no palette selected, stretch mode BLACKONWHITE, no saved state,
// empty call log. 0 on a negative size (EINVAL) or one over the limit (ENOMEM).
HDC CreateSurfaceDC(std::int32_t width, std::int32_t height, std::uint32_t fill = 0x00FFFFFF);
// Frees the surface and its saved states; the selected palette stays its owner's.
bool DeleteSurfaceDC(HDC dc);

// 0 for an unknown handle.
std::int32_t SurfaceWidth(HDC dc);
std::int32_t SurfaceHeight(HDC dc);
// The pixel as 0x00RRGGBB, x from the left and y from the top; CLR_INVALID outside the surface
// or for an unknown handle.
std::uint32_t SurfacePixel(HDC dc, std::int32_t x, std::int32_t y);
// The pixels as 0x00RRGGBB, rows from the top, SurfaceWidth to a row; null for an unknown handle
// or an empty surface. Valid until the surface is deleted.
const std::uint32_t* SurfaceBits(HDC dc);

// Every call made on the surface since its creation, oldest first, as "Name(arguments)" with the integer arguments in decimal, the raster operation in
// hex and no pointers, so that expectations can be written as literals:
//   "SaveDC()", "RestoreDC(-1)", "SelectPalette(<palette>,1)", "RealizePalette()",
//   "SetStretchBltMode(3)", "StretchDIBits(10,20,100,50,0,0,50,25,0,0x00CC0020)".
// Failing calls are recorded too. Empty for an unknown handle, and always empty on Windows, where
// GDI keeps no such record.
std::vector<std::string> SurfaceCalls(HDC dc);

// --- Drawing state -------------------------------------------------------------------------------

#if defined(_WIN32)

using ::GetStretchBltMode;
using ::RealizePalette;
using ::RestoreDC;
using ::SaveDC;
using ::SelectPalette;
using ::SetStretchBltMode;

#else

// Pushes the drawing state (selected palette and its background flag, stretch mode); returns
// the new number of saved states (1 for the first save), 0 for an unknown handle.
int SaveDC(HDC dc);
// Returns to a saved state and drops it and every state saved after it. A positive `savedDC` is
// the level SaveDC returned; a negative one counts back from the last save (-1 the last).
// False when there is no such state (0, beyond the stack) or for an unknown handle.
bool RestoreDC(HDC dc, int savedDC);

// Selects the palette (background only when forceBackground: nothing on this surface tells the
// two apart, but the flag is kept) and returns the palette selected before, 0 when there was
// none. 0 with EINVAL for an unknown handle or a palette that GetObjectA does not know; the
// selection is then unchanged. The palette stays its owner's.
HPALETTE SelectPalette(HDC dc, HPALETTE palette, bool forceBackground);
// Maps the selected palette's colours: returns its entry count (an RGB surface takes every
// colour as it is), 0 when no palette is selected, GDI_ERROR for an unknown handle or when the
// selected palette has been deleted since.
unsigned RealizePalette(HDC dc);

// Remembers the mode and returns the mode before it; 0 for an unknown handle or a mode other
// than BLACKONWHITE, WHITEONBLACK, COLORONCOLOR and HALFTONE. Every mode draws as COLORONCOLOR:
// the nearest source pixel, rows and columns dropped when shrinking, nothing blended.
int SetStretchBltMode(HDC dc, int mode);
int GetStretchBltMode(HDC dc);

#endif

// Draws a rectangle of the DIB scaled into the destination rectangle, combined with what the
// surface holds by the raster operation. On Windows this is GDI's StretchDIBits, given this
// library's BITMAPINFO record; what follows is what the software device context does.
//
// The DIB: `info` with biSize 40 (the information header of the library), biWidth > 0,
// biHeight ≠ 0 (negative for rows stored top first), biBitCount 1, 4, 8 or 24 with biCompression
// BI_RGB, or 16 or 32 with BI_BITFIELDS (masks in bmiColors[0..2]) or BI_RGB (5-5-5 and 8-8-8).
// Indexed pixels take their colour from the table, biClrUsed entries of it (0 meaning
// 2^biBitCount, at most 256); an index past those is black. A mask channel is scaled to 8 bits
// from the mask's own range (a 5-bit 31 gives 255), a zero mask gives 0. biPlanes and
// biSizeImage are not looked at: `bits` must hold the block that DIBGeometry describes (rows of
// ((biBitCount × biWidth + 31) div 32) × 4 bytes), a DIB whose block it refuses is refused, and
// nothing outside that block is read. Only DIB_RGB_COLORS is supported.
//
// Geometry, as GDI draws with COLORONCOLOR. A destination extent D (either sign, s its sign)
// covers the pixels start + s*i for i = 0 .. |D|-1: a negative extent covers start, start-1, ...,
// start-|D|+1 and mirrors the drawing on that axis. The source rectangle runs from (xSrc, ySrc),
// its extents positive, in DIB coordinates (ySrc counted upwards from the bottom row whatever the
// DIB's orientation); it is drawn upright, its top row at the destination's first row. Pixel i of
// a destination extent shows, for a source extent S, source column
//   ceil((2i+1)*S / 2|D|) - 1                    when |D| >= S (enlarging; centre sampling),
//   S-1 - ceil((|D|-1-i)*S/|D| - 1/2)            when |D| <  S (shrinking, anchored at the right),
// and source row, counted down from the rectangle's top row,
//   ceil((2i+1)*S / 2|D|) - 1                    when |D| >= S,
//   floor(i*S/|D| + 1/2)                         when |D| <  S (anchored at the top).
// Destination pixels whose source pixel lies outside the DIB are left as they are, for every
// raster operation; nothing is written outside the surface.
//
// Raster operations: SRCCOPY and the others above; any other (those with a pattern among them)
// is refused.
//
// Returns the number of source rows that the source rectangle covers inside the DIB (also when
// the surface clips the drawing away: clipping is no failure). 0 with EINVAL for an unknown
// handle, a DIB that does not meet the above, null bits or info, another usage, or an unknown
// raster operation; 0 as well, drawing nothing, when a rectangle is empty or the source
// rectangle lies outside the DIB.
int StretchDIBits(HDC dc, std::int32_t xDest, std::int32_t yDest, std::int32_t destWidth,
                  std::int32_t destHeight, std::int32_t xSrc, std::int32_t ySrc, std::int32_t srcWidth,
                  std::int32_t srcHeight, const void* bits, const BITMAPINFO* info, std::uint32_t usage,
                  std::uint32_t rop);

}  // namespace vdib
