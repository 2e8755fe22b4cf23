// TDIBitmap: compression, copy-on-write, resizing and notifications, and the library's start in
// threads; the image store: its geometry rule, row copies and palettes.
#include "support/BmpBytes.h"

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

// The two pictures lie over each other at the bottom-left corner: each row of the overlap gets
// the bytes of the narrower row, its padding included; the rest of the destination stays.
TEST(DIBImage, CopyRowsFromCopiesTheOverlapAtTheBottomLeft) {
    for (const auto& [from, to, result] : {std::tuple{std::pair{10, 4}, std::pair{3, 6}, "40 41 42 43 4C 4D 4E 4F 58 59 5A 5B 64 65 66 67 EE*8"},
                                           {{3, 2}, {10, 2}, "40 41 42 43 EE*8 44 45 46 47 EE*8"}}) {
        const std::unique_ptr<TDIBitmapImage> source(TDIBitmapImage::CreateBlank({8}, from.first, from.second)),
            target(TDIBitmapImage::CreateBlank({8}, to.first, to.second));
        for (uint32_t i = 0; i < source->Info().biSizeImage; ++i) source->Bits[i] = static_cast<uint8_t>(0x40 + i);
        std::memset(target->Bits, 0xEE, target->Info().biSizeImage);
        target->CopyRowsFrom(*source);
        EXPECT_EQ(ToHex(target->Bits, target->Info().biSizeImage), result) << from.first << " into " << to.first;
    }
}

// The palette is made once from the colours, none without colours. A palette given replaces as
// many leading colours as it has entries (red, green, blue become blue, green, red) and is owned
// from then on; 0 clears the colour count and leaves the table.
TEST(DIBImage, PalettesFromAndIntoTheColourTable) {
    const std::size_t live = LivePaletteCount();
    const std::unique_ptr<TDIBitmapImage> none(TDIBitmapImage::CreateBlank({8}, 2, 2)), image(TDIBitmapImage::CreateBlank({8}, 2, 2));
    EXPECT_EQ(none->GetPaletteHandle(), HPALETTE{0});
    image->Info().biClrUsed = 256;
    for (unsigned i = 0; i < 256; ++i) image->ColorTable()[i] = RGBQUAD{uint8_t(i), uint8_t(i ^ 0x55), uint8_t(255 - i), 0x7F};
    const HPALETTE made = image->GetPaletteHandle();
    EXPECT_EQ((std::vector{image->GetPaletteHandle() == made, LivePaletteCount() == live + 1}), (std::vector{true, true}));
    LOGPALETTE log{0x300, 16, {}};
    for (unsigned i = 0; i < 16; ++i) log.palPalEntry[i] = {uint8_t(0xA0 + i), uint8_t(0xB0 + i), uint8_t(0xC0 + i), 0};
    const HPALETTE given = CreatePalette(log);
    const auto* table = reinterpret_cast<const uint8_t*>(image->ColorTable());
    const Bytes original(table, table + 1024);
    image->SetPaletteHandle(given);
    EXPECT_EQ((std::vector{image->PaletteHandle == given, LivePaletteCount() == live + 1, image->ColorCount() == 16}),
              (std::vector{true, true, true}));
    EXPECT_EQ(ToHex(table, 8) + ", " + ToHex(table + 60, 4), "C0 B0 A0 00 C1 B1 A1 00, CF BF AF 00");
    EXPECT_EQ(Bytes(table + 64, table + 1024), Bytes(original.begin() + 64, original.end()));
    const Bytes before(table, table + 1024);
    image->SetPaletteHandle(0);
    EXPECT_EQ((std::vector{image->PaletteHandle == 0, LivePaletteCount() == live, image->ColorCount() == 0,
                           image->GetPaletteHandle() == 0, Bytes(table, table + 1024) == before}),
              (std::vector{true, true, true, true, true}));
}

TEST(DIBitmap, CompressionSwitchEachRowOfTheTable) {
    for (const auto& row : ReadTable("compression.tsv", 3)) {  // case, file, outcome
        SCOPED_TRACE(row[0]);
        Watched w;
        if (row[1] != "-") Load(w.graphic, row[1]);
        EXPECT_TRUE(row[1] != "-" || (w.graphic.IsBlank() && w.graphic.QueryPalette() == 0 && !w.graphic.Compressed()));
        const TDIBitmapImage* image = &w.graphic.ImageRef();
        w.notifications = 0;
        const std::string refusal = RaisedBy([&] { w.graphic.SetCompressed(true), w.graphic.SetCompressed(true); });
        TTestStream refused, saved;
        EXPECT_EQ(RaisedBy([&] { w.graphic.ImageRef().WriteToStream(refused, true, true); }), refusal);
        EXPECT_EQ(refused.Size() == 0, !refusal.empty());
        w.graphic.SaveStream(saved);
        EXPECT_EQ(&w.graphic.ImageRef(), image);  // the only holder: no copy
        const int on = w.notifications;
        w.graphic.SetCompressed(false);
        EXPECT_FALSE(w.graphic.Compressed() || w.graphic.UpdateCount() != 0);
        EXPECT_EQ(Format("%s, saved with code %u, notified %d then %d", refusal.empty() ? "accepted" : refusal.c_str(),
                         Get32(saved.Data(), 30), on, w.notifications),
                  row[2]);
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
    b.graphic.SetCompressed(true);
    c.graphic.TakeContentFrom(&a.graphic);
    c.graphic.ChangeWidth(2);
    EXPECT_EQ(a.graphic.ImageRef().HolderCount, 1);
    EXPECT_EQ((std::vector{int(a.graphic.Compressed()), int(b.graphic.Compressed()), a.graphic.Width(), c.graphic.Width(),
                           a.notifications, b.notifications}),
              (std::vector{0, 1, 4, 2, 0, 1}));
    EXPECT_EQ(PictureDifference(a.graphic.ImageRef(), b.graphic.ImageRef()), "");  // 200 colours among it
    EXPECT_EQ(b.graphic.ImageRef().Info().biXPelsPerMeter, 2835);
    // The copy is the whole block, what lies in the row padding included.
    Load(a.graphic, "width=3 height=1 pixels=010203EE");
    b.graphic.TakeContentFrom(&a.graphic);
    b.graphic.SetCompressed(true);
    EXPECT_EQ(ToHex(Row(b.graphic, 0)), "01 02 03 EE");
    // An unshared image changes in place: a palette of 0 leaves it without colours.
    const TDIBitmapImage* own = &a.graphic.ImageRef();
    a.notifications = 0;
    a.graphic.ChangePalette(0);
    EXPECT_EQ((std::vector{&a.graphic.ImageRef() == own, a.graphic.ImageRef().ColorCount() == 0, a.graphic.QueryPalette() == 0,
                           a.notifications == 1}),
              (std::vector{true, true, true, true}));
    // Only a TDIBitmap is shared; nothing else is assigned to one, nor one to anything else.
    TGraphic other;
    EXPECT_EQ(RaisedBy([&] { a.graphic.TakeContentFrom(&other); }) + ", " + RaisedBy([&] { a.graphic.TakeContentFrom(nullptr); }) +
                  ", " + RaisedBy([&] { a.graphic.GiveContentTo(&other); }),
              "EConvertError: TGraphic を TDIBitmap に代入することはできません, EConvertError: nil を TDIBitmap に代入することはできません, "
              "EConvertError: TDIBitmap を TGraphic に代入することはできません");
}

// The picture's overlap with the new size stays at the bottom-left corner, the rest is 0; the
// colours stay. The same size changes nothing. Each operation notifies once, also one that fails
// (a negative size, a file that is no BMP), which leaves the picture as it was; a bracket closed
// that was never opened is an assertion failure.
TEST(DIBitmap, ResizeKeepsTheBottomLeftCornerAndNotifiesOnceAlsoOnFailure) {
    Watched w;
    Load(w.graphic, "width=10 height=3 colours=256");  // the bottom row starts 0B 30 55 7A
    w.notifications = 0;
    for (const int32_t width : {10, 4, 10}) w.graphic.ChangeWidth(width);
    w.graphic.ChangeHeight(5);
    EXPECT_EQ(ToHex(Row(w.graphic, 0)) + ", " + ToHex(Row(w.graphic, 3)) + Format(", %d notified", w.notifications),
              "0B 30 55 7A 00*8, 00*12, 3 notified");
    EXPECT_EQ(w.graphic.ImageRef().Info().biClrUsed, 256u);
    const TDIBitmapImage* image = &w.graphic.ImageRef();
    EXPECT_EQ(RaisedBy([&] { w.graphic.ChangeWidth(-1); }), "EInvalidGraphic: Invalid Size");
    EXPECT_EQ(RaisedBy([&] { Load(w.graphic, "signature=0x424D"); }), "EInvalidGraphic: Is not Bitmap File.");
    EXPECT_EQ(&w.graphic.ImageRef(), image);
    EXPECT_EQ((std::vector{w.notifications, w.graphic.UpdateCount()}), (std::vector{5, 0}));
    w.graphic.EnterUpdate();
    w.graphic.ChangeHeight(0);
    EXPECT_EQ(w.notifications, 5);  // not before the outermost bracket closes
    w.graphic.LeaveUpdate();
    EXPECT_EQ((std::vector{w.notifications, int(w.graphic.IsBlank())}), (std::vector{6, 1}));
    EXPECT_EQ(RaisedBy([&] { w.graphic.LeaveUpdate(); }), "EAssertionFailed: Assertion failure (VDIBitmap, line 1241)");
    // The padding a file left in a row is no part of the picture: a wider picture's new column is 0.
    for (const auto& [file, widened] : {std::pair{"width=3 height=1 pixels=010203EE", "01 02 03 00"},
                                       std::pair{"width=3 height=1 bits=4 pixels=123FEEEE", "12 30 00 00"}}) {
        Load(w.graphic, file);
        w.graphic.ChangeWidth(4);
        EXPECT_EQ(ToHex(Row(w.graphic, 0)), widened) << file;
    }
}

// Two threads start and end the library (each scope the outermost or not) while two read the
// registries: a reader's copy is whole, TDIBitmap's entry or nothing, even as a scope's end frees
// the registries under it.
TEST(LibraryScope, RegistriesReadWhileOtherThreadsStartAndEndTheLibrary) {
    std::atomic<int> started = 0, torn = 0;
    const auto start = [&] {
        for (int i = 0; i < 2000; ++i) const TLibraryScope scope;
        ++started;
    };
    const auto read = [&] {
        while (started < 2) {
            const auto files = TPicture::FileFormats();
            const TPicture::TClipboardFormats clipboard = TPicture::ClipboardFormats();
            torn += !files.empty() && (files.size() != 1 || files[0].Extension != "dib" || files[0].GraphicClass != &TDIBitmap::Class);
            torn += clipboard.Formats != (clipboard.Classes.empty() ? std::vector<uint16_t>{} : std::vector<uint16_t>{CF_DIB}) ||
                    clipboard.Classes.size() > 1 || (clipboard.Classes.size() == 1 && clipboard.Classes[0] != &TDIBitmap::Class);
        }
    };
    std::thread threads[] = {std::thread(start), std::thread(read), std::thread(start), std::thread(read)};
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(TPicture::FileFormats().empty() && TPicture::ClipboardFormats().Classes.empty());
}

}  // namespace
}  // namespace vdib::test
