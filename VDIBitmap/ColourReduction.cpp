// Colour reduction: the request's checks, reading any picture as colours, and the choice between
// the exact palette of a picture with few colours and a palette made for it. The palette is made
// in ColourPalette.cpp, the pixels mapped to it in ColourMapping.cpp.
#include <VDIBitmap/ColourReduction.h>
#include <VDIBitmap/Messages.h>

#include <algorithm>
#include <bit>
#include <memory>

#include "ByteOrder.h"
#include "Quantiser.h"

namespace vdib {

namespace reduction {

namespace {

TColourReader::TChannel ChannelOf(uint32_t mask) {
    TColourReader::TChannel channel;
    channel.Mask = mask;
    channel.Shift = mask == 0 ? 0 : std::countr_zero(mask);
    channel.Range = mask >> channel.Shift;
    return channel;
}

// A masked channel scaled to 0..255 and rounded, as the drawing code scales it.
uint32_t Extract(const TColourReader::TChannel& channel, uint32_t value) {
    if (channel.Range == 0) return 0;
    const uint64_t c = (value & channel.Mask) >> channel.Shift;
    return static_cast<uint32_t>((c * 255 + channel.Range / 2) / channel.Range);
}

}  // namespace

struct TFetchers {
    static void Bits1(const TColourReader& r, const uint8_t* row, int32_t x, int32_t count, TColour* out) {
        for (int32_t i = 0; i < count; ++i, ++x) out[i] = r.FTable[(row[x >> 3] >> (7 - (x & 7))) & 1];
    }
    static void Bits4(const TColourReader& r, const uint8_t* row, int32_t x, int32_t count, TColour* out) {
        for (int32_t i = 0; i < count; ++i, ++x) out[i] = r.FTable[(row[x >> 1] >> ((x & 1) != 0 ? 0 : 4)) & 0x0F];
    }
    static void Bits8(const TColourReader& r, const uint8_t* row, int32_t x, int32_t count, TColour* out) {
        for (int32_t i = 0; i < count; ++i) out[i] = r.FTable[row[x + i]];
    }
    static void Bits16(const TColourReader& r, const uint8_t* row, int32_t x, int32_t count, TColour* out) {
        const uint8_t* p = row + 2 * static_cast<std::size_t>(x);
        for (int32_t i = 0; i < count; ++i, p += 2) out[i] = r.FWords[p[0] | p[1] << 8];
    }
    // Blue, green and red in a little-endian word are 0xRRGGBB; the last pixel, whose word
    // would reach past it, by bytes.
    static void Bits24(const TColourReader&, const uint8_t* row, int32_t x, int32_t count, TColour* out) {
        const uint8_t* p = row + 3 * static_cast<std::size_t>(x);
        for (int32_t i = 0; i < count - 1; ++i, p += 3) out[i] = GetLE32(p) & 0xFFFFFF;
        out[count - 1] = MakeColour(p[2], p[1], p[0]);
    }
    // The usual masks: a byte each for red, green and blue.
    static void Bits32Bytes(const TColourReader&, const uint8_t* row, int32_t x, int32_t count, TColour* out) {
        const uint8_t* p = row + 4 * static_cast<std::size_t>(x);
        for (int32_t i = 0; i < count; ++i, p += 4) out[i] = GetLE32(p) & 0xFFFFFF;
    }
    static void Bits32(const TColourReader& r, const uint8_t* row, int32_t x, int32_t count, TColour* out) {
        const uint8_t* p = row + 4 * static_cast<std::size_t>(x);
        for (int32_t i = 0; i < count; ++i, p += 4) {
            const uint32_t v = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
            out[i] = r.Masked(v);
        }
    }
};

TColour TColourReader::Masked(uint32_t value) const {
    return MakeColour(static_cast<int>(Extract(FChannels[0], value)), static_cast<int>(Extract(FChannels[1], value)),
                      static_cast<int>(Extract(FChannels[2], value)));
}

// A palette picture without colours reads its table's first entries all the same, as drawing does.
TColourReader::TColourReader(const TDIBitmapImage& image) : FImage(image) {
    const int bits = image.Format.BitCount;
    if (bits <= 8) {
        const uint32_t first = image.FirstColorEntry();
        const uint32_t count = std::min<uint32_t>(image.ColorCount() == 0 ? 1u << bits : image.ColorCount(), 256 - first);
        for (uint32_t i = 0; i < count; ++i) {
            const RGBQUAD& q = image.ColorTable()[first + i];
            FTable[i] = MakeColour(q.rgbRed, q.rgbGreen, q.rgbBlue);
        }
        FFetch = bits == 1 ? TFetchers::Bits1 : bits == 4 ? TFetchers::Bits4 : TFetchers::Bits8;
        return;
    }
    if (bits == 24) {
        FFetch = TFetchers::Bits24;
        return;
    }
    FChannels[0] = ChannelOf(image.Format.RedMask);
    FChannels[1] = ChannelOf(image.Format.GreenMask);
    FChannels[2] = ChannelOf(image.Format.BlueMask);
    if (bits == 16) {
        FWords.resize(65536);
        for (uint32_t v = 0; v < 65536; ++v) FWords[v] = Masked(v);
        FFetch = TFetchers::Bits16;
    } else if (image.Format.RedMask == 0xFF0000 && image.Format.GreenMask == 0xFF00 && image.Format.BlueMask == 0xFF) {
        FFetch = TFetchers::Bits32Bytes;
    } else {
        FFetch = TFetchers::Bits32;
    }
}

void TColourReader::Read(int32_t row, int32_t x, int32_t count, TColour* out) const {
    FFetch(*this, FImage.PictureRow(row), x, count, out);
}

}  // namespace reduction

void ReduceColours(const TDIBitmap& source, TDIBitmap& target, const TColourReduction& how) {
    using namespace reduction;
    if (how.BitCount != 4 && how.BitCount != 8) Raise<EInvalidOperation>(msg::ReductionBitCount);
    const TDIBitmapImage& image = source.ImageRef();
    if (image.IsEmpty()) Raise<EInvalidGraphic>(msg::ReductionEmpty);

    const int maxColours = 1 << how.BitCount;
    const TColourReader reader(image);
    TPalette palette;
    TDither dither = how.Dither;
    {
        std::vector<TPoint> points = ExactColours(reader, image.Width, image.Height);
        if (!points.empty() && points.size() <= static_cast<std::size_t>(maxColours)) {
            // Every colour has an entry of its own, at distance 0 from its pixels: nothing to diffuse.
            for (const TPoint& p : points)
                palette.Colours[palette.Count++] = MakeColour(p.Position[0] >> 4, p.Position[1] >> 4, p.Position[2] >> 4);
            dither = TDither::None;
        } else {
            if (points.empty()) points = CubeColours(reader, image.Width, image.Height);
            palette = BuildPalette(points, maxColours);
        }
    }

    TDIBFormat format;
    format.BitCount = how.BitCount;
    std::unique_ptr<TDIBitmapImage> reduced(TDIBitmapImage::CreateBlank(format, image.Width, image.Height));
    BITMAPINFOHEADER& info = reduced->Info();
    info.biXPelsPerMeter = image.Info().biXPelsPerMeter;
    info.biYPelsPerMeter = image.Info().biYPelsPerMeter;
    info.biClrUsed = static_cast<uint32_t>(palette.Count);
    for (int i = 0; i < palette.Count; ++i) {
        const TColour c = palette.Colours[i];
        reduced->ColorTable()[i] = RGBQUAD{static_cast<uint8_t>(Blue(c)), static_cast<uint8_t>(Green(c)),
                                           static_cast<uint8_t>(Red(c)), 0};
    }
    MapPixels(reader, palette, dither, *reduced);
    // The source may be the target itself: its image is not looked at after this.
    target.ReplaceImage(std::move(reduced));
}

}  // namespace vdib
