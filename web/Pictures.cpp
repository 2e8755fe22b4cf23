#include "Pictures.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>

#include <VDIBitmap/DeviceContext.h>
#include <VDIBitmap/Graphics.h>

namespace vdib {

namespace {

constexpr uint64_t EveryByte = 0x0101010101010101;

// How many of the colour table's entries the picture can use.
int32_t TableEntries(const TDIBitmapImage& image) {
    const auto entries = static_cast<int32_t>(image.ColorCount());
    return entries == 0 ? 1 << image.Format.BitCount : std::min(entries, 1 << image.Format.BitCount);
}

// Marks the palette indices that the pixels of an 8-, 4- or 1-bit picture use, and stops once
// every entry of the table is. A row is taken 8 bytes at a time, and 8 bytes that repeat the last
// index are passed over, so that the flat areas of drawings cost little.
void MarkIndices(const TDIBitmapImage& image, bool used[256]) {
    const int32_t bits = image.Format.BitCount;
    const auto rowBytes = static_cast<std::size_t>((int64_t{image.Width} * bits + 7) / 8);
    const int32_t perByte = 8 / bits;
    const uint32_t mask = (1u << bits) - 1;
    const int32_t entries = TableEntries(image);
    for (int32_t y = 0; y < image.Height && std::count(used, used + 256, true) < entries; ++y) {
        const uint8_t* row = image.StoredRow(y);
        std::size_t x = 0;
        if (bits == 8) {
            uint8_t last = row[0];
            used[last] = true;
            for (; x + 8 <= rowBytes; x += 8) {
                uint64_t eight;
                std::memcpy(&eight, row + x, 8);
                if (eight == last * EveryByte) continue;
                for (int k = 0; k < 8; ++k) used[(eight >> (8 * k)) & 0xFF] = true;
                last = static_cast<uint8_t>(eight >> 56);
            }
        }
        // The last byte of a 1- or 4-bit row may hold padding bits past the picture.
        for (; x < rowBytes; ++x) {
            for (int k = 0; k < perByte; ++k) {
                if (static_cast<int64_t>(x) * perByte + k >= image.Width) break;
                used[(row[x] >> (8 - bits * (k + 1))) & mask] = true;
            }
        }
    }
}

// Marks the palette indices that RLE8 or RLE4 pixel data uses: the runs' colours (both of an
// RLE4 run's two) and every pixel of the absolute runs, up to end-of-bitmap or the data's end.
// Stops once every entry of the table is used, checked at each end-of-line.
void MarkEncodedIndices(const uint8_t* data, std::size_t size, int32_t bits, int32_t entries, bool used[256]) {
    std::size_t at = 0;
    while (size - at >= 2) {
        const uint8_t count = data[at], value = data[at + 1];
        at += 2;
        if (count != 0) {
            if (bits == 8) {
                used[value] = true;
            } else {
                used[value >> 4] = true;
                if (count > 1) used[value & 0x0F] = true;
            }
        } else if (value == 0) {
            if (std::count(used, used + 256, true) == entries) return;
        } else if (value == 1) {
            return;
        } else if (value == 2) {
            at += std::min<std::size_t>(2, size - at);
        } else {
            // An absolute run of `value` pixels, padded to a whole number of 16-bit words.
            const std::size_t bytes = bits == 8 ? value : (value + 1u) / 2;
            const std::size_t available = std::min(bytes, size - at);
            for (std::size_t i = 0; i < available; ++i) {
                if (bits == 8) {
                    used[data[at + i]] = true;
                } else {
                    used[data[at + i] >> 4] = true;
                    if (2 * i + 1 < value) used[data[at + i] & 0x0F] = true;
                }
            }
            at += std::min((bytes + 1) & ~std::size_t{1}, size - at);
        }
    }
}

// A channel of a 16- or 32-bit pixel, cut to its 8 highest bits when it has more.
struct TChannel {
    uint32_t Mask;
    int Shift;
    explicit TChannel(uint32_t mask)
        : Mask(mask), Shift(mask == 0 ? 0 : std::countr_zero(mask) + std::max(0, std::popcount(mask) - 8)) {}
    uint32_t operator()(uint32_t value) const { return (value & Mask) >> Shift; }
};

// Distinct 24-bit keys, one bit each.
class TColourSet {
public:
    TColourSet() : FBits(1u << 18) {}
    void Add(uint32_t key) { FBits[key >> 6] |= uint64_t{1} << (key & 63); }
    int32_t Count() const {
        int32_t count = 0;
        for (const uint64_t word : FBits) count += std::popcount(word);
        return count;
    }

private:
    std::vector<uint64_t> FBits;
};

// The distinct colours among the table's entries that are used.
int32_t CountUsedColours(const TDIBitmapImage& image, const bool used[256]) noexcept {
    std::array<uint32_t, 256> colours;
    std::size_t count = 0;
    for (int i = 0; i < 256; ++i) {
        const RGBQUAD& entry = image.ColorTable()[i];
        if (used[i]) colours[count++] = uint32_t{entry.rgbRed} << 16 | uint32_t{entry.rgbGreen} << 8 | entry.rgbBlue;
    }
    std::sort(colours.begin(), colours.begin() + count);
    return static_cast<int32_t>(std::unique(colours.begin(), colours.begin() + count) - colours.begin());
}

// 16 and 32 bits: the masks of a bit-field picture, or the fixed layouts without them (5-5-5 and
// 8-8-8). A pixel that repeats the one before it is not looked up again.
template <int Bytes>
void AddPixels(const TDIBitmapImage& image, TColourSet& colours) {
    const bool fields = image.Info().biCompression == BI_BITFIELDS;
    const TChannel red(fields ? image.Format.RedMask : Bytes == 2 ? 0x7C00 : 0xFF0000);
    const TChannel green(fields ? image.Format.GreenMask : Bytes == 2 ? 0x03E0 : 0x00FF00);
    const TChannel blue(fields ? image.Format.BlueMask : Bytes == 2 ? 0x001F : 0x0000FF);
    for (int32_t y = 0; y < image.Height; ++y) {
        const uint8_t* row = image.StoredRow(y);
        uint32_t last = ~0u;
        for (int32_t x = 0; x < image.Width; ++x) {
            uint32_t value = 0;
            std::memcpy(&value, row + static_cast<std::size_t>(x) * Bytes, Bytes);
            if (value == last) continue;
            last = value;
            colours.Add(red(value) << 16 | green(value) << 8 | blue(value));
        }
    }
}

void Add24(const TDIBitmapImage& image, TColourSet& colours) {
    for (int32_t y = 0; y < image.Height; ++y) {
        const uint8_t* row = image.StoredRow(y);
        for (int32_t x = 0; x < image.Width; ++x) {
            const uint8_t* p = row + static_cast<std::size_t>(x) * 3;
            colours.Add(uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
        }
    }
}

}  // namespace

void Draw(TDIBitmap& bitmap, int32_t limit, TDrawing& picture, std::vector<uint8_t>& pixels) {
    const int32_t width = bitmap.Width(), height = bitmap.Height();
    if (width <= 0 || height <= 0) return;
    const double scale = std::min(1.0, static_cast<double>(limit) / std::max(width, height));
    const auto drawnWidth = std::max<int32_t>(1, static_cast<int32_t>(width * scale + 0.5));
    const auto drawnHeight = std::max<int32_t>(1, static_cast<int32_t>(height * scale + 0.5));
    TSurfaceCanvas canvas(drawnWidth, drawnHeight);
    bitmap.PaintOn(canvas, {0, 0, drawnWidth, drawnHeight});
    const uint32_t* bits = SurfaceBits(canvas.DeviceContext());
    if (bits == nullptr) return;
    const std::size_t count = static_cast<std::size_t>(drawnWidth) * static_cast<std::size_t>(drawnHeight);
    pixels.resize(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
        pixels[4 * i] = static_cast<uint8_t>(bits[i] >> 16);
        pixels[4 * i + 1] = static_cast<uint8_t>(bits[i] >> 8);
        pixels[4 * i + 2] = static_cast<uint8_t>(bits[i]);
        pixels[4 * i + 3] = 255;
    }
    picture = {pixels.data(), drawnWidth, drawnHeight};
}

int32_t CountColours(const TDIBitmapImage& image) noexcept {
    if (image.Bits == nullptr || image.IsEmpty()) return 0;
    const int32_t bits = image.Format.BitCount;
    if (bits <= 8) {
        bool used[256] = {};
        MarkIndices(image, used);
        return CountUsedColours(image, used);
    }
    try {
        TColourSet colours;
        if (bits == 24) Add24(image, colours);
        else if (bits == 16) AddPixels<2>(image, colours);
        else AddPixels<4>(image, colours);
        return colours.Count();
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

int32_t CountEncodedColours(const TDIBitmapImage& image, const uint8_t* file, std::size_t size) noexcept {
    constexpr std::size_t PixelOffsetField = 10;
    if (size < PixelOffsetField + 4) return 0;
    std::size_t offset = 0;
    for (int i = 3; i >= 0; --i) offset = offset << 8 | file[PixelOffsetField + i];
    if (offset > size) return 0;
    bool used[256] = {};
    MarkEncodedIndices(file + offset, size - offset, image.Format.BitCount, TableEntries(image), used);
    return CountUsedColours(image, used);
}

bool CompositeOver(uint8_t* pixels, std::size_t count, uint32_t background) {
    const uint32_t under[3] = {background >> 16 & 0xFF, background >> 8 & 0xFF, background & 0xFF};
    bool transparent = false;
    for (std::size_t i = 0; i < count; ++i) {
        uint8_t* p = pixels + 4 * i;
        uint32_t rgb[3] = {p[0], p[1], p[2]};
        const uint32_t alpha = p[3];
        if (alpha != 255) {
            transparent = true;
            for (int c = 0; c < 3; ++c) rgb[c] = (rgb[c] * alpha + under[c] * (255 - alpha) + 127) / 255;
        }
        const uint32_t bgr0 = rgb[2] | rgb[1] << 8 | rgb[0] << 16;
        std::memcpy(p, &bgr0, 4);
    }
    return transparent;
}

}  // namespace vdib
