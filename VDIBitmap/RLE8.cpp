// RLE8 pixel data: one byte per pixel; commands of two bytes (count, value), or an escape byte 0
// followed by end-of-line (0), end-of-bitmap (1), delta (2, dx, dy) or an absolute run (n >= 3
// pixels, padded to an even length).
//
// The decoder accepts every command but keeps every write inside the picture (the bounds are
// those of rle::DecodeCommands). Positions are 64-bit offsets into the block, so a cursor one
// row past the block is a number, never a pointer.
#include <cstring>

#include <VDIBitmap/RLE.h>
#include "RLEEncoder.h"
#include "RLEReader.h"

namespace vdib {

namespace {

constexpr uint8_t EndOfLineMarker[2] = {0, 0};
constexpr uint8_t EndOfBitmapMarker[2] = {0, 1};

}  // namespace

void WriteRLEPair(TStream& stream, uint8_t count, uint8_t value) {
    const uint8_t pair[2] = {count, value};
    stream.Write(pair, 2);
}

void WriteRLEEndOfLine(TStream& stream) { stream.WriteExact(EndOfLineMarker, 2); }

void WriteRLEEndOfBitmap(TStream& stream) { stream.WriteExact(EndOfBitmapMarker, 2); }

void DecodeRLE8(uint8_t* bits, TStream& stream, const BITMAPINFOHEADER& header) {
    const TDIBGeometry geometry = CheckedGeometry(8, header.biWidth, header.biHeight);
    struct {
        uint8_t* bits;
        void Run(int64_t row, int64_t x, int32_t n, uint8_t value) {
            rle::Fill(bits + row + x, value, n);
        }
        void Absolute(rle::TRLEReader& in, int64_t row, int64_t x, int32_t n) {
            in.Read(bits + row + x, n);
            in.Skip(n & 1);  // the pad byte
        }
    } store{bits};
    rle::DecodeCommands(stream, header.biWidth, header.biHeight, geometry.RowBytes, store);
}

void EncodeRLE8(TStream& stream, const uint8_t* bits, const BITMAPINFOHEADER& header) {
    const TDIBGeometry geometry = CheckedGeometry(8, header.biWidth, header.biHeight);
    rle::EncodeBands(stream, bits, geometry.RowBytes, geometry.Rows, header.biWidth,
                     rle::RowEncoder<255, 1>());
}

}  // namespace vdib
