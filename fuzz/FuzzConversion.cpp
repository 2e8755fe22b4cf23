// The whole conversion in memory: load a BMP file into a TDIBitmap, switch it to compressed
// where it accepts that, save it, and read the saved file back. Whatever loads must save
// without error, and the file saved must read back to the same picture: geometry, format,
// colours and every pixel.
#include <cstring>
#include <memory>

#include <VDIBitmap/DIBitmap.h>
#include "FuzzSupport.h"
#include "ReaderCheck.h"

namespace vdib::fuzz {

namespace {

// Pictures of more than this many bytes are loaded but not converted: reading back a huge
// picture that RLE data filled would touch every page of it.
constexpr uint32_t ConvertedLimit = 1u << 20;

// The bytes of a row that hold pixels; bits after the last pixel are compared too, since the
// uncompressed form and RLE4 (whole bytes) carry them.
int32_t PixelBytes(const TDIBitmapImage& image) {
    return static_cast<int32_t>((static_cast<int64_t>(image.Format.BitCount) * image.Width + 7) / 8);
}

void CheckSamePicture(const TDIBitmapImage& saved, const TDIBitmapImage& back) {
    FUZZ_CHECK(back.Width == saved.Width && back.Height == saved.Height);
    FUZZ_CHECK(back.Format.BitCount == saved.Format.BitCount);
    FUZZ_CHECK(back.Format.RedMask == saved.Format.RedMask && back.Format.GreenMask == saved.Format.GreenMask &&
               back.Format.BlueMask == saved.Format.BlueMask);
    FUZZ_CHECK(back.Format.TopDown == saved.Format.TopDown);
    FUZZ_CHECK(back.Format.Compressed == saved.Format.Compressed);
    FUZZ_CHECK(back.ColorCount() == saved.ColorCount());
    FUZZ_CHECK(std::memcmp(back.ColorTable(), saved.ColorTable(), 4 * saved.ColorCount()) == 0);
    const int32_t bytes = PixelBytes(saved);
    for (int32_t row = 0; row < saved.Height; ++row)
        FUZZ_CHECK(std::memcmp(back.PictureRow(row), saved.PictureRow(row), static_cast<std::size_t>(bytes)) == 0);
}

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
    CheckSamePicture(bitmap.ImageRef(), *back);
    return 0;
}

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzConversion(data, size);
}
