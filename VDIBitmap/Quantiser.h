// The parts of colour reduction (ColourReduction.cpp): reading any picture as colours, the
// colours it holds, the palette made from them (ColourPalette.cpp) and the mapping of pixels to
// it (ColourMapping.cpp).
//
// Everything is integer arithmetic, so the same picture gives the same bytes on every processor
// and compiler (x87, SSE, WebAssembly alike). Positions in colour space are in sixteenths of a
// channel step ("x16" below: 0 to 255 * 16 + 15), so that the mean of many pixels keeps its
// fraction.
#pragma once

#include <cstdint>
#include <vector>

#include <VDIBitmap/ColourReduction.h>
#include <VDIBitmap/DIBImage.h>

namespace vdib::reduction {

// A colour as 0x00RRGGBB.
using TColour = uint32_t;

inline int Red(TColour c) { return static_cast<int>(c >> 16 & 0xFF); }
inline int Green(TColour c) { return static_cast<int>(c >> 8 & 0xFF); }
inline int Blue(TColour c) { return static_cast<int>(c & 0xFF); }
inline TColour MakeColour(int r, int g, int b) {
    return static_cast<TColour>(r) << 16 | static_cast<TColour>(g) << 8 | static_cast<TColour>(b);
}

// The distance of two colours is the sum of the squared channel differences, each weighted by
// how strongly the eye tells that channel apart: green most. Stronger weights (3, 4, 2 and the
// like) cost more in plain PSNR than they buy where it is measured (bench/reduction). The
// weights keep every distance of x16 positions below 2^31.
inline constexpr int WeightRed = 2;
inline constexpr int WeightGreen = 3;
inline constexpr int WeightBlue = 2;
inline constexpr int Weights[3] = {WeightRed, WeightGreen, WeightBlue};

inline int32_t Distance(int dr, int dg, int db) { return WeightRed * dr * dr + WeightGreen * dg * dg + WeightBlue * db * db; }

// Reads the pixels of a picture of any layout the library holds as colours, as the library's
// drawing shows them: 1, 4 and 8 bits through the colour table (black past its end), 24 bits as
// stored, 16 and 32 bits through the masks, each channel scaled to 0..255 and rounded.
class TColourReader {
public:
    explicit TColourReader(const TDIBitmapImage& image);
    // The colours of pixels x to x + count - 1 of picture row `row` (0 = bottom); all inside.
    void Read(int32_t row, int32_t x, int32_t count, TColour* out) const;

    struct TChannel {
        uint32_t Mask = 0;
        int Shift = 0;
        uint32_t Range = 0;  // the channel's largest value, Mask >> Shift
    };

private:
    TColour Masked(uint32_t value) const;

    using TFetch = void (*)(const TColourReader&, const uint8_t* row, int32_t x, int32_t count, TColour* out);
    const TDIBitmapImage& FImage;
    TFetch FFetch = nullptr;
    TColour FTable[256] = {};
    TChannel FChannels[3];
    std::vector<TColour> FWords;  // 16 bits: the colour of each pixel value
    friend struct TFetchers;
};

// How many pixels a stretch of a row read at once holds: the work buffers stay small however
// wide the picture.
inline constexpr int32_t Stretch = 4096;

// A point of the picture's colour distribution: an x16 position and how many pixels it stands for.
struct TPoint {
    int16_t Position[3];
    uint64_t Weight;
};

// A palette of plain colours.
struct TPalette {
    int Count = 0;
    TColour Colours[256] = {};
};

// The distinct colours of the picture, each with its pixel count, in ascending colour order;
// empty when there are more than MaxExactColours of them (reading stops there).
inline constexpr int MaxExactColours = 16384;
std::vector<TPoint> ExactColours(const TColourReader& reader, int32_t width, int32_t height);
// The picture's colours gathered in cubes of 4 steps a side: each occupied cube as the mean of
// its pixels, in ascending order of the cubes.
std::vector<TPoint> CubeColours(const TColourReader& reader, int32_t width, int32_t height);

// A palette of at most `maxColours` colours for the distribution: Wu's variance-minimising
// boxes, refined by k-means. The points are reordered.
TPalette BuildPalette(std::vector<TPoint>& points, int maxColours);

// The exact nearest palette colour of any colour. Ties go to the lowest index.
class TNearestColour {
public:
    explicit TNearestColour(const TPalette& palette);
    // The nearest entry to an x16 position; `guess`, an entry likely to be near (-1: none),
    // only makes the search faster.
    int Find(int32_t r16, int32_t g16, int32_t b16, int guess = -1);
    // The entries that can be nearest somewhere in a cell of 4 steps a side (index: red, green
    // and blue's top 6 bits); returns their count.
    int CellCandidates(int cell, uint8_t* entries);
    int Count() const noexcept { return FCount; }
    int32_t Channel(int entry, int channel) const noexcept { return FPositions[channel][entry]; }
    // The distance from an entry to the nearest other one (INT32_MAX for a palette of one).
    int32_t Spacing(int entry) const noexcept { return FAlone[entry]; }

private:
    // Colour space is cut into cubes of 8 steps a side, and into large ones of 16; each cube
    // keeps, once asked for, the entries that can be nearest to some position inside it. The
    // small cubes' lists are a cache of at most ListLimit entries.
    static constexpr int CubeBits = 5, LargeCubeBits = 4;
    static constexpr int Cubes = 1 << 3 * CubeBits, LargeCubes = 1 << 3 * LargeCubeBits;
    static constexpr std::size_t ListLimit = std::size_t{1} << 20;
    uint32_t List(int cube);  // start in FEntries << 9 | count

    int FCount;
    int32_t FPositions[3][256];
    int32_t FAlone[256];  // the distance to the nearest other entry
    std::vector<uint32_t> FLargeLists;  // start in FLargeEntries << 9 | count; 0: not made yet
    std::vector<uint8_t> FLargeEntries;
    std::vector<uint32_t> FCubeLists;  // the same for the small cubes
    std::vector<uint8_t> FEntries;
    std::vector<uint16_t> FBounds;
};

// Fills the target's rows with the palette indices of the source's pixels.
void MapPixels(const TColourReader& reader, const TPalette& palette, TDither dither, TDIBitmapImage& target);

}  // namespace vdib::reduction
