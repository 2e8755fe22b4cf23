// TDIBitmap: sharing with copy-on-write, the update bracket and its notifications, the
// compression switch, and resizing; and the geometry rule of the image it holds.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include <VDIBitmap/DIBitmap.h>
#include "runtime/TestFiles.h"
#include "support/BmpBytes.h"

namespace vdib::test {
namespace {

// A graphic that counts the change notifications naming it.
struct Watched {
    TDIBitmap graphic;
    int notifications = 0;
    Watched() { graphic.ChangeListener = [this](TPersistent* sender) { notifications += sender == &graphic; }; }
};

// Loads a picture of `bits` bits built in memory, every pixel byte distinct.
void Load(TDIBitmap& graphic, uint16_t bits, int32_t width, int32_t height, uint32_t colours = 16) {
    InfoBmp bmp;
    bmp.bitCount = bits, bmp.width = width, bmp.height = height;
    bmp.clrUsed = bmp.tableEntries = bits <= 8 ? colours : 0;
    bmp.compression = bits == 16 || bits == 32 ? 3 : 0;
    bmp.pixels.resize(CheckedGeometry(bits, width, height).ImageBytes);
    for (std::size_t i = 0; i < bmp.pixels.size(); ++i) bmp.pixels[i] = static_cast<uint8_t>(i + 1);
    TTestStream stream(bmp.Build());
    graphic.LoadStream(stream);
}

Bytes Row(const TDIBitmap& graphic, int32_t pictureRow) {
    const uint8_t* row = graphic.ImageRef().PictureRow(pictureRow);
    return Bytes(row, row + graphic.ImageRef().RowBytes);
}

// Rows of tests/data/geometry.tsv: case, bit count, width, height, and the geometry or the
// refusal; the format's examples and each 32-bit limit, at the limit and one past it.
TEST(DIBImage, GeometryFollowsTheRowRuleWithinThe32BitLimits) {
    const std::string text = ReadWhole(std::filesystem::path(TEST_DATA_DIR) / "geometry.tsv");
    ASSERT_FALSE(text.empty());
    std::istringstream table(text);
    std::string line;
    for (std::getline(table, line); std::getline(table, line);) {  // after the heading
        SCOPED_TRACE(line);
        std::istringstream fields(line.substr(line.find('\t')));
        int32_t bits = 0, width = 0, height = 0;
        std::string expected, outcome;
        fields >> bits >> width >> height >> std::ws;
        std::getline(fields, expected);
        try {
            const TDIBGeometry g = CheckedGeometry(bits, width, height);
            outcome = Format("%d %d %u", g.RowBytes, g.Rows, g.ImageBytes);
        } catch (const Exception& e) {
            outcome = std::string(e.ClassName()) + ": " + e.Message();
        }
        EXPECT_EQ(outcome, expected);
    }
}

// Switching on is refused, with nothing changed, for all but bottom-up 4- and 8-bit pictures;
// switching off is never refused. Each real change notifies once.
TEST(DIBitmap, CompressionSwitch) {
    const char* const bitCount = "4, 8 ビットカラー以外は圧縮できない";
    const struct {
        uint16_t bits;
        int32_t height;
        const char* refusal;  // null: accepted
        uint32_t code;        // biCompression of the picture saved while switched on
    } cases[] = {
        {24, 2, bitCount, 0}, {1, 2, bitCount, 0}, {16, 2, bitCount, 3}, {32, 2, bitCount, 3}, {24, -2, bitCount, 0},
        {8, -2, "Top-Down DIB は圧縮できない", 0}, {4, -2, "Top-Down DIB は圧縮できない", 0}, {8, 2, nullptr, 1}, {4, 2, nullptr, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, height " << c.height);
        Watched w;
        Load(w.graphic, c.bits, 3, c.height);
        const TDIBitmapImage* image = &w.graphic.ImageRef();
        w.notifications = 0;
        if (c.refusal != nullptr) {
            ExpectRaise([&] { w.graphic.SetCompressed(true); }, c.refusal, "EInvalidOperation");
            TTestStream refused;  // a compressed write refuses the same, before writing anything
            ExpectRaise([&] { w.graphic.ImageRef().WriteToStream(refused, true, true); }, c.refusal, "EInvalidOperation");
            EXPECT_EQ(refused.Size(), 0);
        }
        if (c.refusal == nullptr) w.graphic.SetCompressed(true), w.graphic.SetCompressed(true);
        TTestStream saved;
        w.graphic.SaveStream(saved);
        EXPECT_EQ(Get32(saved.Data(), 30), c.code);
        EXPECT_EQ(&w.graphic.ImageRef(), image);  // the only holder: no copy
        EXPECT_EQ(w.notifications, c.refusal == nullptr ? 1 : 0);
        w.graphic.SetCompressed(false);
        EXPECT_FALSE(w.graphic.Compressed());
        EXPECT_EQ(w.notifications, c.refusal == nullptr ? 2 : 0);
        EXPECT_EQ(w.graphic.UpdateCount(), 0);
    }
}

TEST(DIBitmap, SharedImagesAreCopiedBeforeAChange) {
    Watched a, b, c;
    Load(a.graphic, 8, 4, 3, 200);
    a.notifications = 0;
    b.graphic.TakeContentFrom(&a.graphic);
    EXPECT_EQ(&a.graphic.ImageRef(), &b.graphic.ImageRef());
    EXPECT_EQ(a.graphic.ImageRef().HolderCount, 2);
    EXPECT_EQ(b.notifications, 0);
    b.graphic.SetCompressed(true);
    c.graphic.TakeContentFrom(&a.graphic);
    c.graphic.ChangeWidth(2);
    EXPECT_EQ(a.graphic.ImageRef().HolderCount, 1);
    EXPECT_FALSE(a.graphic.Compressed());
    EXPECT_EQ(a.graphic.Width(), 4);
    EXPECT_EQ(c.graphic.Width(), 2);
    EXPECT_EQ(a.notifications, 0);
    EXPECT_EQ(b.notifications, 1);
    const TDIBitmapImage& copy = b.graphic.ImageRef();  // pixels, colours and header fields come along
    for (int32_t y = 0; y < 3; ++y) EXPECT_EQ(Row(a.graphic, y), Row(b.graphic, y));
    EXPECT_EQ(copy.Info().biClrUsed, 200u);
    EXPECT_EQ(0, std::memcmp(copy.ColorTable(), a.graphic.ImageRef().ColorTable(), 4 * 200));
    EXPECT_EQ(copy.Info().biXPelsPerMeter, 2835);
}

TEST(DIBitmap, ResizeKeepsTheBottomLeftCorner) {
    Watched w;
    Load(w.graphic, 8, 10, 3, 256);
    Bytes left = Row(w.graphic, 0);
    left.resize(4);
    Bytes widened = left;
    widened.resize(12);
    w.notifications = 0;
    w.graphic.ChangeWidth(10);  // the same width: nothing
    EXPECT_EQ(w.notifications, 0);
    w.graphic.ChangeWidth(4);
    EXPECT_EQ(w.notifications, 1);
    EXPECT_EQ(Row(w.graphic, 0), left);
    EXPECT_EQ(w.graphic.ImageRef().Info().biClrUsed, 256u);
    w.graphic.ChangeWidth(10);
    w.graphic.ChangeHeight(5);
    EXPECT_EQ(Row(w.graphic, 0), widened);
    EXPECT_EQ(Row(w.graphic, 3), Bytes(12, 0));
    w.graphic.ChangeHeight(0);
    EXPECT_TRUE(w.graphic.IsBlank());
    ExpectRaise([&] { w.graphic.ChangeWidth(-1); }, "Invalid Size", "EInvalidGraphic");
    EXPECT_EQ(w.graphic.UpdateCount(), 0);
}

TEST(DIBitmap, UpdateBracketNotifiesOnceAlsoOnFailure) {
    Watched w;
    Load(w.graphic, 8, 3, 2);
    const TDIBitmapImage* image = &w.graphic.ImageRef();
    w.notifications = 0;
    TTestStream notBmp(Bytes{'M', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ExpectRaise([&] { w.graphic.LoadStream(notBmp); }, "Is not Bitmap File.", "EInvalidGraphic");
    EXPECT_EQ(&w.graphic.ImageRef(), image);  // the old picture stays
    EXPECT_EQ(w.notifications, 1);
    w.graphic.EnterUpdate();
    w.graphic.EnterUpdate();
    w.graphic.LeaveUpdate();
    EXPECT_EQ(w.notifications, 1);
    w.graphic.LeaveUpdate();
    EXPECT_EQ(w.notifications, 2);
    ExpectRaise([&] { w.graphic.LeaveUpdate(); }, "Assertion failure (VDIBitmap, line 1241)", "EAssertionFailed");
    EXPECT_EQ(w.graphic.UpdateCount(), 0);
}

}  // namespace
}  // namespace vdib::test
