// Mapping pixels to the palette: the exact nearest entry of any colour, and error diffusion
// (Floyd and Steinberg, "An adaptive algorithm for spatial greyscale", 1976) over whole rows or
// only where it pays.
#include <algorithm>
#include <cstring>

#include "Quantiser.h"

namespace vdib::reduction {

// --- The nearest entry -------------------------------------------------------------------------

TNearestColour::TNearestColour(const TPalette& palette) : FCount(palette.Count), FLargeLists(LargeCubes, 0), FCubeLists(Cubes, 0) {
    for (int i = 0; i < FCount; ++i) {
        FPositions[0][i] = Red(palette.Colours[i]) << 4;
        FPositions[1][i] = Green(palette.Colours[i]) << 4;
        FPositions[2][i] = Blue(palette.Colours[i]) << 4;
    }
}

// An entry can be nearest to some position in a cube only if its least distance to the cube is
// at most the greatest distance of any one entry, the one farthest at worst. A small cube's list
// is made from the list of the large cube around it, which holds every entry that can be nearest
// anywhere in it, and so in the small cube too. Small cubes' lists are a cache: when they hold
// more than a MiB, they are dropped and made again as asked for.
namespace {

// The entries of `from` that can be nearest somewhere in the cube, each with its least distance.
int Candidates(const int32_t (&positions)[3][256], const int32_t low[3], int32_t side, const uint8_t* from, int count,
               uint8_t* entries, int32_t* least) {
    int32_t limit = INT32_MAX;
    for (int k = 0; k < count; ++k) {
        const int i = from[k];
        int32_t near[3], far[3];
        for (int ch = 0; ch < 3; ++ch) {
            const int32_t below = low[ch] - positions[ch][i], above = positions[ch][i] - (low[ch] + side - 1);
            near[ch] = std::max({below, above, 0});
            far[ch] = side - 1 + std::max(below, above);
        }
        least[k] = Distance(near[0], near[1], near[2]);
        limit = std::min(limit, Distance(far[0], far[1], far[2]));
    }
    int kept = 0;
    for (int k = 0; k < count; ++k)
        if (least[k] <= limit) entries[kept] = from[k], least[kept++] = least[k];
    return kept;
}

int32_t LowCorner(int cube, int bits, int ch) { return (cube >> (bits * (2 - ch)) & ((1 << bits) - 1)) * (16 << (8 - bits)); }

}  // namespace

const uint8_t* TNearestColour::LargeList(int large, int& count) {
    uint32_t& list = FLargeLists[static_cast<std::size_t>(large)];
    if (list == 0) {
        uint8_t all[256], entries[256];
        int32_t least[256];
        for (int i = 0; i < FCount; ++i) all[i] = static_cast<uint8_t>(i);
        const int32_t low[3] = {LowCorner(large, LargeCubeBits, 0), LowCorner(large, LargeCubeBits, 1), LowCorner(large, LargeCubeBits, 2)};
        const int kept = Candidates(FPositions, low, 16 << (8 - LargeCubeBits), all, FCount, entries, least);
        list = static_cast<uint32_t>(FLargePool.size() << 9 | static_cast<std::size_t>(kept));
        FLargePool.insert(FLargePool.end(), entries, entries + kept);
    }
    count = static_cast<int>(list & 0x1FF);
    return FLargePool.data() + (list >> 9);
}

// A small cube's list is in order of least distance, so that a search can stop at the first
// entry that cannot be nearer than the best one found.
uint32_t TNearestColour::List(int cube, int& count) {
    uint32_t list = FCubeLists[static_cast<std::size_t>(cube)];
    if (list == 0) {
        if (FPool.size() + static_cast<std::size_t>(FCount) > PoolLimit) {
            FPool.clear();
            FBounds.clear();
            std::fill(FCubeLists.begin(), FCubeLists.end(), 0);
        }
        constexpr int Drop = CubeBits - LargeCubeBits, LargeMask = (1 << LargeCubeBits) - 1;
        const int large = (cube >> (2 * CubeBits + Drop)) << (2 * LargeCubeBits) |
                          (cube >> (CubeBits + Drop) & LargeMask) << LargeCubeBits | (cube >> Drop & LargeMask);
        int fromCount = 0;
        const uint8_t* from = LargeList(large, fromCount);
        uint8_t entries[256];
        int32_t least[256];
        const int32_t low[3] = {LowCorner(cube, CubeBits, 0), LowCorner(cube, CubeBits, 1), LowCorner(cube, CubeBits, 2)};
        const int kept = Candidates(FPositions, low, 16 << (8 - CubeBits), from, fromCount, entries, least);
        // In order of least distance, kept as a lower bound (its 4096ths) in 16 bits.
        int order[256];
        for (int k = 0; k < kept; ++k) order[k] = k;
        std::stable_sort(order, order + kept, [&](int a, int b) { return least[a] < least[b]; });
        const std::size_t start = FPool.size();
        for (int k = 0; k < kept; ++k) {
            FPool.push_back(entries[order[k]]);
            FBounds.push_back(static_cast<uint16_t>(least[order[k]] >> 12));
        }
        list = static_cast<uint32_t>(start << 9 | static_cast<std::size_t>(kept));
        FCubeLists[static_cast<std::size_t>(cube)] = list;
    }
    count = static_cast<int>(list & 0x1FF);
    return list >> 9;
}

// Every entry at least as near as the best one so far is looked at, so among equally near
// entries the lowest index wins.
int TNearestColour::Find(int32_t r16, int32_t g16, int32_t b16) {
    constexpr int Shift = 4 + 8 - CubeBits;
    int count = 0;
    const uint32_t start = List((r16 >> Shift) << (2 * CubeBits) | (g16 >> Shift) << CubeBits | (b16 >> Shift), count);
    const uint8_t* entries = FPool.data() + start;
    const uint16_t* bounds = FBounds.data() + start;
    int best = entries[0];
    int32_t bestDistance = Distance(r16 - FPositions[0][best], g16 - FPositions[1][best], b16 - FPositions[2][best]);
    for (int i = 1; i < count && int32_t{bounds[i]} << 12 <= bestDistance; ++i) {
        const int e = entries[i];
        const int32_t d = Distance(r16 - FPositions[0][e], g16 - FPositions[1][e], b16 - FPositions[2][e]);
        if (d < bestDistance || (d == bestDistance && e < best)) bestDistance = d, best = e;
    }
    return best;
}

namespace {

// The nearest entries of colours met before: most pictures repeat their colours, dithered or not.
class TColourCache {
public:
    explicit TColourCache(TNearestColour& nearest) : FNearest(nearest), FSlots(Size) {
        // A slot holds a colour and its entry; each starts with black's, which only black's own
        // slot is ever asked for.
        std::fill(FSlots.begin(), FSlots.end(), static_cast<uint32_t>(nearest.Find(0, 0, 0)));
    }
    int Find(TColour c) {
        uint32_t& slot = FSlots[(c * 0x9E3779B1u) >> (32 - Bits)];
        if (slot >> 8 != c) slot = c << 8 | static_cast<uint32_t>(FNearest.Find(Red(c) << 4, Green(c) << 4, Blue(c) << 4));
        return static_cast<int>(slot & 0xFF);
    }

private:
    static constexpr int Bits = 16;
    static constexpr std::size_t Size = std::size_t{1} << Bits;
    TNearestColour& FNearest;
    std::vector<uint32_t> FSlots;
};

// Writes palette indices into a target row of 8 or 4 bits (a zero-filled row for 4 bits).
void PutIndex(uint8_t* row, int bits, int32_t x, int index) {
    if (bits == 8) row[x] = static_cast<uint8_t>(index);
    else row[x >> 1] |= static_cast<uint8_t>(index << ((x & 1) != 0 ? 0 : 4));
}

void MapNearest(const TColourReader& reader, TColourCache& cache, TDIBitmapImage& target) {
    const int bits = target.Format.BitCount;
    std::vector<TColour> stretch(static_cast<std::size_t>(std::min(target.Width, Stretch)));
    for (int32_t row = 0; row < target.Height; ++row) {
        uint8_t* out = target.PictureRow(row);
        for (int32_t x = 0; x < target.Width; x += Stretch) {
            const int32_t count = std::min(Stretch, target.Width - x);
            reader.Read(row, x, count, stretch.data());
            for (int32_t i = 0; i < count; ++i) PutIndex(out, bits, x + i, cache.Find(stretch[i]));
        }
    }
}

// Floyd-Steinberg over the rows from the top, each row in the other direction from the one
// before (serpentine), so that the error does not drift one way. Errors are x16 per channel,
// the diffused parts truncated toward zero with the remainder to the pixel below-right; the
// value a pixel asks for is kept within the channel's range, so no carried error exceeds 4080
// and a row of them fits 16 bits.
//
// RLE-aware diffusion keeps runs: a pixel takes the entry of the pixel before it when that is
// nearly as near as the nearest one (the error it leaves is diffused as any other), so that
// flat and slowly changing areas become runs of one index rather than alternating ones.
class TDiffusion {
public:
    TDiffusion(const TColourReader& reader, TColourCache& cache, TNearestColour& nearest, TDither dither,
               TDIBitmapImage& target)
        : FReader(reader), FCache(cache), FNearest(nearest), FRunAware(dither == TDither::RLEAware), FTarget(target),
          FStretch(static_cast<std::size_t>(std::min(target.Width, Stretch))) {
        for (auto& errors : FErrors) errors.assign(static_cast<std::size_t>(target.Width) + 2, 0);
        for (auto& errors : FBelow) errors.assign(static_cast<std::size_t>(target.Width) + 2, 0);
    }

    void Run() {
        for (int32_t row = FTarget.Height - 1, n = 0; row >= 0; --row, ++n) {
            for (int ch = 0; ch < 3; ++ch) {
                std::swap(FErrors[ch], FBelow[ch]);
                std::fill(FBelow[ch].begin(), FBelow[ch].end(), 0);
            }
            DiffuseRow(row, n % 2 == 0 ? 1 : -1);
        }
    }

private:
    void DiffuseRow(int32_t row, int step) {
        uint8_t* out = FTarget.PictureRow(row);
        const int bits = FTarget.Format.BitCount;
        const int32_t width = FTarget.Width;
        int previous = -1;
        // Stretches in the row's direction; pixel x's errors are at x + 1.
        for (int32_t done = 0; done < width;) {
            const int32_t count = std::min(Stretch, width - done);
            const int32_t first = step > 0 ? done : width - done - count;
            FReader.Read(row, first, count, FStretch.data());
            for (int32_t i = 0; i < count; ++i) {
                const int32_t at = step > 0 ? i : count - 1 - i;
                const int32_t x = first + at;
                const TColour c = FStretch[static_cast<std::size_t>(at)];
                int32_t want[3] = {Red(c) << 4, Green(c) << 4, Blue(c) << 4};
                for (int ch = 0; ch < 3; ++ch) want[ch] = std::clamp(want[ch] + FErrors[ch][static_cast<std::size_t>(x + 1)], 0, 255 << 4);
                int entry = FCache.Find(MakeColour((want[0] + 8) >> 4, (want[1] + 8) >> 4, (want[2] + 8) >> 4));
                if (FRunAware && previous >= 0 && previous != entry && Keeps(want, previous, entry)) entry = previous;
                previous = entry;
                PutIndex(out, bits, x, entry);
                for (int ch = 0; ch < 3; ++ch) Spread(ch, x + 1, step, want[ch] - FNearest.Channel(entry, ch));
            }
            done += count;
        }
    }

    // Whether the previous pixel's entry is close enough to the wanted colour, next to the
    // nearest entry, to keep the run going.
    bool Keeps(const int32_t want[3], int previous, int nearest) const {
        const auto distance = [&](int e) {
            return Distance(want[0] - FNearest.Channel(e, 0), want[1] - FNearest.Channel(e, 1), want[2] - FNearest.Channel(e, 2));
        };
        constexpr int32_t Slack = 9 * 16 * 16 * 3;  // a weighted step of about 3 in each channel, squared
        return distance(previous) <= distance(nearest) + Slack;
    }

    void Spread(int ch, int32_t at, int step, int32_t error) {
        const int32_t ahead = error * 7 / 16, behind = error * 3 / 16, below = error * 5 / 16;
        const auto add = [](std::vector<int16_t>& errors, int32_t x, int32_t part) {
            int16_t& e = errors[static_cast<std::size_t>(x)];
            e = static_cast<int16_t>(e + part);
        };
        add(FErrors[ch], at + step, ahead);
        add(FBelow[ch], at - step, behind);
        add(FBelow[ch], at, below);
        add(FBelow[ch], at + step, error - ahead - behind - below);
    }

    const TColourReader& FReader;
    TColourCache& FCache;
    TNearestColour& FNearest;
    const bool FRunAware;
    TDIBitmapImage& FTarget;
    std::vector<TColour> FStretch;
    std::vector<int16_t> FErrors[3], FBelow[3];  // this row's and the next one's, x + 1 for pixel x
};

}  // namespace

void MapPixels(const TColourReader& reader, const TPalette& palette, TDither dither, TDIBitmapImage& target) {
    TNearestColour nearest(palette);
    TColourCache cache(nearest);
    if (dither == TDither::None) {
        MapNearest(reader, cache, target);
        return;
    }
    TDiffusion(reader, cache, nearest, dither, target).Run();
}

}  // namespace vdib::reduction
