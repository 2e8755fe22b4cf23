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

// The program is single-threaded; the table is not locked.
std::map<HDC, TSurface>& Surfaces() {
    static std::map<HDC, TSurface> table;
    return table;
}

const TSurface* Find(HDC dc) {
    const auto found = Surfaces().find(dc);
    return found == Surfaces().end() ? nullptr : &found->second;
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
        Surfaces().emplace(dc, surface);
    } catch (const std::bad_alloc&) {
        Release(dc, surface);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return dc;
}

bool DeleteSurfaceDC(HDC dc) {
    const auto found = Surfaces().find(dc);
    if (found == Surfaces().end()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    Release(dc, found->second);
    Surfaces().erase(found);
    return true;
}

std::int32_t SurfaceWidth(HDC dc) {
    const TSurface* surface = Find(dc);
    return surface != nullptr ? surface->Width : 0;
}

std::int32_t SurfaceHeight(HDC dc) {
    const TSurface* surface = Find(dc);
    return surface != nullptr ? surface->Height : 0;
}

std::uint32_t SurfacePixel(HDC dc, std::int32_t x, std::int32_t y) {
    const TSurface* surface = Find(dc);
    if (surface == nullptr || x < 0 || y < 0 || x >= surface->Width || y >= surface->Height) return CLR_INVALID;
    ::GdiFlush();
    return surface->Bits[std::int64_t{y} * surface->Width + x] & 0x00FFFFFF;
}

const std::uint32_t* SurfaceBits(HDC dc) {
    const TSurface* surface = Find(dc);
    if (surface == nullptr) return nullptr;
    ::GdiFlush();
    return surface->Bits;
}

std::vector<std::string> SurfaceCalls(HDC) { return {}; }

std::size_t LiveSurfaceCount() { return Surfaces().size(); }

int StretchDIBits(HDC dc, std::int32_t xDest, std::int32_t yDest, std::int32_t destWidth, std::int32_t destHeight,
                  std::int32_t xSrc, std::int32_t ySrc, std::int32_t srcWidth, std::int32_t srcHeight, const void* bits,
                  const BITMAPINFO* info, std::uint32_t usage, std::uint32_t rop) {
    return ::StretchDIBits(dc, xDest, yDest, destWidth, destHeight, xSrc, ySrc, srcWidth, srcHeight, bits,
                           reinterpret_cast<const ::BITMAPINFO*>(info), usage, rop);
}

}  // namespace vdib
