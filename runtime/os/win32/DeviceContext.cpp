// Surfaces as GDI memory device contexts, each with a 32-bit top-down DIB section selected: its
// memory holds one 0x00RRGGBB value per pixel, rows from the top, which GDI draws into and the
// surface calls read directly (after GdiFlush, as GDI may batch its drawing).
#include <VDIBitmap/DeviceContext.h>

#include <map>
#include <new>

#include "Internal.h"

namespace vdib {

namespace {

struct TSurface {
    std::int32_t Width;
    std::int32_t Height;
    HBITMAP Section;   // 0 for an empty surface: a DIB section of no pixels cannot be made
    HGDIOBJ Original;  // the bitmap the device context came with, selected again before deletion
    std::uint32_t* Bits;
};

// The surfaces made here, by device context (GDI keeps no room on a device context for them).
// Threads make and use surfaces of their own at once, so the table is locked; it is made on first
// use and never destroyed, so that a canvas that outlives main still finds it.
struct TSurfaceTable {
    SRWLOCK Lock = SRWLOCK_INIT;
    std::map<HDC, TSurface> Surfaces;
};

TSurfaceTable& Table() {
    static TSurfaceTable* const table = new TSurfaceTable;
    return *table;
}

class TTableLock {
public:
    TTableLock() { ::AcquireSRWLockExclusive(&Table().Lock); }
    ~TTableLock() { ::ReleaseSRWLockExclusive(&Table().Lock); }
    TTableLock(const TTableLock&) = delete;
    TTableLock& operator=(const TTableLock&) = delete;
};

// A copy of the surface's record: false for a device context not made here.
bool Find(HDC dc, TSurface& surface) {
    const TTableLock lock;
    const auto found = Table().Surfaces.find(dc);
    if (found == Table().Surfaces.end()) return false;
    surface = found->second;
    return true;
}

void Release(HDC dc, const TSurface& surface) {
    if (surface.Original != nullptr) ::SelectObject(dc, surface.Original);
    ::DeleteDC(dc);
    if (surface.Section != nullptr) ::DeleteObject(surface.Section);
}

}  // namespace

HDC CreateSurfaceDC(std::int32_t width, std::int32_t height, std::uint32_t fill) {
    if (width < 0 || height < 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::int64_t pixels = std::int64_t{width} * height;
    if (pixels > SurfacePixelLimit) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const HDC dc = ::CreateCompatibleDC(nullptr);
    if (dc == nullptr) return nullptr;
    TSurface surface{width, height, nullptr, nullptr, nullptr};
    if (pixels == 0) {
        // The device context keeps its stock 1 x 1 bitmap; an empty clip region keeps drawing off it.
        ::IntersectClipRect(dc, 0, 0, 0, 0);
    } else {
        ::BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        surface.Section = ::CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (surface.Section == nullptr) {
            ::DeleteDC(dc);
            return nullptr;
        }
        surface.Bits = static_cast<std::uint32_t*>(bits);
        surface.Original = ::SelectObject(dc, surface.Section);
        for (std::int64_t i = 0; i < pixels; ++i) surface.Bits[i] = fill & 0x00FFFFFF;
    }
    try {
        const TTableLock lock;
        Table().Surfaces.emplace(dc, surface);
    } catch (const std::bad_alloc&) {
        Release(dc, surface);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return dc;
}

bool DeleteSurfaceDC(HDC dc) {
    TSurface surface;
    {
        const TTableLock lock;
        const auto found = Table().Surfaces.find(dc);
        if (found == Table().Surfaces.end()) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        surface = found->second;
        Table().Surfaces.erase(found);
    }
    Release(dc, surface);
    return true;
}

std::int32_t SurfaceWidth(HDC dc) {
    TSurface surface;
    return Find(dc, surface) ? surface.Width : 0;
}

std::int32_t SurfaceHeight(HDC dc) {
    TSurface surface;
    return Find(dc, surface) ? surface.Height : 0;
}

std::uint32_t SurfacePixel(HDC dc, std::int32_t x, std::int32_t y) {
    TSurface surface;
    if (!Find(dc, surface) || x < 0 || y < 0 || x >= surface.Width || y >= surface.Height) return CLR_INVALID;
    ::GdiFlush();
    return surface.Bits[std::int64_t{y} * surface.Width + x] & 0x00FFFFFF;
}

const std::uint32_t* SurfaceBits(HDC dc) {
    TSurface surface;
    if (!Find(dc, surface)) return nullptr;
    ::GdiFlush();
    return surface.Bits;
}

std::vector<std::string> SurfaceCalls(HDC) { return {}; }

int StretchDIBits(HDC dc, std::int32_t xDest, std::int32_t yDest, std::int32_t destWidth, std::int32_t destHeight,
                  std::int32_t xSrc, std::int32_t ySrc, std::int32_t srcWidth, std::int32_t srcHeight, const void* bits,
                  const BITMAPINFO* info, std::uint32_t usage, std::uint32_t rop) {
    return ::StretchDIBits(dc, xDest, yDest, destWidth, destHeight, xSrc, ySrc, srcWidth, srcHeight, bits,
                           reinterpret_cast<const ::BITMAPINFO*>(info), usage, rop);
}

}  // namespace vdib
