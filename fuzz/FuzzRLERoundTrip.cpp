// Decode any RLE data, encode the block, decode that again: the encoder's output is always
// accepted, is read to its last byte, and gives back the same block; the plain row encoder
// writes the same bytes as the one that this processor runs (the wide one, where it has it). Four bytes describe the
// picture (see TPicture; bit 15 of the width picks RLE4); top-down pictures are skipped, since
// RLE data describes bottom-up rows only.
#include <cstring>

#include "FuzzSupport.h"
#include "RLEEncoder.h"
#include <VDIBitmap/RLE.h>

namespace vdib::fuzz {

int FuzzRLERoundTrip(const uint8_t* data, std::size_t size) {
    TPicture picture;
    if (TooLarge(size) || !picture.Take(data, size, 0) || picture.Info.biHeight < 0) return 0;
    const auto decode = picture.FourBit ? DecodeRLE4 : DecodeRLE8;
    const auto encode = picture.FourBit ? EncodeRLE4 : EncodeRLE8;

    TInputStream input(data, size);
    try {
        decode(picture.Block.data(), input, picture.Info);
    } catch (const Exception&) {
        // A partly decoded block is as good a picture as any.
    }

    TMemoryStream encoded;
    encode(encoded, picture.Block.data(), picture.Info);
    const int32_t encodedSize = static_cast<int32_t>(encoded.Size());

    TMemoryStream plain;
    rle::EncodeBands(plain, picture.Block.data(), picture.RowBytes, picture.Rows, picture.PixelBytes(),
                     picture.FourBit ? &rle::EncodeRow<127, 2> : &rle::EncodeRow<255, 1>);
    FUZZ_CHECK(plain.Size() == encoded.Size() &&
               std::memcmp(plain.BlockAddress(), encoded.BlockAddress(), static_cast<std::size_t>(encodedSize)) == 0);

    std::vector<uint8_t> again(picture.Block.size(), 0);
    TInputStream reread(static_cast<const uint8_t*>(encoded.BlockAddress()), static_cast<std::size_t>(encodedSize));
    decode(again.data(), reread, picture.Info);
    FUZZ_CHECK(reread.Position() == encodedSize);
    FUZZ_CHECK(again == picture.Block);
    return 0;
}

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzRLERoundTrip(data, size);
}
