// StretchDIBits on the software surface: every pixel format, scaled, mirrored and clipped,
// compared pixel by pixel; and the raster operations.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "support/Pictures.h"

namespace vdib::test {
namespace {

// 9 wide so that every format but 32 bits has padded rows and 1 and 4 bits cross a byte; rows and
// columns all differ, also in their low bit (what 1 bit per pixel keeps).
const std::vector<std::string> Picture = {"123640752", "470216305", "056371241"};

// Each format; 16 and 32 bits with bit fields and with the masks that BI_RGB implies.
const struct {
    TDIBFormat Format;
    bool Implied;
} Encodings[] = {{{1}, false}, {{4}, false}, {{8}, false}, {{24}, false}, {{16, 0xF800, 0x07E0, 0x001F}, false},
                 {{16, 0x7C00, 0x03E0, 0x001F}, true}, {{32, 0x0000FF, 0x00FF00, 0xFF0000}, false}, {{32, 0xFF0000, 0x00FF00, 0x0000FF}, true}};

// The pixel block is exactly RowBytes x height: the sanitizer build sees any read past it.
std::unique_ptr<TDIBitmapImage> MakeDIB(TDIBFormat format, bool implied, bool topDown) {
    format.TopDown = topDown;
    std::unique_ptr<TDIBitmapImage> image(MakeImage(format, Picture));
    if (implied) image->Info().biCompression = BI_RGB, std::memset(image->ColorTable(), 0, 12);
    if (format.BitCount == 8) image->Info().biClrUsed = 0;  // the whole table of 256
    return image;
}

// The expected surface: the background, and from (left, top) on the picture's pixels given by
// the source column of each destination column and the source row of each destination row.
std::vector<std::string> Expect(int left, int top, const std::vector<int>& columns, const std::vector<int>& rows, bool oneBit) {
    std::vector<std::string> surface(9, std::string(22, '.'));
    for (std::size_t j = 0; j < rows.size(); ++j)
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const int x = left + int(i), y = top + int(j), id = Picture[rows[j]][columns[i]] - '0';
            if (x >= 0 && x < 22 && y >= 0 && y < 9) surface[y][x] = static_cast<char>('0' + (oneBit ? id & 1 : id));
        }
    return surface;
}

TEST(StretchDIBits, ScalesMirrorsAndClipsEveryFormatByTheNearestPixel) {
    const std::vector<int> all = {0, 1, 2, 3, 4, 5, 6, 7, 8}, twice = {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8};
    const struct {
        const char* name;
        int32_t x, y, w, h;
        int left, top;  // the destination rectangle's top-left pixel
        std::vector<int> columns, rows;
    } cases[] = {
        {"same size", 1, 1, 9, 3, 1, 1, all, {0, 1, 2}},
        {"uneven enlargement", 0, 0, 20, 7, 0, 0, {0, 0, 1, 1, 2, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 6, 7, 7, 8, 8}, {0, 0, 1, 1, 1, 2, 2}},
        {"uneven shrinking", 0, 0, 4, 2, 0, 0, {1, 3, 5, 7}, {0, 2}},
        {"mirrored left to right", 10, 1, -9, 3, 1, 1, {8, 7, 6, 5, 4, 3, 2, 1, 0}, {0, 1, 2}},
        {"mirrored both ways, twice", 19, 7, -18, -6, 1, 1, {twice.rbegin(), twice.rend()}, {2, 2, 1, 1, 0, 0}},
        {"clipped at the top left", -4, -1, 9, 3, -4, -1, all, {0, 1, 2}},
        {"clipped at the bottom right", 18, 7, 18, 6, 18, 7, twice, {0, 0, 1, 1, 2, 2}},
    };
    for (const auto& e : Encodings) {
        for (const bool topDown : {false, true}) {
            const auto dib = MakeDIB(e.Format, e.Implied, topDown);
            for (const auto& c : cases) {
                SCOPED_TRACE(testing::Message() << e.Format.BitCount << " bits" << (e.Implied ? ", implied masks" : "") << (topDown ? ", top-down, " : ", ") << c.name);
                const HDC dc = CreateSurfaceDC(22, 9, Background);
                EXPECT_EQ(StretchDIBits(dc, c.x, c.y, c.w, c.h, 0, 0, 9, 3, dib->Bits, dib->InfoBlock(), DIB_RGB_COLORS, SRCCOPY), 3);
                EXPECT_EQ(Render(dc, e.Format.BitCount), Expect(c.left, c.top, c.columns, c.rows, e.Format.BitCount == 1));
                DeleteSurfaceDC(dc);
            }
        }
    }
}

TEST(StretchDIBits, RasterOperationsCombineSourceAndDestination) {
    const auto dib = MakeDIB({24}, false, false);  // (1, 0) from the bottom is colour 5
    for (const auto& [rop, expected] : {std::pair{SRCCOPY, 0x00FFFFu}, {SRCINVERT, 0x807F7Fu}, {0x00F00021u /* PATCOPY */, Background}}) {
        const HDC dc = CreateSurfaceDC(1, 1, Background);
        EXPECT_EQ(StretchDIBits(dc, 0, 0, 1, 1, 1, 0, 1, 1, dib->Bits, dib->InfoBlock(), DIB_RGB_COLORS, rop), rop == 0x00F00021u ? 0 : 1);
        EXPECT_EQ(SurfacePixel(dc, 0, 0), expected) << std::hex << rop;
        DeleteSurfaceDC(dc);
    }
}

}  // namespace
}  // namespace vdib::test
