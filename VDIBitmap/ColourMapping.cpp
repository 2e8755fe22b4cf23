// Mapping pixels to the palette: the exact nearest entry of any colour, and error diffusion
// (Floyd and Steinberg, "An adaptive algorithm for spatial greyscale", 1976) that keeps runs of
// one index where another entry would be hardly nearer.
#include <algorithm>
#include <cstring>

#include "Quantiser.h"

namespace vdib::reduction {

// --- The nearest entry -------------------------------------------------------------------------

// An entry is the only nearest one to any position closer to it than half the distance to its
// nearest other entry (the weighted distance is a Euclidean one): a good guess needs no search.
TNearestColour::TNearestColour(const TPalette& palette)
    : FCount(palette.Count), FLargeLists(LargeCubes, 0), FCubeLists(Cubes, 0) {
    for (int i = 0; i < FCount; ++i) {
        FPositions[0][i] = Red(palette.Colours[i]) << 4;
        FPositions[1][i] = Green(palette.Colours[i]) << 4;
        FPositions[2][i] = Blue(palette.Colours[i]) << 4;
        FAlone[i] = INT32_MAX;
    }
    for (int i = 0; i < FCount; ++i)
        for (int j = i + 1; j < FCount; ++j) {
            const int32_t d = Distance(FPositions[0][i] - FPositions[0][j], FPositions[1][i] - FPositions[1][j],
                                       FPositions[2][i] - FPositions[2][j]);
            FAlone[i] = std::min(FAlone[i], d);
            FAlone[j] = std::min(FAlone[j], d);
        }
}

// An entry can be nearest to some position in a cube only if its least distance to the cube is
// at most the greatest distance of any one entry, the one farthest at worst. A small cube's list
// is made from the list of the large cube around it, which holds every entry that can be nearest
// anywhere in it, and so in the small cube too. It keeps its entries in order of least distance,
// kept as a lower bound (its 4096ths) in 16 bits, so that a search stops at the first entry that
// cannot be nearer than the best one found.
namespace {

// The entries of `from` that can be nearest somewhere in the cube, with their least distances.
int Candidates(const int32_t (&positions)[3][256], int cube, int bits, const uint8_t* from, int count, uint8_t* entries,
               int32_t* least) {
    const int32_t side = 16 << (8 - bits);
    int32_t low[3], high[3];
    for (int ch = 0; ch < 3; ++ch) {
        low[ch] = (cube >> (bits * (2 - ch)) & ((1 << bits) - 1)) * side;
        high[ch] = low[ch] + side - 1;
    }
    int32_t limit = INT32_MAX;
    for (int k = 0; k < count; ++k) {
        int32_t closest[3], farthest[3];
        for (int ch = 0; ch < 3; ++ch) {
            const int32_t p = positions[ch][from[k]];
            closest[ch] = std::max({low[ch] - p, p - high[ch], 0});
            farthest[ch] = std::max(p - low[ch], high[ch] - p);
        }
        least[k] = Distance(closest[0], closest[1], closest[2]);
        limit = std::min(limit, Distance(farthest[0], farthest[1], farthest[2]));
    }
    int kept = 0;
    for (int k = 0; k < count; ++k)
        if (least[k] <= limit) entries[kept] = from[k], least[kept++] = least[k];
    return kept;
}

}  // namespace

uint32_t TNearestColour::List(int cube) {
    uint32_t& list = FCubeLists[static_cast<std::size_t>(cube)];
    if (list != 0) return list;
    constexpr int Drop = CubeBits - LargeCubeBits, LargeMask = (1 << LargeCubeBits) - 1;
    const int large = (cube >> (2 * CubeBits + Drop)) << (2 * LargeCubeBits) |
                      (cube >> (CubeBits + Drop) & LargeMask) << LargeCubeBits | (cube >> Drop & LargeMask);
    uint32_t& largeList = FLargeLists[static_cast<std::size_t>(large)];
    uint8_t entries[256];
    int32_t least[256];
    if (largeList == 0) {
        uint8_t all[256];
        for (int i = 0; i < FCount; ++i) all[i] = static_cast<uint8_t>(i);
        const int kept = Candidates(FPositions, large, LargeCubeBits, all, FCount, entries, least);
        largeList = static_cast<uint32_t>(FLargeEntries.size() << 9 | static_cast<std::size_t>(kept));
        FLargeEntries.insert(FLargeEntries.end(), entries, entries + kept);
    }
    const int kept = Candidates(FPositions, cube, CubeBits, FLargeEntries.data() + (largeList >> 9),
                                static_cast<int>(largeList & 0x1FF), entries, least);
    // In order of least distance, equal ones as they came: lists are short, so by insertion.
    int order[256];
    for (int k = 0; k < kept; ++k) {
        int at = k;
        for (; at > 0 && least[order[at - 1]] > least[k]; --at) order[at] = order[at - 1];
        order[at] = k;
    }
    if (FEntries.size() + static_cast<std::size_t>(kept) > ListLimit) {  // a cache: start again
        FEntries.clear();
        FBounds.clear();
        std::fill(FCubeLists.begin(), FCubeLists.end(), 0);
    }
    const std::size_t start = FEntries.size();
    for (int k = 0; k < kept; ++k) {
        FEntries.push_back(entries[order[k]]);
        FBounds.push_back(static_cast<uint16_t>(least[order[k]] >> 12));
    }
    list = static_cast<uint32_t>(start << 9 | static_cast<std::size_t>(kept));
    return list;
}

int TNearestColour::CellCandidates(int cell, uint8_t* entries) {
    const int cube = (cell >> 13) << (2 * CubeBits) | (cell >> 7 & 0x1F) << CubeBits | (cell >> 1 & 0x1F);
    const uint32_t list = List(cube);
    int32_t least[256];
    return Candidates(FPositions, cell, 6, FEntries.data() + (list >> 9), static_cast<int>(list & 0x1FF), entries, least);
}

// Every entry at least as near as the best one so far is looked at, so among equally near
// entries the lowest index wins, whatever the guess.
int TNearestColour::Find(int32_t r16, int32_t g16, int32_t b16, int guess) {
    int best = guess;
    int32_t bestDistance = INT32_MAX;
    if (guess >= 0) {
        bestDistance = Distance(r16 - FPositions[0][guess], g16 - FPositions[1][guess], b16 - FPositions[2][guess]);
        if (bestDistance < FAlone[guess] / 4) return guess;
    }
    constexpr int Shift = 4 + 8 - CubeBits;
    const uint32_t list = List((r16 >> Shift) << (2 * CubeBits) | (g16 >> Shift) << CubeBits | (b16 >> Shift));
    const uint8_t* entries = FEntries.data() + (list >> 9);
    const uint16_t* bounds = FBounds.data() + (list >> 9);
    const int count = static_cast<int>(list & 0x1FF);
    for (int i = 0; i < count && int32_t{bounds[i]} << 12 <= bestDistance; ++i) {
        const int e = entries[i];
        const int32_t d = Distance(r16 - FPositions[0][e], g16 - FPositions[1][e], b16 - FPositions[2][e]);
        if (d < bestDistance || (d == bestDistance && e < best)) bestDistance = d, best = e;
    }
    return best;
}

namespace {

// The nearest entry of a pixel's colour, without a distance computed. Colour space is cut into
// cells of 4 steps a side; a cell, made when first asked for, has the nearest entry of each of
// its 64 colours. Those are one entry for almost half the cells a photo asks for, rarely more
// than four: the cell's answers are five words, a 2-bit code for each colour and the entries the
// codes stand for. A cell's record is 32 bits: the count of its entries, and where its answers
// start (every entry has answers of its own, all codes 0, for the cells it fills alone). A cell of
// more than four entries keeps their list instead, and the nearest among them is computed. The
// answers and lists are caches of at most AnswerLimit words and ListLimit entries. The records
// are in Morton order (red, green and blue's bits interleaved), so that the colours around one,
// as a dithered patch of picture asks for, share few cache lines.
class TCellMap {
public:
    explicit TCellMap(TNearestColour& nearest) : FNearest(nearest), FCells(std::size_t{1} << 18, 0), FAnswers(Reserved, 0) {
        for (uint32_t e = 0; e < 256; ++e) FAnswers[5 * e + 4] = e;
        for (int e = 0; e < nearest.Count(); ++e)
            for (int ch = 0; ch < 3; ++ch) FSteps[ch][e] = nearest.Channel(e, ch) >> 4;
        for (uint32_t v = 0; v < 256; ++v) {
            uint32_t spread = 0;
            for (int bit = 0; bit < 6; ++bit) spread |= (v >> (2 + bit) & 1) << (3 * bit);
            FOrder[0][v] = spread << 2, FOrder[1][v] = spread << 1, FOrder[2][v] = spread;
        }
    }

    int Find(int r, int g, int b) {
        const uint32_t cell = FOrder[0][r] | FOrder[1][g] | FOrder[2][b];
        uint32_t record = FCells[cell];
        if (record == 0) record = Make(cell, r, g, b);
        const uint32_t kind = record & 0xFF;
        if (kind > Coded) [[unlikely]]
            return Nearest(r, g, b, FEntries.data() + (record >> 8), static_cast<int>(kind));
        const uint32_t* answers = FAnswers.data() + (record >> 8);
        const int colour = (r & 3) << 4 | (g & 3) << 2 | (b & 3);
        const uint32_t code = answers[colour >> 4] >> (2 * (colour & 15)) & 3;
        return static_cast<int>(answers[4] >> (8 * code) & 0xFF);
    }

private:
    static constexpr uint32_t Coded = 4;
    // A photo of 18 million pixels, dithered, made 40000 cells of more than one entry (0.8 MB of
    // answers) and barely any of more than four.
    static constexpr std::size_t Reserved = 256 * 5, AnswerLimit = std::size_t{1} << 19, ListLimit = std::size_t{1} << 16;

    // Among equally near entries the lowest index wins: the search takes the least of distance
    // and index together. Colours and palette entries are whole steps here, so distances are
    // counted in squared steps (the x16 distance over 256), below 2^19.
    uint32_t Key(int r, int g, int b, int e) const {
        return static_cast<uint32_t>(Distance(r - FSteps[0][e], g - FSteps[1][e], b - FSteps[2][e])) << 8 | static_cast<uint32_t>(e);
    }

    // The nearest entry of one colour among the candidates.
    int Nearest(int r, int g, int b, const uint8_t* candidates, int count) const {
        uint32_t best = UINT32_MAX;
        for (int k = 0; k < count; ++k) best = std::min(best, Key(r, g, b, candidates[k]));
        return static_cast<int>(best & 0xFF);
    }

    // The nearest entries of a cell's 64 colours, found for all of them at once: a distance is
    // the sum of one term per channel, four values each.
    uint32_t Make(uint32_t cell, int r, int g, int b) {
        uint8_t candidates[256];
        const int count = FNearest.CellCandidates(r >> 2 << 12 | g >> 2 << 6 | b >> 2, candidates);
        const int low[3] = {r & ~3, g & ~3, b & ~3};
        int32_t best[64];
        // The region where an entry is nearest is convex (an intersection of half-spaces, ties
        // included): an entry nearest at the eight corners is nearest throughout.
        const int corner = Nearest(low[0], low[1], low[2], candidates, count);
        bool alone = true;
        for (int c = 1; c < 8 && alone; ++c)
            alone = Nearest(low[0] + (c >> 2) * 3, low[1] + (c >> 1 & 1) * 3, low[2] + (c & 1) * 3, candidates, count) == corner;
        std::fill(best, best + 64, alone ? corner : INT32_MAX);
        for (int k = 0; k < count && !alone; ++k) {
            const int e = candidates[k];
            int32_t terms[3][4];
            for (int ch = 0; ch < 3; ++ch)
                for (int i = 0; i < 4; ++i) {
                    const int d = low[ch] + i - FSteps[ch][e];
                    terms[ch][i] = Weights[ch] * d * d * 256;
                }
            for (int rg = 0; rg < 16; ++rg) {
                const int32_t part = terms[0][rg >> 2] + terms[1][rg & 3] + e;
                for (int l = 0; l < 4; ++l) best[4 * rg + l] = std::min(best[4 * rg + l], part + terms[2][l]);
            }
        }
        uint8_t entries[64], codes[64] = {};
        int kept = 1;
        entries[0] = static_cast<uint8_t>(best[0] & 0xFF);
        for (int colour = 1; colour < 64 && !alone; ++colour) {
            const auto e = static_cast<uint8_t>(best[colour] & 0xFF);
            int code = 0;
            while (code < kept && entries[code] != e) ++code;
            if (code == kept) entries[kept++] = e;
            codes[colour] = static_cast<uint8_t>(code);
        }
        uint32_t record = static_cast<uint32_t>(kept);
        if (kept == 1) {
            record |= uint32_t{5} * entries[0] << 8;
        } else if (kept <= static_cast<int>(Coded)) {
            if (FAnswers.size() + 5 > AnswerLimit) Clear();
            record |= static_cast<uint32_t>(FAnswers.size()) << 8;
            uint32_t words[5] = {0, 0, 0, 0, 0};
            for (int colour = 0; colour < 64; ++colour) words[colour >> 4] |= uint32_t{codes[colour]} << (2 * (colour & 15));
            for (int k = 0; k < kept; ++k) words[4] |= uint32_t{entries[k]} << (8 * k);
            FAnswers.insert(FAnswers.end(), words, words + 5);
        } else {
            if (FEntries.size() + static_cast<std::size_t>(kept) > ListLimit) Clear();
            record |= static_cast<uint32_t>(FEntries.size()) << 8;
            FEntries.insert(FEntries.end(), entries, entries + kept);
        }
        return FCells[cell] = record;
    }

    void Clear() {
        std::fill(FCells.begin(), FCells.end(), 0);
        FAnswers.resize(Reserved);
        FEntries.clear();
    }

    TNearestColour& FNearest;
    int32_t FSteps[3][256] = {};  // the entries' channels
    uint32_t FOrder[3][256];  // each channel's part of a cell's place in the Morton order
    std::vector<uint32_t> FCells;  // the records; 0: not made yet
    std::vector<uint32_t> FAnswers;
    std::vector<uint8_t> FEntries;
};

// Writes palette indices into a target row of 8 or 4 bits (a zero-filled row for 4 bits).
void PutIndex(uint8_t* row, int bits, int32_t x, int index) {
    if (bits == 8) row[x] = static_cast<uint8_t>(index);
    else row[x >> 1] |= static_cast<uint8_t>(index << ((x & 1) != 0 ? 0 : 4));
}

void MapNearest(const TColourReader& reader, TCellMap& cells, TDIBitmapImage& target) {
    const int bits = target.Format.BitCount;
    std::vector<TColour> stretch(static_cast<std::size_t>(std::min(target.Width, Stretch)));
    for (int32_t row = 0; row < target.Height; ++row) {
        uint8_t* out = target.PictureRow(row);
        for (int32_t x = 0; x < target.Width; x += Stretch) {
            const int32_t count = std::min(Stretch, target.Width - x);
            reader.Read(row, x, count, stretch.data());
            for (int32_t i = 0; i < count; ++i) PutIndex(out, bits, x + i, cells.Find(Red(stretch[i]), Green(stretch[i]), Blue(stretch[i])));
        }
    }
}

// Floyd-Steinberg over the rows from the top, each row in the other direction from the one
// before (serpentine), so that the error does not drift one way. Errors are x16 per channel,
// the diffused parts rounded down with the remainder to the pixel below-right. The value
// a pixel asks for is kept within the channel's range, and the error it leaves within 32 steps a
// channel: a larger one (at an edge, or for a colour beyond the palette's range) would smear
// into the pixels around. So no carried error exceeds 32 steps and a row of them fits 16 bits.
//
// Runs are kept: a pixel takes the entry of the pixel before it when that is nearly as near as
// the nearest one (the error it leaves is diffused as any other), so that flat and slowly
// changing areas become runs of one index rather than alternating ones. "Nearly" is a share of
// the distance from the nearest entry to its own nearest neighbour, never more than a weighted
// distance of 320 squared steps: where the palette is dense (subtle gradients) a run may not
// stray past the next entry, and it never strays far. RLE-aware diffusion allows 5/4 of that
// distance, full diffusion 1/4. Measured on photos (bench/reduction), RLE-aware keeps the
// blurred quality of pngquant's dithering at about 0.75 times its RLE8 bytes; the quarter
// costs full diffusion about 0.1 dB of blurred PSNR for 5 to 10 % fewer RLE8 bytes.
class TDiffusion {
public:
    TDiffusion(const TColourReader& reader, TCellMap& cells, TNearestColour& nearest, TDither dither,
               TDIBitmapImage& target)
        : FReader(reader), FCells(cells), FTarget(target), FStretch(static_cast<std::size_t>(std::min(target.Width, Stretch))),
          FErrors(4 * (static_cast<std::size_t>(target.Width) + 2), CarriedBias), FBelow(FErrors.size(), CarriedBias),
          FIndices(target.Format.BitCount == 8 ? 0 : static_cast<std::size_t>(target.Width)) {
        const int quarters = dither == TDither::RLEAware ? 5 : 1;
        for (int e = 0; e < nearest.Count(); ++e) {
            FSlack[e] = static_cast<int32_t>(std::min<int64_t>(RunSlack, int64_t{nearest.Spacing(e)} * quarters / 4));
            for (int ch = 0; ch < 3; ++ch) FPositions[ch][e] = nearest.Channel(e, ch);
        }
        // Where no pixel came before: far from every colour, so never kept.
        for (int ch = 0; ch < 3; ++ch) FPositions[ch][None] = -12000;
        for (int32_t difference = -Range; difference <= Range; ++difference) {
            const int32_t error = std::clamp(difference, -ErrorLimit, ErrorLimit);
            const int32_t forward = (error * 7) >> 4, behind = (error * 3) >> 4, under = (error * 5) >> 4;
            const int32_t rest = error - forward - behind - under;
            FParts[difference + Range] = static_cast<uint64_t>(behind + BehindBias) | static_cast<uint64_t>(under + UnderBias) << 16 |
                                         static_cast<uint64_t>(rest + RestBias) << 32 | static_cast<uint64_t>(forward + ForwardBias) << 48;
        }
    }

    void Run() {
        for (int32_t row = FTarget.Height - 1, n = 0; row >= 0; --row, ++n) {
            std::swap(FErrors, FBelow);
            uint8_t* out = FTarget.PictureRow(row);
            uint8_t* indices = FIndices.empty() ? out : FIndices.data();
            DiffuseRow(row, n % 2 == 0 ? 1 : -1, indices);
            if (!FIndices.empty())
                for (int32_t x = 0; x < FTarget.Width; ++x) out[x >> 1] |= static_cast<uint8_t>(indices[x] << ((x & 1) != 0 ? 0 : 4));
        }
    }

private:
    static constexpr int32_t ErrorLimit = 32 << 4, Range = 255 << 4;
    static constexpr int64_t RunSlack = 320 << 8;
    static constexpr int None = 256;
    // The parts of an error, each raised to be positive so that the parts of one channel add up
    // side by side in one word without carrying into each other.
    static constexpr int32_t BehindBias = 128, UnderBias = 256, RestBias = 64, ForwardBias = 256;
    static constexpr uint16_t CarriedBias = BehindBias + UnderBias + RestBias;

    // A channel's parts for the next row are summed in a window of three 16-bit places: the
    // slots behind, at and ahead of the pixel. When pixel x is done, the slot behind it has had
    // all three of its parts and is stored, and the window moves on; so every slot of the row, the
    // two borders too, is written once (raised by CarriedBias) and none needs clearing.
    void DiffuseRow(int32_t row, int step, uint8_t* indices) {
        const int32_t width = FTarget.Width;
        int previous = None;
        uint64_t window[3], forward[3];
        for (int ch = 0; ch < 3; ++ch) window[ch] = uint64_t{RestBias} << 16, forward[ch] = ForwardBias;
        const uint16_t* errors = FErrors.data();
        uint16_t* below = FBelow.data();
        // Stretches in the row's direction; pixel x's errors are at 4 (x + 1).
        for (int32_t done = 0; done < width;) {
            const int32_t count = std::min(Stretch, width - done);
            const int32_t first = step > 0 ? done : width - done - count;
            FReader.Read(row, first, count, FStretch.data());
            const TColour* source = FStretch.data();
            for (int32_t x = step > 0 ? first : first + count - 1, end = x + step * count; x != end; x += step) {
                const TColour c = source[x - first];
                const std::size_t here = 4 * static_cast<std::size_t>(x + 1), behind = here - static_cast<std::size_t>(4 * step);
                constexpr int32_t Bias = CarriedBias + ForwardBias;
                const int32_t want[3] = {std::clamp((Red(c) << 4) + errors[here] + static_cast<int32_t>(forward[0]) - Bias, 0, 255 << 4),
                                         std::clamp((Green(c) << 4) + errors[here + 1] + static_cast<int32_t>(forward[1]) - Bias, 0, 255 << 4),
                                         std::clamp((Blue(c) << 4) + errors[here + 2] + static_cast<int32_t>(forward[2]) - Bias, 0, 255 << 4)};
                int entry = FCells.Find((want[0] + 8) >> 4, (want[1] + 8) >> 4, (want[2] + 8) >> 4);
                if (DistanceTo(want, previous) <= DistanceTo(want, entry) + FSlack[entry]) entry = previous;
                previous = entry;
                indices[x] = static_cast<uint8_t>(entry);
                for (int ch = 0; ch < 3; ++ch) {
                    const uint64_t parts = FParts[want[ch] - FPositions[ch][entry] + Range];
                    forward[ch] = parts >> 48;
                    const uint64_t sums = window[ch] + parts;
                    below[behind + static_cast<std::size_t>(ch)] = static_cast<uint16_t>(sums);
                    window[ch] = static_cast<uint32_t>(sums >> 16);
                }
            }
            done += count;
        }
        // The last slot had no pixel beyond it to send its part behind.
        const std::size_t last = 4 * static_cast<std::size_t>(step > 0 ? width : 1), border = last + static_cast<std::size_t>(4 * step);
        for (int ch = 0; ch < 3; ++ch) {
            below[last + static_cast<std::size_t>(ch)] = static_cast<uint16_t>(window[ch] + BehindBias);
            below[border + static_cast<std::size_t>(ch)] = static_cast<uint16_t>(window[ch] >> 16);
        }
    }

    int32_t DistanceTo(const int32_t want[3], int e) const {
        return Distance(want[0] - FPositions[0][e], want[1] - FPositions[1][e], want[2] - FPositions[2][e]);
    }

    const TColourReader& FReader;
    TCellMap& FCells;
    TDIBitmapImage& FTarget;
    int32_t FPositions[3][257] = {};  // the entries' x16 channels, and None's
    int32_t FSlack[257] = {};  // how much farther than the nearest entry the previous one may be to keep the run
    // Behind, under, rest and forward of each difference between the wanted colour and the
    // entry's, raised: the parts of the error it leaves. Mostly small differences are looked up.
    std::vector<uint64_t> FParts = std::vector<uint64_t>(2 * Range + 1);
    std::vector<TColour> FStretch;
    std::vector<uint16_t> FErrors, FBelow;  // this row's and the next one's, red, green, blue at 4 (x + 1), raised
    std::vector<uint8_t> FIndices;  // a row's entries before they are packed into 4 bits
};

}  // namespace

void MapPixels(const TColourReader& reader, const TPalette& palette, TDither dither, TDIBitmapImage& target) {
    TNearestColour nearest(palette);
    TCellMap cells(nearest);
    if (dither == TDither::None) {
        MapNearest(reader, cells, target);
        return;
    }
    TDiffusion(reader, cells, nearest, dither, target).Run();
}

}  // namespace vdib::reduction
