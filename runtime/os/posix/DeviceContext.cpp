#include <VDIBitmap/DeviceContext.h>
#include <VDIBitmap/DIBGeometry.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>

#include <VDIBitmap/SysUtils.h>

namespace vdib {

namespace {

// What SaveDC keeps.
struct TDrawingState {
    HPALETTE Palette = 0;
    bool Background = false;
    int StretchMode = BLACKONWHITE;
};

}  // namespace

// A software surface: the record behind a device context.
struct TDeviceContextKind {
    std::int32_t Width = 0;
    std::int32_t Height = 0;
    std::vector<std::uint32_t> Pixels;  // rows from the top
    TDrawingState State;
    std::vector<TDrawingState> Saved;
    std::vector<std::string> Calls;
};

namespace {

using TSurface = TDeviceContextKind;

// A device context is the address of its surface's record (no table, see Platform.cpp); a null
// one is refused.
TSurface* Find(HDC dc) {
    if (dc == 0) errno = EINVAL;
    return dc;
}

TSurface* FindAndRecord(HDC dc, std::string call) {
    TSurface* surface = Find(dc);
    if (surface != nullptr) surface->Calls.push_back(std::move(call));
    return surface;
}

bool KnownStretchMode(int mode) { return mode >= BLACKONWHITE && mode <= HALFTONE; }

// --- The source DIB ---------------------------------------------------------------------------

struct TChannel {
    std::uint32_t Mask = 0;
    int Shift = 0;
    std::uint32_t Range = 0;  // the channel's largest value, Mask >> Shift

    explicit TChannel(std::uint32_t mask = 0)
        : Mask(mask), Shift(mask == 0 ? 0 : std::countr_zero(mask)), Range(mask >> Shift) {}

    // The channel of a pixel value scaled to 0..255, rounded.
    std::uint32_t Extract(std::uint32_t value) const {
        if (Range == 0) return 0;
        const std::uint64_t c = (value & Mask) >> Shift;
        return static_cast<std::uint32_t>((c * 255 + Range / 2) / Range);
    }
};

struct TSourceDIB;
// The colour (0x00RRGGBB) of pixel x of a stored row; x lies inside the row.
using TFetch = std::uint32_t (*)(const TSourceDIB& dib, const std::uint8_t* row, std::int64_t x);

struct TSourceDIB {
    std::int64_t Width = 0;
    std::int64_t Height = 0;  // absolute
    bool TopDown = false;
    std::size_t RowBytes = 0;
    std::uint32_t Colours[256] = {};  // entries past the table stay black
    TChannel Red, Green, Blue;
    TFetch Fetch = nullptr;

    std::uint32_t Masked(std::uint32_t value) const {
        return Red.Extract(value) << 16 | Green.Extract(value) << 8 | Blue.Extract(value);
    }
};

std::uint32_t Fetch1(const TSourceDIB& dib, const std::uint8_t* row, std::int64_t x) {
    return dib.Colours[(row[x >> 3] >> (7 - (x & 7))) & 1];
}
std::uint32_t Fetch4(const TSourceDIB& dib, const std::uint8_t* row, std::int64_t x) {
    return dib.Colours[(row[x >> 1] >> ((x & 1) != 0 ? 0 : 4)) & 0x0F];
}
std::uint32_t Fetch8(const TSourceDIB& dib, const std::uint8_t* row, std::int64_t x) { return dib.Colours[row[x]]; }
std::uint32_t Fetch24(const TSourceDIB&, const std::uint8_t* row, std::int64_t x) {
    const std::uint8_t* p = row + 3 * x;
    return std::uint32_t{p[2]} << 16 | std::uint32_t{p[1]} << 8 | p[0];
}
std::uint32_t Fetch16(const TSourceDIB& dib, const std::uint8_t* row, std::int64_t x) {
    const std::uint8_t* p = row + 2 * x;
    return dib.Masked(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8);
}
std::uint32_t Fetch32(const TSourceDIB& dib, const std::uint8_t* row, std::int64_t x) {
    const std::uint8_t* p = row + 4 * x;
    return dib.Masked(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                      std::uint32_t{p[3]} << 24);
}

std::uint32_t MaskAt(const BITMAPINFO& info, int entry) {
    const RGBQUAD& q = info.bmiColors[entry];
    return std::uint32_t{q.rgbBlue} | std::uint32_t{q.rgbGreen} << 8 | std::uint32_t{q.rgbRed} << 16 |
           std::uint32_t{q.rgbReserved} << 24;
}

// Checks the header and chooses the pixel routine once for the whole drawing.
bool DescribeSource(const BITMAPINFO& info, TSourceDIB& dib) {
    const BITMAPINFOHEADER& h = info.bmiHeader;
    if (h.biSize != sizeof(BITMAPINFOHEADER) || h.biWidth <= 0 || h.biHeight == 0) return false;
    const std::uint32_t bits = h.biBitCount;
    switch (bits) {
        case 1: dib.Fetch = Fetch1; break;
        case 4: dib.Fetch = Fetch4; break;
        case 8: dib.Fetch = Fetch8; break;
        case 24: dib.Fetch = Fetch24; break;
        case 16: dib.Fetch = Fetch16; break;
        case 32: dib.Fetch = Fetch32; break;
        default: return false;
    }
    if (h.biCompression == BI_BITFIELDS) {
        if (bits != 16 && bits != 32) return false;
        dib.Red = TChannel(MaskAt(info, 0));
        dib.Green = TChannel(MaskAt(info, 1));
        dib.Blue = TChannel(MaskAt(info, 2));
    } else if (h.biCompression == BI_RGB) {
        if (bits == 16) {
            dib.Red = TChannel(0x7C00);
            dib.Green = TChannel(0x03E0);
            dib.Blue = TChannel(0x001F);
        } else if (bits == 32) {
            dib.Red = TChannel(0xFF0000);
            dib.Green = TChannel(0x00FF00);
            dib.Blue = TChannel(0x0000FF);
        } else if (bits <= 8) {
            const std::uint32_t count = h.biClrUsed == 0 ? 1u << bits : std::min<std::uint32_t>(h.biClrUsed, 256);
            for (std::uint32_t i = 0; i < count; ++i) {
                const RGBQUAD& q = info.bmiColors[i];
                dib.Colours[i] = std::uint32_t{q.rgbRed} << 16 | std::uint32_t{q.rgbGreen} << 8 | q.rgbBlue;
            }
        }
    } else {
        return false;
    }
    const std::optional<TDIBGeometry> geometry = DIBGeometry(h.biBitCount, h.biWidth, h.biHeight);
    if (!geometry) return false;
    dib.Width = h.biWidth;
    dib.Height = geometry->Rows;
    dib.TopDown = h.biHeight < 0;
    dib.RowBytes = static_cast<std::size_t>(geometry->RowBytes);
    return true;
}

// --- Geometry ---------------------------------------------------------------------------------

// One axis of the drawing: the destination pixels First, First + 1, ... that lie on the surface,
// each with the source pixel it shows (-1 when that lies outside the DIB).
struct TAxisMap {
    std::int64_t First = 0;
    std::vector<std::int64_t> Source;
};

// How GDI picks the source pixel of a destination pixel when it stretches with COLORONCOLOR
// (measured, not documented). Enlarging takes the source pixel under the destination pixel's
// centre, a tie going to the lower one; shrinking keeps the last column of the source and the
// first row, and spreads the rest evenly from there.
enum class TAxis { Columns, Rows };

// The source pixel, counted from the source interval's start, of destination pixel i (0 <= i <
// destSpan) counted from the destination's start. Spans below 2^31 keep every product below 2^63.
std::int64_t SourceOffset(TAxis axis, std::uint64_t i, std::uint64_t destSpan, std::uint64_t srcSpan) {
    if (destSpan >= srcSpan) return static_cast<std::int64_t>(((2 * i + 1) * srcSpan - 1) / (2 * destSpan));
    if (axis == TAxis::Rows) return static_cast<std::int64_t>((2 * i * srcSpan + destSpan) / (2 * destSpan));
    // S-1 - ceil((D-1-i)*S/D - 1/2), the ceiling taken as floor((a + b - 1) / b).
    const std::uint64_t fromEnd = (2 * (destSpan - 1 - i) * srcSpan + destSpan - 1) / (2 * destSpan);
    return static_cast<std::int64_t>(srcSpan - 1 - fromEnd);
}

// A destination extent covers destStart, destStart + s, ..., |destExtent| pixels in the
// direction s of its sign (so a negative extent covers destStart itself and the pixels before
// it), the source interval likewise from srcStart; when the two signs differ the drawing is
// mirrored. Only the destination pixels on the surface are kept.
TAxisMap MapAxis(TAxis axis, std::int64_t destStart, std::int64_t destExtent, std::int64_t srcStart,
                 std::int64_t srcExtent, std::int64_t surfaceSize, std::int64_t sourceSize) {
    TAxisMap map;
    const std::uint64_t destSpan = static_cast<std::uint64_t>(destExtent < 0 ? -destExtent : destExtent);
    const std::uint64_t srcSpan = static_cast<std::uint64_t>(srcExtent < 0 ? -srcExtent : srcExtent);
    const std::int64_t low = destExtent > 0 ? destStart : destStart - static_cast<std::int64_t>(destSpan) + 1;
    const std::int64_t first = std::max<std::int64_t>(low, 0);
    const std::int64_t last = std::min<std::int64_t>(low + static_cast<std::int64_t>(destSpan), surfaceSize);
    if (first >= last) return map;
    map.First = first;
    map.Source.reserve(static_cast<std::size_t>(last - first));
    for (std::int64_t d = first; d < last; ++d) {
        const std::uint64_t i = static_cast<std::uint64_t>(destExtent > 0 ? d - destStart : destStart - d);
        const std::int64_t m = SourceOffset(axis, i, destSpan, srcSpan);
        const std::int64_t source = srcExtent > 0 ? srcStart + m : srcStart - 1 - m;
        map.Source.push_back(source >= 0 && source < sourceSize ? source : -1);
    }
    return map;
}

// How many pixels of the interval from start over extent lie inside [0, size).
std::int64_t Covered(std::int64_t start, std::int64_t extent, std::int64_t size) {
    const std::int64_t low = std::max<std::int64_t>(std::min(start, start + extent), 0);
    const std::int64_t high = std::min<std::int64_t>(std::max(start, start + extent), size);
    return high > low ? high - low : 0;
}

// --- Raster operations ------------------------------------------------------------------------

constexpr std::uint32_t KnownRops[] = {SRCCOPY,    SRCPAINT,    SRCAND,     SRCINVERT, SRCERASE, NOTSRCCOPY,
                                       NOTSRCERASE, MERGEPAINT, DSTINVERT, BLACKNESS, WHITENESS};

// The rop's truth table: bit (2 × S + D) of the low nibble of its middle byte is the result for
// that source and destination bit. The operations above take no pattern, so the rest of the
// byte repeats the nibble.
std::uint32_t Combine(std::uint32_t table, std::uint32_t s, std::uint32_t d) {
    std::uint32_t result = 0;
    if ((table & 0x1) != 0) result |= ~s & ~d;
    if ((table & 0x2) != 0) result |= ~s & d;
    if ((table & 0x4) != 0) result |= s & ~d;
    if ((table & 0x8) != 0) result |= s & d;
    return result & 0x00FFFFFF;
}

}  // namespace

// --- The surface ---------------------------------------------------------------------------------

HDC CreateSurfaceDC(std::int32_t width, std::int32_t height, std::uint32_t fill) {
    if (width < 0 || height < 0) {
        errno = EINVAL;
        return 0;
    }
    const std::int64_t count = std::int64_t{width} * height;
    if (count > SurfacePixelLimit) {
        errno = ENOMEM;
        return 0;
    }
    try {
        std::unique_ptr<TSurface> surface(new TSurface);
        surface->Width = width;
        surface->Height = height;
        surface->Pixels.assign(static_cast<std::size_t>(count), fill & 0x00FFFFFF);
        return surface.release();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return 0;
    }
}

bool DeleteSurfaceDC(HDC dc) {
    if (Find(dc) == nullptr) return false;
    delete dc;
    return true;
}

std::int32_t SurfaceWidth(HDC dc) {
    const TSurface* surface = Find(dc);
    return surface == nullptr ? 0 : surface->Width;
}

std::int32_t SurfaceHeight(HDC dc) {
    const TSurface* surface = Find(dc);
    return surface == nullptr ? 0 : surface->Height;
}

std::uint32_t SurfacePixel(HDC dc, std::int32_t x, std::int32_t y) {
    const TSurface* surface = Find(dc);
    if (surface == nullptr) return CLR_INVALID;
    if (x < 0 || y < 0 || x >= surface->Width || y >= surface->Height) {
        errno = EINVAL;
        return CLR_INVALID;
    }
    return surface->Pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(surface->Width) +
                           static_cast<std::size_t>(x)];
}

const std::uint32_t* SurfaceBits(HDC dc) {
    const TSurface* surface = Find(dc);
    return surface == nullptr || surface->Pixels.empty() ? nullptr : surface->Pixels.data();
}

std::vector<std::string> SurfaceCalls(HDC dc) {
    const TSurface* surface = Find(dc);
    return surface == nullptr ? std::vector<std::string>{} : surface->Calls;
}

// --- Drawing state -------------------------------------------------------------------------------

int SaveDC(HDC dc) {
    TSurface* surface = FindAndRecord(dc, "SaveDC()");
    if (surface == nullptr) return 0;
    surface->Saved.push_back(surface->State);
    return static_cast<int>(surface->Saved.size());
}

bool RestoreDC(HDC dc, int savedDC) {
    TSurface* surface = FindAndRecord(dc, Format("RestoreDC(%d)", savedDC));
    if (surface == nullptr) return false;
    const auto depth = static_cast<std::int64_t>(surface->Saved.size());
    const std::int64_t level = savedDC < 0 ? depth + 1 + savedDC : savedDC;
    if (savedDC == 0 || level < 1 || level > depth) {
        errno = EINVAL;
        return false;
    }
    surface->State = surface->Saved[static_cast<std::size_t>(level - 1)];
    surface->Saved.resize(static_cast<std::size_t>(level - 1));
    return true;
}

HPALETTE SelectPalette(HDC dc, HPALETTE palette, bool forceBackground) {
    TSurface* surface = FindAndRecord(
        dc, Format("SelectPalette(%ju,%d)", std::uintmax_t{HandleValue(palette)}, forceBackground ? 1 : 0));
    if (surface == nullptr) return 0;
    std::uint16_t entries = 0;
    if (palette == 0 || GetObjectA(palette, sizeof entries, &entries) == 0) {
        errno = EINVAL;
        return 0;
    }
    const HPALETTE previous = surface->State.Palette;
    surface->State.Palette = palette;
    surface->State.Background = forceBackground;
    return previous;
}

unsigned RealizePalette(HDC dc) {
    TSurface* surface = FindAndRecord(dc, "RealizePalette()");
    if (surface == nullptr) return GDI_ERROR;
    if (surface->State.Palette == 0) return 0;
    std::uint16_t entries = 0;
    if (GetObjectA(surface->State.Palette, sizeof entries, &entries) == 0) {
        errno = EINVAL;
        return GDI_ERROR;
    }
    return entries;
}

int SetStretchBltMode(HDC dc, int mode) {
    TSurface* surface = FindAndRecord(dc, Format("SetStretchBltMode(%d)", mode));
    if (surface == nullptr) return 0;
    if (!KnownStretchMode(mode)) {
        errno = EINVAL;
        return 0;
    }
    const int previous = surface->State.StretchMode;
    surface->State.StretchMode = mode;
    return previous;
}

int GetStretchBltMode(HDC dc) {
    const TSurface* surface = Find(dc);
    return surface == nullptr ? 0 : surface->State.StretchMode;
}

// --- StretchDIBits -------------------------------------------------------------------------------

int StretchDIBits(HDC dc, std::int32_t xDest, std::int32_t yDest, std::int32_t destWidth, std::int32_t destHeight,
                  std::int32_t xSrc, std::int32_t ySrc, std::int32_t srcWidth, std::int32_t srcHeight,
                  const void* bits, const BITMAPINFO* info, std::uint32_t usage, std::uint32_t rop) {
    TSurface* surface = FindAndRecord(dc, Format("StretchDIBits(%d,%d,%d,%d,%d,%d,%d,%d,%u,0x%08X)", xDest, yDest,
                                                 destWidth, destHeight, xSrc, ySrc, srcWidth, srcHeight, usage, rop));
    if (surface == nullptr) return 0;
    TSourceDIB dib;
    if (std::find(std::begin(KnownRops), std::end(KnownRops), rop) == std::end(KnownRops) ||
        usage != DIB_RGB_COLORS || bits == nullptr || info == nullptr || !DescribeSource(*info, dib)) {
        errno = EINVAL;
        return 0;
    }
    if (destWidth == 0 || destHeight == 0) return 0;

    // Rows are mapped in picture rows counted from the top; a bottom-up DIB's y counts from the
    // bottom, so its source rectangle's top row is Height - ySrc - srcHeight.
    const std::int64_t yTop = dib.TopDown ? std::int64_t{ySrc} : dib.Height - ySrc - srcHeight;
    const std::int64_t lines = Covered(yTop, srcHeight, dib.Height);
    if (lines == 0 || Covered(xSrc, srcWidth, dib.Width) == 0) return 0;

    const TAxisMap columns = MapAxis(TAxis::Columns, xDest, destWidth, xSrc, srcWidth, surface->Width, dib.Width);
    const TAxisMap rows = MapAxis(TAxis::Rows, yDest, destHeight, yTop, srcHeight, surface->Height, dib.Height);
    if (rows.Source.empty() || columns.Source.empty()) return static_cast<int>(lines);  // at most the DIB's rows
    const std::uint32_t table = (rop >> 16) & 0x0F;
    const auto* block = static_cast<const std::uint8_t*>(bits);
    const auto surfaceWidth = static_cast<std::size_t>(surface->Width);
    for (std::size_t j = 0; j < rows.Source.size(); ++j) {
        const std::int64_t pictureRow = rows.Source[j];
        if (pictureRow < 0) continue;
        const std::int64_t storedRow = dib.TopDown ? pictureRow : dib.Height - 1 - pictureRow;
        const std::uint8_t* row = block + static_cast<std::size_t>(storedRow) * dib.RowBytes;
        std::uint32_t* out = surface->Pixels.data() + (static_cast<std::size_t>(rows.First) + j) * surfaceWidth +
                             static_cast<std::size_t>(columns.First);
        for (std::size_t i = 0; i < columns.Source.size(); ++i) {
            const std::int64_t x = columns.Source[i];
            if (x < 0) continue;
            out[i] = Combine(table, dib.Fetch(dib, row, x), out[i]);
        }
    }
    return static_cast<int>(lines);
}

}  // namespace vdib
