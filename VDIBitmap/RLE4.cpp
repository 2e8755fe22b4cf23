// RLE4 pixel data: two pixels per byte, high nibble first. A run of n pixels takes turns between
// the two nibbles of its value byte; an absolute run of n pixels carries (n + 1) / 2 data bytes,
// padded to an even length.
//
// Both directions work in whole bytes: a row of odd width is handled as one pixel wider, so the
// pad nibble at the end of such a row is decoded into and encoded from like a pixel (the encoder
// takes whatever the block holds there). The decoder's bounds are those of the RLE8 decoder with
// the width rounded up to even; positions are 64-bit offsets, never pointers past the block.
#include <cstring>

#include <VDIBitmap/RLE.h>
#include "RLEEncoder.h"
#include "RLEReader.h"

namespace vdib {

namespace {

// Pixels of a row are stored left to right, so whole bytes can go down at once: a pixel at an
// even column starts its byte afresh (clearing the low nibble, which no command has reached yet),
// a pixel at an odd column is OR-ed into the low nibble.

// Pixels x .. x + n - 1 of a run, taking turns between the high and the low nibble of `value`.
inline void StoreRun(uint8_t* row, int64_t x, int32_t n, uint8_t value) {
    if (x & 1) {
        row[x / 2] = static_cast<uint8_t>(row[x / 2] | (value >> 4));
        ++x;
        --n;
        value = static_cast<uint8_t>(value << 4 | value >> 4);  // the next pixel is the low nibble
    }
    rle::Fill(row + x / 2, value, n / 2);
    if (n & 1) row[x / 2 + n / 2] = static_cast<uint8_t>(value & 0xF0);
}

// Pixels x .. x + n - 1 of an absolute run, from (n + 1) / 2 data bytes read as they are needed,
// so a stream that ends inside the run leaves the pixels before that point stored.
inline void StoreAbsolute(rle::TRLEReader& in, uint8_t* row, int64_t x, int32_t n) {
    if ((x & 1) == 0) {
        in.Read(row + x / 2, n / 2);
        if (n & 1) row[x / 2 + n / 2] = static_cast<uint8_t>(in.Byte() & 0xF0);
        return;
    }
    // Each data byte straddles two row bytes: its high nibble ends one, its low nibble starts
    // the next.
    uint8_t* at = row + x / 2;
    for (int32_t k = 0; k < n; k += 2) {
        const uint8_t data = in.Byte();
        *at = static_cast<uint8_t>(*at | data >> 4);
        if (k + 1 < n) *++at = static_cast<uint8_t>(data << 4);
    }
}

}  // namespace

void DecodeRLE4(uint8_t* bits, TStream& stream, const BITMAPINFOHEADER& header) {
    const TDIBGeometry geometry = CheckedGeometry(4, header.biWidth, header.biHeight);
    struct {
        uint8_t* bits;
        void Run(int64_t row, int64_t x, int32_t n, uint8_t value) { StoreRun(bits + row, x, n, value); }
        void Absolute(rle::TRLEReader& in, int64_t row, int64_t x, int32_t n) {
            StoreAbsolute(in, bits + row, x, n);
            in.Skip((n + 3) / 4 * 2 - (n + 1) / 2);  // the pad byte, when there is one
        }
    } store{bits};
    rle::DecodeCommands(stream, (int64_t{header.biWidth} + 1) / 2 * 2, header.biHeight, geometry.RowBytes, store);
}

void EncodeRLE4(TStream& stream, const uint8_t* bits, const BITMAPINFOHEADER& header) {
    const TDIBGeometry geometry = CheckedGeometry(4, header.biWidth, header.biHeight);
    const auto units = static_cast<int32_t>((int64_t{header.biWidth} + 1) / 2);  // whole bytes per row
    rle::EncodeBands(stream, bits, geometry.RowBytes, geometry.Rows, units, rle::RowEncoder<127, 2>());
}

}  // namespace vdib
