#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Platform.h"

namespace vdib {
namespace {

TEST(Mappings, ViewsAreZeroFilledAndReleased) {
    errno = 0;
    EXPECT_EQ(CreateFileMapping(0), 0u);
    EXPECT_EQ(errno, EINVAL);

    for (std::size_t size : {std::size_t{1}, std::size_t{4095}, std::size_t{4096}, std::size_t{3} << 20}) {
        SCOPED_TRACE(size);
        const HANDLE mapping = CreateFileMapping(size);
        ASSERT_NE(mapping, 0u);
        auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping));
        ASSERT_NE(view, nullptr);
        std::vector<unsigned char> zeros(size, 0);
        EXPECT_EQ(std::memcmp(view, zeros.data(), size), 0);
        view[0] = 1;
        view[size - 1] = 2;  // the whole size is writable
        EXPECT_TRUE(UnmapViewOfFile(view));
        EXPECT_FALSE(UnmapViewOfFile(view));
        EXPECT_TRUE(CloseHandle(mapping));
        EXPECT_FALSE(CloseHandle(mapping));
        EXPECT_EQ(MapViewOfFile(mapping), nullptr);  // a closed handle is unknown
    }
    EXPECT_FALSE(UnmapViewOfFile(nullptr));
    EXPECT_FALSE(CloseHandle(0));
}

LOGPALETTE MakePalette(unsigned count, std::uint16_t version = 0x300) {
    LOGPALETTE p{};
    p.palVersion = version;
    p.palNumEntries = static_cast<std::uint16_t>(count);
    for (unsigned i = 0; i < 256; ++i)
        p.palPalEntry[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(255 - i),
                            static_cast<std::uint8_t>(i * 3), 0};
    return p;
}

TEST(Palettes, MalformedRecordsAreRefused) {
    const std::size_t live = LivePaletteCount();
    struct Case {
        unsigned count;
        std::uint16_t version;
    };
    for (const Case& c : {Case{0, 0x300}, Case{257, 0x300}, Case{16, 0x200}, Case{16, 0x301}}) {
        SCOPED_TRACE(c.count);
        EXPECT_EQ(CreatePalette(MakePalette(c.count, c.version)), 0u);
    }
    EXPECT_EQ(LivePaletteCount(), live);
}

TEST(Palettes, CreateQueryDelete) {
    const std::size_t live = LivePaletteCount();
    const HPALETTE small = CreatePalette(MakePalette(16));
    const HPALETTE full = CreatePalette(MakePalette(256));
    ASSERT_NE(small, 0u);
    ASSERT_NE(full, 0u);
    EXPECT_NE(small, full);
    EXPECT_EQ(LivePaletteCount(), live + 2);

    struct Case {
        HPALETTE palette;
        unsigned start, count, copied;
    };
    const Case cases[] = {
        {small, 0, 256, 16}, {small, 10, 3, 3}, {small, 10, 100, 6}, {small, 15, 1, 1}, {small, 16, 1, 0},
        {full, 0, 256, 256}, {full, 255, 5, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        PALETTEENTRY entries[256] = {};
        ASSERT_EQ(GetPaletteEntries(c.palette, c.start, c.count, entries), c.copied);
        for (unsigned i = 0; i < c.copied; ++i) {
            EXPECT_EQ(entries[i].peRed, c.start + i);
            EXPECT_EQ(entries[i].peGreen, 255 - (c.start + i));
        }
    }
    EXPECT_EQ(GetPaletteEntries(small, 0, 0, nullptr), 16u);

    unsigned char count[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(GetObjectA(full, sizeof count, count), 2);
    EXPECT_EQ(count[0] | count[1] << 8, 256);
    EXPECT_EQ(count[2], 0xEE);  // exactly two bytes written
    EXPECT_EQ(GetObjectA(small, 1, count), 0);

    EXPECT_TRUE(DeleteObject(small));
    EXPECT_FALSE(DeleteObject(small));
    PALETTEENTRY entry;
    EXPECT_EQ(GetPaletteEntries(small, 0, 1, &entry), 0u);
    EXPECT_EQ(GetObjectA(small, 2, count), 0);
    EXPECT_TRUE(DeleteObject(full));
    EXPECT_EQ(LivePaletteCount(), live);
}

}  // namespace
}  // namespace vdib
