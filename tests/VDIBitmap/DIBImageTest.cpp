// The image record: header and colour table as one BITMAPINFO, blank images of every format,
// the size refusals, row addressing and copying, and palette conversion both ways.
#include <gtest/gtest.h>

#include <memory>

#include "TestSupport.h"

namespace vdib::test {
namespace {

struct ImageDeleter {
    void operator()(TDIBitmapImage* image) const {
        image->AddHolder();
        TSharedImage::DropHolder(image);
    }
};
using ImagePtr = std::unique_ptr<TDIBitmapImage, ImageDeleter>;

ImagePtr Blank(int32_t bitCount, int32_t width, int32_t height, bool topDown = false) {
    TDIBFormat format;
    format.BitCount = bitCount;
    format.TopDown = topDown;
    return ImagePtr(TDIBitmapImage::CreateBlank(format, width, height));
}

TEST(DIBImage, InfoAndColorTableFormOneBitmapInfo) {
    const ImagePtr image = Blank(8, 2, 2);
    const auto* info = reinterpret_cast<const uint8_t*>(&image->Info);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(image->ColorTable), info + 40);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(image->InfoBlock()->bmiColors), info + 40);
    // The header bytes as a BMP file holds them.
    const uint8_t expected[40] = {40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 1, 0, 8, 0, 0, 0, 0, 0, 8, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(info, expected, 40));
}

struct BlankCase {
    const char* name;
    int32_t bitCount, width, height;
    bool topDown;
    int32_t rowBytes;
    uint32_t compression;
};

const BlankCase BlankCases[] = {
    {"default image", 24, 0, 0, false, 0, BI_RGB},
    {"no columns", 8, 0, 10, false, 0, BI_RGB},
    {"no rows", 8, 10, 0, false, 12, BI_RGB},
    {"1 bit x 1", 1, 1, 3, false, 4, BI_RGB},
    {"1 bit x 33", 1, 33, 2, false, 8, BI_RGB},
    {"4 bits x 9", 4, 9, 2, false, 8, BI_RGB},
    {"8 bits x 5", 8, 5, 3, false, 8, BI_RGB},
    {"24 bits x 1", 24, 1, 2, false, 4, BI_RGB},
    {"24 bits x 3", 24, 3, 2, false, 12, BI_RGB},
    {"16 bits x 3", 16, 3, 2, false, 8, BI_BITFIELDS},
    {"32 bits x 3", 32, 3, 2, false, 12, BI_BITFIELDS},
    {"top-down", 8, 3, 5, true, 4, BI_RGB},
    {"top-down, one row", 8, 3, 1, true, 4, BI_RGB},
};

TEST(DIBImage, CreateBlankFillsHeaderBlockAndRows) {
    for (const BlankCase& c : BlankCases) {
        SCOPED_TRACE(c.name);
        const ImagePtr image = Blank(c.bitCount, c.width, c.height, c.topDown);
        EXPECT_EQ(image->HolderCount, 0);  // the first holder adds itself
        EXPECT_EQ(image->RowBytes, c.rowBytes);
        EXPECT_EQ(image->Info.biSize, 40u);
        EXPECT_EQ(image->Info.biWidth, c.width);
        EXPECT_EQ(image->Info.biHeight, c.topDown ? -c.height : c.height);
        EXPECT_EQ(image->Info.biPlanes, 1);
        EXPECT_EQ(image->Info.biBitCount, c.bitCount);
        EXPECT_EQ(image->Info.biCompression, c.compression);
        EXPECT_EQ(image->Info.biSizeImage, static_cast<uint32_t>(c.rowBytes * c.height));
        EXPECT_EQ(image->Info.biClrUsed, 0u);
        EXPECT_EQ(image->PaletteHandle, 0u);
        const bool empty = c.width == 0 || c.height == 0;
        EXPECT_EQ(image->IsEmpty(), empty);
        EXPECT_EQ(image->Bits == nullptr, empty);
        EXPECT_EQ(image->MappingHandle == 0, empty);
        if (empty) continue;
        EXPECT_EQ(image->FirstRow, image->Bits + (c.topDown ? (c.height - 1) * c.rowBytes : 0));
        EXPECT_EQ(image->RowStep, c.topDown ? -c.rowBytes : c.rowBytes);
        for (uint32_t i = 0; i < image->Info.biSizeImage; ++i) ASSERT_EQ(image->Bits[i], 0) << i;
        image->Bits[image->Info.biSizeImage - 1] = 0xFF;  // the whole block is writable
    }
}

TEST(DIBImage, CreateBlankKeepsTheFormatAndStoresMasks) {
    TDIBFormat format;
    format.BitCount = 16;
    format.RedMask = 0xF800;
    format.GreenMask = 0x07E0;
    format.BlueMask = 0x001F;
    format.Compressed = true;
    const ImagePtr image(TDIBitmapImage::CreateBlank(format, 3, 2));
    EXPECT_TRUE(image->Format.Compressed);
    EXPECT_EQ(image->Format.RedMask, 0xF800u);
    const auto* table = reinterpret_cast<const uint8_t*>(image->ColorTable);
    EXPECT_EQ(ToHex(Bytes(table, table + 16)), "00 F8 00 00 E0 07 00 00 1F 00 00 00 00 00 00 00");
    EXPECT_EQ(image->Info.biClrUsed, 0u);

    const ImagePtr plain = Blank(8, 3, 2);
    const auto* colors = reinterpret_cast<const uint8_t*>(plain->ColorTable);
    EXPECT_EQ(Bytes(colors, colors + 1024), Bytes(1024, 0));
}

struct RefusalCase {
    const char* name;
    int32_t bitCount, width, height;
};

const RefusalCase RefusalCases[] = {
    {"negative width", 8, -1, 1},
    {"negative height", 8, 1, -1},
    {"negative bits per row", -8, 1, 1},
    {"bits per row past 32 bits", 32, 0x4000000, 0},
    {"bits per row whose rounding passes 32 bits", 1, 0x7FFFFFE1, 0},
    {"block past 32 bits", 8, 4, 0x20000000},
    {"block far past 32 bits", 32, 0x1000000, 0x1000000},
};

TEST(DIBImage, CreateBlankRefusesSizesThatDoNotFit) {
    for (const RefusalCase& c : RefusalCases) {
        SCOPED_TRACE(c.name);
        TDIBFormat format;
        format.BitCount = c.bitCount;
        try {
            ImagePtr image(TDIBitmapImage::CreateBlank(format, c.width, c.height));
            ADD_FAILURE() << "no exception";
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(e.Message(), "Invalid Size");
        }
    }
    // At the limit of the row arithmetic (no block, since there are no rows).
    const ImagePtr widest = Blank(1, 0x7FFFFFE0, 0);
    EXPECT_EQ(widest->RowBytes, 0x0FFFFFFC);
}

// Rows are given as the first bytes of each picture row, bottom first.
void FillPictureRows(TDIBitmapImage& image, uint8_t first) {
    for (int32_t row = 0; row < image.Height; ++row) {
        for (int32_t i = 0; i < image.RowBytes; ++i) image.PictureRow(row)[i] = static_cast<uint8_t>(first + 16 * row + i);
    }
}

TEST(DIBImage, CopyRowsFromLaysPicturesOverAtTheBottomLeft) {
    struct Case {
        const char* name;
        int32_t sourceWidth, sourceHeight;
        bool sourceTopDown;
        int32_t width, height;
        bool topDown;
    };
    const Case cases[] = {
        {"narrower, shorter destination", 10, 4, false, 3, 6, false},
        {"wider destination", 3, 4, false, 10, 4, false},
        {"shorter destination", 8, 6, false, 8, 2, false},
        {"top-down source", 8, 3, true, 8, 3, false},
        {"top-down destination", 8, 3, false, 4, 5, true},
        {"both top-down", 12, 4, true, 8, 2, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ImagePtr source = Blank(8, c.sourceWidth, c.sourceHeight, c.sourceTopDown);
        const ImagePtr dest = Blank(8, c.width, c.height, c.topDown);
        FillPictureRows(*source, 0x01);
        FillPictureRows(*dest, 0x80);
        dest->CopyRowsFrom(*source);
        const int32_t bytes = std::min(source->RowBytes, dest->RowBytes);
        for (int32_t row = 0; row < dest->Height; ++row) {
            for (int32_t i = 0; i < dest->RowBytes; ++i) {
                const bool copied = row < source->Height && i < bytes;
                const uint8_t expected = copied ? source->PictureRow(row)[i] : static_cast<uint8_t>(0x80 + 16 * row + i);
                ASSERT_EQ(dest->PictureRow(row)[i], expected) << "row " << row << ", byte " << i;
            }
        }
    }
    // An empty image on either side copies nothing.
    const ImagePtr image = Blank(8, 3, 2);
    FillPictureRows(*image, 0x80);
    const ImagePtr empty = Blank(8, 0, 4);
    image->CopyRowsFrom(*empty);
    empty->CopyRowsFrom(*image);
    EXPECT_EQ(image->PictureRow(1)[3], 0x80 + 16 + 3);
}

void SetColors(TDIBitmapImage& image, uint32_t count) {
    for (uint32_t i = 0; i < 256; ++i) {
        image.ColorTable[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i + 1), static_cast<uint8_t>(i + 2), 0x55};
    }
    image.Info.biClrUsed = count;
}

TEST(DIBImage, GetPaletteHandleMakesThePaletteOnce) {
    const std::size_t before = LivePaletteCount();
    {
        const ImagePtr image = Blank(8, 2, 2);
        EXPECT_EQ(image->GetPaletteHandle(), 0u);  // no colours, no palette
        EXPECT_EQ(LivePaletteCount(), before);

        SetColors(*image, 3);
        const HPALETTE palette = image->GetPaletteHandle();
        ASSERT_NE(palette, 0u);
        EXPECT_EQ(image->GetPaletteHandle(), palette);
        EXPECT_EQ(LivePaletteCount(), before + 1);

        PALETTEENTRY entries[256];
        ASSERT_EQ(GetPaletteEntries(palette, 0, 256, entries), 3u);
        EXPECT_EQ(entries[2].peRed, 4);  // reordered from blue-green-red
        EXPECT_EQ(entries[2].peGreen, 3);
        EXPECT_EQ(entries[2].peBlue, 2);
        EXPECT_EQ(entries[2].peFlags, 0);
    }
    EXPECT_EQ(LivePaletteCount(), before);  // the image deleted it
}

LOGPALETTE Palette16() {
    LOGPALETTE log{};
    log.palVersion = 0x300;
    log.palNumEntries = 16;
    for (uint8_t i = 0; i < 16; ++i) log.palPalEntry[i] = {static_cast<uint8_t>(0xA0 + i), 0x10, 0x20, 0};
    return log;
}

TEST(DIBImage, SetPaletteHandleTakesEntriesAndOwnership) {
    const std::size_t before = LivePaletteCount();
    {
        const ImagePtr image = Blank(8, 2, 2);
        SetColors(*image, 256);
        const HPALETTE old = image->GetPaletteHandle();
        const HPALETTE palette = CreatePalette(Palette16());
        image->SetPaletteHandle(palette);
        EXPECT_EQ(image->PaletteHandle, palette);
        EXPECT_EQ(image->Info.biClrUsed, 16u);
        EXPECT_EQ(GetPaletteEntries(old, 0, 1, nullptr), 0u);  // the old one was deleted
        for (uint32_t i = 0; i < 256; ++i) {
            const RGBQUAD& e = image->ColorTable[i];
            if (i < 16) {
                EXPECT_EQ(Bytes({e.rgbBlue, e.rgbGreen, e.rgbRed, e.rgbReserved}),
                          Bytes({0x20, 0x10, static_cast<uint8_t>(0xA0 + i), 0}));
            } else {
                EXPECT_EQ(e.rgbBlue, i) << i;  // beyond the count: untouched
                EXPECT_EQ(e.rgbReserved, 0x55) << i;
            }
        }
        EXPECT_EQ(image->GetPaletteHandle(), palette);

        // The handle it already holds: kept, not deleted.
        image->SetPaletteHandle(palette);
        EXPECT_EQ(image->PaletteHandle, palette);
        EXPECT_EQ(image->Info.biClrUsed, 16u);
        EXPECT_EQ(LivePaletteCount(), before + 1);

        // None: the palette goes, the colour count with it, the table stays.
        image->SetPaletteHandle(0);
        EXPECT_EQ(image->PaletteHandle, 0u);
        EXPECT_EQ(image->Info.biClrUsed, 0u);
        EXPECT_EQ(image->ColorTable[3].rgbRed, 0xA3);
        EXPECT_EQ(image->GetPaletteHandle(), 0u);
        EXPECT_EQ(LivePaletteCount(), before);
    }
    EXPECT_EQ(LivePaletteCount(), before);
}

TEST(DIBImage, SetPaletteHandleReportsAPaletteThatCannotBeRead) {
    const ImagePtr image = Blank(8, 2, 2);
    SetColors(*image, 4);
    image->GetPaletteHandle();
    const HPALETTE gone = CreatePalette(Palette16());
    DeleteObject(gone);
    EXPECT_THROW(image->SetPaletteHandle(gone), EOSError);
    EXPECT_EQ(image->PaletteHandle, 0u);
    EXPECT_EQ(image->Info.biClrUsed, 4u);
    EXPECT_EQ(image->ColorTable[0].rgbReserved, 0x55);
}

}  // namespace
}  // namespace vdib::test
