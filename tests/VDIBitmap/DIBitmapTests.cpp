// TDIBitmap: sharing with copy-on-write, the update bracket and its notifications, the
// compression switch, resizing, palettes, loading and saving, and registration.
#include <gtest/gtest.h>

#include <memory>

#include "DIBitmap.h"
#include "support/BmpBytes.h"

namespace vdib {
namespace {

using test::Bytes;

// A graphic with a notification counter.
struct Watched {
    TDIBitmap graphic;
    int notifications = 0;
    TPersistent* sender = nullptr;
    Watched() {
        graphic.ChangeListener = [this](TPersistent* s) {
            ++notifications;
            sender = s;
        };
    }
};

// Loads an image of `bits` bits from bytes built in memory; pixel values ascend along each row.
void Load(TDIBitmap& graphic, uint16_t bits, int32_t width, int32_t height, uint32_t colours = 16) {
    test::InfoBmp bmp;
    bmp.bitCount = bits;
    bmp.width = width;
    bmp.height = height;
    bmp.clrUsed = bits <= 8 ? colours : 0;
    bmp.tableEntries = bmp.clrUsed;
    if (bits == 16 || bits == 32) bmp.compression = 3;
    const int32_t rowBytes = RowBytesFor(bits, width);
    for (int32_t y = 0; y < (height < 0 ? -height : height); ++y)
        for (int32_t x = 0; x < rowBytes; ++x) bmp.pixels.push_back(static_cast<uint8_t>(10 * y + x + 1));
    TMemoryStream stream;
    test::Fill(stream, bmp.Build());
    graphic.LoadStream(stream);
}

Bytes Row(const TDIBitmap& graphic, int32_t pictureRow) {
    const TDIBitmapImage& image = graphic.ImageRef();
    const uint8_t* row = image.FirstRow + static_cast<std::ptrdiff_t>(pictureRow) * image.RowStep;
    return Bytes(row, row + image.RowBytes);
}

std::string CompressRefusal(TDIBitmap& graphic) {
    try {
        graphic.SetCompressed(true);
    } catch (const EInvalidOperation& e) {
        return e.Message();
    }
    return "";
}

TEST(DIBitmap, NewGraphicIsBlank) {
    Watched w;
    EXPECT_TRUE(w.graphic.IsBlank());
    EXPECT_EQ(w.graphic.Width(), 0);
    EXPECT_EQ(w.graphic.Height(), 0);
    EXPECT_EQ(w.graphic.QueryPalette(), 0u);
    EXPECT_FALSE(w.graphic.Compressed());
    EXPECT_EQ(w.graphic.ImageRef().Format.BitCount, 24);
    EXPECT_EQ(w.graphic.ImageRef().HolderCount, 1);
    EXPECT_EQ(CompressRefusal(w.graphic), "4, 8 ビットカラー以外は圧縮できない");
    EXPECT_EQ(w.notifications, 0);
}

TEST(DIBitmap, CompressionSwitchRefusals) {
    struct Case {
        uint16_t bits;
        int32_t height;
        const char* message;
    };
    const Case cases[] = {
        {24, 2, "4, 8 ビットカラー以外は圧縮できない"}, {1, 2, "4, 8 ビットカラー以外は圧縮できない"},
        {16, 2, "4, 8 ビットカラー以外は圧縮できない"}, {32, 2, "4, 8 ビットカラー以外は圧縮できない"},
        {24, -2, "4, 8 ビットカラー以外は圧縮できない"}, {8, -2, "Top-Down DIB は圧縮できない"},
        {4, -2, "Top-Down DIB は圧縮できない"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.bits << " bits, height " << c.height);
        Watched w;
        Load(w.graphic, c.bits, 3, c.height);
        const TDIBitmapImage* before = &w.graphic.ImageRef();
        w.notifications = 0;
        EXPECT_EQ(CompressRefusal(w.graphic), c.message);
        EXPECT_EQ(&w.graphic.ImageRef(), before);
        EXPECT_FALSE(w.graphic.Compressed());
        EXPECT_EQ(w.graphic.UpdateCount(), 0);
        EXPECT_EQ(w.notifications, 0);
        // Switching off is never refused and does nothing on an uncompressed image.
        w.graphic.SetCompressed(false);
        EXPECT_EQ(w.notifications, 0);
    }
}

TEST(DIBitmap, CompressionSwitchOnAndOff) {
    Watched w;
    Load(w.graphic, 8, 5, 2);
    w.notifications = 0;
    const TDIBitmapImage* image = &w.graphic.ImageRef();
    w.graphic.SetCompressed(true);
    EXPECT_TRUE(w.graphic.Compressed());
    EXPECT_EQ(&w.graphic.ImageRef(), image);  // the only holder: no copy
    EXPECT_EQ(w.notifications, 1);
    EXPECT_EQ(w.sender, &w.graphic);

    TMemoryStream stream;
    w.graphic.SaveStream(stream);
    EXPECT_EQ(test::Get32(test::Contents(stream), 14 + 16), 1u);  // RLE8

    w.graphic.SetCompressed(true);  // already on
    EXPECT_EQ(w.notifications, 1);
    w.graphic.SetCompressed(false);
    EXPECT_FALSE(w.graphic.Compressed());
    EXPECT_EQ(w.notifications, 2);

    // An image read from RLE data is already compressed.
    test::InfoBmp rle;
    rle.bitCount = 4;
    rle.compression = 2;
    rle.tableEntries = 16;
    rle.pixels = {4, 0x12, 0, 0, 0, 1};
    TMemoryStream input;
    test::Fill(input, rle.Build());
    w.graphic.LoadStream(input);
    EXPECT_TRUE(w.graphic.Compressed());
    w.notifications = 0;
    w.graphic.SetCompressed(true);
    EXPECT_EQ(w.notifications, 0);
}

TEST(DIBitmap, SharedImagesAreCopiedBeforeAChange) {
    Watched a, b;
    Load(a.graphic, 8, 4, 3, 200);
    a.notifications = 0;
    b.graphic.TakeContentFrom(&a.graphic);
    EXPECT_EQ(&a.graphic.ImageRef(), &b.graphic.ImageRef());
    EXPECT_EQ(a.graphic.ImageRef().HolderCount, 2);
    EXPECT_EQ(b.notifications, 0);

    b.graphic.SetCompressed(true);
    EXPECT_NE(&a.graphic.ImageRef(), &b.graphic.ImageRef());
    EXPECT_EQ(a.graphic.ImageRef().HolderCount, 1);
    EXPECT_FALSE(a.graphic.Compressed());
    EXPECT_TRUE(b.graphic.Compressed());
    EXPECT_EQ(a.notifications, 0);
    EXPECT_EQ(b.notifications, 1);
    for (int32_t y = 0; y < 3; ++y) EXPECT_EQ(Row(a.graphic, y), Row(b.graphic, y));
    // The private copy keeps the colours and header fields.
    const TDIBitmapImage& copy = b.graphic.ImageRef();
    EXPECT_EQ(copy.Info.biClrUsed, 200u);
    EXPECT_EQ(0, std::memcmp(copy.ColorTable, a.graphic.ImageRef().ColorTable, 4 * 200));
    EXPECT_EQ(copy.Info.biXPelsPerMeter, 2835);

    // A resize of a shared graphic leaves the other's picture alone.
    Watched c;
    c.graphic.TakeContentFrom(&a.graphic);
    c.graphic.ChangeWidth(2);
    EXPECT_EQ(a.graphic.Width(), 4);
    EXPECT_EQ(c.graphic.Width(), 2);
}

TEST(DIBitmap, AssignmentRules) {
    TDIBitmap a;
    a.TakeContentFrom(&a);  // itself: nothing changes, the image stays alive
    EXPECT_EQ(a.ImageRef().HolderCount, 1);
    EXPECT_TRUE(a.IsBlank());

    try {
        a.TakeContentFrom(nullptr);
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "nil を TDIBitmap に代入することはできません");
    }
    // A graphic of a class that does not know TDIBitmap refuses in its turn.
    TGraphic other;
    try {
        a.TakeContentFrom(&other);
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "TGraphic を TDIBitmap に代入することはできません");
    }
    try {
        other.TakeContentFrom(&a);
        ADD_FAILURE();
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "TDIBitmap を TGraphic に代入することはできません");
    }
}

TEST(DIBitmap, ResizeKeepsTheBottomLeftCorner) {
    Watched w;
    Load(w.graphic, 8, 10, 3, 256);
    const Bytes bottom = Row(w.graphic, 0);
    w.notifications = 0;

    w.graphic.ChangeWidth(10);  // same width: nothing
    EXPECT_EQ(w.notifications, 0);

    w.graphic.ChangeWidth(4);
    EXPECT_EQ(w.notifications, 1);
    EXPECT_EQ(w.graphic.Width(), 4);
    EXPECT_EQ(Row(w.graphic, 0), Bytes(bottom.begin(), bottom.begin() + 4));
    EXPECT_EQ(w.graphic.ImageRef().Info.biClrUsed, 256u);  // colours carried over

    w.graphic.ChangeWidth(10);
    Bytes widened = Row(w.graphic, 0);
    EXPECT_EQ(Bytes(widened.begin(), widened.begin() + 4), Bytes(bottom.begin(), bottom.begin() + 4));
    EXPECT_EQ(Bytes(widened.begin() + 4, widened.begin() + 10), Bytes(6, 0));

    w.graphic.ChangeHeight(5);
    const Bytes raised = Row(w.graphic, 0);
    EXPECT_EQ(Bytes(raised.begin(), raised.begin() + 4), Bytes(bottom.begin(), bottom.begin() + 4));
    EXPECT_EQ(Row(w.graphic, 3), Bytes(12, 0));
    EXPECT_EQ(Row(w.graphic, 4), Bytes(12, 0));

    w.graphic.ChangeHeight(0);
    EXPECT_TRUE(w.graphic.IsBlank());

    try {
        w.graphic.ChangeWidth(-1);
        ADD_FAILURE();
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.Message(), "Invalid Size");
    }
    EXPECT_EQ(w.graphic.UpdateCount(), 0);
}

TEST(DIBitmap, Palettes) {
    Watched w;
    Load(w.graphic, 8, 2, 2, 16);
    const HPALETTE palette = w.graphic.QueryPalette();
    EXPECT_NE(palette, 0u);
    EXPECT_EQ(w.graphic.QueryPalette(), palette);  // made once

    w.notifications = 0;
    w.graphic.ChangePalette(0);
    EXPECT_EQ(w.notifications, 1);
    EXPECT_EQ(w.graphic.ImageRef().Info.biClrUsed, 0u);
    EXPECT_EQ(w.graphic.QueryPalette(), 0u);

    LOGPALETTE grey{0x300, 4, {}};
    for (int i = 0; i < 4; ++i) grey.palPalEntry[i] = PALETTEENTRY{uint8_t(i * 10), uint8_t(i * 20), uint8_t(i * 30), 0};
    const HPALETTE given = CreatePalette(grey);
    w.graphic.ChangePalette(given);
    EXPECT_EQ(w.graphic.ImageRef().Info.biClrUsed, 4u);
    EXPECT_EQ(w.graphic.ImageRef().ColorTable[3].rgbRed, 30);
    EXPECT_EQ(w.graphic.ImageRef().ColorTable[3].rgbBlue, 90);
    EXPECT_EQ(w.graphic.QueryPalette(), given);  // owned by the image now
}

TEST(DIBitmap, LoadFailureKeepsThePictureAndStillNotifies) {
    Watched w;
    Load(w.graphic, 8, 3, 2);
    const TDIBitmapImage* image = &w.graphic.ImageRef();
    w.notifications = 0;
    TMemoryStream stream;
    test::Fill(stream, Bytes{'M', 'B', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    try {
        w.graphic.LoadStream(stream);
        ADD_FAILURE();
    } catch (const EInvalidGraphic& e) {
        EXPECT_EQ(e.Message(), "Is not Bitmap File.");
    }
    EXPECT_EQ(&w.graphic.ImageRef(), image);
    EXPECT_EQ(w.graphic.UpdateCount(), 0);
    EXPECT_EQ(w.notifications, 1);
}

TEST(DIBitmap, UnbalancedLeaveUpdateAsserts) {
    TDIBitmap graphic;
    try {
        graphic.LeaveUpdate();
        ADD_FAILURE();
    } catch (const EAssertionFailed& e) {
        EXPECT_EQ(e.Message(), "Assertion failure (VDIBitmap, line 1241)");
    }
    EXPECT_EQ(graphic.UpdateCount(), 0);

    Watched w;
    w.graphic.EnterUpdate();
    w.graphic.EnterUpdate();
    w.graphic.LeaveUpdate();
    EXPECT_EQ(w.notifications, 0);
    w.graphic.LeaveUpdate();
    EXPECT_EQ(w.notifications, 1);
}

TEST(DIBitmap, RegistrationThroughTheModule) {
    VDIBitmapModule.Initialize();
    VDIBitmapModule.Initialize();  // a second start-up request registers nothing more
    auto countEntries = [] {
        int n = 0;
        if (auto* files = TPicture::FileFormats())
            for (auto& f : *files) n += f.GraphicClass == &TDIBitmap::Class && f.Extension == "dib" &&
                                        f.Description == "Device Independent Bitmap";
        if (auto* clip = TPicture::ClipboardFormats())
            for (size_t i = 0; i < clip->Classes.size(); ++i) n += clip->Classes[i] == &TDIBitmap::Class && clip->Formats[i] == 8;
        return n;
    };
    EXPECT_EQ(countEntries(), 2);
    VDIBitmapModule.Finalize();
    EXPECT_EQ(countEntries(), 2);  // removal matches the last request
    VDIBitmapModule.Finalize();
    EXPECT_EQ(countEntries(), 0);

    std::unique_ptr<TGraphic> made(TDIBitmap::Class.Construct());
    EXPECT_STREQ(made->ClassName(), "TDIBitmap");
    EXPECT_TRUE(made->IsBlank());
}

}  // namespace
}  // namespace vdib
