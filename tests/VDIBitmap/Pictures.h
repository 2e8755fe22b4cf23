// Small pictures of every pixel format built straight into an image, for the drawing and
// clipboard tests: rows of colour ids, top row first, one digit per pixel; id n shows
// kColours[n], whose channels are 0 or 255 so that every format holds them exactly.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "DIBitmap.h"

namespace vdib::test {

using Bytes = std::vector<uint8_t>;

inline constexpr uint32_t kColours[8] = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF,
                                         0xFFFF00, 0x00FFFF, 0xFF00FF, 0xFFFFFF};

struct TPictureFormat {
    const char* Name;
    int32_t BitCount;
    uint32_t Masks[3];
};
inline void PrintTo(const TPictureFormat& f, std::ostream* os) { *os << f.Name << " bits"; }

inline const TPictureFormat kFormats[] = {
    {"1", 1, {}},   {"4", 4, {}},   {"8", 8, {}}, {"16", 16, {0xF800, 0x07E0, 0x001F}},
    {"24", 24, {}}, {"32", 32, {0xFF0000, 0x00FF00, 0x0000FF}},
};

// What id `id` shows: 1 bit per pixel keeps the id's low bit.
inline uint32_t ColourOf(int32_t bitCount, int id) { return kColours[bitCount == 1 ? id & 1 : id]; }

// Indexed formats get kColours as colour table (two entries for 1 bit).
inline TDIBitmapImage* MakeImage(const TPictureFormat& f, const std::vector<std::string>& rows, bool topDown = false) {
    TDIBFormat format{f.BitCount, f.Masks[0], f.Masks[1], f.Masks[2], topDown, false};
    const auto height = static_cast<int32_t>(rows.size());
    std::unique_ptr<TDIBitmapImage> image(
        TDIBitmapImage::CreateBlank(format, height == 0 ? 0 : static_cast<int32_t>(rows[0].size()), height));
    if (f.BitCount <= 8) image->Info.biClrUsed = f.BitCount == 1 ? 2 : 8;
    for (uint32_t i = 0; i < image->Info.biClrUsed; ++i)
        image->ColorTable[i] = {uint8_t(kColours[i]), uint8_t(kColours[i] >> 8), uint8_t(kColours[i] >> 16), 0};
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = image->PictureRow(height - 1 - y);
        for (int32_t x = 0; x < image->Width; ++x) {
            const int id = rows[y][x] - '0';
            const uint32_t c = kColours[id];
            uint32_t value = f.BitCount == 1 ? id & 1 : f.BitCount <= 8 ? id : c;
            if (f.BitCount == 16 || f.BitCount == 32)
                value = (c & 0xFF0000 ? f.Masks[0] : 0) | (c & 0xFF00 ? f.Masks[1] : 0) | (c & 0xFF ? f.Masks[2] : 0);
            if (f.BitCount < 8) {
                const int shift = 8 - f.BitCount * (x % (8 / f.BitCount) + 1);
                row[x * f.BitCount / 8] |= static_cast<uint8_t>(value << shift);
            } else {
                for (int i = 0; i < f.BitCount / 8; ++i) row[x * f.BitCount / 8 + i] = static_cast<uint8_t>(value >> (8 * i));
            }
        }
    }
    return image.release();
}

// A graphic that holds a given image (null: the blank one), counts its notifications and the
// questions for its palette.
class TTestBitmap : public TDIBitmap {
public:
    int PaletteQueries = 0;
    int Notifications = 0;

    explicit TTestBitmap(TDIBitmapImage* image = nullptr) {
        if (image != nullptr) HoldImage(image);
        ChangeListener = [this](TPersistent*) { ++Notifications; };
    }
    HPALETTE QueryPalette() override {
        ++PaletteQueries;
        return TDIBitmap::QueryPalette();
    }
};

// The image as a packed DIB, as the writer gives it.
inline Bytes PackedBytes(const TDIBitmapImage& image) {
    TMemoryStream stream;
    image.WriteToStream(stream, false);
    const auto* p = static_cast<const uint8_t*>(stream.BlockAddress());
    return Bytes(p, p + stream.BlockSize());
}

}  // namespace vdib::test
