// TDIBitmap drawing itself onto a canvas: the calls it makes and their arguments, and the
// pictures that come out at each pixel format; and a surface written out as a BMP file.
#include <gtest/gtest.h>

#include <cstring>

#include "DeviceContext.h"
#include "Pictures.h"

namespace vdib {
namespace {

using test::kFormats;
using test::TTestBitmap;

constexpr uint32_t kBackground = 0x808080;

TEST(Drawing, AnEmptyPictureMakesNoCallAtAll) {
    TTestBitmap graphic;
    TSurfaceCanvas canvas(4, 4);
    bool changing = false;
    canvas.OnChanging = [&] { changing = true; };
    graphic.PaintOn(canvas, {0, 0, 4, 4});
    EXPECT_EQ(canvas.Surface(), 0u);  // not even the device context was asked for
    EXPECT_FALSE(changing);
    EXPECT_EQ(graphic.PaletteQueries, 0);
}

TEST(Drawing, StretchesTheWholePictureIntoTheRectangle) {
    const struct {
        int Format;
        uint32_t CopyMode;
        TRect Rect;
        std::vector<std::string> Calls;  // "P" stands for the picture's palette
        int PaletteQueries;
    } cases[] = {
        {2, SRCCOPY, {10, 20, 110, 70},
         {"SaveDC()", "SelectPalette(P,1)", "RealizePalette()", "SetStretchBltMode(3)",
          "StretchDIBits(10,20,100,50,0,0,50,25,0,0x00CC0020)", "RestoreDC(-1)"},
         2},
        {4, SRCINVERT, {110, 70, 10, 20},
         {"SaveDC()", "SetStretchBltMode(3)", "StretchDIBits(110,70,-100,-50,0,0,50,25,0,0x00660046)", "RestoreDC(-1)"},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Format);
        TTestBitmap graphic(test::MakeImage(kFormats[c.Format], std::vector<std::string>(25, std::string(50, '1'))));
        TSurfaceCanvas canvas(120, 80);
        canvas.CopyMode = c.CopyMode;
        graphic.PaintOn(canvas, c.Rect);
        std::vector<std::string> calls = SurfaceCalls(canvas.Surface());
        const std::string palette = std::to_string(graphic.ImageRef().PaletteHandle);
        for (std::string& call : calls)
            if (call.starts_with("SelectPalette(" + palette + ",")) call.replace(14, palette.size(), "P");
        EXPECT_EQ(calls, c.Calls);
        EXPECT_EQ(graphic.PaletteQueries, c.PaletteQueries);
        EXPECT_EQ(GetSelectedPalette(canvas.Surface()), 0u);  // the saved state is back
        EXPECT_EQ(graphic.Notifications, 0);
    }
}

// The surface as colour ids ('.' the background); 1 bit per pixel shows ids 0 and 1 only.
std::vector<std::string> Render(HDC dc, int32_t bitCount) {
    std::vector<std::string> rows(SurfaceHeight(dc), std::string(SurfaceWidth(dc), '?'));
    for (int32_t y = 0; y < SurfaceHeight(dc); ++y)
        for (int32_t x = 0; x < SurfaceWidth(dc); ++x)
            for (int id = 7; id >= -1; --id)
                if (SurfacePixel(dc, x, y) == (id < 0 ? kBackground : test::ColourOf(bitCount, id)))
                    rows[y][x] = id < 0 ? '.' : static_cast<char>('0' + id);
    return rows;
}

class DrawingFormats : public testing::TestWithParam<test::TPictureFormat> {};

TEST_P(DrawingFormats, EnlargesShrinksAndMirrors) {
    const test::TPictureFormat& f = GetParam();
    const struct {
        const char* Name;
        TRect Rect;
        std::vector<std::string> Expected;
    } cases[] = {
        {"twice the size", {1, 0, 7, 4}, {".112233.", ".112233.", ".445500.", ".445500."}},
        {"shrunk", {0, 0, 2, 1}, {"40......", "........", "........", "........"}},
        {"mirrored both ways", {4, 2, 1, 0}, {".054....", ".321....", "........", "........"}},
    };
    for (const bool topDown : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + (topDown ? ", top-down" : ""));
            TTestBitmap graphic(test::MakeImage(f, {"123", "450"}, topDown));
            TSurfaceCanvas canvas(8, 4, kBackground);
            graphic.PaintOn(canvas, c.Rect);
            std::vector<std::string> expected = c.Expected;
            for (std::string& row : expected)
                for (char& pixel : row)
                    if (f.BitCount == 1 && pixel != '.') pixel = static_cast<char>('0' + ((pixel - '0') & 1));
            EXPECT_EQ(Render(canvas.Surface(), f.BitCount), expected);
        }
    }
}

// A palette given to a bit-field picture goes after its masks: it draws, writes and reads back
// as before.
TEST(Drawing, APaletteKeepsTheMasksOfABitFieldPicture) {
    for (const auto& f : {kFormats[3], kFormats[5]}) {
        SCOPED_TRACE(f.Name);
        TTestBitmap graphic(test::MakeImage(f, {"123", "450"}));
        LOGPALETTE grey{0x300, 256, {}};
        graphic.ChangePalette(CreatePalette(grey));
        EXPECT_EQ(graphic.ImageRef().Info.biClrUsed, 253u);
        TSurfaceCanvas canvas(3, 2, kBackground);
        graphic.PaintOn(canvas, {0, 0, 3, 2});
        EXPECT_EQ(Render(canvas.Surface(), f.BitCount), (std::vector<std::string>{"123", "450"}));
        TMemoryStream file;
        graphic.SaveStream(file);
        EXPECT_EQ(file.Size(), 14 + 40 + 12 + 4 * 253 + graphic.ImageRef().Info.biSizeImage);
        file.Seek(0, soBeginning);
        TDIBitmap back;
        back.LoadStream(file);
        EXPECT_EQ(back.ImageRef().Format.RedMask, f.Masks[0]);
        EXPECT_EQ(0, std::memcmp(back.ImageRef().Bits, graphic.ImageRef().Bits, graphic.ImageRef().Info.biSizeImage));
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, DrawingFormats, testing::ValuesIn(kFormats),
                         [](const auto& info) { return std::string("bits") + info.param.Name; });

// Written out and read back, the drawing is a 24-bit picture of the surface, pixel for pixel.
TEST(Drawing, SavesASurfaceAsA24BitBMP) {
    TTestBitmap graphic(test::MakeImage(kFormats[2], {"123", "450"}));
    TSurfaceCanvas canvas(5, 3, kBackground);
    graphic.PaintOn(canvas, {1, 1, 4, 3});
    TMemoryStream file;
    SaveSurfaceAsBMP(canvas.Surface(), file);
    file.Seek(0, soBeginning);
    TDIBitmap drawing;
    drawing.LoadStream(file);
    ASSERT_EQ(drawing.ImageRef().Format.BitCount, 24);
    TSurfaceCanvas copy(5, 3, 0);
    drawing.PaintOn(copy, {0, 0, 5, 3});
    EXPECT_EQ(Render(copy.Surface(), 24), (std::vector<std::string>{".....", ".123.", ".450."}));
    EXPECT_THROW(SaveSurfaceAsBMP(0x1234, file), EOSError);
}

}  // namespace
}  // namespace vdib
