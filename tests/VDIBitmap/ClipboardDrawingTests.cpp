// TDIBitmap's clipboard blocks and drawing, on small pictures of several pixel formats.
#include "support/BmpBytes.h"

namespace vdib::test {
namespace {

// A graphic holding the given image (null: a new graphic's).
struct TTestBitmap : TDIBitmap {
    explicit TTestBitmap(TDIBitmapImage* image = nullptr) {
        if (image != nullptr) HoldImage(image);
    }
};

// The block is exactly the packed DIB the writer gives for the picture with plain pixels, and
// another graphic loads the same picture from it.
TEST(Clipboard, SavesAPackedDIBWithPlainPixelsThatLoadsBack) {
    const auto noColours = [](TDIBitmapImage* image) { return image->Info().biClrUsed = 0, image; };
    // Image (null: a new graphic's), compressed, block size, loads back.
    const std::tuple<TDIBitmapImage*, bool, std::size_t, bool> cases[] = {
        {MakeImage({8}, {"12", "34"}), false, 40 + 1024 + 8, true},
        {nullptr, false, 40, false},  // the reader refuses a picture without pixels
        {MakeImage({16, 0xF800, 0x07E0, 0x001F}, {"123"}), false, 40 + 12 + 8, true},
        {noColours(MakeImage({1}, {"101"})), false, 40 + 8 + 4, false},  // the writer's full table
        {MakeImage({8}, {"1", "2", "3"}), true, 40 + 1024 + 12, true},  // RLE8 would take 14 bytes
        {MakeImage({24, 0, 0, 0, true}, {"12", "34"}), false, 40 + 16, true},
    };
    for (const auto& [image, compressed, size, loadsBack] : cases) {
        TTestBitmap graphic(image), copy;
        const Bytes expected = Written(graphic.ImageRef(), false);
        graphic.SetCompressed(compressed);
        uint16_t format = 0;
        HGLOBAL data = 0;
        HPALETTE palette = 0;
        graphic.SaveClipboardBlock(format, data, palette);
        EXPECT_EQ(format, CF_DIB);
        ASSERT_EQ(GlobalSize(data), size);
        EXPECT_EQ(ToHex(static_cast<const uint8_t*>(GlobalLock(data)), size), ToHex(expected));
        GlobalUnlock(data);
        uint16_t entries = 0;  // 0 entries: no palette at all; else a copy, not the picture's own
        EXPECT_TRUE(palette == 0 || (palette != graphic.QueryPalette() && GetObjectA(palette, sizeof entries, &entries) == 2));
        EXPECT_EQ(entries, graphic.ImageRef().ColorCount());
        if (loadsBack) {
            copy.LoadClipboardBlock(format, data, palette);
            EXPECT_EQ(Written(copy.ImageRef(), false), expected);
        }
        EXPECT_EQ(GlobalFree(data), nullptr);  // unlocked again, and still the caller's
        DeleteObject(palette);
    }
}

// Put on the clipboard, which owns the block from then on, the picture comes back from it.
TEST(Clipboard, RoundTripThroughTheClipboard) {
    TTestBitmap graphic(MakeImage({8}, {"12", "34"})), copy;
    uint16_t format = 0;
    HGLOBAL data = 0;
    HPALETTE palette = 0;
    graphic.SaveClipboardBlock(format, data, palette);
    ASSERT_TRUE(OpenClipboard(nullptr) && EmptyClipboard());
    EXPECT_EQ(SetClipboardData(format, data), data);
    ASSERT_TRUE(CloseClipboard() && OpenClipboard(nullptr));
    copy.LoadClipboardBlock(CF_DIB, static_cast<HGLOBAL>(GetClipboardData(CF_DIB)), 0);
    EXPECT_TRUE(EmptyClipboard() && CloseClipboard() && DeleteObject(palette));
    EXPECT_EQ(Written(copy.ImageRef(), false), Written(graphic.ImageRef(), false));
}

TEST(Clipboard, LoadRefusesAnotherFormatOrNoBlockBeforeAnyChange) {
    TTestBitmap graphic;
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 40);
    for (const auto& [format, data] : {std::pair{uint16_t{2}, block}, {CF_DIB, HGLOBAL{0}}})
        EXPECT_EQ(RaisedBy([&] { graphic.LoadClipboardBlock(format, data, 0); }), "EInvalidGraphic: Invalid Clipboard Format or No Data");
    EXPECT_TRUE(graphic.ImageRef().IsEmpty());
    EXPECT_EQ(GlobalFree(block), nullptr);
}

// The whole picture stretched into the rectangle (mirrored where it runs backwards) with its
// palette selected; an empty picture does not even ask for the device context.
TEST(Drawing, PaintOnMakesTheseCallsAndNoneForAnEmptyPicture) {
    TTestBitmap empty, graphic(MakeImage({8}, std::vector<std::string>(25, std::string(50, '1'))));
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
    graphic.PaintOn(canvas, {110, 70, 10, 20});  // mirrored both ways
    EXPECT_EQ(SurfaceCalls(canvas.Surface()).at(10), "StretchDIBits(110,70,-100,-50,0,0,50,25,0,0x00CC0020)");
#endif
}

// A palette given to a bit-field picture goes after its masks: it draws, writes and reads back
// as before. The drawing, written out and read back, is a 24-bit picture of the surface.
TEST(Drawing, APaletteKeepsTheMasksOfABitFieldPictureAndTheDrawingSavesAsABMP) {
    for (const TDIBFormat& f : {TDIBFormat{16, 0xF800, 0x07E0, 0x001F}, TDIBFormat{32, 0xFF0000, 0xFF00, 0xFF}}) {
        TTestBitmap graphic(MakeImage(f, {"123", "450"}));
        const std::unique_ptr<TDIBitmapImage> expected(MakeImage({24}, {"123", "450"}));
        graphic.ChangePalette(CreatePalette(LOGPALETTE{0x300, 256, {}}));
        EXPECT_EQ(graphic.ImageRef().Info().biClrUsed, 253u);
        TTestStream file, drawn;
        graphic.SaveStream(file);
        EXPECT_EQ(file.Size(), 14 + 40 + 12 + 4 * 253 + graphic.ImageRef().Info().biSizeImage);
        const std::unique_ptr<TDIBitmapImage> back(ReadPicture(ToString(file.Data())));
        EXPECT_EQ(back->Format.RedMask, f.RedMask);
        EXPECT_EQ(0, std::memcmp(back->Bits, graphic.ImageRef().Bits, graphic.ImageRef().Info().biSizeImage));
        TSurfaceCanvas canvas(3, 2, Background);
        graphic.PaintOn(canvas, {0, 0, 3, 2});
        EXPECT_EQ(Render(canvas.Surface(), f.BitCount), (std::vector<std::string>{"123", "450"})) << f.BitCount;
        SaveSurfaceAsBMP(canvas.Surface(), drawn);
        EXPECT_EQ(Written(*ReadPicture(ToString(drawn.Data())), false), Written(*expected, false));
    }
    TTestStream file;
    EXPECT_EQ(RaisedBy([&] { SaveSurfaceAsBMP(nullptr, file); }).substr(0, 8), "EOSError");
}

}  // namespace
}  // namespace vdib::test
