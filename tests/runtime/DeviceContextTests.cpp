// StretchDIBits on the software surface: every pixel format, scaled, mirrored and clipped,
// compared pixel by pixel.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <VDIBitmap/DeviceContext.h>

namespace vdib {
namespace {

// Colours with channels 0 or 255 only, so that every pixel format holds them exactly.
constexpr uint32_t Colours[8] = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF, 0xFFFFFF};
constexpr uint32_t Background = 0x808080;

// A picture as colour ids, top row first. 9 wide so that every format but 32 bits has padded
// rows and 1 and 4 bits cross a byte; rows and columns all differ, also in their low bit (what
// 1 bit per pixel keeps).
const std::vector<std::vector<int>> Picture = {{1, 2, 3, 6, 4, 0, 7, 5, 2}, {4, 7, 0, 2, 1, 6, 3, 0, 5}, {0, 5, 6, 3, 7, 1, 2, 4, 1}};

struct TEncoding {
    uint16_t BitCount;
    uint32_t Compression;
    uint32_t Masks[3];  // red, green, blue: given for BI_BITFIELDS, implied by BI_RGB
};

const TEncoding Encodings[] = {
    {1, BI_RGB, {}}, {4, BI_RGB, {}}, {8, BI_RGB, {}}, {24, BI_RGB, {0xFF0000, 0x00FF00, 0x0000FF}},
    {16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}}, {16, BI_RGB, {0x7C00, 0x03E0, 0x001F}},
    {32, BI_BITFIELDS, {0x000000FF, 0x0000FF00, 0x00FF0000}}, {32, BI_RGB, {0xFF0000, 0x00FF00, 0x0000FF}},
};

// Where a palette format keeps colour id `id`, so that a drawing that ignores the table or
// reads nibbles or bits in the wrong order shows it: 1 bit keeps the id's low bit (blue or
// yellow), 4 bits count down from 15, 8 bits start at 200.
int IndexOf(uint16_t bitCount, int id) { return bitCount == 1 ? id & 1 : bitCount == 4 ? 15 - id : 200 + id; }
uint32_t ColourOf(uint16_t bitCount, int id) { return bitCount == 1 ? Colours[(id & 1) != 0 ? 4 : 3] : Colours[id]; }

struct TTestDIB {
    BITMAPINFO Info{};
    std::vector<uint8_t> Bits;  // exactly RowBytes × height: the sanitizer build sees any read past it
};

TTestDIB MakeDIB(const TEncoding& e, bool topDown) {
    TTestDIB dib;
    const int width = 9, height = 3, rowBytes = (e.BitCount * width + 31) / 32 * 4;
    BITMAPINFO& info = dib.Info;
    // 8 bits leaves biClrUsed 0: the whole table of 256.
    info.bmiHeader = {40, width, topDown ? -height : height, 1, e.BitCount, e.Compression,
                      uint32_t(rowBytes * height), 0, 0, e.BitCount < 8 ? 1u << e.BitCount : 0, 0};
    for (int id = 0; id < 8 && e.BitCount <= 8; ++id) {
        const uint32_t c = ColourOf(e.BitCount, id);
        info.bmiColors[IndexOf(e.BitCount, id)] = RGBQUAD{uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0};
    }
    if (e.Compression == BI_BITFIELDS) std::memcpy(info.bmiColors, e.Masks, 12);
    dib.Bits.assign(static_cast<std::size_t>(rowBytes * height), 0);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = dib.Bits.data() + (topDown ? y : height - 1 - y) * rowBytes;
        for (int x = 0; x < width; ++x) {
            const int id = Picture[y][x], bit = x * e.BitCount;
            const uint32_t c = Colours[id];  // each channel 0 or 255: all bits of its mask or none
            const uint32_t v = (c & 0xFF0000 ? e.Masks[0] : 0) | (c & 0xFF00 ? e.Masks[1] : 0) | (c & 0xFF ? e.Masks[2] : 0);
            if (e.BitCount <= 8) row[bit / 8] |= static_cast<uint8_t>(IndexOf(e.BitCount, id) << (8 - e.BitCount - bit % 8));
            if (e.BitCount > 8) std::memcpy(row + bit / 8, &v, e.BitCount / 8);
        }
    }
    return dib;
}

// The surface as text, a character a pixel: '.' the background, '0'-'7' a colour id, '?' other.
std::vector<std::string> Render(HDC dc, uint16_t bitCount) {
    std::vector<std::string> rows(static_cast<std::size_t>(SurfaceHeight(dc)), std::string(SurfaceWidth(dc), '?'));
    for (int y = 0; y < SurfaceHeight(dc); ++y)
        for (int x = 0; x < SurfaceWidth(dc); ++x) {
            const uint32_t p = SurfacePixel(dc, x, y);
            if (p == Background) rows[y][x] = '.';
            for (int id = 7; id >= 0; --id)
                if (p == ColourOf(bitCount, id)) rows[y][x] = static_cast<char>('0' + (bitCount == 1 ? id & 1 : id));
        }
    return rows;
}

// The expected surface: the background, and from (left, top) on the picture's pixels given by
// the source column of each destination column and the source row of each destination row.
std::vector<std::string> Expect(int left, int top, const std::vector<int>& columns, const std::vector<int>& rows, bool oneBit) {
    std::vector<std::string> surface(9, std::string(22, '.'));
    for (std::size_t j = 0; j < rows.size(); ++j)
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const int x = left + int(i), y = top + int(j), id = Picture[rows[j]][columns[i]];
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
        // Shrinking keeps the last column and the first row, as GDI does.
        {"uneven shrinking", 0, 0, 4, 2, 0, 0, {1, 4, 6, 8}, {0, 2}},
        // A negative extent covers its start and the pixels before it.
        {"mirrored left to right", 10, 1, -9, 3, 2, 1, {8, 7, 6, 5, 4, 3, 2, 1, 0}, {0, 1, 2}},
        {"mirrored both ways, twice", 19, 7, -18, -6, 2, 2, {twice.rbegin(), twice.rend()}, {2, 2, 1, 1, 0, 0}},
        {"clipped at the top left", -4, -1, 9, 3, -4, -1, all, {0, 1, 2}},
        {"clipped at the bottom right", 18, 7, 18, 6, 18, 7, twice, {0, 0, 1, 1, 2, 2}},
    };
    for (const TEncoding& e : Encodings) {
        for (const bool topDown : {false, true}) {
            const TTestDIB dib = MakeDIB(e, topDown);
            for (const auto& c : cases) {
                SCOPED_TRACE(testing::Message() << e.BitCount << " bits, code " << e.Compression << (topDown ? ", top-down, " : ", ") << c.name);
                const HDC dc = CreateSurfaceDC(22, 9, Background);
                SetStretchBltMode(dc, COLORONCOLOR);
                EXPECT_EQ(StretchDIBits(dc, c.x, c.y, c.w, c.h, 0, 0, 9, 3, dib.Bits.data(), &dib.Info, DIB_RGB_COLORS, SRCCOPY), 3);
                EXPECT_EQ(Render(dc, e.BitCount), Expect(c.left, c.top, c.columns, c.rows, e.BitCount == 1));
                DeleteSurfaceDC(dc);
            }
        }
    }
}

TEST(StretchDIBits, RasterOperationsCombineSourceAndDestination) {
    const TTestDIB dib = MakeDIB(Encodings[3], false);  // 24 bits; (1, 0) from the bottom is colour 5
    for (const auto& [rop, expected] : {std::pair{uint32_t{SRCCOPY}, 0x00FFFFu}, {uint32_t{SRCINVERT}, 0x807F7Fu}}) {
        const HDC dc = CreateSurfaceDC(1, 1, Background);
        EXPECT_NE(StretchDIBits(dc, 0, 0, 1, 1, 1, 0, 1, 1, dib.Bits.data(), &dib.Info, DIB_RGB_COLORS, rop), 0);
        EXPECT_EQ(SurfacePixel(dc, 0, 0), expected) << std::hex << rop;
        DeleteSurfaceDC(dc);
    }
}

}  // namespace
}  // namespace vdib
