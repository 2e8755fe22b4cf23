// Deterministic picture content for the benchmarks: the same seed always gives the same bytes,
// so figures taken on different days compare the same work.
//
// Each maker fills a block of `height` rows of RowBytes bytes (bottom-up, as a BMP stores them)
// and leaves the row padding 0. The kinds span what an RLE encoder meets:
//   Screen  flat areas (desktop, window bodies, title bars) with short busy stretches (text);
//           long runs, a few short literals;
//   Dither  a smooth colour field ordered-dithered onto a 6 x 7 x 6 colour cube: runs of one to
//           a few pixels, the encoder's worst case for commands per pixel;
//   DitheredPhoto  a smooth grey ramp in 64 levels, ordered-dithered with a 2 x 2 pattern, a third
//           of its pixels nudged a level up or down: runs of one to four equal pixels mixed with
//           literals, the costliest mix of decisions for the encoder;
//   Noise   uniformly random bytes: nearly everything is one long absolute run;
//   Photo8  a smooth grey field in 256 levels with film grain (up to a level either way) over a
//           bit under half of it: smooth areas give runs of a dozen pixels or so, grainy ones
//           literals with short runs among them;
//   Photo4  a smooth grey field ordered-dithered to 16 levels, two pixels a byte.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace vdib::bench {

enum class TContent { Screen, Dither, DitheredPhoto, Noise, Photo8, Photo4 };

// splitmix64: small, fast and good enough to make noise and layouts from one seed.
class TRandom {
public:
    explicit TRandom(uint64_t seed) : FState(seed) {}
    uint64_t Next() {
        uint64_t z = (FState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // In [0, bound).
    int32_t Below(int32_t bound) { return static_cast<int32_t>(Next() % static_cast<uint64_t>(bound)); }

private:
    uint64_t FState;
};

inline int64_t RowBytesOf(int32_t width, int32_t bitCount) {
    return (static_cast<int64_t>(width) * bitCount + 31) / 32 * 4;
}

inline int32_t BitCountOf(TContent content) { return content == TContent::Photo4 ? 4 : 8; }

namespace detail {

// 8 x 8 Bayer matrix, thresholds 0..63.
constexpr uint8_t Bayer8[8][8] = {
    {0, 32, 8, 40, 2, 34, 10, 42},  {48, 16, 56, 24, 50, 18, 58, 26}, {12, 44, 4, 36, 14, 46, 6, 38},
    {60, 28, 52, 20, 62, 30, 54, 22}, {3, 35, 11, 43, 1, 33, 9, 41},  {51, 19, 59, 27, 49, 17, 57, 25},
    {15, 47, 7, 39, 13, 45, 5, 37}, {63, 31, 55, 23, 61, 29, 53, 21}};

// Quantises v (0..1) to 0..levels-1 with the threshold of pixel (x, y).
inline int32_t Dither(double v, int32_t levels, int32_t x, int32_t y) {
    const double scaled = v * (levels - 1) + (Bayer8[y & 7][x & 7] + 0.5) / 64.0;
    const auto q = static_cast<int32_t>(scaled);
    return q < 0 ? 0 : q >= levels ? levels - 1 : q;
}

// A photo-like field in 0..1: a few slow waves of different directions. Built from per-column
// and per-row tables (angle sums), so that no pixel needs sines of its own.
class TWaveField {
public:
    TWaveField(int32_t width, double phase) : FPhase(phase), FColumns(static_cast<size_t>(width)) {
        for (int32_t x = 0; x < width; ++x) {
            FColumns[static_cast<size_t>(x)] = {0.22 * std::sin(x / 900.0 + phase), std::cos(x / 2100.0),
                                                std::sin(x / 2100.0), std::cos(x / 310.0), std::sin(x / 310.0)};
        }
    }

    void SetRow(int32_t y) {
        FCosA = std::cos(y / 700.0 + 2 * FPhase);
        FSinA = std::sin(y / 700.0 + 2 * FPhase);
        FCosD = std::cos(y / 310.0 + 3 * FPhase);
        FSinD = std::sin(y / 310.0 + 3 * FPhase);
    }

    // 0.5 + 0.22 sin(x/900 + p) + 0.16 cos(y/700 + 2p - x/2100) + 0.1 sin(x/310 + y/310 + 3p)
    double At(int32_t x) const {
        const TColumn& c = FColumns[static_cast<size_t>(x)];
        const double v = 0.5 + c.Wave + 0.16 * (FCosA * c.CosB + FSinA * c.SinB) + 0.1 * (c.SinC * FCosD + c.CosC * FSinD);
        return v < 0 ? 0 : v > 1 ? 1 : v;
    }

private:
    struct TColumn {
        double Wave, CosB, SinB, CosC, SinC;
    };
    double FPhase;
    std::vector<TColumn> FColumns;
    double FCosA = 1, FSinA = 0, FCosD = 1, FSinD = 0;
};

inline void FillRect(std::vector<uint8_t>& bits, int64_t rowBytes, int32_t x0, int32_t y0, int32_t x1, int32_t y1,
                     uint8_t value) {
    for (int32_t y = y0; y < y1; ++y) {
        for (int32_t x = x0; x < x1; ++x) bits[static_cast<size_t>(y * rowBytes + x)] = value;
    }
}

inline void MakeScreen(std::vector<uint8_t>& bits, int32_t width, int32_t height, int64_t rowBytes) {
    TRandom random(0x5C5EE11);
    FillRect(bits, rowBytes, 0, 0, width, height, 17);  // the desktop
    // 8 x 10 glyphs: random bit patterns, about a third of their pixels set.
    uint8_t glyphs[64][10];
    for (auto& glyph : glyphs) {
        for (auto& line : glyph) line = static_cast<uint8_t>(random.Next() & random.Next() & 0x7E);
    }
    const int32_t windows = width / 160 + 8;
    for (int32_t w = 0; w < windows; ++w) {
        const int32_t ww = 300 + random.Below(width / 3 + 1);
        const int32_t wh = 200 + random.Below(height / 3 + 1);
        const int32_t x0 = random.Below(width);
        const int32_t y0 = random.Below(height);
        const int32_t x1 = x0 + ww < width ? x0 + ww : width;
        const int32_t y1 = y0 + wh < height ? y0 + wh : height;
        const auto body = static_cast<uint8_t>(200 + random.Below(40));
        const auto ink = static_cast<uint8_t>(random.Below(16));
        FillRect(bits, rowBytes, x0, y0, x1, y1, 8);                     // frame
        FillRect(bits, rowBytes, x0 + 1, y0 + 1, x1 - 1, y1 - 1, body);  // client area
        const int32_t titleTop = y1 - 22 > y0 ? y1 - 22 : y0;
        FillRect(bits, rowBytes, x0 + 1, titleTop, x1 - 1, y1 - 1, static_cast<uint8_t>(100 + w % 8));
        // Lines of text every 16 rows under the title bar; words of 2..11 characters.
        for (int32_t line = titleTop - 26; line - 10 > y0 + 4; line -= 16) {
            if (random.Below(5) == 0) continue;  // a blank line
            int32_t x = x0 + 6;
            const int32_t lineEnd = x0 + 6 + random.Below(ww > 12 ? ww - 12 : 1);
            while (x + 8 < lineEnd && x + 8 < x1 - 4) {
                const int32_t word = 2 + random.Below(10);
                for (int32_t c = 0; c < word && x + 8 < x1 - 4; ++c, x += 8) {
                    const uint8_t* glyph = glyphs[random.Below(64)];
                    for (int32_t gy = 0; gy < 10; ++gy) {
                        uint8_t* row = bits.data() + (line - gy) * rowBytes;
                        for (int32_t gx = 0; gx < 8; ++gx) {
                            if (glyph[gy] & (0x80 >> gx)) row[x + gx] = ink;
                        }
                    }
                }
                x += 8;  // the space
            }
        }
    }
}

}  // namespace detail

// The pixel block of one picture of the given kind.
inline std::vector<uint8_t> MakePixels(TContent content, int32_t width, int32_t height) {
    const int64_t rowBytes = RowBytesOf(width, BitCountOf(content));
    std::vector<uint8_t> bits(static_cast<size_t>(rowBytes * height), 0);
    switch (content) {
        case TContent::Screen: detail::MakeScreen(bits, width, height, rowBytes); break;
        case TContent::Dither: {
            detail::TWaveField red(width, 0.0), green(width, 1.3), blue(width, 2.9);
            for (int32_t y = 0; y < height; ++y) {
                red.SetRow(y);
                green.SetRow(y);
                blue.SetRow(y);
                uint8_t* row = bits.data() + y * rowBytes;
                for (int32_t x = 0; x < width; ++x) {
                    const int32_t r = detail::Dither(red.At(x), 6, x, y);
                    const int32_t g = detail::Dither(green.At(x), 7, x, y);
                    const int32_t b = detail::Dither(blue.At(x), 6, x, y);
                    row[x] = static_cast<uint8_t>((r * 7 + g) * 6 + b);
                }
            }
            break;
        }
        case TContent::DitheredPhoto: {
            constexpr double Bayer2[2][2] = {{0.125, 0.625}, {0.875, 0.375}};
            detail::TWaveField grey(width, 1.1);
            TRandom random(0xD17E);
            for (int32_t y = 0; y < height; ++y) {
                grey.SetRow(y);
                uint8_t* row = bits.data() + y * rowBytes;
                for (int32_t x = 0; x < width; ++x) {
                    int32_t level = static_cast<int32_t>(grey.At(x) * 63 + Bayer2[y & 1][x & 1]);
                    const uint64_t r = random.Next();
                    if (r % 3 == 0) level += (r >> 32) & 1 ? 1 : -1;
                    row[x] = static_cast<uint8_t>(level < 0 ? 0 : level > 63 ? 63 : level);
                }
            }
            break;
        }
        case TContent::Noise: {
            TRandom random(0x0015E);
            for (int32_t y = 0; y < height; ++y) {
                uint8_t* row = bits.data() + y * rowBytes;
                for (int32_t x = 0; x < width; ++x) row[x] = static_cast<uint8_t>(random.Next() >> 56);
            }
            break;
        }
        case TContent::Photo8: {
            // The grain's strength is a second, slower field: none where that is below 0.56.
            detail::TWaveField grey(width, 0.4), grain(width, 2.2);
            TRandom random(0xF11A);
            for (int32_t y = 0; y < height; ++y) {
                grey.SetRow(y);
                grain.SetRow(y);
                uint8_t* row = bits.data() + y * rowBytes;
                for (int32_t x = 0; x < width; ++x) {
                    const double strength = grain.At(x) * 4.5 - 2.5;
                    const double noise = strength > 0 ? strength * (static_cast<double>(random.Next() >> 11) * 0x1p-53 - 0.5) : 0;
                    const double level = grey.At(x) * 255 + noise;
                    row[x] = static_cast<uint8_t>(level < 0 ? 0 : level > 255 ? 255 : level + 0.5);
                }
            }
            break;
        }
        case TContent::Photo4: {
            detail::TWaveField grey(width, 0.7);
            for (int32_t y = 0; y < height; ++y) {
                grey.SetRow(y);
                uint8_t* row = bits.data() + y * rowBytes;
                for (int32_t x = 0; x < width; ++x) {
                    const auto level = static_cast<uint8_t>(detail::Dither(grey.At(x), 16, x, y));
                    row[x / 2] = static_cast<uint8_t>(x & 1 ? row[x / 2] | level : level << 4);
                }
            }
            break;
        }
    }
    return bits;
}

// The colour table: 256 greys for the 8-bit photo, 64 for the dithered one, the 6 x 7 x 6 cube (and a grey tail) for the
// other 8-bit pictures, 16 greys for 4 bits; as blue, green, red, 0 quadruples.
inline std::vector<uint8_t> MakeColorTable(TContent content) {
    std::vector<uint8_t> table;
    if (content == TContent::DitheredPhoto) {
        for (int i = 0; i < 64; ++i) table.insert(table.end(), {uint8_t(i * 4), uint8_t(i * 4), uint8_t(i * 4), 0});
        return table;
    }
    if (content == TContent::Photo8) {
        for (int i = 0; i < 256; ++i) table.insert(table.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
        return table;
    }
    if (BitCountOf(content) == 4) {
        for (int i = 0; i < 16; ++i) table.insert(table.end(), {uint8_t(i * 17), uint8_t(i * 17), uint8_t(i * 17), 0});
        return table;
    }
    for (int i = 0; i < 256; ++i) {
        if (i < 252) {
            const int r = i / 42;
            const int g = i / 6 % 7;
            const int b = i % 6;
            table.insert(table.end(), {uint8_t(b * 51), uint8_t(g * 42), uint8_t(r * 51), 0});
        } else {
            table.insert(table.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
        }
    }
    return table;
}

}  // namespace vdib::bench
