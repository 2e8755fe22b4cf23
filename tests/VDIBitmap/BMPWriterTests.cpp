// The BMP writer: the layout of what it writes, the back-patched header of RLE output (or the
// same bytes in order where the stream cannot go back), round trips through the reader for every
// format, and a stream that stops taking bytes or moving back.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/RLE.h>
#include "runtime/TestFiles.h"
#include "support/BmpBytes.h"

namespace vdib::test {
namespace {

using ImagePtr = std::unique_ptr<TDIBitmapImage>;

// A blank image filled with runs and literals in every row; the row padding stays 0.
ImagePtr Picture(int32_t bitCount, int32_t width, int32_t height, bool topDown = false, uint32_t colours = 0) {
    TDIBFormat format;
    format.BitCount = bitCount;
    format.TopDown = topDown;
    if (bitCount == 16) format.RedMask = 0x7C00, format.GreenMask = 0x03E0, format.BlueMask = 0x001F;
    if (bitCount == 32) format.RedMask = 0xFF0000, format.GreenMask = 0x00FF00, format.BlueMask = 0x0000FF;
    ImagePtr image(TDIBitmapImage::CreateBlank(format, width, height));
    image->Info().biClrUsed = colours;
    for (uint32_t i = 0; i < colours; ++i) image->ColorTable()[i] = RGBQUAD{uint8_t(i), uint8_t(i ^ 0x55), uint8_t(255 - i), 0};
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = image->StoredRow(y);
        const int32_t used = (bitCount * width + 7) / 8;
        for (int32_t x = 0; x < used; ++x) row[x] = static_cast<uint8_t>(x < used / 2 ? y + 1 : x * 7 + y);
        if (bitCount == 4 && (width & 1)) row[used - 1] &= 0xF0;  // the pad pixel of an odd row
    }
    return image;
}

Bytes Write(const TDIBitmapImage& image, bool withFileHeader) {
    TTestStream stream;
    image.WriteToStream(stream, withFileHeader);
    EXPECT_EQ(stream.Position(), stream.BlockSize());
    return stream.Data();
}

// Each kind of image: where the pixels start, the compression code, the size fields (back-patched
// after RLE data), the RLE bytes themselves, the packed form, and the picture read back.
TEST(BMPWriter, LayoutsAndRoundTrips) {
    const struct {
        const char* name;
        int32_t bits, width, height;
        bool topDown, compressed;
        uint32_t colours, offBits, code;
    } cases[] = {
        {"RLE8", 8, 9, 3, false, true, 256, 1078, 1},
        {"RLE8 over 255 pixels", 8, 300, 2, false, true, 200, 854, 1},
        {"RLE4", 4, 7, 2, false, true, 16, 118, 2},
        {"RLE4 of one pixel", 4, 1, 1, false, true, 3, 66, 2},
        {"1 bit", 1, 13, 3, false, false, 2, 62, 0},
        {"4 bits", 4, 7, 4, false, false, 16, 118, 0},
        {"24 bits", 24, 3, 2, false, false, 0, 54, 0},
        {"bit fields: the masks follow the header", 16, 3, 1, false, false, 0, 66, 3},
        {"32 bits top-down", 32, 3, 3, true, false, 0, 66, 3},
        {"8 bits top-down", 8, 4, 2, true, false, 2, 62, 0},
        {"no colours: a full table of 256", 8, 5, 3, false, false, 0, 1078, 0},
        {"empty: headers alone", 24, 0, 0, false, false, 0, 54, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ImagePtr image = Picture(c.bits, c.width, c.height, c.topDown, c.colours);
        image->Format.Compressed = c.compressed;
        image->Info().biXPelsPerMeter = 3780;
        const BITMAPINFOHEADER before = image->Info();
        const Bytes file = Write(*image, true);
        EXPECT_EQ(Get32(file, 0) & 0xFFFF, 0x4D42u);
        EXPECT_EQ(Get32(file, 2), file.size());
        EXPECT_EQ(Get32(file, 10), c.offBits);
        EXPECT_EQ(static_cast<int32_t>(Get32(file, 22)), c.topDown ? -c.height : c.height);
        EXPECT_EQ(Get32(file, 30), c.code);
        EXPECT_EQ(Get32(file, 34), file.size() - c.offBits);
        EXPECT_EQ(Get32(file, 46), c.colours);
        if (c.code == 3) {
            EXPECT_EQ(std::memcmp(&file[54], &image->ColorTable(), 12), 0);
        }
        if (c.compressed) {
            TTestStream rle;
            (c.bits == 8 ? EncodeRLE8 : EncodeRLE4)(rle, image->Bits, image->Info());
            EXPECT_EQ(Bytes(file.begin() + c.offBits, file.end()), rle.Data());
            TTestStream pipe;  // no way back to the headers: the same bytes, written in order
            pipe.Seeks = TTestStream::None;
            image->WriteToStream(pipe, true);
            EXPECT_EQ(pipe.Data(), file);
        }
        EXPECT_EQ(std::memcmp(&before, &image->Info(), sizeof before), 0) << "writing changed the image";
        for (const bool withFileHeader : {true, false}) {
            if (c.width == 0) break;  // an empty picture is not read
            TTestStream stream(withFileHeader ? file : Write(*image, false));
            ImagePtr back(TDIBitmapImage::CreateFromStream(stream, withFileHeader));
            EXPECT_EQ(stream.Position(), static_cast<int32_t>(file.size()) - (withFileHeader ? 0 : 14));
            EXPECT_EQ(back->Info().biHeight, image->Info().biHeight);
            EXPECT_EQ(back->Info().biXPelsPerMeter, 3780);
            EXPECT_EQ(back->Format.Compressed, c.compressed);
            EXPECT_EQ(back->Format.RedMask, image->Format.RedMask);
            // Without colours a full table is written, since a reader takes 0 to mean 2^bits.
            EXPECT_EQ(back->Info().biClrUsed, c.colours == 0 && c.bits <= 8 ? 1u << c.bits : c.colours);
            EXPECT_EQ(std::memcmp(back->ColorTable(), image->ColorTable(), 4 * c.colours), 0);
            EXPECT_EQ(Bytes(back->Bits, back->Bits + back->Info().biSizeImage), Bytes(image->Bits, image->Bits + image->Info().biSizeImage));
        }
    }
}

// So does one that cannot go back to patch the headers: nothing more is written after the RLE data.
// The picture's RLE data is several bands of rows; the last room ends inside the second.
TEST(BMPWriter, AStreamThatRefusesBytesRaisesWriteError) {
    ImagePtr image = Picture(8, 640, 640, false, 256);
    for (const bool compressed : {false, true})
        for (const int32_t room : {0, 10, 14 + 40 + 1024, 2000, 150000}) {
            SCOPED_TRACE(testing::Message() << room << (compressed ? " compressed" : ""));
            image->Format.Compressed = compressed;
            TTestStream stream({}, room);
            ExpectRaise([&] { image->WriteToStream(stream, true); }, "ストリームへの書き込みエラー", "EWriteError");
        }
    TTestStream stream, rle;  // the image compressed, as the loop left it
    stream.Seeks = TTestStream::TellOnly;
    EncodeRLE8(rle, image->Bits, image->Info());
    ExpectRaise([&] { image->WriteToStream(stream, true); }, "ストリームへの書き込みエラー", "EWriteError");
    EXPECT_EQ(stream.BlockSize(), 14 + 40 + 1024 + rle.BlockSize());
}

}  // namespace
}  // namespace vdib::test
