// The BMP reader: every refusal with its class and message, and what it makes of each
// accepted layout.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>

#include "DIBImage.h"
#include "support/BmpBytes.h"

namespace vdib {
namespace {

using test::Bytes;
using test::InfoBmp;

std::unique_ptr<TDIBitmapImage> Read(const Bytes& bytes, bool withFileHeader = true) {
    TMemoryStream stream;
    test::Fill(stream, bytes);
    return std::unique_ptr<TDIBitmapImage>(TDIBitmapImage::CreateFromStream(stream, withFileHeader));
}

Bytes Pixels(const TDIBitmapImage& image) { return Bytes(image.Bits, image.Bits + image.Info.biSizeImage); }

// Raw 8-bit rows of RowBytes(width) each, every pixel distinct.
Bytes Rows8(int32_t width, int32_t height) {
    Bytes rows;
    const int32_t rowBytes = RowBytesFor(8, width);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < rowBytes; ++x) rows.push_back(x < width ? static_cast<uint8_t>(y * 16 + x + 1) : 0);
    return rows;
}

InfoBmp Valid8() {
    InfoBmp bmp;
    bmp.pixels = Rows8(bmp.width, bmp.height);
    return bmp;
}

struct Refusal {
    const char* name;
    std::function<Bytes()> bytes;
    bool withFileHeader;
    std::string className;
    std::string message;
};

TEST(BMPReader, RefusesMalformedInputWithItsClassAndMessage) {
    auto with = [](std::function<void(InfoBmp&)> change) {
        return [change] {
            InfoBmp bmp = Valid8();
            change(bmp);
            return bmp.Build();
        };
    };
    const std::string readError = "ストリームからの読み込みエラー";
    const Refusal cases[] = {
        {"signature MB", with([](InfoBmp& b) { b.signature = 0x424D; }), true, "EInvalidGraphic", "Is not Bitmap File."},
        {"whole file read as packed DIB", with([](InfoBmp&) {}), false, "EInvalidGraphic", "Invalid Bitmap Header Size"},
        {"header size 108", with([](InfoBmp& b) { b.headerSize = 108; }), true, "EInvalidGraphic", "Invalid Bitmap Header Size"},
        {"header size 124", with([](InfoBmp& b) { b.headerSize = 124; }), true, "EInvalidGraphic", "Invalid Bitmap Header Size"},
        {"header size 0", with([](InfoBmp& b) { b.headerSize = 0; }), true, "EInvalidGraphic", "Invalid Bitmap Header Size"},
        {"core header 16 bits", [] { return test::CoreBmp(2, 2, 16, Bytes(8)); }, true, "EInvalidGraphic", "Invalid PM BitCount"},
        {"core header 32 bits", [] { return test::CoreBmp(2, 2, 32, Bytes(16)); }, true, "EInvalidGraphic", "Invalid PM BitCount"},
        {"code 0 with 32 bits", with([](InfoBmp& b) { b.bitCount = 32; b.tableEntries = 0; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"code 0 with 16 bits", with([](InfoBmp& b) { b.bitCount = 16; b.tableEntries = 0; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"code 1 with 4 bits", with([](InfoBmp& b) { b.compression = 1; b.bitCount = 4; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"code 2 with 8 bits", with([](InfoBmp& b) { b.compression = 2; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"code 3 with 24 bits", with([](InfoBmp& b) { b.compression = 3; b.bitCount = 24; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"bit count 30000", with([](InfoBmp& b) { b.bitCount = 30000; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"code 4", with([](InfoBmp& b) { b.compression = 4; }), true, "EInvalidGraphic", "Unknown Bitmap Format"},
        {"code 5", with([](InfoBmp& b) { b.compression = 5; }), true, "EInvalidGraphic", "Unknown Bitmap Format"},
        {"width 0", with([](InfoBmp& b) { b.width = 0; }), true, "EInvalidGraphic", "Invalid Size"},
        {"negative width", with([](InfoBmp& b) { b.width = -4; }), true, "EInvalidGraphic", "Invalid Size"},
        {"height 0", with([](InfoBmp& b) { b.height = 0; }), true, "EInvalidGraphic", "Invalid Size"},
        {"width 0 packed", with([](InfoBmp& b) { b.width = 0; b.withFileHeader = false; }), false, "EInvalidGraphic", "Invalid Size"},
        // Sizes the 32-bit fields cannot hold are refused before any pixel block is made.
        {"rows overflow", with([](InfoBmp& b) { b.bitCount = 24; b.tableEntries = 0; b.width = 3000000; b.height = 2000000; }), true, "EInvalidGraphic", "Invalid Size"},
        {"row bits overflow", with([](InfoBmp& b) { b.compression = 3; b.bitCount = 32; b.tableEntries = 0; b.width = 0x7FFFFFFF; b.height = 1; }), true, "EInvalidGraphic", "Invalid Size"},
        {"height INT_MIN", with([](InfoBmp& b) { b.height = INT32_MIN; }), true, "EInvalidGraphic", "Invalid Size"},
        {"just past 2 GiB", with([](InfoBmp& b) { b.width = 65536; b.height = 32768; }), true, "EInvalidGraphic", "Invalid Size"},
        {"pixels one byte short", with([](InfoBmp& b) { b.pixels.pop_back(); }), true, "EReadError", readError},
        {"colour table cut", with([](InfoBmp& b) { b.tableEntries = 10; b.pixels.clear(); }), true, "EReadError", readError},
        {"file header cut", [] { return Bytes{'B', 'M', 1, 2}; }, true, "EReadError", readError},
        {"empty stream", [] { return Bytes{}; }, true, "EReadError", readError},
        {"RLE8 run past the width", with([](InfoBmp& b) { b.compression = 1; b.pixels = {5, 1, 0, 1}; }), true, "EInvalidGraphic", "Bad RLE Data"},
        {"RLE8 without end of bitmap", with([](InfoBmp& b) { b.compression = 1; b.pixels = {4, 1, 0, 0}; }), true, "EReadError", readError},
        {"RLE4 delta out of the picture", with([](InfoBmp& b) { b.compression = 2; b.bitCount = 4; b.tableEntries = 16; b.pixels = {0, 2, 9, 0, 0, 1}; }), true, "EInvalidGraphic", "Bad RLE Data"},
        {"RLE8 top-down", with([](InfoBmp& b) { b.compression = 1; b.height = -2; b.pixels = {4, 1, 0, 1}; }), true, "EInvalidGraphic", "Bad RLE Data"},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            Read(c.bytes(), c.withFileHeader);
            ADD_FAILURE() << "accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.ClassName(), c.className);
            EXPECT_EQ(e.Message(), c.message);
        }
    }
}

TEST(BMPReader, ReadsEightBitsWithItsColourTable) {
    InfoBmp bmp = Valid8();
    auto image = Read(bmp.Build());
    EXPECT_EQ(image->Width, 4);
    EXPECT_EQ(image->Height, 2);
    EXPECT_EQ(image->RowBytes, 4);
    EXPECT_EQ(image->Info.biSize, 40u);
    EXPECT_EQ(image->Info.biClrUsed, 256u);
    EXPECT_EQ(image->Info.biSizeImage, 8u);
    EXPECT_EQ(image->Info.biXPelsPerMeter, 2835);
    EXPECT_EQ(image->Format.BitCount, 8);
    EXPECT_FALSE(image->Format.TopDown);
    EXPECT_FALSE(image->Format.Compressed);
    EXPECT_EQ(image->ColorTable[7].rgbBlue, 7);
    EXPECT_EQ(image->ColorTable[7].rgbGreen, 21);
    EXPECT_EQ(image->ColorTable[7].rgbRed, 248);
    EXPECT_EQ(Pixels(*image), bmp.pixels);
    EXPECT_EQ(image->FirstRow, image->Bits);
    EXPECT_EQ(image->RowStep, 4);
}

TEST(BMPReader, ColourCounts) {
    InfoBmp sixteen = Valid8();
    sixteen.clrUsed = 16;
    sixteen.tableEntries = 16;
    EXPECT_EQ(Read(sixteen.Build())->Info.biClrUsed, 16u);

    // More than 256 entries: the first 256 are kept; in file mode the pixels come from bfOffBits.
    InfoBmp many = Valid8();
    many.clrUsed = 300;
    many.tableEntries = 300;
    auto image = Read(many.Build());
    EXPECT_EQ(image->Info.biClrUsed, 256u);
    EXPECT_EQ(image->ColorTable[255].rgbBlue, 255);
    EXPECT_EQ(Pixels(*image), many.pixels);

    // In packed mode the stream is set past the declared table before the pixels.
    many.withFileHeader = false;
    image = Read(many.Build(), false);
    EXPECT_EQ(Pixels(*image), many.pixels);

    // A 24-bit file may carry a table.
    InfoBmp rgb;
    rgb.bitCount = 24;
    rgb.clrUsed = 2;
    rgb.tableEntries = 2;
    rgb.pixels = Bytes(24, 7);
    image = Read(rgb.Build());
    EXPECT_EQ(image->Info.biClrUsed, 2u);
    EXPECT_EQ(image->Info.biSizeImage, 24u);
}

TEST(BMPReader, BitFields) {
    InfoBmp bmp;
    bmp.compression = 3;
    bmp.bitCount = 16;
    bmp.tableEntries = 0;
    bmp.pixels = Bytes(16, 0x5A);
    auto image = Read(bmp.Build());
    EXPECT_EQ(image->Info.biCompression, 3u);
    EXPECT_EQ(image->Info.biClrUsed, 0u);
    EXPECT_EQ(image->Format.RedMask, 0xF800u);
    EXPECT_EQ(image->Format.GreenMask, 0x07E0u);
    EXPECT_EQ(image->Format.BlueMask, 0x001Fu);
    uint32_t masks[3];
    std::memcpy(masks, image->ColorTable, sizeof masks);
    EXPECT_EQ(masks[0], 0xF800u);
    EXPECT_EQ(masks[1], 0x07E0u);
    EXPECT_EQ(masks[2], 0x001Fu);
}

TEST(BMPReader, TopDownRowsAreAddressedFromTheBottom) {
    InfoBmp bmp = Valid8();
    bmp.height = -2;
    auto image = Read(bmp.Build());
    EXPECT_EQ(image->Height, 2);
    EXPECT_EQ(image->Info.biHeight, -2);
    EXPECT_TRUE(image->Format.TopDown);
    EXPECT_EQ(image->FirstRow, image->Bits + 4);
    EXPECT_EQ(image->RowStep, -4);
    EXPECT_EQ(image->FirstRow[0], 17);  // the bottom row is stored last
}

TEST(BMPReader, CoreHeader) {
    Bytes pixels = {1, 2, 3, 0, 4, 5, 6, 0};
    auto image = Read(test::CoreBmp(3, 2, 8, pixels));
    EXPECT_EQ(image->Width, 3);
    EXPECT_EQ(image->Info.biClrUsed, 256u);
    EXPECT_EQ(image->ColorTable[9].rgbBlue, 9);
    EXPECT_EQ(image->ColorTable[9].rgbGreen, 10);
    EXPECT_EQ(image->ColorTable[9].rgbRed, 11);
    EXPECT_EQ(image->ColorTable[9].rgbReserved, 0);
    EXPECT_EQ(Pixels(*image), pixels);

    // The width field is unsigned: 0x8000 is 32768 pixels, not negative.
    image = Read(test::CoreBmp(0x8000, 1, 1, Bytes(4096)));
    EXPECT_EQ(image->Width, 32768);
    EXPECT_EQ(image->Info.biClrUsed, 2u);
}

TEST(BMPReader, RLEInputIsMarkedCompressedAndStoredUncompressed) {
    InfoBmp bmp = Valid8();
    bmp.compression = 1;
    bmp.pixels = {3, 9, 0, 0, 0, 2, 1, 0, 1, 7, 0, 1};
    auto image = Read(bmp.Build());
    EXPECT_TRUE(image->Format.Compressed);
    EXPECT_EQ(image->Info.biCompression, 0u);
    EXPECT_EQ(image->Info.biSizeImage, 8u);
    EXPECT_EQ(Pixels(*image), (Bytes{9, 9, 9, 0, 0, 7, 0, 0}));

    InfoBmp four;
    four.compression = 2;
    four.bitCount = 4;
    four.tableEntries = 16;
    four.width = 5;
    four.height = 1;
    four.pixels = {3, 0x12, 2, 0x34, 0, 0, 0, 1};
    image = Read(four.Build());
    EXPECT_TRUE(image->Format.Compressed);
    EXPECT_EQ(Pixels(*image), (Bytes{0x12, 0x13, 0x40, 0x00}));
}

TEST(BMPReader, StreamEndsAtTheDeclaredFileSize) {
    InfoBmp bmp = Valid8();
    bmp.trailing = Bytes(10, 0xEE);
    const Bytes bytes = bmp.Build();
    TMemoryStream stream;
    stream.WriteExact("xyz", 3);  // the file starts inside a larger stream
    stream.WriteExact(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.Seek(3, soBeginning);
    std::unique_ptr<TDIBitmapImage> image(TDIBitmapImage::CreateFromStream(stream, true));
    EXPECT_EQ(stream.StreamPosition(), 3 + static_cast<int64_t>(bytes.size()) - 10);

    // Pixels are taken from bfOffBits, whatever lies between the table and that point.
    InfoBmp gap = Valid8();
    gap.offBits = 14 + 40 + 1024 + 6;
    Bytes gapped = gap.Build();
    gapped.insert(gapped.begin() + 14 + 40 + 1024, 6, 0xAA);
    EXPECT_EQ(Pixels(*Read(gapped)), gap.pixels);
}

TEST(BMPReader, PackedModeStopsAfterThePixels) {
    InfoBmp bmp = Valid8();
    bmp.withFileHeader = false;
    bmp.trailing = {1, 2, 3};
    TMemoryStream stream;
    test::Fill(stream, bmp.Build());
    std::unique_ptr<TDIBitmapImage> image(TDIBitmapImage::CreateFromStream(stream, false));
    EXPECT_EQ(stream.StreamPosition(), 40 + 1024 + 8);
}

}  // namespace
}  // namespace vdib
