#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <memory>
#include <tuple>
#include <utility>
#include <string>
#include <vector>

#include "DeviceContext.h"

namespace vdib {
namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

// Colours with channels 0 or 255 only, so that every pixel format holds them exactly.
constexpr std::uint32_t kColours[8] = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF,
                                       0xFFFF00, 0x00FFFF, 0xFF00FF, 0xFFFFFF};
constexpr std::uint32_t kBackground = 0x808080;

// A picture as colour ids, top row first.
using TPicture = std::vector<std::vector<int>>;

// 9 wide so that every format but 32 bits has padded rows and 1 and 4 bits cross a byte;
// rows and columns all differ, also in their low bit (what 1 bit per pixel keeps).
const TPicture kPicture = {
    {1, 2, 3, 6, 4, 0, 7, 5, 2},
    {4, 7, 0, 2, 1, 6, 3, 0, 5},
    {0, 5, 6, 3, 7, 1, 2, 4, 1},
};

struct TEncoding {
    const char* Name;
    std::uint16_t BitCount;
    std::uint32_t Compression;
    std::uint32_t Masks[3];  // for BI_BITFIELDS, and the defaults a BI_RGB 16/32 image implies
};

void PrintTo(const TEncoding& e, std::ostream* os) { *os << e.Name; }

const TEncoding kEncodings[] = {
    {"1", 1, BI_RGB, {}},
    {"4", 4, BI_RGB, {}},
    {"8", 8, BI_RGB, {}},
    {"24", 24, BI_RGB, {}},
    {"16_565", 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}},
    {"16_555", 16, BI_RGB, {0x7C00, 0x03E0, 0x001F}},
    {"32_bgr_masks", 32, BI_BITFIELDS, {0x000000FF, 0x0000FF00, 0x00FF0000}},
    {"32_rgb", 32, BI_RGB, {0xFF0000, 0x00FF00, 0x0000FF}},
};

// Where each format keeps colour id `id` in its table, so that a drawing that ignores the
// table or reads nibbles or bits in the wrong order shows it: 1 bit keeps the id's low bit,
// 4 bits count down from 15, 8 bits start at 200.
int IndexOf(const TEncoding& e, int id) {
    switch (e.BitCount) {
        case 1: return id & 1;
        case 4: return 15 - id;
        case 8: return 200 + id;
        default: return -1;
    }
}

// The colour that id `id` shows in that format (1 bit has two colours only).
std::uint32_t ColourOf(const TEncoding& e, int id) {
    if (e.BitCount == 1) return (id & 1) != 0 ? kColours[4] : kColours[3];
    return kColours[id];
}

std::uint32_t Pack(std::uint32_t mask, std::uint32_t channel) {
    if (mask == 0) return 0;
    int shift = 0;
    while (((mask >> shift) & 1) == 0) ++shift;
    const std::uint32_t range = mask >> shift;
    return static_cast<std::uint32_t>((std::uint64_t{channel} * range + 127) / 255) << shift;
}

struct TTestDIB {
    std::unique_ptr<BITMAPINFO> Info = std::make_unique<BITMAPINFO>();
    std::vector<std::uint8_t> Bits;  // exactly RowBytes × height: the sanitizer build sees any read past it
};

TTestDIB MakeDIB(const TEncoding& e, bool topDown, const TPicture& picture) {
    TTestDIB dib;
    const int width = static_cast<int>(picture[0].size());
    const int height = static_cast<int>(picture.size());
    const int rowBytes = (e.BitCount * width + 31) / 32 * 4;
    BITMAPINFO& info = *dib.Info;
    std::memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = topDown ? -height : height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = e.BitCount;
    info.bmiHeader.biCompression = e.Compression;
    info.bmiHeader.biSizeImage = static_cast<std::uint32_t>(rowBytes * height);
    if (e.BitCount <= 8) {
        // 8 bits leaves biClrUsed 0: the whole table of 256.
        info.bmiHeader.biClrUsed = e.BitCount == 8 ? 0 : 1u << e.BitCount;
        for (int id = 0; id < 8; ++id) {
            const std::uint32_t c = ColourOf(e, id);
            RGBQUAD& q = info.bmiColors[IndexOf(e, id)];
            q = RGBQUAD{static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8),
                        static_cast<std::uint8_t>(c >> 16), 0};
        }
    } else if (e.Compression == BI_BITFIELDS) {
        for (int i = 0; i < 3; ++i) std::memcpy(&info.bmiColors[i], &e.Masks[i], 4);
    }
    dib.Bits.assign(static_cast<std::size_t>(rowBytes * height), 0);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = dib.Bits.data() + (topDown ? y : height - 1 - y) * rowBytes;
        for (int x = 0; x < width; ++x) {
            const int id = picture[y][x];
            const std::uint32_t c = kColours[id];
            switch (e.BitCount) {
                case 1:
                case 4:
                case 8: {
                    const int bit = x * e.BitCount;
                    row[bit / 8] |= static_cast<std::uint8_t>(IndexOf(e, id) << (8 - e.BitCount - bit % 8));
                    break;
                }
                case 24:
                    row[3 * x] = static_cast<std::uint8_t>(c);
                    row[3 * x + 1] = static_cast<std::uint8_t>(c >> 8);
                    row[3 * x + 2] = static_cast<std::uint8_t>(c >> 16);
                    break;
                default: {
                    const std::uint32_t v =
                        Pack(e.Masks[0], c >> 16 & 0xFF) | Pack(e.Masks[1], c >> 8 & 0xFF) | Pack(e.Masks[2], c & 0xFF);
                    std::memcpy(row + x * (e.BitCount / 8), &v, e.BitCount / 8);
                }
            }
        }
    }
    return dib;
}

int Draw(HDC dc, const TTestDIB& dib, std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h,
         std::uint32_t rop = SRCCOPY) {
    const BITMAPINFOHEADER& hdr = dib.Info->bmiHeader;
    return StretchDIBits(dc, x, y, w, h, 0, 0, hdr.biWidth, hdr.biHeight < 0 ? -hdr.biHeight : hdr.biHeight,
                         dib.Bits.data(), dib.Info.get(), DIB_RGB_COLORS, rop);
}

// The surface as text, a character a pixel: '.' the background, '0'-'7' a colour id, '?' other.
std::vector<std::string> Render(HDC dc, const TEncoding& e) {
    std::vector<std::string> rows;
    for (int y = 0; y < SurfaceHeight(dc); ++y) {
        std::string row;
        for (int x = 0; x < SurfaceWidth(dc); ++x) {
            const std::uint32_t p = SurfacePixel(dc, x, y);
            char c = p == kBackground ? '.' : '?';
            for (int id = 0; id < 8 && c == '?'; ++id)
                if (p == ColourOf(e, id)) c = static_cast<char>('0' + (e.BitCount == 1 ? id & 1 : id));
            row += c;
        }
        rows.push_back(row);
    }
    return rows;
}

// The expected surface: background, and inside the destination rectangle (left, top) the picture
// pixels given by the source column of each destination column and the source row of each row.
std::vector<std::string> Expect(int surfaceWidth, int surfaceHeight, const TPicture& picture, int left, int top,
                                const std::vector<int>& columns, const std::vector<int>& rows, bool oneBit) {
    std::vector<std::string> surface(surfaceHeight, std::string(surfaceWidth, '.'));
    for (std::size_t j = 0; j < rows.size(); ++j)
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (columns[i] < 0 || rows[j] < 0) continue;
            const int id = picture[rows[j]][columns[i]];
            surface[top + j][left + i] = static_cast<char>('0' + (oneBit ? id & 1 : id));
        }
    return surface;
}

std::vector<int> Doubled(int count, bool reversed) {
    std::vector<int> v;
    for (int i = 0; i < count; ++i) {
        const int s = reversed ? count - 1 - i : i;
        v.push_back(s);
        v.push_back(s);
    }
    return v;
}

struct TSurfaceDC {
    HDC Handle;
    TSurfaceDC(int w, int h, std::uint32_t fill = kBackground) : Handle(CreateSurfaceDC(w, h, fill)) {}
    ~TSurfaceDC() { DeleteSurfaceDC(Handle); }
    operator HDC() const { return Handle; }
};

// --- Scaling and mirroring at every pixel format --------------------------------------------------

class StretchDIBitsFormats : public ::testing::TestWithParam<std::tuple<TEncoding, bool>> {};

TEST_P(StretchDIBitsFormats, EnlargesShrinksAndMirrorsByTheNearestPixel) {
    const auto& [encoding, topDown] = GetParam();
    const TTestDIB dib = MakeDIB(encoding, topDown, kPicture);
    struct Case {
        const char* Name;
        std::int32_t X, Y, W, H;
        int Left, Top;  // the destination rectangle's top-left pixel
        std::vector<int> Columns, Rows;
    };
    const Case cases[] = {
        {"same size", 1, 1, 9, 3, 1, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8}, {0, 1, 2}},
        {"twice", 2, 1, 18, 6, 2, 1, Doubled(9, false), Doubled(3, false)},
        {"uneven enlargement", 0, 0, 20, 7, 0, 0,
         {0, 0, 1, 1, 2, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 6, 7, 7, 8, 8}, {0, 0, 1, 1, 1, 2, 2}},
        {"a third", 3, 2, 3, 1, 3, 2, {1, 4, 7}, {1}},
        {"uneven shrinking", 0, 0, 4, 2, 0, 0, {1, 3, 5, 7}, {0, 2}},
        {"mirrored left to right", 10, 1, -9, 3, 1, 1, {8, 7, 6, 5, 4, 3, 2, 1, 0}, {0, 1, 2}},
        {"mirrored top to bottom", 1, 4, 9, -3, 1, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8}, {2, 1, 0}},
        {"mirrored both ways, twice", 19, 7, -18, -6, 1, 1, Doubled(9, true), Doubled(3, true)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TSurfaceDC dc(22, 9);
        EXPECT_EQ(Draw(dc, dib, c.X, c.Y, c.W, c.H), 3);
        EXPECT_EQ(Render(dc, encoding),
                  Expect(22, 9, kPicture, c.Left, c.Top, c.Columns, c.Rows, encoding.BitCount == 1));
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, StretchDIBitsFormats,
                         ::testing::Combine(::testing::ValuesIn(kEncodings), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).Name) +
                                    (std::get<1>(info.param) ? "_top_down" : "_bottom_up");
                         });

TEST(StretchDIBits, MaskChannelsAreScaledFromTheirOwnWidth) {
    struct Case {
        const char* Name;
        std::uint16_t BitCount;
        std::uint32_t Compression;
        std::uint32_t Masks[3];
        std::uint32_t Pixel;
        std::uint32_t Expected;
    };
    const Case cases[] = {
        {"565 middle", 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}, 0x8410, 0x848284},
        {"565 full", 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}, 0xFFFF, 0xFFFFFF},
        {"555 default, lowest blue", 16, BI_RGB, {}, 0x0001, 0x000008},
        {"555 default, top bit ignored", 16, BI_RGB, {}, 0xFC00, 0xFF0000},
        {"10-bit channels", 32, BI_BITFIELDS, {0x3FF00000, 0x000FFC00, 0x000003FF}, 0x3FF80000, 0xFF8000},
        {"zero masks", 32, BI_BITFIELDS, {0, 0, 0}, 0xFFFFFFFF, 0x000000},
        {"888 default, alpha ignored", 32, BI_RGB, {}, 0xFF123456, 0x123456},
        {"one-bit channels", 16, BI_BITFIELDS, {0x0004, 0x0002, 0x0001}, 0x0005, 0xFF00FF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TTestDIB dib;
        std::memset(dib.Info.get(), 0, sizeof(BITMAPINFO));
        dib.Info->bmiHeader = {40, 1, 1, 1, c.BitCount, c.Compression, 4, 0, 0, 0, 0};
        for (int i = 0; i < 3; ++i) std::memcpy(&dib.Info->bmiColors[i], &c.Masks[i], 4);
        dib.Bits.assign(4, 0);
        std::memcpy(dib.Bits.data(), &c.Pixel, c.BitCount / 8);
        TSurfaceDC dc(1, 1);
        EXPECT_EQ(Draw(dc, dib, 0, 0, 1, 1), 1);
        EXPECT_EQ(SurfacePixel(dc, 0, 0), c.Expected);
    }
}

TEST(StretchDIBits, ColourTableCountAndIndicesPastIt) {
    struct Case {
        const char* Name;
        std::uint16_t BitCount;
        std::uint32_t ClrUsed;
        std::uint8_t Byte;  // the first byte of the only row
        std::uint32_t Expected;
    };
    // Every table entry holds a colour; only those within the count may show.
    const Case cases[] = {
        {"8 bits, index within the count", 8, 6, 5, 0x050505},
        {"8 bits, index past the count is black", 8, 6, 6, 0x000000},
        {"8 bits, count 0 means all 256", 8, 0, 255, 0xFFFFFF},
        {"8 bits, a count over 256 is 256", 8, 1000, 255, 0xFFFFFF},
        {"4 bits, high nibble first", 4, 0, 0x3C, 0x030303},
        {"4 bits, index past a count of 2", 4, 2, 0xF0, 0x000000},
        {"1 bit, leftmost bit first", 1, 0, 0x80, 0x010101},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TTestDIB dib;
        std::memset(dib.Info.get(), 0, sizeof(BITMAPINFO));
        dib.Info->bmiHeader = {40, 1, 1, 1, c.BitCount, BI_RGB, 4, 0, 0, c.ClrUsed, 0};
        for (int i = 0; i < 256; ++i) {
            const auto v = static_cast<std::uint8_t>(i);
            dib.Info->bmiColors[i] = RGBQUAD{v, v, v, 0};
        }
        dib.Bits = {c.Byte, 0, 0, 0};
        TSurfaceDC dc(1, 1);
        EXPECT_EQ(Draw(dc, dib, 0, 0, 1, 1), 1);
        EXPECT_EQ(SurfacePixel(dc, 0, 0), c.Expected);
    }
}

// --- Clipping -------------------------------------------------------------------------------------

TEST(StretchDIBits, ClipsToTheSurface) {
    const TEncoding& e = kEncodings[3];  // 24 bits
    const TPicture picture = {{1, 2}, {3, 4}};
    struct Case {
        const char* Name;
        std::int32_t X, Y, W, H;
        std::vector<std::string> Expected;
    };
    const std::vector<std::string> untouched(4, "......");
    const Case cases[] = {
        {"over the top-left corner", -2, -2, 4, 4, {"44....", "44....", "......", "......"}},
        {"over the bottom-right corner", 4, 2, 4, 4, {"......", "......", "....11", "....11"}},
        {"over every edge", -1, -1, 8, 6, {"111222", "111222", "333444", "333444"}},
        {"mirrored over the left edge", 1, 0, -3, 2, {"1.....", "3....."}},
        {"right of the surface", 6, 0, 2, 2, untouched},
        {"left of the surface", -2, 0, 2, 2, untouched},
        {"below the surface", 0, 4, 2, 2, untouched},
        {"above the surface", 0, -3, 2, 3, untouched},
        {"mirrored from the left edge outwards", 0, 0, -2, 2, untouched},
        {"the largest rectangle", 0, 0, kMax, kMax, {"111111", "111111", "111111", "111111"}},
        {"the largest mirrored rectangle", kMax, 0, kMin, 4, {"222222", "222222", "444444", "444444"}},
        {"the largest rectangle ending before the surface", kMin, kMin, kMax, kMax, untouched},
        {"from the lowest row downwards", 0, kMin, 6, kMax, untouched},
    };
    const TTestDIB dib = MakeDIB(e, false, picture);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TSurfaceDC dc(6, 4);
        std::vector<std::string> expected = c.Expected;
        expected.resize(4, "......");
        EXPECT_EQ(Draw(dc, dib, c.X, c.Y, c.W, c.H), 2);
        EXPECT_EQ(Render(dc, e), expected);
    }
}

TEST(StretchDIBits, SourceRectanglesInDIBCoordinates) {
    const TEncoding& e = kEncodings[3];  // 24 bits
    struct Case {
        const char* Name;
        bool TopDown;
        std::int32_t XSrc, YSrc, SrcW, SrcH;
        int Lines;
        std::vector<int> Columns, Rows;  // picture rows counted from the top; -1 untouched
    };
    const Case cases[] = {
        {"bottom-up, y from the bottom", false, 2, 0, 3, 2, 2, {2, 3, 4}, {1, 2}},
        {"top-down, y from the top", true, 2, 0, 3, 2, 2, {2, 3, 4}, {0, 1}},
        {"bottom-up, middle row", false, 0, 1, 9, 1, 1, {0, 1, 2, 3, 4, 5, 6, 7, 8}, {1}},
        {"partly right of the picture", false, 7, 0, 4, 3, 3, {7, 8, -1, -1}, {0, 1, 2}},
        {"partly below a bottom-up picture", false, 0, -2, 2, 3, 1, {0, 1}, {2, -1, -1}},
        {"partly above a top-down picture", true, 0, -1, 2, 3, 2, {0, 1}, {-1, 0, 1}},
        {"negative width mirrors", false, 9, 0, -9, 3, 3, {8, 7, 6, 5, 4, 3, 2, 1, 0}, {0, 1, 2}},
        {"negative height mirrors", true, 0, 3, 2, -3, 3, {0, 1}, {2, 1, 0}},
        {"outside the picture", false, 9, 0, 2, 2, 0, {-1, -1}, {-1, -1}},
        {"above a bottom-up picture", false, 0, 3, 2, 2, 0, {-1, -1}, {-1, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const TTestDIB dib = MakeDIB(e, c.TopDown, kPicture);
        TSurfaceDC dc(12, 4);
        const auto w = static_cast<std::int32_t>(c.Columns.size());
        const auto h = static_cast<std::int32_t>(c.Rows.size());
        EXPECT_EQ(StretchDIBits(dc, 0, 0, w, h, c.XSrc, c.YSrc, c.SrcW, c.SrcH, dib.Bits.data(), dib.Info.get(),
                                DIB_RGB_COLORS, SRCCOPY),
                  c.Lines);
        EXPECT_EQ(Render(dc, e), Expect(12, 4, kPicture, 0, 0, c.Columns, c.Rows, false));
    }
}

// --- Raster operations and refusals ---------------------------------------------------------------

TEST(StretchDIBits, RasterOperations) {
    constexpr std::uint32_t D = 0x33CC0F;  // the source pixel is 0xF0A05A
    struct Case {
        std::uint32_t Rop;
        std::uint32_t Expected;
        int Result;
    };
    const Case cases[] = {
        {SRCCOPY, 0xF0A05A, 1},     {SRCPAINT, 0xF3EC5F, 1},    {SRCAND, 0x30800A, 1},
        {SRCINVERT, 0xC36C55, 1},   {SRCERASE, 0xC02050, 1},    {NOTSRCCOPY, 0x0F5FA5, 1},
        {NOTSRCERASE, 0x0C13A0, 1}, {MERGEPAINT, 0x3FDFAF, 1},  {DSTINVERT, 0xCC33F0, 1},
        {BLACKNESS, 0x000000, 1},   {WHITENESS, 0xFFFFFF, 1},
        // Pattern operations, and known operation bytes with a wrong code word: refused.
        {0x00F00021 /* PATCOPY */, D, 0}, {0x005A0049 /* PATINVERT */, D, 0}, {0x00CC0021, D, 0}, {0, D, 0},
    };
    TTestDIB dib;
    std::memset(dib.Info.get(), 0, sizeof(BITMAPINFO));
    dib.Info->bmiHeader = {40, 1, 1, 1, 24, BI_RGB, 4, 0, 0, 0, 0};
    dib.Bits = {0x5A, 0xA0, 0xF0, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rop);
        TSurfaceDC dc(1, 1, D);
        errno = 0;
        EXPECT_EQ(Draw(dc, dib, 0, 0, 1, 1, c.Rop), c.Result);
        EXPECT_EQ(SurfacePixel(dc, 0, 0), c.Expected);
        if (c.Result == 0) {
            EXPECT_EQ(errno, EINVAL);
        }
    }
}

TEST(StretchDIBits, RefusesWhatItCannotDrawAndDrawsNothing) {
    TSurfaceDC dc(4, 4);
    const TTestDIB good = MakeDIB(kEncodings[2], false, {{1, 2}, {3, 4}});
    struct Case {
        const char* Name;
        void (*Spoil)(BITMAPINFOHEADER&);
    };
    const Case headers[] = {
        {"core header size", [](BITMAPINFOHEADER& h) { h.biSize = 12; }},
        {"version 4 header size", [](BITMAPINFOHEADER& h) { h.biSize = 108; }},
        {"width 0", [](BITMAPINFOHEADER& h) { h.biWidth = 0; }},
        {"negative width", [](BITMAPINFOHEADER& h) { h.biWidth = -2; }},
        {"height 0", [](BITMAPINFOHEADER& h) { h.biHeight = 0; }},
        {"2 bits", [](BITMAPINFOHEADER& h) { h.biBitCount = 2; }},
        {"0 bits", [](BITMAPINFOHEADER& h) { h.biBitCount = 0; }},
        {"RLE8 data", [](BITMAPINFOHEADER& h) { h.biCompression = BI_RLE8; }},
        {"RLE4 data", [](BITMAPINFOHEADER& h) { h.biCompression = BI_RLE4; }},
        {"masks on 8 bits", [](BITMAPINFOHEADER& h) { h.biCompression = BI_BITFIELDS; }},
        {"masks on 24 bits", [](BITMAPINFOHEADER& h) { h.biCompression = BI_BITFIELDS, h.biBitCount = 24; }},
        {"JPEG data", [](BITMAPINFOHEADER& h) { h.biCompression = 4; }},
        {"a block no address space holds",
         [](BITMAPINFOHEADER& h) { h.biWidth = kMax, h.biHeight = kMin, h.biBitCount = 32, h.biCompression = BI_RGB; }},
    };
    for (const Case& c : headers) {
        SCOPED_TRACE(c.Name);
        BITMAPINFO info = *good.Info;
        c.Spoil(info.bmiHeader);
        errno = 0;
        EXPECT_EQ(StretchDIBits(dc, 0, 0, 4, 4, 0, 0, 2, 2, good.Bits.data(), &info, DIB_RGB_COLORS, SRCCOPY), 0);
        EXPECT_EQ(errno, EINVAL);
    }
    const void* bits = good.Bits.data();
    const BITMAPINFO* info = good.Info.get();
    struct Call {
        const char* Name;
        HDC Dc;
        std::int32_t W, H, SrcW, SrcH;
        const void* Bits;
        const BITMAPINFO* Info;
        std::uint32_t Usage;
    };
    const Call calls[] = {
        {"no bits", dc, 4, 4, 2, 2, nullptr, info, DIB_RGB_COLORS},
        {"no header", dc, 4, 4, 2, 2, bits, nullptr, DIB_RGB_COLORS},
        {"palette indices", dc, 4, 4, 2, 2, bits, info, DIB_PAL_COLORS},
        {"unknown surface", dc + 1, 4, 4, 2, 2, bits, info, DIB_RGB_COLORS},
        {"destination width 0", dc, 0, 4, 2, 2, bits, info, DIB_RGB_COLORS},
        {"destination height 0", dc, 4, 0, 2, 2, bits, info, DIB_RGB_COLORS},
        {"source width 0", dc, 4, 4, 0, 2, bits, info, DIB_RGB_COLORS},
        {"source height 0", dc, 4, 4, 2, 0, bits, info, DIB_RGB_COLORS},
    };
    for (const Call& c : calls) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(StretchDIBits(c.Dc, 0, 0, c.W, c.H, 0, 0, c.SrcW, c.SrcH, c.Bits, c.Info, c.Usage, SRCCOPY), 0);
    }
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) ASSERT_EQ(SurfacePixel(dc, x, y), kBackground) << x << "," << y;
}

// --- The surface, its state and its call log ------------------------------------------------------

TEST(Surface, CreationPixelsAndLimits) {
    const std::size_t live = LiveSurfaceCount();
    {
        TSurfaceDC white(3, 2, 0x00FFFFFF);
        ASSERT_NE(white.Handle, 0u);
        EXPECT_EQ(LiveSurfaceCount(), live + 1);
        EXPECT_EQ(SurfaceWidth(white), 3);
        EXPECT_EQ(SurfaceHeight(white), 2);
        EXPECT_EQ(SurfacePixel(white, 2, 1), 0xFFFFFFu);
        EXPECT_TRUE(SetSurfacePixel(white, 2, 0, 0xAB123456));
        EXPECT_EQ(SurfacePixel(white, 2, 0), 0x123456u) << "the top byte is not a colour";
        EXPECT_EQ(SurfaceBits(white)[2], 0x123456u) << "rows from the top";
        const std::pair<int, int> outside[] = {{-1, 0}, {3, 0}, {0, -1}, {0, 2}};
        for (auto [x, y] : outside) {
            EXPECT_EQ(SurfacePixel(white, x, y), CLR_INVALID);
            EXPECT_FALSE(SetSurfacePixel(white, x, y, 0));
        }
        EXPECT_TRUE(FillSurface(white, 0x010203));
        EXPECT_EQ(SurfacePixel(white, 0, 0), 0x010203u);
        EXPECT_EQ(GetStretchBltMode(white), BLACKONWHITE);
        EXPECT_EQ(GetSelectedPalette(white), 0u);
        EXPECT_TRUE(SurfaceCalls(white).empty());

        TSurfaceDC empty(0, 0);
        EXPECT_NE(empty.Handle, 0u);
        EXPECT_EQ(SurfaceBits(empty), nullptr);
        EXPECT_EQ(Draw(empty, MakeDIB(kEncodings[3], false, {{1}}), 0, 0, 5, 5), 1);
    }
    EXPECT_EQ(LiveSurfaceCount(), live);

    struct Case {
        std::int32_t W, H;
        int Errno;
    };
    for (const Case& c : {Case{-1, 5, EINVAL}, Case{5, -1, EINVAL}, Case{1 << 13, (1 << 13) + 1, ENOMEM},
                          Case{kMax, kMax, ENOMEM}}) {
        errno = 0;
        EXPECT_EQ(CreateSurfaceDC(c.W, c.H), 0u);
        EXPECT_EQ(errno, c.Errno);
    }
    EXPECT_EQ(LiveSurfaceCount(), live);
}

HPALETTE MakePalette(int entries) {
    LOGPALETTE log{};
    log.palVersion = 0x300;
    log.palNumEntries = static_cast<std::uint16_t>(entries);
    return CreatePalette(log);
}

TEST(Surface, SaveAndRestoreBringBackPaletteAndStretchMode) {
    TSurfaceDC dc(1, 1);
    const HPALETTE p1 = MakePalette(4), p2 = MakePalette(16), p3 = MakePalette(256);
    ASSERT_TRUE(p1 != 0 && p2 != 0 && p3 != 0);

    EXPECT_EQ(RealizePalette(dc), 0u) << "nothing selected";
    EXPECT_EQ(SelectPalette(dc, p1, true), 0u);
    EXPECT_EQ(SetStretchBltMode(dc, COLORONCOLOR), BLACKONWHITE);
    EXPECT_EQ(SaveDC(dc), 1);
    EXPECT_EQ(SelectPalette(dc, p2, false), p1);
    EXPECT_EQ(SetStretchBltMode(dc, HALFTONE), COLORONCOLOR);
    EXPECT_EQ(RealizePalette(dc), 16u);
    EXPECT_EQ(SaveDC(dc), 2);
    EXPECT_EQ(SelectPalette(dc, p3, true), p2);
    EXPECT_EQ(SetStretchBltMode(dc, WHITEONBLACK), HALFTONE);
    EXPECT_EQ(RealizePalette(dc), 256u);

    EXPECT_TRUE(RestoreDC(dc, -1));
    EXPECT_EQ(GetSelectedPalette(dc), p2);
    EXPECT_EQ(GetStretchBltMode(dc), HALFTONE);
    EXPECT_EQ(RealizePalette(dc), 16u);

    EXPECT_EQ(SaveDC(dc), 2) << "the restored level was dropped";
    EXPECT_EQ(SelectPalette(dc, p3, true), p2);
    EXPECT_TRUE(RestoreDC(dc, 1)) << "back past two levels at once";
    EXPECT_EQ(GetSelectedPalette(dc), p1);
    EXPECT_EQ(GetStretchBltMode(dc), COLORONCOLOR);

    for (int level : {-1, 0, 1}) EXPECT_FALSE(RestoreDC(dc, level)) << "empty stack, level " << level;
    EXPECT_EQ(SaveDC(dc), 1);
    for (int level : {2, -2, 0}) EXPECT_FALSE(RestoreDC(dc, level)) << "level " << level;
    EXPECT_TRUE(RestoreDC(dc, 1));

    // Refused selections and modes leave the state as it was.
    ASSERT_TRUE(DeleteObject(p3));
    for (HPALETTE bad : {HPALETTE{0}, p3}) {
        errno = 0;
        EXPECT_EQ(SelectPalette(dc, bad, true), 0u);
        EXPECT_EQ(errno, EINVAL);
    }
    for (int bad : {0, 5, -1}) EXPECT_EQ(SetStretchBltMode(dc, bad), 0);
    EXPECT_EQ(GetSelectedPalette(dc), p1);
    EXPECT_EQ(GetStretchBltMode(dc), COLORONCOLOR);

    // A palette deleted while selected is not realized.
    ASSERT_TRUE(DeleteObject(p1));
    EXPECT_EQ(RealizePalette(dc), GDI_ERROR);
    DeleteObject(p2);
}

TEST(Surface, UnknownHandlesAreRefusedEverywhere) {
    const HDC deleted = CreateSurfaceDC(1, 1);
    ASSERT_TRUE(DeleteSurfaceDC(deleted));
    const HPALETTE palette = MakePalette(2);
    const TTestDIB dib = MakeDIB(kEncodings[3], false, {{1}});
    for (HDC dc : {HDC{0}, HDC{1}, deleted}) {
        SCOPED_TRACE(dc);
        EXPECT_FALSE(DeleteSurfaceDC(dc));
        EXPECT_EQ(SurfaceWidth(dc), 0);
        EXPECT_EQ(SurfacePixel(dc, 0, 0), CLR_INVALID);
        EXPECT_EQ(SurfaceBits(dc), nullptr);
        EXPECT_EQ(SaveDC(dc), 0);
        EXPECT_FALSE(RestoreDC(dc, -1));
        EXPECT_EQ(SelectPalette(dc, palette, true), 0u);
        EXPECT_EQ(RealizePalette(dc), GDI_ERROR);
        EXPECT_EQ(SetStretchBltMode(dc, COLORONCOLOR), 0);
        EXPECT_EQ(Draw(dc, dib, 0, 0, 1, 1), 0);
        EXPECT_TRUE(SurfaceCalls(dc).empty());
    }
    DeleteObject(palette);
}

TEST(Surface, CallLogRecordsTheDrawingSequence) {
    TSurfaceDC dc(120, 80);
    const HPALETTE palette = MakePalette(2);
    std::vector<std::uint8_t> bits(static_cast<std::size_t>(52 * 25), 0);  // 8 bits, 50 wide
    BITMAPINFO info{};
    info.bmiHeader = {40, 50, 25, 1, 8, BI_RGB, 52 * 25, 0, 0, 0, 0};

    SaveDC(dc);
    SelectPalette(dc, palette, true);
    RealizePalette(dc);
    SetStretchBltMode(dc, COLORONCOLOR);
    StretchDIBits(dc, 10, 20, 100, 50, 0, 0, 50, 25, bits.data(), &info, DIB_RGB_COLORS, SRCCOPY);
    RestoreDC(dc, -1);
    RestoreDC(dc, -1);  // failing calls are recorded too

    const std::vector<std::string> expected = {
        "SaveDC()",
        "SelectPalette(" + std::to_string(palette) + ",1)",
        "RealizePalette()",
        "SetStretchBltMode(3)",
        "StretchDIBits(10,20,100,50,0,0,50,25,0,0x00CC0020)",
        "RestoreDC(-1)",
        "RestoreDC(-1)",
    };
    EXPECT_EQ(SurfaceCalls(dc), expected);
    ClearSurfaceCalls(dc);
    EXPECT_TRUE(SurfaceCalls(dc).empty());
    DeleteObject(palette);
}

// --- The canvas -----------------------------------------------------------------------------------

class TOpenSurfaceCanvas : public TSurfaceCanvas {
public:
    using TSurfaceCanvas::TSurfaceCanvas;
    using TSurfaceCanvas::CreateHandle;
};

TEST(SurfaceCanvas, MakesItsSurfaceOnTheFirstRequestAndDeletesIt) {
    const std::size_t live = LiveSurfaceCount();
    {
        TOpenSurfaceCanvas canvas(7, 5, 0x00112233);
        EXPECT_EQ(canvas.Surface(), 0u);
        EXPECT_EQ(LiveSurfaceCount(), live) << "no surface before anyone asks";
        EXPECT_EQ(canvas.CopyMode, SRCCOPY);

        const HDC dc = canvas.CreateHandle();
        ASSERT_NE(dc, 0u);
        EXPECT_EQ(canvas.Surface(), dc);
        EXPECT_EQ(canvas.CreateHandle(), dc) << "one surface for the canvas's life";
        EXPECT_EQ(SurfaceWidth(dc), 7);
        EXPECT_EQ(SurfaceHeight(dc), 5);
        EXPECT_EQ(SurfacePixel(dc, 6, 4), 0x112233u);
        EXPECT_EQ(LiveSurfaceCount(), live + 1);
    }
    EXPECT_EQ(LiveSurfaceCount(), live);

    TOpenSurfaceCanvas impossible(-1, 5);
    EXPECT_EQ(impossible.CreateHandle(), 0u);
    EXPECT_EQ(impossible.Surface(), 0u);
}

}  // namespace
}  // namespace vdib
