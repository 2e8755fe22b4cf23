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
// another graphic loads the same picture from it; it stays the caller's, unlocked, and put on the
// clipboard, which owns it from then on, it comes back from there too.
TEST(Clipboard, SavesAPackedDIBWithPlainPixelsThatLoadsBackAndRefusesOtherFormats) {
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
        TTestBitmap graphic(image), copy, pasted;
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
        if (loadsBack) copy.LoadClipboardBlock(format, data, palette);
        EXPECT_EQ(GlobalFlags(data) & GMEM_LOCKCOUNT, 0u);
        ASSERT_TRUE(OpenClipboard(nullptr) && EmptyClipboard());
        EXPECT_EQ(SetClipboardData(format, data), data);
        ASSERT_TRUE(CloseClipboard() && OpenClipboard(nullptr));
        if (loadsBack) pasted.LoadClipboardBlock(CF_DIB, static_cast<HGLOBAL>(GetClipboardData(CF_DIB)), 0);
        EXPECT_TRUE(EmptyClipboard() && CloseClipboard());
        DeleteObject(palette);
        EXPECT_EQ(Written(copy.ImageRef(), false), loadsBack ? expected : Written(TTestBitmap().ImageRef(), false));
        EXPECT_EQ(Written(pasted.ImageRef(), false), Written(copy.ImageRef(), false));
    }
    // Another format, or no block, is refused before anything changes.
    TTestBitmap graphic;
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, 40);
    for (const auto& [format, data] : {std::pair{uint16_t{2}, block}, {CF_DIB, HGLOBAL{0}}})
        EXPECT_EQ(RaisedBy([&] { graphic.LoadClipboardBlock(format, data, 0); }), "EInvalidGraphic: Invalid Clipboard Format or No Data");
    EXPECT_TRUE(graphic.ImageRef().IsEmpty());
    EXPECT_EQ(GlobalFree(block), nullptr);
}

// The whole picture stretched into the rectangle, mirrored where it runs backwards (here both
// ways, twice the size); an empty picture does not even ask for the device context. A palette
// given to a bit-field picture goes after its masks: it draws, writes and reads back as before.
// The drawing, written out and read back, is a 24-bit picture of the surface.
TEST(Drawing, PaintOnStretchesAndMirrorsAndTheDrawingSavesAsABMP) {
    TTestBitmap empty;
    TSurfaceCanvas untouched(4, 4);
    empty.PaintOn(untouched, {0, 0, 4, 4});
    EXPECT_EQ(untouched.Surface(), nullptr);
    const std::vector<std::string> drawing{"005544", "005544", "332211", "332211"};
    const std::unique_ptr<TDIBitmapImage> expected(MakeImage({24}, drawing));
    for (const TDIBFormat& f : {TDIBFormat{8}, TDIBFormat{16, 0xF800, 0x07E0, 0x001F}, TDIBFormat{32, 0xFF0000, 0xFF00, 0xFF}}) {
        SCOPED_TRACE(f.BitCount);
        TTestBitmap graphic(MakeImage(f, {"123", "450"}));
        TTestStream file, drawn;
        if (f.RedMask != 0) {
            graphic.ChangePalette(CreatePalette(LOGPALETTE{0x300, 256, {}}));
            EXPECT_EQ(graphic.ImageRef().Info().biClrUsed, 253u);
            graphic.SaveStream(file);
            EXPECT_EQ(file.Size(), 14 + 40 + 12 + 4 * 253 + graphic.ImageRef().Info().biSizeImage);
            const std::unique_ptr<TDIBitmapImage> back(ReadPicture(ToString(file.Data())));
            EXPECT_EQ(back->Format.RedMask, f.RedMask);
            EXPECT_EQ(0, std::memcmp(back->Bits, graphic.ImageRef().Bits, graphic.ImageRef().Info().biSizeImage));
        }
        TSurfaceCanvas canvas(6, 4, Background);
        graphic.PaintOn(canvas, {5, 3, -1, -1});
        EXPECT_EQ(Render(canvas.Surface(), f.BitCount), drawing);
        SaveSurfaceAsBMP(canvas.Surface(), drawn);
        EXPECT_EQ(Written(*ReadPicture(ToString(drawn.Data())), false), Written(*expected, false));
    }
    TTestStream file;  // no surface: the platform's error, with its text
    EXPECT_TRUE(std::regex_match(RaisedBy([&] { SaveSurfaceAsBMP(nullptr, file); }),
                                 std::regex("EOSError: (System Error\\.  Code: [0-9]+\\.\r\n.+|A call to an OS function failed)")));
}

}  // namespace
}  // namespace vdib::test
