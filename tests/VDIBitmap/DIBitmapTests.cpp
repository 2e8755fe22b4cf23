// TDIBitmap: compression, copy-on-write, resizing and notifications; the image store: its
// geometry rule, blank images, row copies and palettes.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <VDIBitmap/DIBitmap.h>
#include "support/BmpBytes.h"
#include "support/Files.h"
#include "support/Pictures.h"

namespace vdib::test {
namespace {

// A graphic that counts the change notifications naming it.
struct Watched {
    TDIBitmap graphic;
    int notifications = 0;
    Watched() { graphic.ChangeListener = [this](TPersistent* sender) { notifications += sender == &graphic; }; }
};

void Load(TDIBitmap& graphic, const std::string& changes) {
    TTestStream stream(BmpFile(changes));
    graphic.LoadStream(stream);
}

Bytes Row(const TDIBitmap& graphic, int32_t pictureRow) {
    const uint8_t* row = graphic.ImageRef().PictureRow(pictureRow);
    return Bytes(row, row + graphic.ImageRef().RowBytes);
}

TEST(DIBImage, GeometryFollowsTheRowRuleWithinThe32BitLimits) {
    for (const auto& row : ReadTable("geometry.tsv", 5)) {  // case, bit count, width, height, outcome
        std::string outcome;
        const std::string raised = RaisedBy([&] {
            const TDIBGeometry g = CheckedGeometry(std::stoi(row[1]), std::stoi(row[2]), std::stoi(row[3]));
            outcome = Format("%d %d %u", g.RowBytes, g.Rows, g.ImageBytes);
        });
        EXPECT_EQ(raised.empty() ? outcome : raised, row[4]) << row[0];
    }
}

TEST(DIBImage, BlankImagesEachRowOfTheTable) {
    for (const auto& row : ReadTable("blank.tsv", 5)) {  // case, format, width, height, image
        TDIBFormat f;
        std::istringstream words(row[1]);
        words >> f.BitCount;
        for (std::string word; words >> word;) {
            if (word == "top-down" || word == "compressed") (word == "top-down" ? f.TopDown : f.Compressed) = true;
            else (f.RedMask == 0 ? f.RedMask : f.GreenMask == 0 ? f.GreenMask : f.BlueMask) = std::stoul(word, nullptr, 16);
        }
        const std::unique_ptr<TDIBitmapImage> i(TDIBitmapImage::CreateBlank(f, std::stoi(row[2]), std::stoi(row[3])));
        const BITMAPINFOHEADER& h = i->Info();
        const std::string block = i->Bits == nullptr && i->MappingHandle == 0 ? "no block" : "block " + ToHex(i->Bits, h.biSizeImage);
        EXPECT_EQ(Format("code %u, size %u, colours %u, %s, %s, biHeight %d, first row at +%d, step %d, %s, table ", h.biCompression,
                         h.biSizeImage, h.biClrUsed, i->IsEmpty() ? "empty" : "not empty", block.c_str(), h.biHeight,
                         static_cast<int>(i->FirstRow - i->Bits), i->RowStep, i->Format.Compressed ? "compressed" : "not compressed") +
                      ToHex(reinterpret_cast<const uint8_t*>(i->ColorTable()), 1024),
                  row[4]) << row[0];
    }
}

// The two pictures lie over each other at the bottom-left corner: each row of the overlap gets
// the bytes of the narrower row, its padding included; the rest of the destination stays.
TEST(DIBImage, CopyRowsFromCopiesTheOverlapAtTheBottomLeft) {
    const struct {
        int32_t fromWidth, fromHeight, toWidth, toHeight;
        const char* result;
    } cases[] = {
        {10, 4, 3, 6, "40 41 42 43 4C 4D 4E 4F 58 59 5A 5B 64 65 66 67 EE*8"},
        {3, 2, 10, 2, "40 41 42 43 EE*8 44 45 46 47 EE*8"},
    };
    for (const auto& c : cases) {
        const std::unique_ptr<TDIBitmapImage> from(TDIBitmapImage::CreateBlank({8}, c.fromWidth, c.fromHeight)),
            to(TDIBitmapImage::CreateBlank({8}, c.toWidth, c.toHeight));
        for (uint32_t i = 0; i < from->Info().biSizeImage; ++i) from->Bits[i] = static_cast<uint8_t>(0x40 + i);
        std::memset(to->Bits, 0xEE, to->Info().biSizeImage);
        to->CopyRowsFrom(*from);
        EXPECT_EQ(ToHex(to->Bits, to->Info().biSizeImage), c.result) << c.fromWidth << " into " << c.toWidth;
    }
}

// The palette is made once from the colours, none without colours. A palette given replaces as
// many leading colours as it has entries (red, green, blue become blue, green, red) and is owned
// from then on; 0 clears the colour count and leaves the table.
TEST(DIBImage, PalettesFromAndIntoTheColourTable) {
    const std::size_t live = LivePaletteCount();
    const std::unique_ptr<TDIBitmapImage> none(TDIBitmapImage::CreateBlank({8}, 2, 2)), image(TDIBitmapImage::CreateBlank({8}, 2, 2));
    EXPECT_EQ(none->GetPaletteHandle(), HPALETTE{0});
    EXPECT_EQ(LivePaletteCount(), live);
    image->Info().biClrUsed = 256;
    for (unsigned i = 0; i < 256; ++i) image->ColorTable()[i] = RGBQUAD{uint8_t(i), uint8_t(i ^ 0x55), uint8_t(255 - i), 0x7F};
    const HPALETTE made = image->GetPaletteHandle();
    EXPECT_EQ(image->GetPaletteHandle(), made);
    EXPECT_EQ(LivePaletteCount(), live + 1);
    LOGPALETTE log{0x300, 16, {}};
    for (unsigned i = 0; i < 16; ++i) log.palPalEntry[i] = {uint8_t(0xA0 + i), uint8_t(0xB0 + i), uint8_t(0xC0 + i), 0};
    const HPALETTE given = CreatePalette(log);
    const auto* table = reinterpret_cast<const uint8_t*>(image->ColorTable());
    const Bytes original(table, table + 1024);
    image->SetPaletteHandle(given);
    EXPECT_EQ((std::vector{image->PaletteHandle == given, LivePaletteCount() == live + 1}), (std::vector{true, true}));
    EXPECT_EQ(image->ColorCount(), 16u);
    EXPECT_EQ(ToHex(table, 8), "C0 B0 A0 00 C1 B1 A1 00");
    EXPECT_EQ(ToHex(table + 60, 4), "CF BF AF 00");
    EXPECT_EQ(Bytes(table + 64, table + 1024), Bytes(original.begin() + 64, original.end()));
    const Bytes before(table, table + 1024);
    image->SetPaletteHandle(0);
    EXPECT_EQ((std::vector{image->PaletteHandle == 0, LivePaletteCount() == live}), (std::vector{true, true}));
    EXPECT_EQ(image->ColorCount(), 0u);
    EXPECT_EQ(Bytes(table, table + 1024), before);
    EXPECT_EQ(image->GetPaletteHandle(), HPALETTE{0});
}

// Switching on is refused, with nothing changed, for all but bottom-up 4- and 8-bit pictures, and
// so is a compressed write, before anything is written; switching off is never refused. Each
// real change notifies once.
TEST(DIBitmap, CompressionSwitch) {
    const std::string bitCount = "EInvalidOperation: 4, 8 ビットカラー以外は圧縮できない", topDown = "EInvalidOperation: Top-Down DIB は圧縮できない";
    const struct {
        const char* file;
        std::string refusal;  // empty: accepted
        uint32_t code;        // biCompression of the picture saved while switched on
        bool rle = false;     // read from RLE data: switched on already
    } cases[] = {
        {"bits=24", bitCount, 0}, {"bits=1", bitCount, 0}, {"bits=16 compression=3", bitCount, 3},
        {"bits=32 compression=3", bitCount, 3}, {"bits=24 height=-2", bitCount, 0}, {"height=-2", topDown, 0},
        {"bits=4 height=-2", topDown, 0}, {"", "", 1}, {"bits=4", "", 2},
        {"bits=4 compression=2 pixels=04120000043400000001", "", 2, true},
    };
    Watched blank;  // a new graphic: an empty 24-bit picture without colours
    EXPECT_EQ((std::vector{blank.graphic.IsBlank(), blank.graphic.Width() == 0, blank.graphic.Height() == 0,
                           blank.graphic.QueryPalette() == 0, blank.graphic.Compressed()}),
              (std::vector{true, true, true, true, false}));
    EXPECT_EQ(RaisedBy([&] { blank.graphic.SetCompressed(true); }), bitCount);
    EXPECT_EQ(blank.notifications, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        Watched w;
        Load(w.graphic, std::string("width=3 ") + c.file);
        const TDIBitmapImage* image = &w.graphic.ImageRef();
        w.notifications = 0;
        EXPECT_EQ(RaisedBy([&] { w.graphic.SetCompressed(true), w.graphic.SetCompressed(true); }), c.refusal);
        TTestStream refused;
        EXPECT_EQ(RaisedBy([&] { w.graphic.ImageRef().WriteToStream(refused, true, true); }), c.refusal);
        EXPECT_EQ(refused.Size() == 0, !c.refusal.empty());
        TTestStream saved;
        w.graphic.SaveStream(saved);
        EXPECT_EQ(Get32(saved.Data(), 30), c.code);
        EXPECT_EQ(&w.graphic.ImageRef(), image);  // the only holder: no copy
        const int on = c.refusal.empty() && !c.rle ? 1 : 0;
        EXPECT_EQ(w.notifications, on);
        w.graphic.SetCompressed(false);
        EXPECT_EQ((std::vector{w.graphic.Compressed() ? 1 : 0, w.notifications, w.graphic.UpdateCount()}), (std::vector{0, c.refusal.empty() ? on + 1 : 0, 0}));
    }
}

// A change to one of the graphics that share an image copies it first: the whole pixel block,
// colours and header fields come along, and only the changed graphic is notified. An unshared
// image changes in place. Only TDIBitmaps share; other classes are refused both ways.
TEST(DIBitmap, SharedImagesAreCopiedBeforeAChange) {
    Watched a, b, c;
    Load(a.graphic, "height=3 colours=200");
    a.notifications = 0;
    b.graphic.TakeContentFrom(&a.graphic);
    EXPECT_EQ(&a.graphic.ImageRef(), &b.graphic.ImageRef());
    EXPECT_EQ(b.notifications, 0);
    b.graphic.SetCompressed(true);
    c.graphic.TakeContentFrom(&a.graphic);
    c.graphic.ChangeWidth(2);
    EXPECT_EQ(a.graphic.ImageRef().HolderCount, 1);
    EXPECT_EQ((std::vector{a.graphic.Compressed(), b.graphic.Compressed()}), (std::vector{false, true}));
    EXPECT_EQ((std::vector{a.graphic.Width(), c.graphic.Width(), a.notifications, b.notifications}), (std::vector{4, 2, 0, 1}));
    EXPECT_EQ(PictureDifference(a.graphic.ImageRef(), b.graphic.ImageRef()), "");
    EXPECT_EQ(b.graphic.ImageRef().Info().biXPelsPerMeter, 2835);  // 200 colours, compared above
    // The copy is the whole block, what lies in the row padding included.
    Load(a.graphic, "width=3 height=1 pixels=010203EE");
    b.graphic.TakeContentFrom(&a.graphic);
    b.graphic.SetCompressed(true);
    EXPECT_EQ(ToHex(Row(b.graphic, 0)), "01 02 03 EE");
    // An unshared image changes in place: a palette of 0 leaves it without colours.
    const TDIBitmapImage* own = &a.graphic.ImageRef();
    a.notifications = 0;
    a.graphic.ChangePalette(0);
    EXPECT_EQ((std::vector{&a.graphic.ImageRef() == own, a.graphic.ImageRef().ColorCount() == 0, a.graphic.QueryPalette() == 0}),
              (std::vector{true, true, true}));
    EXPECT_EQ(a.notifications, 1);
    // Only a TDIBitmap is shared; nothing else is assigned to one, nor one to anything else.
    TGraphic other;
    EXPECT_EQ(RaisedBy([&] { a.graphic.TakeContentFrom(&other); }), "EConvertError: TGraphic を TDIBitmap に代入することはできません");
    EXPECT_EQ(RaisedBy([&] { a.graphic.TakeContentFrom(nullptr); }), "EConvertError: nil を TDIBitmap に代入することはできません");
    EXPECT_EQ(RaisedBy([&] { a.graphic.GiveContentTo(&other); }), "EConvertError: TDIBitmap を TGraphic に代入することはできません");
}

// The picture's overlap with the new size stays at the bottom-left corner, the rest is 0; the
// colours stay. The same size changes nothing. Each operation notifies once, also one that fails
// (a negative size, a file that is no BMP), which leaves the picture as it was; a bracket closed
// that was never opened is an assertion failure.
TEST(DIBitmap, ResizeKeepsTheBottomLeftCornerAndNotifiesOnceAlsoOnFailure) {
    Watched w;
    Load(w.graphic, "width=10 height=3 colours=256");
    Bytes left = Row(w.graphic, 0);
    left.resize(4);
    w.notifications = 0;
    w.graphic.ChangeWidth(10);
    w.graphic.ChangeWidth(4);
    EXPECT_EQ(Row(w.graphic, 0), left);
    EXPECT_EQ(w.graphic.ImageRef().Info().biClrUsed, 256u);
    w.graphic.ChangeWidth(10);
    w.graphic.ChangeHeight(5);
    left.resize(12);
    EXPECT_EQ(Row(w.graphic, 0), left);
    EXPECT_EQ(Row(w.graphic, 3), Bytes(12, 0));
    EXPECT_EQ(w.notifications, 3);
    const TDIBitmapImage* image = &w.graphic.ImageRef();
    EXPECT_EQ(RaisedBy([&] { w.graphic.ChangeWidth(-1); }), "EInvalidGraphic: Invalid Size");
    EXPECT_EQ(RaisedBy([&] { Load(w.graphic, "signature=0x424D"); }), "EInvalidGraphic: Is not Bitmap File.");
    EXPECT_EQ(&w.graphic.ImageRef(), image);
    EXPECT_EQ((std::vector{w.notifications, w.graphic.UpdateCount()}), (std::vector{5, 0}));
    w.graphic.EnterUpdate();
    w.graphic.ChangeHeight(0);
    EXPECT_EQ(w.notifications, 5);  // not before the outermost bracket closes
    w.graphic.LeaveUpdate();
    EXPECT_TRUE(w.graphic.IsBlank());
    EXPECT_EQ(w.notifications, 6);
    EXPECT_EQ(RaisedBy([&] { w.graphic.LeaveUpdate(); }), "EAssertionFailed: Assertion failure (VDIBitmap, line 1241)");
    // A row is copied whole, its padding included: what a file left there shows in the new column.
    for (const auto& [file, widened] : {std::pair{"width=3 height=1 pixels=010203EE", "010203EE"},
                                       std::pair{"width=3 height=1 bits=4 pixels=123FEEEE", "123FEEEE"}}) {
        Load(w.graphic, file);
        w.graphic.ChangeWidth(4);
        EXPECT_EQ(ToHex(Row(w.graphic, 0)), ToHex(Hex(widened))) << file;
    }
}

}  // namespace
}  // namespace vdib::test
