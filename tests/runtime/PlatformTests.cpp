// The platform layer's palettes and global memory blocks.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include <VDIBitmap/GlobalMemory.h>

namespace vdib {
namespace {

// 257 entries are refused; entries are copied up to the palette's end; a deleted palette is unknown.
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
    EXPECT_FALSE(DeleteObject(palette));
    EXPECT_EQ(GetPaletteEntries(palette, 0, 1, log.palPalEntry), 0u);
    EXPECT_EQ(LivePaletteCount(), live);
}

// Zero-filled, locked twice at one address, not freed while locked, unknown once freed.
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
        EXPECT_EQ(GlobalLock(block), nullptr);
        EXPECT_EQ(GlobalFlags(block), GMEM_INVALID_HANDLE);
        EXPECT_EQ(GlobalFree(block), block);
    }
    for (const auto& [flags, size] : {std::pair{GHND, GlobalBlockLimit + 1}, {GHND | 0x0100, std::size_t{4}}})
        EXPECT_EQ(GlobalAlloc(flags, size), nullptr);
    EXPECT_EQ(LiveGlobalBlockCount(), live);
}

}  // namespace
}  // namespace vdib
