// The BMP reader: its refusals, each with its class and message (the corpus holds more), and
// what it makes of each accepted layout.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <tuple>

#include <VDIBitmap/DIBImage.h>
#include "runtime/TestFiles.h"
#include "support/BmpBytes.h"

namespace vdib::test {
namespace {

std::unique_ptr<TDIBitmapImage> Read(const Bytes& bytes, bool withFileHeader = true) {
    TTestStream stream(bytes);
    return std::unique_ptr<TDIBitmapImage>(TDIBitmapImage::CreateFromStream(stream, withFileHeader));
}

Bytes Pixels(const TDIBitmapImage& image) { return Bytes(image.Bits, image.Bits + image.Info().biSizeImage); }

// The default 4 x 2 picture, every pixel distinct.
InfoBmp Valid8() {
    InfoBmp bmp;
    bmp.pixels = {1, 2, 3, 4, 17, 18, 19, 20};
    return bmp;
}

TEST(BMPReader, RefusesMalformedInputWithItsClassAndMessage) {
    auto with = [](const std::function<void(InfoBmp&)>& change) {
        InfoBmp bmp = Valid8();
        change(bmp);
        return bmp.Build();
    };
    const std::string readError = "ストリームからの読み込みエラー";
    const struct {
        const char* name;
        Bytes bytes;
        bool withFileHeader;
        const char* className;
        std::string message;
    } cases[] = {
        {"whole file read as packed DIB", with([](InfoBmp&) {}), false, "EInvalidGraphic", "Invalid Bitmap Header Size"},
        {"header size 108", with([](InfoBmp& b) { b.headerSize = 108; }), true, "EInvalidGraphic", "Invalid Bitmap Header Size"},
        {"core header 16 bits", with([](InfoBmp& b) { b.headerSize = 12, b.bitCount = 16, b.tableEntries = 0; }), true, "EInvalidGraphic", "Invalid PM BitCount"},
        {"code 0 with 32 bits", with([](InfoBmp& b) { b.bitCount = 32; b.tableEntries = 0; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"code 1 with 4 bits", with([](InfoBmp& b) { b.compression = 1; b.bitCount = 4; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"code 2 with 8 bits", with([](InfoBmp& b) { b.compression = 2; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"code 3 with 24 bits", with([](InfoBmp& b) { b.compression = 3; b.bitCount = 24; }), true, "EInvalidGraphic", "Invalid BitCout"},
        {"code 4", with([](InfoBmp& b) { b.compression = 4; }), true, "EInvalidGraphic", "Unknown Bitmap Format"},
        {"width 0", with([](InfoBmp& b) { b.width = 0; }), true, "EInvalidGraphic", "Invalid Size"},
        {"negative width", with([](InfoBmp& b) { b.width = -4; }), true, "EInvalidGraphic", "Invalid Size"},
        // Sizes the 32-bit fields cannot hold are refused before any pixel block is made.
        {"rows overflow", with([](InfoBmp& b) { b.bitCount = 24; b.tableEntries = 0; b.width = 3000000; b.height = 2000000; }), true, "EInvalidGraphic", "Invalid Size"},
        {"row bits overflow", with([](InfoBmp& b) { b.compression = 3; b.bitCount = 32; b.tableEntries = 0; b.width = 0x7FFFFFFF; b.height = 1; }), true, "EInvalidGraphic", "Invalid Size"},
        {"height INT_MIN", with([](InfoBmp& b) { b.height = INT32_MIN; }), true, "EInvalidGraphic", "Invalid Size"},
        {"just past 2 GiB", with([](InfoBmp& b) { b.width = 65536; b.height = 32768; }), true, "EInvalidGraphic", "Invalid Size"},
        {"pixels one byte short", with([](InfoBmp& b) { b.pixels.pop_back(); }), true, "EReadError", readError},
        {"colour table cut", with([](InfoBmp& b) { b.tableEntries = 10; b.pixels.clear(); }), true, "EReadError", readError},
        {"RLE8 run past the width", with([](InfoBmp& b) { b.compression = 1; b.pixels = {5, 1, 0, 1}; }), true, "EInvalidGraphic", "Bad RLE Data"},
        {"RLE8 top-down", with([](InfoBmp& b) { b.compression = 1; b.height = -2; b.pixels = {4, 1, 0, 1}; }), true, "EInvalidGraphic", "Bad RLE Data"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectRaise([&] { Read(c.bytes, c.withFileHeader); }, c.message, c.className);
    }
}

TEST(BMPReader, ReadsEachAcceptedLayout) {
    InfoBmp bmp = Valid8();
    auto image = Read(bmp.Build());
    EXPECT_EQ(image->Width, 4);
    EXPECT_EQ(image->Height, 2);
    EXPECT_EQ(image->Info().biClrUsed, 256u);
    EXPECT_FALSE(image->Format.Compressed);
    EXPECT_EQ(image->ColorTable()[7].rgbRed, 248);
    EXPECT_EQ(Pixels(*image), bmp.pixels);
    EXPECT_EQ(image->FirstRow[0], 1);  // bottom-up: the bottom row is stored first
    bmp.height = -2;
    image = Read(bmp.Build());
    EXPECT_EQ(image->Height, 2);
    EXPECT_TRUE(image->Format.TopDown);
    EXPECT_EQ(image->RowStep, -4);
    EXPECT_EQ(image->FirstRow[0], 17);

    InfoBmp fields;
    fields.compression = 3, fields.bitCount = 16, fields.tableEntries = 0, fields.pixels = Bytes(16, 0x5A);
    image = Read(fields.Build());
    EXPECT_EQ(image->Info().biClrUsed, 0u);
    EXPECT_EQ((std::vector{image->Format.RedMask, image->Format.GreenMask, image->Format.BlueMask}), (std::vector{0xF800u, 0x07E0u, 0x001Fu}));
    EXPECT_EQ(std::memcmp(image->ColorTable(), "\x00\xF8\0\0\xE0\x07\0\0\x1F\0\0\0", 12), 0);

    InfoBmp core;  // 3-byte colours; an unsigned 16-bit width
    core.headerSize = 12, core.width = 3, core.pixels = {1, 2, 3, 0, 4, 5, 6, 0};
    image = Read(core.Build());
    EXPECT_EQ(image->Width, 3);
    EXPECT_EQ(image->ColorTable()[9].rgbRed, 246);
    EXPECT_EQ(image->ColorTable()[9].rgbReserved, 0);
    EXPECT_EQ(Pixels(*image), core.pixels);
    core.width = 0x8000, core.height = 1, core.bitCount = 1, core.tableEntries = 2, core.pixels = Bytes(4096);
    EXPECT_EQ(Read(core.Build())->Width, 32768);

    // RLE data is decoded into an uncompressed block, and the picture marked compressed.
    for (const auto& [bits, width, rle, pixels] :
         {std::tuple{8, 4, Bytes{3, 9, 0, 0, 0, 2, 1, 0, 1, 7, 0, 1}, Bytes{9, 9, 9, 0, 0, 7, 0, 0}},
          {4, 5, Bytes{3, 0x12, 2, 0x34, 0, 0, 0, 5, 0x12, 0x34, 0x50, 0, 0, 1}, Bytes{0x12, 0x13, 0x40, 0, 0x12, 0x34, 0x50, 0}}}) {
        InfoBmp encoded = Valid8();
        encoded.compression = bits == 8 ? 1 : 2, encoded.bitCount = uint16_t(bits), encoded.tableEntries = 1u << bits;
        encoded.width = width, encoded.pixels = rle;
        image = Read(encoded.Build());
        EXPECT_TRUE(image->Format.Compressed);
        EXPECT_EQ(image->Info().biCompression, 0u);
        EXPECT_EQ(Pixels(*image), pixels);
    }

    // More than 256 colours: the first 256 are kept; the pixels come from bfOffBits, or in
    // packed mode from behind the declared table.
    bmp = Valid8();
    bmp.clrUsed = bmp.tableEntries = 300;
    image = Read(bmp.Build());
    EXPECT_EQ(image->Info().biClrUsed, 256u);
    EXPECT_EQ(Pixels(*image), bmp.pixels);
    bmp.withFileHeader = false;
    EXPECT_EQ(Pixels(*Read(bmp.Build(), false)), bmp.pixels);
    InfoBmp gap = Valid8();  // bytes between the table and bfOffBits are skipped
    gap.offBits = 14 + 40 + 1024 + 6;
    Bytes gapped = gap.Build();
    gapped.insert(gapped.begin() + 14 + 40 + 1024, 6, 0xAA);
    EXPECT_EQ(Pixels(*Read(gapped)), gap.pixels);
    // The stream is left at bfSize, past whatever the file holds behind its pixels.
    gapped.insert(gapped.end(), 6, 0xEE);
    gapped[2] += 12;  // bfSize: the 6 bytes before the pixels and the 6 behind them
    TTestStream stream(gapped);
    std::unique_ptr<TDIBitmapImage>(TDIBitmapImage::CreateFromStream(stream, true));
    EXPECT_EQ(stream.Position(), static_cast<int32_t>(gapped.size()));
}

// A large picture's pixels are a view of its file. Cut short under the picture, the file can no
// longer give the rows past its new end: they read as zero bytes, no bus error ends the process
// (the encoder's threads meet them too), and writing the picture raises the reader's EReadError,
// whether the pixels go out plainly (the system refuses to copy them) or encoded.
TEST(BMPReader, AFileCutShortUnderItsPictureGivesAReadErrorNotABusError) {
    TempDir dir;
    InfoBmp bmp = Valid8();
    bmp.width = 1024, bmp.height = 1100;  // over a mebibyte of pixels
    bmp.pixels.resize(1024 * 1100);
    for (std::size_t i = 0; i < bmp.pixels.size(); ++i) bmp.pixels[i] = static_cast<uint8_t>(i * 7 + i / 1024 + 1);
    const Bytes file = bmp.Build();
    WriteWhole(dir / "in.bmp", std::string(file.begin(), file.end()));
    std::unique_ptr<TDIBitmapImage> image;
    {
        TFileStream in(dir / "in.bmp", ModeOpenReadDenyWrite);
        image.reset(TDIBitmapImage::CreateFromStream(in, true));
    }
    ASSERT_TRUE(image->BitsIntact());
    ASSERT_EQ(Pixels(*image), bmp.pixels);

    std::filesystem::resize_file(dir / "in.bmp", file.size() / 2);
    EXPECT_FALSE(image->BitsIntact());
    for (const bool compressed : {false, true}) {
        TFileStream out(dir / "out.bmp", ModeCreate);
        ExpectRaise([&] { image->WriteToStream(out, true, compressed); }, "ストリームからの読み込みエラー", "EReadError");
    }
    EXPECT_EQ(image->Bits[0], bmp.pixels[0]);
    EXPECT_EQ(image->Bits[image->Info().biSizeImage - 1], 0);
}

}  // namespace
}  // namespace vdib::test
