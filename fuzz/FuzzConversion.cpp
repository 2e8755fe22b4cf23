// The whole conversion in memory: load a BMP file into a TDIBitmap, switch it to compressed
// where it accepts that, save it, and read the saved file back. Whatever loads must save
// without error, and the file saved must read back to the same picture: geometry, format,
// colours and every pixel.
#include <memory>

#include <VDIBitmap/DIBitmap.h>
#include "FuzzSupport.h"
#include "ReaderCheck.h"
#include "support/Pictures.h"

namespace vdib::fuzz {

namespace {

// Pictures of more than this many bytes are loaded but not converted: reading back a huge
// picture that RLE data filled would touch every page of it.
constexpr uint32_t ConvertedLimit = 1u << 20;

}  // namespace

int FuzzConversion(const uint8_t* data, std::size_t size) {
    if (TooLarge(size)) return 0;
    TInputStream input(data, size);
    TDIBitmap bitmap;
    try {
        bitmap.LoadStream(input);
    } catch (const Exception&) {
        return 0;
    }
    if (bitmap.ImageRef().Info().biSizeImage > ConvertedLimit) return 0;
    try {
        bitmap.SetCompressed(true);
    } catch (const EInvalidOperation&) {
        // Not 4 or 8 bits, or top-down: saved uncompressed.
    }

    TMemoryStream saved;
    bitmap.SaveStream(saved);
    saved.Seek(0, soBeginning);
    const std::unique_ptr<TDIBitmapImage> back(TDIBitmapImage::CreateFromStream(saved, true));
    FUZZ_CHECK(saved.Position() == saved.BlockSize());
    CheckImage(*back);
    FUZZ_CHECK(test::PictureDifference(bitmap.ImageRef(), *back).empty());
    FUZZ_CHECK(back->Format.Compressed == bitmap.ImageRef().Format.Compressed);
    return 0;
}

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzConversion(data, size);
}
