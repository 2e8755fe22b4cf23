// The fixed-block stream and the clipboard exchange of TDIBitmap: block sizes and contents,
// round trips, refusals, and the stop on a write past the block.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <regex>

#include "GlobalMemory.h"
#include "MemoryScanStream.h"
#include "Pictures.h"
#include "support/ChildProcess.h"

namespace vdib {
namespace {

using test::Bytes;
using test::kFormats;
using test::TTestBitmap;

TEST(MemoryScanStream, WritesWithinTheBlockAndLeavesItToItsOwner) {
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    uint8_t block[10] = {};
    {
        TMemoryScanStream stream(block, sizeof block);
        EXPECT_EQ(stream.Write(data, -1), 0);
        EXPECT_EQ(stream.StreamPosition(), 0);
        EXPECT_EQ(stream.Write(data, 10), 10);  // ends exactly at the block's end
        EXPECT_EQ(stream.Write(data, 0), 0);
        stream.Seek(0, soBeginning);  // the writer rewrites its header this way
        EXPECT_EQ(stream.Write("\x55\x66", 2), 2);
        EXPECT_EQ(stream.StreamPosition(), 2);
        stream.SetSize(100);
        EXPECT_EQ(stream.Size(), 10);
    }
    EXPECT_EQ(Bytes(block, block + 10), (Bytes{0x55, 0x66, 3, 4, 5, 6, 7, 8, 9, 10}));
}

// Run-time error 216 before any byte reaches the block: the block's owner (a module) still
// prints it as it was, and nothing of the interrupted operation is cleaned up.
TEST(MemoryScanStream, AWritePastTheBlockStopsTheProgram) {
    const std::string untouched = "block A0 A1 A2 A3 A4 A5 A6 A7 A8 A9\r\n";
    const struct {
        const char* Mode;
        std::string Before, Block;
    } cases[] = {
        {"full", "wrote 10, at 10\r\n", "block 01 02 03 04 05 06 07 08 09 0A\r\n"},
        {"straddle", "", untouched},
        {"beyond", "", untouched},
        {"before", "", untouched},
    };
    test::TempDir directory;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Mode);
        const test::TChildResult result = test::RunChild(SCAN_PROBE_PATH, {c.Mode}, directory.Path);
        EXPECT_EQ(result.ExitCode, 216);
        EXPECT_TRUE(std::regex_match(result.Out, std::regex(c.Before + "Runtime error 216 at [0-9A-F]{8}\r\n" + c.Block)))
            << result.Out;
    }
}

// The block holds exactly the packed DIB of the picture with plain pixels, as the writer gives
// it for the uncompressed picture; the palette is a copy of the picture's.
TEST(Clipboard, SaveHandsOutAPackedDIBWithPlainPixels) {
    const auto image = [](int format, std::vector<std::string> rows, uint32_t colours) {
        TDIBitmapImage* made = test::MakeImage(kFormats[format], rows);
        made->Info.biClrUsed = colours;
        return made;
    };
    const struct {
        const char* Name;
        TDIBitmapImage* Image;  // null: a new graphic
        bool Compressed;
        std::size_t Size;
        uint16_t PaletteEntries;
    } cases[] = {
        {"8-bit 2 x 2, 256 colours", image(2, {"12", "34"}, 256), false, 40 + 1024 + 8, 256},
        {"new graphic", nullptr, false, 40, 0},
        {"16-bit 3 x 1", image(3, {"123"}, 0), false, 40 + 12 + 8, 0},
        {"1-bit without colours: the writer's full table", image(0, {"101"}, 0), false, 40 + 8 + 4, 0},
        // RLE8 would take 14 bytes for these 3 rows of one pixel, 2 more than the plain ones.
        {"compressed 8-bit 1 x 3", image(2, {"1", "2", "3"}, 8), true, 40 + 32 + 12, 8},
    };
    const std::size_t blocks = LiveGlobalBlockCount();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTestBitmap graphic(c.Image);
        const Bytes expected = test::PackedBytes(graphic.ImageRef());
        if (c.Compressed) graphic.SetCompressed(true);
        uint16_t format = 0;
        HGLOBAL data = 0;
        HPALETTE palette = 0;
        graphic.SaveClipboardBlock(format, data, palette);
        EXPECT_EQ(format, CF_DIB);
        ASSERT_EQ(GlobalSize(data), c.Size);
        const auto* bytes = static_cast<const uint8_t*>(GlobalLock(data));
        EXPECT_EQ(Bytes(bytes, bytes + c.Size), expected);
        EXPECT_FALSE(GlobalUnlock(data));
        uint16_t entries = 0;
        if (palette != 0) GetObjectA(palette, sizeof entries, &entries);
        EXPECT_TRUE(palette == 0 || palette != graphic.QueryPalette());  // a copy, not the picture's own
        EXPECT_EQ(entries, c.PaletteEntries);
        DeleteObject(palette);
        EXPECT_EQ(GlobalFree(data), 0u);
    }
    EXPECT_EQ(LiveGlobalBlockCount(), blocks);
}

// Loading what was saved into another graphic gives the same picture: width, height, format,
// colours and pixels, so the same packed DIB.
TEST(Clipboard, LoadTakesBackWhatSaveHandedOut) {
    for (const auto& f : kFormats) {
        for (const bool topDown : {false, true}) {
            SCOPED_TRACE(testing::PrintToString(f) + (topDown ? ", top-down" : ""));
            TTestBitmap source(test::MakeImage(f, {"123", "456", "701"}, topDown));
            uint16_t format = 0;
            HGLOBAL data = 0;
            HPALETTE palette = 0;
            source.SaveClipboardBlock(format, data, palette);
            TTestBitmap copy;
            copy.LoadClipboardBlock(format, data, palette);
            EXPECT_EQ(test::PackedBytes(copy.ImageRef()), test::PackedBytes(source.ImageRef()));
            EXPECT_EQ(copy.Notifications, 1);
            EXPECT_EQ(GlobalFlags(data), 0u);  // unlocked again, and still the caller's
            EXPECT_EQ(GlobalFree(data), 0u);
            DeleteObject(palette);
        }
    }
}

// Refusals before the bracket change and notify nothing; the reader's failures come after the
// block was unlocked, with the old picture kept and one notification.
TEST(Clipboard, LoadRefusesWhatIsNoPackedDIB) {
    const std::unique_ptr<TDIBitmapImage> image(test::MakeImage(kFormats[2], {"12", "34"}));
    Bytes shortBlock = test::PackedBytes(*image);
    shortBlock.resize(shortBlock.size() - 4);  // the last row missing
    Bytes badHeader = test::PackedBytes(*image);
    badHeader[14] = 7;  // 7 bits per pixel
    const struct {
        uint16_t Format;
        const Bytes* Block;  // null: no block
        std::string Error;
        int Notifications;
    } cases[] = {
        {2, &shortBlock, "EInvalidGraphic: Invalid Clipboard Format or No Data", 0},
        {8, nullptr, "EInvalidGraphic: Invalid Clipboard Format or No Data", 0},
        {8, &badHeader, "EInvalidGraphic: Invalid BitCout", 1},
        {8, &shortBlock, "EReadError: " + std::string(msg::ReadError), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Error);
        HGLOBAL data = c.Block == nullptr ? 0 : GlobalAlloc(GMEM_MOVEABLE, c.Block->size());
        if (data != 0) std::memcpy(GlobalLock(data), c.Block->data(), c.Block->size()), GlobalUnlock(data);
        TTestBitmap graphic(test::MakeImage(kFormats[4], {"1"}));
        const TDIBitmapImage* before = &graphic.ImageRef();
        std::string error;
        try {
            graphic.LoadClipboardBlock(c.Format, data, 0);
        } catch (const Exception& e) {
            error = std::string(e.ClassName()) + ": " + e.Message();
        }
        EXPECT_EQ(error, c.Error);
        EXPECT_EQ(&graphic.ImageRef(), before);
        EXPECT_EQ(graphic.Notifications, c.Notifications);
        EXPECT_EQ(GlobalFree(data), 0u);  // unlocked, so it can be freed (0 for no block)
    }
}

}  // namespace
}  // namespace vdib
