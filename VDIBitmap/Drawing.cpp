// Drawing TDIBitmap stretched onto a canvas, and writing a drawing surface out as a BMP file.
#include <memory>

#include <VDIBitmap/DIBitmap.h>
#include <VDIBitmap/DeviceContext.h>

namespace vdib {

namespace {
// Rect extents in the wrapping 32-bit arithmetic of the platform's coordinates, so that a
// rectangle spanning more than 2^31 cannot overflow.
int32_t Extent(int32_t low, int32_t high) {
    return static_cast<int32_t>(static_cast<uint32_t>(high) - static_cast<uint32_t>(low));
}
}  // namespace

// The platform calls' results are not examined: a drawing that the device context refuses
// simply does not appear. The palette is asked for twice, as the test and for the selection;
// the first question may create it.
void TDIBitmap::PaintOn(TCanvas& canvas, const TRect& rect) {
    if (FImageRef->IsEmpty()) return;
    const HDC dc = canvas.DeviceContext();
    SaveDC(dc);
    if (QueryPalette() != 0) {
        SelectPalette(dc, QueryPalette(), true);
        RealizePalette(dc);
    }
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, rect.Left, rect.Top, Extent(rect.Left, rect.Right), Extent(rect.Top, rect.Bottom), 0, 0,
                  FImageRef->Width, FImageRef->Height, FImageRef->Bits, FImageRef->InfoBlock(), DIB_RGB_COLORS,
                  canvas.CopyMode);
    RestoreDC(dc, -1);
}

// Every known surface has a stretch mode, so a mode of 0 is what tells an unknown device
// context from an empty surface (both have no pixels).
void SaveSurfaceAsBMP(HDC dc, TStream& stream) {
    if (GetStretchBltMode(dc) == 0) RaiseLastOSError();
    const int32_t width = SurfaceWidth(dc);
    const int32_t height = SurfaceHeight(dc);
    TDIBFormat format;
    format.BitCount = 24;
    std::unique_ptr<TDIBitmapImage> image(TDIBitmapImage::CreateBlank(format, width, height));
    if (const uint32_t* pixels = SurfaceBits(dc)) {
        for (int32_t y = 0; y < height; ++y) {
            // Surface rows run from the top, the image's picture rows from the bottom.
            uint8_t* out = image->PictureRow(height - 1 - y);
            const uint32_t* in = pixels + static_cast<size_t>(y) * static_cast<size_t>(width);
            for (int32_t x = 0; x < width; ++x) {
                out[3 * x] = static_cast<uint8_t>(in[x]);
                out[3 * x + 1] = static_cast<uint8_t>(in[x] >> 8);
                out[3 * x + 2] = static_cast<uint8_t>(in[x] >> 16);
            }
        }
    }
    image->WriteToStream(stream, true);
}

}  // namespace vdib
