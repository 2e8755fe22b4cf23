// Colour reduction's cases (tests/data/reduction.tsv): pictures made from a short description,
// and the outcome of reducing one, as the table states it. Shared by the GoogleTest driver and
// the WebAssembly check (tests/web/ReductionCheck.cpp), hence no test framework here.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include <VDIBitmap/VDIBitmap.h>

namespace vdib::test {

// The pixel of a picture that the description asks for: a colour, or a colour number for the
// palette and bit-field formats.
inline uint32_t Mix(uint32_t v) {
    v ^= v >> 16, v *= 0x7FEB352Du, v ^= v >> 15, v *= 0x846CA68Bu;
    return v ^ v >> 16;
}

// Colour number `id` of a picture of `kind`: "distinct" (spread over the whole cube), "lowbit"
// (pairs that differ only in the lowest bit of one channel).
inline uint32_t ColourNumber(const std::string& kind, uint32_t id) {
    const uint32_t spread = (id * 0x9E3779u + 0x123456u) & 0xFFFFFF;
    if (kind != "lowbit") return spread;
    const uint32_t base = ((id / 2) * 0x9E3779u + 0x123456u) & 0xFEFEFE;
    return base | (id & 1) << (8 * (id / 2 % 3));
}

// A generated picture of x, y in a w x h picture (x from the left, y from the top) as 0x00RRGGBB:
// "gradient" (smooth in two directions), "photo" (smooth shapes under grain), "logo" (flat
// colours with soft edges on white).
inline uint32_t Generated(const std::string& kind, int32_t x, int32_t y, int32_t w, int32_t h) {
    const auto clamp = [](int v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    const auto rgb = [&](int r, int g, int b) { return clamp(r) << 16 | clamp(g) << 8 | clamp(b); };
    if (kind == "gradient") return rgb(x * 255 / (w - 1), y * 255 / (h - 1), 255 - (x + y) * 255 / (w + h - 2));
    const int dx = 2 * x - w, dy = 2 * y - h, r2 = dx * dx + dy * dy, radius = h * h / 2;
    if (kind == "logo") {  // two inks with edges blended over a few pixels
        const int inside = std::clamp(128 - (r2 - radius) * 24 / h, 0, 256);
        const uint32_t ink = y > h / 3 && y < h / 2 ? 0xE67814 : 0x1E3CA0;
        const auto mix = [&](int shift) { return (static_cast<int>(ink >> shift & 255) * inside + 255 * (256 - inside)) / 256; };
        return rgb(mix(16), mix(8), mix(0));
    }
    const int grain = static_cast<int>(Mix(static_cast<uint32_t>(y * w + x)) % 17) - 8;
    return rgb(120 + dx * 90 / w + grain, 90 + r2 * 100 / (w * w + h * h) + grain, 60 + dy * 80 / h - grain / 2);
}

// Puts the bits of `value` into the bits of `mask`, lowest first.
inline uint32_t Deposit(uint32_t value, uint32_t mask) {
    uint32_t out = 0;
    for (uint32_t bit = 1; bit != 0 && mask != 0; bit <<= 1)
        if ((mask & bit) != 0) out |= (value & 1) != 0 ? bit : 0, value >>= 1;
    return out;
}

// An 8-bit channel value in a mask of any width, by its top bits.
inline uint32_t Fit(uint32_t channel, uint32_t mask) {
    const int bits = std::popcount(mask);
    return Deposit(bits >= 8 ? channel << (bits - 8) : channel >> (8 - bits), mask);
}

// "FORMAT: KIND N" or "FORMAT: KIND WxH": the format as FormatOf reads it ("compressed": the
// picture read back from RLE data), then N colours ("distinct", "lowbit") or a generated picture
// of that size ("gradient", "photo", "logo"). N-colour pictures are 37 x 9, colour number i at
// pixel i mod N in reading order from the top; a palette picture has exactly N table entries, a
// bit-field picture N distinct values of its masks' bits ("lowbit", and generated pictures: the
// colour's 8-bit channels at the top of masks of 8 bits or more). "empty": 0 x 0 pixels.
inline std::unique_ptr<TDIBitmapImage> ReductionPicture(const std::string& description) {
    TDIBFormat f;
    std::istringstream format(description.substr(0, description.find(':')));
    format >> f.BitCount;
    for (std::string word; format >> word;)
        if (word == "top-down" || word == "compressed") (word == "top-down" ? f.TopDown : f.Compressed) = true;
        else (f.RedMask == 0 ? f.RedMask : f.GreenMask == 0 ? f.GreenMask : f.BlueMask) = std::stoul(word, nullptr, 16);
    std::istringstream rest(description.substr(description.find(':') + 1));
    std::string kind, size;
    rest >> kind >> size;
    int32_t w = 37, h = 9;
    const uint32_t n = size.find('x') == std::string::npos ? static_cast<uint32_t>(std::stoul(size)) : 0;
    if (n == 0) w = std::stoi(size), h = std::stoi(size.substr(size.find('x') + 1));
    if (kind == "empty") w = h = 0;
    std::unique_ptr<TDIBitmapImage> image(TDIBitmapImage::CreateBlank({f.BitCount, f.RedMask, f.GreenMask, f.BlueMask, f.TopDown}, w, h));
    if (f.BitCount <= 8) image->Info().biClrUsed = n;
    for (uint32_t id = 0; f.BitCount <= 8 && id < n; ++id) {
        const uint32_t c = ColourNumber(kind, id);
        image->ColorTable()[id] = RGBQUAD{uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16), 0};
    }
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = image->PictureRow(h - 1 - y);
        for (int32_t x = 0; x < w; ++x) {
            const uint32_t id = n != 0 ? static_cast<uint32_t>(y * w + x) % n : 0;
            uint32_t v = n == 0 ? Generated(kind, x, y, w, h) : f.BitCount <= 8 ? id : ColourNumber(kind, id);
            if (f.RedMask != 0 && (n == 0 || kind == "lowbit"))  // 8-bit channels, at the top of each mask
                v = Fit(v >> 16, f.RedMask) | Fit(v >> 8 & 255, f.GreenMask) | Fit(v & 255, f.BlueMask);
            else if (f.RedMask != 0)  // N values of the masks' bits, spread
                v = Deposit((id * 0x9E3779B1u + 0x5A5A5A5Au) & (~0u >> (32 - std::popcount(f.RedMask | f.GreenMask | f.BlueMask))),
                            f.RedMask | f.GreenMask | f.BlueMask);
            if (f.BitCount <= 8) row[x * f.BitCount / 8] |= static_cast<uint8_t>(v << (8 - f.BitCount - x * f.BitCount % 8));
            else std::memcpy(row + x * f.BitCount / 8, &v, static_cast<std::size_t>(f.BitCount / 8));
        }
    }
    if (!f.Compressed) return image;
    TMemoryStream stream;
    image->WriteToStream(stream, true, true);
    stream.Seek(0, soBeginning);
    return std::unique_ptr<TDIBitmapImage>(TDIBitmapImage::CreateFromStream(stream, true));
}

// The picture as drawn at its own size, one 0x00RRGGBB a pixel, top row first.
inline std::vector<uint32_t> Drawn(TDIBitmap& graphic) {
    TSurfaceCanvas canvas(graphic.Width(), graphic.Height());
    graphic.PaintOn(canvas, {0, 0, graphic.Width(), graphic.Height()});
    const uint32_t* bits = SurfaceBits(canvas.DeviceContext());
    return bits == nullptr ? std::vector<uint32_t>{} : std::vector<uint32_t>(bits, bits + std::size_t(graphic.Width()) * std::size_t(graphic.Height()));
}

// The colours a reduction keeps, top row first: drawn, but for bit fields each masked channel
// scaled to 0..255 and rounded, as the library reads them (Windows' own drawing rounds otherwise).
inline std::vector<uint32_t> SourceColours(TDIBitmap& graphic) {
    const TDIBitmapImage& image = graphic.ImageRef();
    if (image.Format.RedMask == 0) return Drawn(graphic);
    std::vector<uint32_t> colours;
    for (int32_t y = image.Height - 1; y >= 0; --y)
        for (int32_t x = 0; x < image.Width; ++x) {
            uint32_t v = 0, c = 0;
            std::memcpy(&v, image.PictureRow(y) + x * image.Format.BitCount / 8, static_cast<std::size_t>(image.Format.BitCount / 8));
            for (const uint32_t mask : {image.Format.RedMask, image.Format.GreenMask, image.Format.BlueMask}) {
                const int shift = std::countr_zero(mask);
                const uint64_t range = mask >> shift;
                c = c << 8 | static_cast<uint32_t>((uint64_t{(v & mask) >> shift} * 255 + range / 2) / range);
            }
            colours.push_back(c);
        }
    return colours;
}

inline std::string BmpBytesOf(const TDIBitmapImage& image) {
    TMemoryStream stream;
    image.WriteToStream(stream, true);
    return std::string(static_cast<const char*>(stream.BlockAddress()), static_cast<std::size_t>(stream.BlockSize()));
}

// The rules that a reduction of `source` into `target` at `bits` bits broke, each after ", ":
// the result not a bottom-up uncompressed picture of the source's size, with too many colours or
// an index past them, or not exact (every pixel drawn in its source colour) where the colours
// fit. `exact` tells whether it is.
inline std::string BrokenRules(TDIBitmap& source, TDIBitmap& target, int bits, bool& exact) {
    std::string broken;
    const TDIBitmapImage& r = target.ImageRef();
    const TDIBFormat& f = r.Format;
    if (r.Width != source.Width() || r.Height != source.Height() || f.BitCount != bits || f.TopDown || f.Compressed ||
        r.ColorCount() == 0 || r.ColorCount() > (1u << bits))
        return ", bad format";
    for (int32_t y = 0; y < r.Height; ++y)
        for (int32_t x = 0; x < r.Width; ++x)
            if (uint32_t(r.PictureRow(y)[x * bits / 8] >> (8 - bits - x * bits % 8) & ((1 << bits) - 1)) >= r.ColorCount()) return ", index past the colours";
    const std::vector<uint32_t> colours = SourceColours(source);
    const bool fits = std::set<uint32_t>(colours.begin(), colours.end()).size() <= (1u << bits);
    exact = Drawn(target) == colours;
    return exact || !fits ? "" : ", not exact";
}

// What reducing the described picture gives, as the table says it: "exact K HASH" (every pixel
// drawn as in the source) or "reduced K HASH", K the colour count, HASH the FNV-1a hash of the
// result's BMP file; or "<class>: <message>". A broken rule is added (BrokenRules, or: the source
// changed, the target changed on failure or was not notified once on success).
inline std::string ReductionOutcome(const std::string& description, int bits, TDither dither) {
    TDIBitmap source, target;
    source.ReplaceImage(ReductionPicture(description));
    const std::string before = BmpBytesOf(source.ImageRef());
    int notified = 0;
    target.ChangeListener = [&](TPersistent*) { ++notified; };
    const TDIBitmapImage* old = &target.ImageRef();
    std::string outcome, broken;
    try {
        ReduceColours(source, target, TColourReduction{bits, dither});
    } catch (const Exception& e) {
        outcome = std::string(e.ClassName()) + ": " + e.Message();
        if (&target.ImageRef() != old || notified != 0) broken += ", target changed";
    }
    if (BmpBytesOf(source.ImageRef()) != before) broken += ", source changed";
    if (!outcome.empty()) return outcome + broken;

    if (notified != 1) broken += ", notified " + std::to_string(notified) + " times";
    bool exact = false;
    broken += BrokenRules(source, target, bits, exact);
    uint64_t hash = 0xCBF29CE484222325u;
    for (const char c : BmpBytesOf(target.ImageRef())) hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001B3u;
    char text[64];
    std::snprintf(text, sizeof text, "%s %u %016llx", exact ? "exact" : "reduced", target.ImageRef().ColorCount(),
                  static_cast<unsigned long long>(hash));
    return text + broken;
}

inline TDither DitherOf(const std::string& name) {
    return name == "none" ? TDither::None : name == "full" ? TDither::Full : TDither::RLEAware;
}

}  // namespace vdib::test
