// What every image that the reader returns must satisfy, whatever bytes it came from.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "FuzzSupport.h"

namespace vdib::fuzz {

// Geometry as the header says, within the 32-bit limits, and a pixel block that reaches to its
// last byte (a shorter one faults or, under AddressSanitizer, is reported).
inline void CheckImage(const TDIBitmapImage& image) {
    const BITMAPINFOHEADER& info = image.Info();
    FUZZ_CHECK(info.biSize == sizeof(BITMAPINFOHEADER));
    FUZZ_CHECK(image.Width == info.biWidth && image.Width > 0);
    FUZZ_CHECK(image.Height == std::abs(static_cast<int64_t>(info.biHeight)) && image.Height > 0);
    FUZZ_CHECK(image.Format.TopDown == (info.biHeight < 0));
    FUZZ_CHECK(!(image.Format.TopDown && image.Format.Compressed));  // RLE rows are bottom-up
    FUZZ_CHECK(image.RowBytes == CheckedGeometry(image.Format.BitCount, image.Width, 1).RowBytes);
    FUZZ_CHECK(static_cast<int64_t>(info.biSizeImage) == static_cast<int64_t>(image.RowBytes) * image.Height);
    FUZZ_CHECK(info.biClrUsed <= 256);
    FUZZ_CHECK(info.biCompression == BI_RGB || info.biCompression == BI_BITFIELDS);
    FUZZ_CHECK(image.Bits != nullptr && image.FirstRow != nullptr);
    const volatile uint8_t* bits = image.Bits;
    static_cast<void>(bits[0] + bits[info.biSizeImage - 1]);
}

// The reader over any bytes, in file mode or packed mode: either it raises one of the library's
// exceptions or it returns an image that CheckImage accepts.
inline int FuzzReader(const uint8_t* data, std::size_t size, bool withFileHeader) {
    if (TooLarge(size)) return 0;
    TInputStream stream(data, size);
    std::unique_ptr<TDIBitmapImage> image;
    try {
        image.reset(TDIBitmapImage::CreateFromStream(stream, withFileHeader));
    } catch (const Exception&) {
        return 0;
    }
    CheckImage(*image);
    return 0;
}

}  // namespace vdib::fuzz
