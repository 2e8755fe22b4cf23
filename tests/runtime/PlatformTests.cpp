// The platform layer: palettes, global memory blocks, and StretchDIBits on the software surface
// in every pixel format, scaled, mirrored and clipped, compared pixel by pixel.
#include "support/BmpBytes.h"

namespace vdib::test {
namespace {

// 257 entries are refused; entries are copied up to the palette's end; a null palette is refused.
TEST(Palettes, CreateQueryDelete) {
    const std::size_t live = LivePaletteCount();
    LOGPALETTE log{0x300, 257, {}};
    for (unsigned i = 0; i < 256; ++i) log.palPalEntry[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 3), 0};
    EXPECT_EQ(CreatePalette(log), nullptr);
    log.palNumEntries = 16;
    const HPALETTE palette = CreatePalette(log);
    EXPECT_EQ(LivePaletteCount(), live + 1);
    for (const auto& [start, count, copied] : {std::tuple{0u, 256u, 16u}, {10, 3, 3}, {10, 100, 6}, {15, 1, 1}, {16, 1, 0}}) {
        PALETTEENTRY entries[256] = {};
        ASSERT_EQ(GetPaletteEntries(palette, start, count, entries), copied) << start << "+" << count;
        for (unsigned i = 0; i < copied; ++i) EXPECT_EQ(entries[i].peGreen, 255 - (start + i));
    }
    uint16_t count = 0;
    EXPECT_EQ(GetObjectA(palette, sizeof count, &count), 2);
    EXPECT_EQ(count, 16);
    EXPECT_TRUE(DeleteObject(palette));
    EXPECT_FALSE(DeleteObject(nullptr));
    EXPECT_EQ(GetPaletteEntries(nullptr, 0, 1, log.palPalEntry), 0u);
    EXPECT_EQ(LivePaletteCount(), live);
}

#if !defined(_WIN32)  // the stand-in's own contract; Windows has the kernel's global memory
// Zero-filled, locked twice at one address, not freed while locked; a null block is refused.
TEST(GlobalMemory, BlocksAreZeroFilledLockedAndFreedOnceUnlocked) {
    const std::size_t live = LiveGlobalBlockCount();
    for (const std::size_t size : {std::size_t{0}, std::size_t{40}, std::size_t{1} << 20}) {
        SCOPED_TRACE(size);
        const HGLOBAL block = GlobalAlloc(GHND, size);
        EXPECT_EQ(GlobalSize(block), size);
        auto* address = static_cast<uint8_t*>(GlobalLock(block));
        ASSERT_NE(address, nullptr);
        EXPECT_EQ(std::vector<uint8_t>(address, address + size), std::vector<uint8_t>(size, 0));
        EXPECT_EQ(GlobalLock(block), address);
        EXPECT_EQ(GlobalFlags(block) & GMEM_LOCKCOUNT, 2u);
        EXPECT_EQ(GlobalFree(block), block);
        EXPECT_EQ((std::vector{GlobalUnlock(block), GlobalUnlock(block)}), (std::vector{true, false}));
        EXPECT_EQ(GlobalFree(block), nullptr);
    }
    for (const auto& [flags, size] : {std::pair{GHND, GlobalBlockLimit + 1}, {GHND | 0x0100, std::size_t{4}}})
        EXPECT_EQ(GlobalAlloc(flags, size), nullptr);
    EXPECT_EQ(GlobalLock(nullptr), nullptr);
    EXPECT_EQ(GlobalFlags(nullptr), GMEM_INVALID_HANDLE);
    EXPECT_EQ(LiveGlobalBlockCount(), live);
}
#endif

// The rows of stretch.tsv in every format, bottom-up and top-down, 16 and 32 bits with bit fields
// and with BI_RGB's masks, 8 bits with colour count 0 (the whole table). 9 pixels wide, 1 and 4
// bits cross a byte and rows are padded; rows and columns differ, also in their low bits.
TEST(StretchDIBits, ScalesMirrorsAndClipsEveryFormatByTheNearestPixel) {
    const std::pair<TDIBFormat, bool> formats[] = {{{1}, false}, {{4}, false}, {{8}, false}, {{24}, false},
                                                   {{16, 0xF800, 0x07E0, 0x001F}, false}, {{16, 0x7C00, 0x03E0, 0x001F}, true},
                                                   {{32, 0x0000FF, 0x00FF00, 0xFF0000}, false}, {{32, 0xFF0000, 0x00FF00, 0x0000FF}, true}};
    for (auto [format, implied] : formats) {
        for (const bool topDown : {false, true}) {
            format.TopDown = topDown;
            const std::unique_ptr<TDIBitmapImage> dib(MakeImage(format, {"123640752", "470216305", "056371241"}));
            if (implied) dib->Info().biCompression = BI_RGB, std::memset(dib->ColorTable(), 0, 12);
            if (format.BitCount == 8) dib->Info().biClrUsed = 0;
            for (const auto& row : ReadTable("stretch.tsv", 3)) {  // case, destination, surface
                SCOPED_TRACE(testing::Message() << format.BitCount << " bits" << (implied ? ", implied masks" : "") << (topDown ? ", top-down, " : ", ") << row[0]);
                int32_t x, y, w, h;
                std::istringstream(row[1]) >> x >> y >> w >> h;
                const HDC dc = CreateSurfaceDC(22, 9, Background);
                SetStretchBltMode(dc, COLORONCOLOR);
                EXPECT_EQ(StretchDIBits(dc, x, y, w, h, 0, 0, 9, 3, dib->Bits, dib->InfoBlock(), DIB_RGB_COLORS, SRCCOPY), 3);
                std::string surface;
                for (const std::string& line : Render(dc, format.BitCount)) surface += (surface.empty() ? "" : " ") + line;
                std::string expected = row[2];  // 1 bit per pixel keeps the ids' low bits
                for (char& pixel : expected) pixel = pixel == '.' || pixel == ' ' || format.BitCount > 1 ? pixel : char('0' + (pixel & 1));
                EXPECT_EQ(surface, expected);
                DeleteSurfaceDC(dc);
            }
            // Other raster operations combine source and destination.
            const HDC dc = CreateSurfaceDC(1, 1, Background);
            EXPECT_NE(StretchDIBits(dc, 0, 0, 1, 1, 1, 0, 1, 1, dib->Bits, dib->InfoBlock(), DIB_RGB_COLORS, SRCINVERT), 0);
            EXPECT_EQ(SurfacePixel(dc, 0, 0), Background ^ ColourOf(format.BitCount, topDown ? 2 : 5));  // DIB pixel (1, 0)
            DeleteSurfaceDC(dc);
        }
    }
}

}  // namespace
}  // namespace vdib::test
