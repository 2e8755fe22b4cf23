// TDIBitmap's clipboard blocks and drawing, on small pictures of every pixel format; and the
// fixed-block stream the clipboard writes through.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <tuple>

#include <VDIBitmap/DIBitmap.h>
#include <VDIBitmap/DeviceContext.h>
#include <VDIBitmap/GlobalMemory.h>
#include "support/ChildProcess.h"

namespace vdib {
namespace {

using Bytes = std::vector<uint8_t>;

// Id n shows kColours[n] (1 bit per pixel keeps the id's low bit); every format holds them exactly.
constexpr uint32_t kColours[8] = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF, 0xFFFFFF};
constexpr uint32_t kBackground = 0x808080;
const TDIBFormat kFormats[] = {{1}, {4}, {8}, {16, 0xF800, 0x07E0, 0x001F}, {24}, {32, 0xFF0000, 0xFF00, 0xFF}};

// Rows of colour ids, top row first; indexed formats get kColours as colours (two for 1 bit).
TDIBitmapImage* MakeImage(TDIBFormat f, const std::vector<std::string>& rows, bool topDown = false) {
    f.TopDown = topDown;
    const auto height = static_cast<int32_t>(rows.size());
    TDIBitmapImage* image = TDIBitmapImage::CreateBlank(f, static_cast<int32_t>(rows[0].size()), height);
    if (f.BitCount <= 8) image->Info().biClrUsed = f.BitCount == 1 ? 2 : 8;
    for (uint32_t i = 0; i < image->Info().biClrUsed; ++i)
        image->ColorTable()[i] = {uint8_t(kColours[i]), uint8_t(kColours[i] >> 8), uint8_t(kColours[i] >> 16), 0};
    for (int32_t y = 0, bits = f.BitCount; y < height; ++y) {
        for (int32_t x = 0; x < image->Width; ++x) {
            uint8_t* at = image->PictureRow(height - 1 - y) + x * bits / 8;
            const int id = rows[y][x] - '0';
            const uint32_t c = kColours[id];
            uint32_t value = bits == 1 ? id & 1 : bits <= 8 ? id : c;
            if (f.RedMask != 0)
                value = (c & 0xFF0000 ? f.RedMask : 0) | (c & 0xFF00 ? f.GreenMask : 0) | (c & 0xFF ? f.BlueMask : 0);
            if (bits < 8) *at |= static_cast<uint8_t>(value << (8 - bits * (x % (8 / bits) + 1)));
            for (int i = 0; i < bits / 8; ++i) at[i] = static_cast<uint8_t>(value >> 8 * i);
        }
    }
    return image;
}

// The surface as colour ids ('.' the background, '?' any other colour).
std::vector<std::string> Render(HDC dc) {
    std::vector<std::string> rows(SurfaceHeight(dc), std::string(SurfaceWidth(dc), '?'));
    for (int32_t y = 0; y < SurfaceHeight(dc); ++y)
        for (int32_t x = 0; x < SurfaceWidth(dc); ++x)
            for (int id = -1; id < 8; ++id)
                if (SurfacePixel(dc, x, y) == (id < 0 ? kBackground : kColours[id])) rows[y][x] = ".01234567"[id + 1];
    return rows;
}

// A graphic holding the given image (null: a new graphic's).
struct TTestBitmap : TDIBitmap {
    explicit TTestBitmap(TDIBitmapImage* image = nullptr) {
        if (image != nullptr) HoldImage(image);
    }
};

Bytes PackedBytes(const TDIBitmapImage& image) {
    TMemoryStream stream;
    image.WriteToStream(stream, false);
    const auto* p = static_cast<const uint8_t*>(stream.BlockAddress());
    return Bytes(p, p + stream.BlockSize());
}

// The probe writes Count bytes at Position into a 10-byte block of A0..A9; its finalisation
// prints the block. Past the block: run-time error 216 before any byte moves, no clean-up of the
// interrupted operation, finalisations still run.
TEST(MemoryScanStream, WritesInsideTheBlockOrStopsTheProgram) {
    const std::string untouched = "block A0 A1 A2 A3 A4 A5 A6 A7 A8 A9\r\n", stop = "Runtime error 216 at [0-9A-F]{8}\r\n";
    const std::tuple<std::string, std::string, int, std::string> cases[] = {
        {"0", "10", 0, "wrote 10, at 10\r\ncleanup\r\nblock 01 02 03 04 05 06 07 08 09 0A\r\n"},
        {"3", "-1", 0, "wrote 0, at 3\r\ncleanup\r\n" + untouched},
        {"8", "3", 216, stop + untouched},
        {"12", "0", 216, stop + untouched},
        {"-1", "1", 216, stop + untouched},
    };
    test::TempDir directory;
    for (const auto& [position, count, exitCode, out] : cases) {
        const test::TChildResult result = test::RunChild(SCAN_PROBE_PATH, {position, count}, directory.Path);
        EXPECT_EQ(result.ExitCode, exitCode) << position << " " << count;
        EXPECT_TRUE(std::regex_match(result.Out, std::regex(out))) << result.Out;
    }
}

// The block is exactly the packed DIB the writer gives for the picture with plain pixels, and
// another graphic loads the same picture from it.
TEST(Clipboard, SavesAPackedDIBWithPlainPixelsThatLoadsBack) {
    const auto colours = [](uint32_t count, TDIBitmapImage* image) { return image->Info().biClrUsed = count, image; };
    // Image (null: a new graphic's), compressed, block size, loads back as the same bytes.
    const std::tuple<TDIBitmapImage*, bool, std::size_t, bool> cases[] = {
        {colours(256, MakeImage(kFormats[2], {"12", "34"})), false, 40 + 1024 + 8, true},
        {nullptr, false, 40, false},  // the reader refuses a picture without pixels
        {MakeImage(kFormats[3], {"123"}), false, 40 + 12 + 8, true},
        {colours(0, MakeImage(kFormats[0], {"101"})), false, 40 + 8 + 4, false},  // the writer's full table
        {MakeImage(kFormats[2], {"1", "2", "3"}), true, 40 + 32 + 12, true},     // RLE8 would take 14 bytes
        {MakeImage(kFormats[4], {"12", "34"}, true), false, 40 + 16, true},
    };
    for (const auto& [image, compressed, size, loadsBack] : cases) {
        TTestBitmap graphic(image), copy;
        const Bytes expected = PackedBytes(graphic.ImageRef());
        graphic.SetCompressed(compressed);
        uint16_t format = 0;
        HGLOBAL data = 0;
        HPALETTE palette = 0;
        graphic.SaveClipboardBlock(format, data, palette);
        EXPECT_EQ(format, CF_DIB);
        ASSERT_EQ(GlobalSize(data), size);
        const auto* bytes = static_cast<const uint8_t*>(GlobalLock(data));
        EXPECT_EQ(Bytes(bytes, bytes + size), expected);
        GlobalUnlock(data);
        EXPECT_TRUE(palette == 0 || palette != graphic.QueryPalette());  // a copy, not the picture's own
        if (loadsBack) {
            copy.LoadClipboardBlock(format, data, palette);
            EXPECT_EQ(PackedBytes(copy.ImageRef()), expected);
        }
        EXPECT_EQ(GlobalFree(data), nullptr);  // unlocked again, and still the caller's
        DeleteObject(palette);
    }
}

// Put on the clipboard, which owns the block from then on, the picture comes back from it.
TEST(Clipboard, RoundTripThroughTheClipboard) {
    TTestBitmap graphic(MakeImage(kFormats[2], {"12", "34"})), copy;
    uint16_t format = 0;
    HGLOBAL data = 0;
    HPALETTE palette = 0;
    graphic.SaveClipboardBlock(format, data, palette);
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    EXPECT_EQ(SetClipboardData(format, data), data);
    CloseClipboard();
    ASSERT_TRUE(OpenClipboard(nullptr));
    const HGLOBAL held = static_cast<HGLOBAL>(GetClipboardData(CF_DIB));
    ASSERT_NE(held, nullptr);
    copy.LoadClipboardBlock(CF_DIB, held, 0);
    EmptyClipboard();
    CloseClipboard();
    DeleteObject(palette);
    EXPECT_EQ(PackedBytes(copy.ImageRef()), PackedBytes(graphic.ImageRef()));
}

TEST(Clipboard, LoadRefusesAnotherFormatOrNoBlockBeforeAnyChange) {
    TTestBitmap graphic;
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 40);
    for (const auto& [format, data] : {std::pair{uint16_t{2}, block}, {CF_DIB, HGLOBAL{0}}}) {
        try {
            graphic.LoadClipboardBlock(format, data, 0);
            ADD_FAILURE() << "loaded format " << format;
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Message(), "Invalid Clipboard Format or No Data");
        }
    }
    EXPECT_TRUE(graphic.ImageRef().IsEmpty());
    EXPECT_EQ(GlobalFree(block), nullptr);
}

// The whole picture stretched into the rectangle with its palette selected; an empty picture
// does not even ask for the device context.
TEST(Drawing, PaintOnMakesTheseCallsAndNoneForAnEmptyPicture) {
    TTestBitmap empty, graphic(MakeImage(kFormats[2], std::vector<std::string>(25, std::string(50, '1'))));
    TSurfaceCanvas untouched(4, 4), canvas(120, 80);
    empty.PaintOn(untouched, {0, 0, 4, 4});
    EXPECT_EQ(untouched.Surface(), nullptr);
    graphic.PaintOn(canvas, {10, 20, 110, 70});
#if !defined(_WIN32)  // GDI keeps no record of the calls
    const std::string palette = std::to_string(HandleValue(graphic.ImageRef().PaletteHandle));
    EXPECT_EQ(SurfaceCalls(canvas.Surface()),
              (std::vector<std::string>{"SaveDC()", "SelectPalette(" + palette + ",1)", "RealizePalette()",
                                        "SetStretchBltMode(3)", "StretchDIBits(10,20,100,50,0,0,50,25,0,0x00CC0020)",
                                        "RestoreDC(-1)"}));
#endif
}

TEST(Drawing, EnlargesShrinksAndMirrorsEveryFormat) {
    const std::pair<TRect, std::vector<std::string>> cases[] = {
        {{1, 0, 7, 4}, {".112233.", ".112233.", ".445500.", ".445500."}},
        {{0, 0, 2, 1}, {"23......", "........", "........", "........"}},
        {{4, 2, 1, 0}, {"........", "..054...", "..321...", "........"}},
    };
    for (const auto& f : kFormats) {
        for (const bool topDown : {false, true}) {
            for (auto [rect, expected] : cases) {
                TTestBitmap graphic(MakeImage(f, {"123", "450"}, topDown));
                TSurfaceCanvas canvas(8, 4, kBackground);
                graphic.PaintOn(canvas, rect);
                for (std::string& row : expected)  // 1 bit per pixel shows the ids' low bits
                    for (char& pixel : row) pixel = pixel == '.' || f.BitCount > 1 ? pixel : char('0' + (pixel & 1));
                EXPECT_EQ(Render(canvas.Surface()), expected) << f.BitCount << " bits, top-down " << topDown;
            }
        }
    }
}

// A palette given to a bit-field picture goes after its masks: it draws, writes and reads back
// as before.
TEST(Drawing, APaletteKeepsTheMasksOfABitFieldPicture) {
    for (const auto& f : {kFormats[3], kFormats[5]}) {
        TTestBitmap graphic(MakeImage(f, {"123", "450"})), back;
        graphic.ChangePalette(CreatePalette(LOGPALETTE{0x300, 256, {}}));
        EXPECT_EQ(graphic.ImageRef().Info().biClrUsed, 253u);
        TSurfaceCanvas canvas(3, 2, kBackground);
        graphic.PaintOn(canvas, {0, 0, 3, 2});
        EXPECT_EQ(Render(canvas.Surface()), (std::vector<std::string>{"123", "450"})) << f.BitCount;
        TMemoryStream file;
        graphic.SaveStream(file);
        EXPECT_EQ(file.Size(), 14 + 40 + 12 + 4 * 253 + graphic.ImageRef().Info().biSizeImage);
        file.Seek(0, soBeginning);
        back.LoadStream(file);
        EXPECT_EQ(back.ImageRef().Format.RedMask, f.RedMask);
        EXPECT_EQ(0, std::memcmp(back.ImageRef().Bits, graphic.ImageRef().Bits, graphic.ImageRef().Info().biSizeImage));
    }
}

// Written out and read back, the drawing is a 24-bit picture of the surface, pixel for pixel.
TEST(Drawing, SavesASurfaceAsA24BitBMP) {
    TTestBitmap graphic(MakeImage(kFormats[2], {"123", "450"})), drawing;
    TTestBitmap expected(MakeImage(kFormats[4], {"00000", "01230", "04500"}));
    TSurfaceCanvas canvas(5, 3, 0);
    graphic.PaintOn(canvas, {1, 1, 4, 3});
    TMemoryStream file;
    SaveSurfaceAsBMP(canvas.Surface(), file);
    file.Seek(0, soBeginning);
    drawing.LoadStream(file);
    EXPECT_EQ(PackedBytes(drawing.ImageRef()), PackedBytes(expected.ImageRef()));
    EXPECT_THROW(SaveSurfaceAsBMP(reinterpret_cast<HDC>(std::uintptr_t{0x1234}), file), EOSError);
}

}  // namespace
}  // namespace vdib
