// RLE4 pixel data: two pixels per byte, high nibble first. A run of n pixels takes turns between
// the two nibbles of its value byte; an absolute run of n pixels carries (n + 1) / 2 data bytes,
// padded to an even length.
//
// Both directions work in whole bytes: a row of odd width is handled as one pixel wider, so the
// pad nibble at the end of such a row is decoded into and encoded from like a pixel (the encoder
// takes whatever the block holds there). The decoder's bounds are those of the RLE8 decoder with
// the width rounded up to even; positions are 64-bit offsets, never pointers past the block.
#include "RLE.h"
#include "RLEEncoder.h"

namespace vdib {

namespace {

// Up to two bytes go out as runs of two pixels, each reproducing its byte exactly.
uint8_t* FlushLiteral4(uint8_t* cursor, const uint8_t* bytes, int32_t n, int32_t available) {
    return rle::PutLiteral<2>(cursor, bytes, n, available);
}

// Pixels of a row are stored left to right: an even column starts its byte afresh (clearing the
// odd pixel's nibble, which no command has reached yet), an odd column fills the low nibble.
inline void StorePixel(uint8_t* row, int64_t column, uint8_t pixel) {
    uint8_t& target = row[column / 2];
    if (column & 1) {
        target = static_cast<uint8_t>(target | pixel);
    } else {
        target = static_cast<uint8_t>(pixel << 4);
    }
}

uint8_t ReadByte(TStream& stream) {
    uint8_t value;
    stream.ReadExact(&value, 1);
    return value;
}

}  // namespace

void DecodeRLE4(uint8_t* bits, TStream& stream, const BITMAPINFOHEADER& header) {
    const int64_t width = header.biWidth;
    const int64_t evenWidth = (width + 1) / 2 * 2;
    const int64_t height = header.biHeight;
    const int64_t rowBytes = (width * 4 + 31) / 32 * 4;
    int64_t x = 0;
    int64_t y = 0;
    for (;;) {
        const int32_t first = ReadByte(stream);
        const int32_t second = ReadByte(stream);
        if (first != 0) {
            if (y >= height || first > evenWidth - x) Raise<EInvalidGraphic>(msg::BadRLEData);
            uint8_t* row = bits + y * rowBytes;
            const uint8_t pixels[2] = {static_cast<uint8_t>(second >> 4), static_cast<uint8_t>(second & 0x0F)};
            for (int32_t k = 0; k < first; ++k) StorePixel(row, x + k, pixels[k & 1]);
            x += first;
        } else if (second == 0) {
            x = 0;
            ++y;
            if (y > height) Raise<EInvalidGraphic>(msg::BadRLEData);
        } else if (second == 1) {
            return;
        } else if (second == 2) {
            const int32_t dx = ReadByte(stream);
            const int32_t dy = ReadByte(stream);
            if (dx > evenWidth - x || dy > height - y) Raise<EInvalidGraphic>(msg::BadRLEData);
            x += dx;
            y += dy;
        } else {
            if (y >= height || second > evenWidth - x) Raise<EInvalidGraphic>(msg::BadRLEData);
            uint8_t* row = bits + y * rowBytes;
            const int64_t position = stream.StreamPosition();
            // Data bytes are read as they are needed, so a stream that ends inside the run
            // leaves the pixels before that point stored.
            uint8_t data = 0;
            for (int32_t k = 0; k < second; ++k) {
                if ((k & 1) == 0) {
                    data = ReadByte(stream);
                    StorePixel(row, x + k, static_cast<uint8_t>(data >> 4));
                } else {
                    StorePixel(row, x + k, static_cast<uint8_t>(data & 0x0F));
                }
            }
            stream.SetStreamPosition(position + (second + 3) / 4 * 2);
            x += second;
        }
    }
}

void EncodeRLE4(TStream& stream, const uint8_t* bits, const BITMAPINFOHEADER& header) {
    const int64_t width = header.biWidth;
    const int64_t rows = header.biHeight < 0 ? -static_cast<int64_t>(header.biHeight) : header.biHeight;
    const int64_t rowBytes = (width * 4 + 31) / 32 * 4;
    const int32_t units = static_cast<int32_t>((width + 1) / 2);  // whole bytes per row
    rle::TCommandOutput out(stream);
    for (int64_t row = 0; row < rows; ++row) {
        // A row without pixels has no pending run: it is its end-of-line alone.
        if (units > 0) rle::EncodeRow<127, 2, FlushLiteral4>(out, bits + row * rowBytes, units);
        out.EndOfLine();
    }
    out.EndOfBitmap();
}

}  // namespace vdib
