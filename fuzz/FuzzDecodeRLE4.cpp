// DecodeRLE4 over any bytes: four bytes describe the picture (see TPicture), the rest is the
// RLE4 stream. Whatever the data, the decoder stays inside the block and writes no padding.
#include "FuzzSupport.h"
#include "RLE.h"

namespace vdib::fuzz {

int FuzzDecodeRLE4(const uint8_t* data, std::size_t size) {
    TPicture picture;
    if (TooLarge(size) || !picture.Take(data, size, 4)) return 0;
    TInputStream stream(data, size);
    try {
        DecodeRLE4(picture.Block.data(), stream, picture.Info);
    } catch (const Exception&) {
        // Bad RLE Data or a stream that ends early; what was stored so far stays.
    }
    FUZZ_CHECK(picture.OnlyPixelsWritten());
    return 0;
}

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzDecodeRLE4(data, size);
}
