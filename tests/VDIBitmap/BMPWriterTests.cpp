// The BMP writer: the layout of what it writes, the back-patched header of compressed output,
// and round trips through the reader for every format.
#include <gtest/gtest.h>

#include <memory>

#include "DIBImage.h"
#include "RLE.h"
#include "support/BmpBytes.h"

namespace vdib {
namespace {

using test::Bytes;
using test::Get16;
using test::Get32;

using ImagePtr = std::unique_ptr<TDIBitmapImage>;

ImagePtr Blank(int32_t bitCount, int32_t width, int32_t height, bool topDown = false, uint32_t colours = 0) {
    TDIBFormat format;
    format.BitCount = bitCount;
    format.TopDown = topDown;
    if (bitCount == 16) {
        format.RedMask = 0x7C00;
        format.GreenMask = 0x03E0;
        format.BlueMask = 0x001F;
    } else if (bitCount == 32) {
        format.RedMask = 0xFF0000;
        format.GreenMask = 0x00FF00;
        format.BlueMask = 0x0000FF;
    }
    ImagePtr image(TDIBitmapImage::CreateBlank(format, width, height));
    image->Info.biClrUsed = colours;
    for (uint32_t i = 0; i < colours; ++i) image->ColorTable[i] = RGBQUAD{uint8_t(i), uint8_t(i ^ 0x55), uint8_t(255 - i), 0};
    // A pattern with runs and literals in every row; row padding stays 0.
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = image->StoredRow(y);
        const int32_t used = (bitCount * width + 7) / 8;
        for (int32_t x = 0; x < used; ++x) row[x] = static_cast<uint8_t>(x < used / 2 ? y + 1 : x * 7 + y);
        if (bitCount == 4 && (width & 1)) row[used - 1] &= 0xF0;  // the pad pixel of an odd row
    }
    return image;
}

Bytes Write(const TDIBitmapImage& image, bool withFileHeader) {
    TMemoryStream stream;
    image.WriteToStream(stream, withFileHeader);
    EXPECT_EQ(stream.StreamPosition(), stream.Size());
    return test::Contents(stream);
}

Bytes Encoded(const TDIBitmapImage& image) {
    TMemoryStream stream;
    if (image.Format.BitCount == 8)
        EncodeRLE8(stream, image.Bits, image.Info);
    else
        EncodeRLE4(stream, image.Bits, image.Info);
    return test::Contents(stream);
}

TEST(BMPWriter, CompressedEightBitsFileMode) {
    ImagePtr image = Blank(8, 9, 3, false, 256);
    image->Format.Compressed = true;
    const Bytes rle = Encoded(*image);
    const Bytes file = Write(*image, true);
    EXPECT_EQ(Get16(file, 0), 0x4D42);
    EXPECT_EQ(Get32(file, 10), 1078u);
    EXPECT_EQ(Get32(file, 2), 1078u + rle.size());
    EXPECT_EQ(file.size(), 1078u + rle.size());
    EXPECT_EQ(Get32(file, 14 + 16), 1u);             // BI_RLE8
    EXPECT_EQ(Get32(file, 14 + 20), rle.size());     // encoded size
    EXPECT_EQ(Bytes(file.begin() + 1078, file.end()), rle);
    // The image is not changed by writing.
    EXPECT_EQ(image->Info.biCompression, 0u);
    EXPECT_EQ(image->Info.biSizeImage, 12u * 3);
    EXPECT_TRUE(image->Format.Compressed);
}

TEST(BMPWriter, CompressedFourBitsFileAndPackedMode) {
    ImagePtr image = Blank(4, 7, 2, false, 16);
    image->Format.Compressed = true;
    const Bytes rle = Encoded(*image);
    const Bytes file = Write(*image, true);
    EXPECT_EQ(Get32(file, 10), 118u);
    EXPECT_EQ(Get32(file, 14 + 16), 2u);  // BI_RLE4
    EXPECT_EQ(Get32(file, 14 + 20), rle.size());

    const Bytes packed = Write(*image, false);
    EXPECT_EQ(packed.size(), 40u + 64 + rle.size());
    EXPECT_EQ(Get32(packed, 16), 2u);
    EXPECT_EQ(Get32(packed, 20), rle.size());
    EXPECT_EQ(Bytes(packed.begin(), packed.end()), Bytes(file.begin() + 14, file.end()));
}

TEST(BMPWriter, UncompressedLayouts) {
    // 24 bits, 3 x 2: 54-byte headers, rows of 12 bytes.
    Bytes file = Write(*Blank(24, 3, 2), true);
    EXPECT_EQ(Get32(file, 10), 54u);
    EXPECT_EQ(Get32(file, 2), 78u);
    EXPECT_EQ(file.size(), 78u);
    EXPECT_EQ(Get32(file, 14 + 16), 0u);
    EXPECT_EQ(Get32(file, 14 + 20), 24u);

    // Bit fields: the three masks follow the header.
    file = Write(*Blank(16, 3, 1), true);
    EXPECT_EQ(Get32(file, 10), 66u);
    EXPECT_EQ(Get32(file, 14 + 16), 3u);
    EXPECT_EQ(Get32(file, 14 + 32), 0u);
    EXPECT_EQ(Get32(file, 54), 0x7C00u);
    EXPECT_EQ(Get32(file, 58), 0x03E0u);
    EXPECT_EQ(Get32(file, 62), 0x001Fu);

    // Top-down: negative height, rows in stored order.
    ImagePtr topDown = Blank(8, 4, 2, true, 2);
    file = Write(*topDown, true);
    EXPECT_EQ(static_cast<int32_t>(Get32(file, 14 + 8)), -2);
    EXPECT_EQ(Bytes(file.begin() + 14 + 48, file.end()), Bytes(topDown->Bits, topDown->Bits + 8));

    // The graphic's default image: headers alone.
    TDIBFormat rgb;
    rgb.BitCount = 24;
    ImagePtr empty(TDIBitmapImage::CreateBlank(rgb, 0, 0));
    file = Write(*empty, true);
    EXPECT_EQ(file.size(), 54u);
    EXPECT_EQ(Get32(file, 2), 54u);
    EXPECT_EQ(Get32(file, 10), 54u);
}

TEST(BMPWriter, ImageWithoutColoursGetsAFullTable) {
    // A reader takes biClrUsed 0 to mean 2^bits entries, so they are written.
    for (int bits : {1, 4, 8}) {
        SCOPED_TRACE(bits);
        ImagePtr image = Blank(bits, 5, 2);
        const Bytes file = Write(*image, true);
        const uint32_t table = 4u << bits;
        EXPECT_EQ(Get32(file, 14 + 32), 0u);
        EXPECT_EQ(Get32(file, 10), 54u + table);
        EXPECT_EQ(file.size(), 54u + table + image->Info.biSizeImage);

        TMemoryStream stream;
        test::Fill(stream, file);
        ImagePtr back(TDIBitmapImage::CreateFromStream(stream, true));
        EXPECT_EQ(Bytes(back->Bits, back->Bits + back->Info.biSizeImage),
                  Bytes(image->Bits, image->Bits + image->Info.biSizeImage));
    }
}

TEST(BMPWriter, RoundTripsThroughTheReader) {
    struct Case {
        int32_t bits, width, height;
        bool topDown, compressed;
        uint32_t colours;
    };
    const Case cases[] = {
        {1, 13, 3, false, false, 2},   {4, 7, 4, false, false, 16},  {4, 7, 4, false, true, 16},
        {4, 1, 1, false, true, 3},     {8, 5, 3, false, false, 256}, {8, 5, 3, false, true, 200},
        {8, 300, 2, false, true, 256}, {8, 6, 3, true, false, 256},  {24, 5, 3, false, false, 0},
        {24, 5, 3, true, false, 0},    {16, 5, 2, false, false, 0},  {32, 3, 3, true, false, 0},
    };
    for (const Case& c : cases) {
        for (bool withFileHeader : {true, false}) {
            SCOPED_TRACE(::testing::Message() << c.bits << " bits " << c.width << "x" << c.height
                                              << (c.topDown ? " top-down" : "") << (c.compressed ? " compressed" : "")
                                              << (withFileHeader ? " file" : " packed"));
            ImagePtr image = Blank(c.bits, c.width, c.height, c.topDown, c.colours);
            image->Info.biXPelsPerMeter = 3780;
            image->Info.biClrImportant = 2;
            image->Format.Compressed = c.compressed;
            TMemoryStream stream;
            image->WriteToStream(stream, withFileHeader);
            const int64_t end = stream.StreamPosition();
            stream.Seek(0, soBeginning);
            ImagePtr back(TDIBitmapImage::CreateFromStream(stream, withFileHeader));
            EXPECT_EQ(stream.StreamPosition(), end);
            EXPECT_EQ(back->Width, image->Width);
            EXPECT_EQ(back->Height, image->Height);
            EXPECT_EQ(back->Info.biHeight, image->Info.biHeight);
            EXPECT_EQ(back->Format.BitCount, image->Format.BitCount);
            EXPECT_EQ(back->Format.TopDown, image->Format.TopDown);
            EXPECT_EQ(back->Format.Compressed, image->Format.Compressed);
            EXPECT_EQ(back->Format.RedMask, image->Format.RedMask);
            EXPECT_EQ(back->Format.GreenMask, image->Format.GreenMask);
            EXPECT_EQ(back->Format.BlueMask, image->Format.BlueMask);
            EXPECT_EQ(back->Info.biClrUsed, image->Info.biClrUsed == 0 && c.bits <= 8 ? 1u << c.bits : image->Info.biClrUsed);
            EXPECT_EQ(back->Info.biXPelsPerMeter, 3780);
            EXPECT_EQ(back->Info.biClrImportant, 2u);
            EXPECT_EQ(0, std::memcmp(back->ColorTable, image->ColorTable, 4 * image->Info.biClrUsed));
            EXPECT_EQ(Bytes(back->Bits, back->Bits + back->Info.biSizeImage),
                      Bytes(image->Bits, image->Bits + image->Info.biSizeImage));
        }
    }
}

// A stream that takes a fixed number of bytes and then refuses every further byte.
class TShortStream : public TMemoryStream {
public:
    explicit TShortStream(int32_t room) : FRoom(room) {}
    int32_t Write(const void* buffer, int32_t count) override {
        const int32_t taken = std::min(count, FRoom);
        FRoom -= taken;
        return TMemoryStream::Write(buffer, taken);
    }

private:
    int32_t FRoom;
};

TEST(BMPWriter, AStreamThatRefusesBytesRaisesWriteError) {
    ImagePtr image = Blank(8, 64, 64, false, 256);
    for (bool compressed : {false, true}) {
        image->Format.Compressed = compressed;
        for (int32_t room : {0, 10, 14 + 40 + 1024, 2000}) {
            SCOPED_TRACE(::testing::Message() << room << (compressed ? " compressed" : ""));
            TShortStream stream(room);
            try {
                image->WriteToStream(stream, true);
                ADD_FAILURE() << "no error";
            } catch (const EWriteError& e) {
                EXPECT_EQ(e.Message(), "ストリームへの書き込みエラー");
            }
        }
    }
}

}  // namespace
}  // namespace vdib
