// Shared by the fuzz targets: a read-only stream over the input, the small picture header that
// the codec targets take from the front of their input, and the check that ends a run when an
// invariant breaks (so that libFuzzer and the replay programs both report it as a crash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/RLE.h>
#include <VDIBitmap/Streams.h>

// Not assert(): it must hold in every build type.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

namespace vdib::fuzz {

// The library's streams count in 32-bit sizes; larger inputs are not worth a run.
inline bool TooLarge(std::size_t size) { return size > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()); }

// Reads and seeks over the fuzzer's bytes, which must not change: writes take nothing.
class TInputStream : public TCustomMemoryStream {
public:
    TInputStream(const uint8_t* data, std::size_t size) {
        SetBlock(const_cast<uint8_t*>(data), static_cast<int32_t>(size));
    }
    const char* ClassName() const noexcept override { return "TInputStream"; }
    int32_t Write(const void*, int32_t) override { return 0; }
};

// A picture for the codec targets, described by the first four bytes of the input: width
// 1..1024 from bytes 0-1 (bit 15 also picks RLE4 over RLE8 where a target decodes either), height
// 1..1024 from bytes 2-3, negative (top-down, which RLE data cannot fill) when bit 15 is set.
// The block is exactly RowBytes x |height| bytes of heap, so that AddressSanitizer sees any
// byte written past it, and starts zero-filled as the decoders expect.
struct TPicture {
    BITMAPINFOHEADER Info{};
    int32_t RowBytes = 0;
    int32_t Rows = 0;
    bool FourBit = false;
    std::vector<uint8_t> Block;

    // False when the input is too short to hold the description.
    bool Take(const uint8_t*& data, std::size_t& size, int bitCount) {
        if (size < 4) return false;
        const unsigned widthField = data[0] | (data[1] << 8);
        const unsigned heightField = data[2] | (data[3] << 8);
        data += 4;
        size -= 4;
        FourBit = bitCount == 4 || (bitCount == 0 && (widthField & 0x8000) != 0);
        const int32_t width = static_cast<int32_t>(widthField & 0x3FF) + 1;
        Rows = static_cast<int32_t>(heightField & 0x3FF) + 1;
        Info.biSize = sizeof(BITMAPINFOHEADER);
        Info.biWidth = width;
        Info.biHeight = (heightField & 0x8000) != 0 ? -Rows : Rows;
        Info.biPlanes = 1;
        Info.biBitCount = FourBit ? 4 : 8;
        RowBytes = CheckedGeometry(Info.biBitCount, width, 1).RowBytes;
        Block.assign(static_cast<std::size_t>(RowBytes) * static_cast<std::size_t>(Rows), 0);
        return true;
    }

    // Bytes of each row that hold pixels: the decoders write nothing after them (RLE4 rounds
    // the width up to whole bytes, so the pad nibble of an odd width is a pixel here).
    int32_t PixelBytes() const { return FourBit ? (Info.biWidth + 1) / 2 : Info.biWidth; }

    // Every byte no decoder may write (row padding, and every row of a top-down picture) is 0.
    bool OnlyPixelsWritten() const {
        for (int32_t row = 0; row < Rows; ++row) {
            const int32_t from = Info.biHeight < 0 ? 0 : PixelBytes();
            for (int32_t at = from; at < RowBytes; ++at)
                if (Block[static_cast<std::size_t>(row) * RowBytes + at] != 0) return false;
        }
        return true;
    }
};

// A decoder over any bytes: four bytes describe the picture (see TPicture), the rest is the RLE
// stream. Whatever the data, the decoder stays inside the block and writes no padding.
inline int FuzzDecoder(const uint8_t* data, std::size_t size, int bitCount,
                       void (*decode)(uint8_t*, TStream&, const BITMAPINFOHEADER&)) {
    TPicture picture;
    if (TooLarge(size) || !picture.Take(data, size, bitCount)) return 0;
    TInputStream stream(data, size);
    try {
        decode(picture.Block.data(), stream, picture.Info);
    } catch (const Exception&) {
        // Bad RLE Data or a stream that ends early; what was stored so far stays.
    }
    FUZZ_CHECK(picture.OnlyPixelsWritten());
    return 0;
}

}  // namespace vdib::fuzz
