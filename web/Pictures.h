// What the page shows of a picture, and what it makes of the pixels the browser decodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <VDIBitmap/DIBitmap.h>

namespace vdib {

// A picture for the page: RGBA, 4 bytes a pixel, rows from the top; null pixels without one.
struct TDrawing {
    uint8_t* Pixels = nullptr;
    int32_t Width = 0;
    int32_t Height = 0;
};

// The bitmap scaled to fit `limit` pixels on its longer side (never enlarged), drawn on a white
// surface by the library's own drawing, into `pixels`. Nothing for an empty bitmap.
void Draw(TDIBitmap& bitmap, int32_t limit, TDrawing& picture, std::vector<uint8_t>& pixels);

// The number of distinct colours (as 8 bits a channel) among the picture's pixels: the colour
// table's entries that pixels use, or the pixels' own values for 16, 24 and 32 bits. 0 without
// a pixel block, or when there is no memory to count them in.
int32_t CountColours(const TDIBitmapImage& image) noexcept;

// The same for an 8- or 4-bit picture from the RLE file written from it (`size` bytes), which
// for most pictures is far less to read than the pixels.
int32_t CountEncodedColours(const TDIBitmapImage& image, const uint8_t* file, std::size_t size) noexcept;

// Turns `count` RGBA pixels, as a canvas gives them, into the 32-bit layout of a BMP (blue,
// green, red, 0), each laid over `background` (0xRRGGBB) as far as it is transparent. Tells
// whether any pixel was not opaque.
bool CompositeOver(uint8_t* pixels, std::size_t count, uint32_t background);

}  // namespace vdib
