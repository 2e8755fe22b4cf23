// Pictures from colour ids in every pixel format, surfaces read as colour ids, pictures compared
// (also by the fuzz targets, hence no test framework here).
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/DeviceContext.h>

namespace vdib::test {

// Colours with channels 0 or 255 only, so that every pixel format holds them exactly.
inline constexpr uint32_t Colours[8] = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF, 0xFFFFFF};
inline constexpr uint32_t Background = 0x808080;

// Where a palette picture keeps colour id `id`, so that a reader that ignores the table or takes
// nibbles or bits in the wrong order shows it: 1 bit keeps the id's low bit (as colour 3 or 4),
// 4 bits count down from 15, 8 bits start at 200.
inline int IndexOf(int bitCount, int id) { return bitCount == 1 ? id & 1 : bitCount == 4 ? 15 - id : 200 + id; }
inline uint32_t ColourOf(int bitCount, int id) { return bitCount == 1 ? Colours[(id & 1) != 0 ? 4 : 3] : Colours[id]; }

// A picture of colour ids ('0' to '7'), top row first, in format `f`: a palette picture with a
// full table (2, 16 or 256 colours), 16 and 32 bits through the masks of `f`.
inline TDIBitmapImage* MakeImage(const TDIBFormat& f, const std::vector<std::string>& rows) {
    const auto height = static_cast<int32_t>(rows.size()), width = static_cast<int32_t>(rows.empty() ? 0 : rows[0].size());
    const int bits = f.BitCount;
    TDIBitmapImage* image = TDIBitmapImage::CreateBlank(f, width, height);
    if (bits <= 8) image->Info().biClrUsed = 1u << bits;
    for (int id = 0; id < 8 && bits <= 8; ++id) {
        const uint32_t c = ColourOf(bits, id);
        image->ColorTable()[IndexOf(bits, id)] = RGBQUAD{uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0};
    }
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = image->PictureRow(height - 1 - y);
        for (int32_t x = 0, bit = 0; x < width; ++x, bit += bits) {
            const int id = rows[y][x] - '0';
            const uint32_t c = Colours[id];  // each channel all bits of its mask or none
            const uint32_t masked = (c & 0xFF0000 ? f.RedMask : 0) | (c & 0xFF00 ? f.GreenMask : 0) | (c & 0xFF ? f.BlueMask : 0);
            if (bits <= 8) row[bit / 8] |= static_cast<uint8_t>(IndexOf(bits, id) << (8 - bits - bit % 8));
            if (bits > 8) std::memcpy(row + bit / 8, f.RedMask != 0 ? &masked : &c, static_cast<std::size_t>(bits / 8));
        }
    }
    return image;
}

// The surface as colour ids, top row first ('.' the background, '?' another colour; 1 bit: low bits).
inline std::vector<std::string> Render(HDC dc, int bitCount) {
    std::vector<std::string> rows(static_cast<std::size_t>(SurfaceHeight(dc)), std::string(SurfaceWidth(dc), '?'));
    for (int32_t y = 0; y < SurfaceHeight(dc); ++y)
        for (int32_t x = 0; x < SurfaceWidth(dc); ++x) {
            const uint32_t p = SurfacePixel(dc, x, y);
            if (p == Background) rows[y][x] = '.';
            for (int id = 7; id >= 0; --id)
                if (p == ColourOf(bitCount, id)) rows[y][x] = static_cast<char>('0' + (bitCount == 1 ? id & 1 : id));
        }
    return rows;
}

// "" when `actual` shows the picture `expected` shows (size, orientation, bits and masks, colours,
// each row's bytes, bits after its last pixel included), otherwise the first difference.
inline std::string PictureDifference(const TDIBitmapImage& expected, const TDIBitmapImage& actual) {
    const TDIBFormat &e = expected.Format, &a = actual.Format;
    if (actual.Width != expected.Width || actual.Height != expected.Height) return "size";
    if (a.BitCount != e.BitCount || a.TopDown != e.TopDown || a.RedMask != e.RedMask || a.GreenMask != e.GreenMask ||
        a.BlueMask != e.BlueMask)
        return "format";
    if (actual.ColorCount() != expected.ColorCount() ||
        std::memcmp(actual.ColorTable(), expected.ColorTable(), 4 * expected.ColorCount()) != 0)
        return "colours";
    const auto bytes = static_cast<std::size_t>((int64_t{e.BitCount} * expected.Width + 7) / 8);
    for (int32_t row = 0; row < expected.Height; ++row)
        if (std::memcmp(actual.PictureRow(row), expected.PictureRow(row), bytes) != 0) return "row " + std::to_string(row);
    return "";
}

// The picture of a BMP file's bytes.
inline std::unique_ptr<TDIBitmapImage> ReadPicture(const std::string& file) {
    TMemoryStream stream;
    stream.WriteExact(file.data(), static_cast<int32_t>(file.size()));
    stream.Seek(0, soBeginning);
    return std::unique_ptr<TDIBitmapImage>(TDIBitmapImage::CreateFromStream(stream, true));
}

}  // namespace vdib::test
