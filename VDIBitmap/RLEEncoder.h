// Shared by the RLE8 and RLE4 encoders (not part of the library's interface): the output of one
// band of rows, the row encoders that both run (RLE8 over pixels, RLE4 over bytes, that is pixel
// pairs): the plain one, and the wide one for processors with AVX-512, which writes the same
// bytes; and the driver that encodes bands side by side and writes them in order.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The wide row encoder needs x86-64 and a compiler that builds single functions for AVX-512 and
// tells at run time whether the processor runs them (GCC and Clang).
#if defined(__x86_64__) && defined(__GNUC__)
#define VDIB_RLE_WIDE 1
#include <immintrin.h>
#endif

#include <VDIBitmap/RLE.h>
#include <VDIBitmap/Streams.h>

namespace vdib::rle {

// The commands of one band of rows, collected in memory until the band goes to the stream whole.
//
// The row encoder writes through a cursor of its own (a local, so that the compiler keeps it in
// a register): Cursor() hands it out, Room() makes sure that MaxCommand bytes fit after it, and
// Commit() takes it back before a marker. A band is started with room for its worst case, so
// Room() only ever grows the buffer for rows too wide to reserve up front.
class TBandOutput {
public:
    // Room for the longest absolute run (escape, count, 255 units, pad) and a run after it;
    // a short literal's 16-byte copy stays inside that too.
    static constexpr int32_t MaxCommand = 258 + 2;

    TBandOutput() = default;
    TBandOutput(const TBandOutput&) = delete;
    TBandOutput& operator=(const TBandOutput&) = delete;

    // Empties the band and makes sure `bytes` more than MaxCommand fit (never shrinks).
    void Start(int64_t bytes);

    uint8_t* Cursor() noexcept { return FData.get() + FLength; }

    uint8_t* Room(uint8_t* cursor) {
        if (FCapacity - (cursor - FData.get()) >= MaxCommand) return cursor;
        return Grow(cursor);
    }
    // The last cursor position that has MaxCommand bytes after it, until the buffer grows.
    uint8_t* RoomEnd() const noexcept { return FData.get() + (FCapacity - MaxCommand); }

    void Commit(uint8_t* cursor) noexcept { FLength = cursor - FData.get(); }

    void EndOfLine() { Marker(0); }
    void EndOfBitmap() { Marker(1); }

    const uint8_t* Data() const noexcept { return FData.get(); }
    int64_t Length() const noexcept { return FLength; }

private:
    void Marker(uint8_t code) {
        uint8_t* cursor = Room(Cursor());
        cursor[0] = 0;
        cursor[1] = code;
        Commit(cursor + 2);
    }
    [[gnu::noinline]] uint8_t* Grow(uint8_t* cursor);

    std::unique_ptr<uint8_t[]> FData;
    int64_t FCapacity = 0;
    int64_t FLength = 0;
};

// Encodes one row of `units` units (units > 0) into the band, without its end-of-line. `readable`
// bytes from `row` on may be read (the row's units; more where other rows follow in the block),
// though only the row's units are encoded.
using TRowEncoder = void (*)(TBandOutput& out, const uint8_t* row, int32_t units, int64_t readable);

// Writes the RLE data of `rows` rows of `units` units each, `rowBytes` apart from `bits` on:
// each row encoded by `encodeRow` and ended by an end-of-line, then the end-of-bitmap.
//
// Rows do not depend on one another (each ends with its own end-of-line), so bands of rows are
// encoded separately, on as many threads as the process has processors, and the calling thread
// writes the finished bands to the stream in order, one exact write each: the stream receives
// the same bytes in the same order as from one pass over the rows, and EWriteError when it takes
// fewer than a band. With one processor, or a picture of one band, no thread is started. The
// stream is used from the calling thread only.
void EncodeBands(TStream& stream, const uint8_t* bits, int64_t rowBytes, int64_t rows, int32_t units,
                 TRowEncoder encodeRow);

inline uint8_t* PutPair(uint8_t* cursor, uint8_t count, uint8_t value) noexcept {
    cursor[0] = count;
    cursor[1] = value;
    return cursor + 2;
}

// Copies 16 bytes with one load and one store, cheaper than the library's memcpy for the short
// literals that are the common case.
inline void Copy16(uint8_t* to, const uint8_t* from) noexcept {
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
#else
    uint64_t words[2];
    std::memcpy(words, from, 16);
    std::memcpy(to, words, 16);
#endif
}

// Writes n pending units of a literal (0 <= n <= 255): up to two as runs of one unit each (an
// absolute run needs at least three pixels), more as an absolute run, padded to an even length;
// none takes no room. `available` is how many units may be read from `units` (at least n, and at
// least 1). Literals are mostly short, so the first 16 bytes of data move in one piece where the
// row has them, and both forms are laid down over each other: only the length taken at the end
// depends on n.
template <int32_t PixelsPerUnit>
inline uint8_t* PutLiteral(uint8_t* cursor, const uint8_t* units, int32_t n, int64_t available) noexcept {
    uint8_t* data = cursor + 2;
    if (available >= 16) {
        Copy16(data, units);
        if (n > 16) std::memcpy(data + 16, units + 16, static_cast<std::size_t>(n - 16));
    } else {
        std::memcpy(data, units, static_cast<std::size_t>(n));
    }
    data[n] = 0;  // the pad byte, kept only after an odd count
    const bool asRuns = n <= 2;
    const uint8_t first = units[0];
    cursor[0] = asRuns ? PixelsPerUnit : 0;
    cursor[1] = asRuns ? first : static_cast<uint8_t>(n * PixelsPerUnit);
    cursor[2] = asRuns ? PixelsPerUnit : first;
    // cursor[3] holds the second unit in either form.
    return cursor + (asRuns ? 2 * n : 2 + n + (n & 1));
}

// --- Comparing a unit with the one before it, 64 at a time -------------------------------------

// Bit i set where p[i] differs from p[i - 1], for i = 0..63; reads p[-1] to p[63]. Eight bytes
// at a time: a byte of the exclusive or is non-zero where the units differ; its high bit is
// gathered into place by a multiplication that moves bit 8k + 7 to bit 56 + k without carries.
inline uint64_t DifferencesAtPortable(const uint8_t* p) noexcept {
    static_assert(std::endian::native == std::endian::little, "bytes are numbered from the low end of a word");
    constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    uint64_t mask = 0;
    for (int k = 0; k < 8; ++k) {
        uint64_t here;
        uint64_t before;
        std::memcpy(&here, p + 8 * k, 8);
        std::memcpy(&before, p + 8 * k - 1, 8);
        const uint64_t differ = here ^ before;
        const uint64_t high = (((differ & low7) + low7) | differ) & ~low7;
        mask |= (((high >> 7) * 0x0102040810204080ull) >> 56) << (8 * k);
    }
    return mask;
}

// The same with SSE2 where the target has it (every x86-64 does).
inline uint64_t DifferencesAt(const uint8_t* p) noexcept {
#if defined(__SSE2__)
    uint64_t same = 0;
    for (int k = 0; k < 4; ++k) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k - 1));
        same |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, before))))
                << (16 * k);
    }
    return ~same;
#else
    return DifferencesAtPortable(p);
#endif
}

// Bit i set when position base + i repeats the unit before it (1 <= base < units); positions
// from `units` on never do. The last window of a row longer than 64 units is cut from the row's
// last 64 positions rather than compared unit by unit, so loads stay inside the row.
template <uint64_t (*Differences)(const uint8_t*)>
inline uint64_t RepeatsAt(const uint8_t* row, int32_t units, int64_t base) noexcept {
    const int64_t inRow = units - base;
    if (inRow >= 64) return ~Differences(row + base);
    if (units > 64) return ~Differences(row + (units - 64)) >> (64 - inRow);
    uint64_t mask = 0;
    for (int64_t i = 0; i < inRow; ++i) {
        if (row[base + i] == row[base + i - 1]) mask |= uint64_t{1} << i;
    }
    return mask;
}

// --- The row encoder --------------------------------------------------------------------------

// Where a row's encoding stands: the output cursor, and the first unit not yet written.
struct TRowPosition {
    uint8_t* Cursor;
    int64_t Pending;
};

// Writes the `singles` single units from `pending` on as literals: full literals while more than
// MaxUnits are left (the next single unit then starts afresh), then the rest.
template <int32_t MaxUnits, int32_t PixelsPerUnit>
TRowPosition PutSingles(TBandOutput& out, TRowPosition at, const uint8_t* row, int64_t readable, int64_t singles) {
    while (singles > MaxUnits) {
        at.Cursor = PutLiteral<PixelsPerUnit>(out.Room(at.Cursor), row + at.Pending, MaxUnits, readable - at.Pending);
        at.Pending += MaxUnits;
        singles -= MaxUnits;
    }
    if (singles > 0) {
        at.Cursor = PutLiteral<PixelsPerUnit>(out.Room(at.Cursor), row + at.Pending, static_cast<int32_t>(singles),
                                              readable - at.Pending);
        at.Pending += singles;
    }
    return at;
}

// Writes the single units before the run [start, end) of two or more units and the run, in
// every case: more single units than a literal holds, MaxUnits - 1 of them (the literal then
// takes the run's first unit along to fill up), a run longer than a command holds (a rest of one
// unit is not written but becomes the first pending single unit). Leaves room for MaxCommand
// bytes after the cursor.
template <int32_t MaxUnits, int32_t PixelsPerUnit>
[[gnu::noinline]] TRowPosition PutRunAnyCase(TBandOutput& out, TRowPosition at, const uint8_t* row, int64_t readable,
                                             int64_t start, int64_t end) {
    const int64_t singles = start - at.Pending;
    const int64_t taken = singles % MaxUnits == MaxUnits - 1 ? 1 : 0;
    at = PutSingles<MaxUnits, PixelsPerUnit>(out, at, row, readable, singles + taken);
    const uint8_t value = row[start];
    int64_t length = end - start - taken;
    while (length > MaxUnits) {
        at.Cursor = PutPair(out.Room(at.Cursor), MaxUnits * PixelsPerUnit, value);
        length -= MaxUnits;
    }
    if (length >= 2) at.Cursor = PutPair(out.Room(at.Cursor), static_cast<uint8_t>(length * PixelsPerUnit), value);
    at.Pending = length >= 2 ? end : end - 1;
    at.Cursor = out.Room(at.Cursor);
    return at;
}

// The most single units before a run that the common case writes.
inline constexpr int32_t CommonSingles = 30;

// For a literal of n <= CommonSingles single units: the cursor's step over it (up to two units
// go out as runs of one unit each, since an absolute run needs at least three; more as an
// absolute run padded to an even length), and where the form as runs is laid down: at the
// literal when it is taken, past it (where the next command overwrites it) when it is not.
struct TLiteralSteps {
    std::array<uint8_t, CommonSingles + 1> Step{};
    std::array<uint8_t, CommonSingles + 1> RunsAt{};
};
inline constexpr TLiteralSteps LiteralSteps = [] {
    TLiteralSteps steps;
    for (int32_t n = 0; n <= CommonSingles; ++n) {
        steps.Step[n] = static_cast<uint8_t>(n <= 2 ? 2 * n : 2 + n + (n & 1));
        steps.RunsAt[n] = n <= 2 ? 0 : steps.Step[n];
    }
    return steps;
}();

// The position of the lowest set bit of a non-zero mask, counted in 64 bits.
inline int64_t LowestBit(uint64_t mask) noexcept { return static_cast<int64_t>(static_cast<uint64_t>(std::countr_zero(mask))); }

// Writes a literal of n <= CommonSingles units (CommonSingles readable at `units`) as PutLiteral
// does, without a branch: the data is copied whole, the pad byte stored, the absolute run's head
// laid down, then the two runs of one unit over it or past the literal; only the step taken
// depends on n. Lays down bytes up to CommonSingles + 6 past the cursor.
template <int32_t PixelsPerUnit>
[[gnu::always_inline]] inline uint8_t* PutCommonLiteral(uint8_t* cursor, const uint8_t* units, int64_t n) noexcept {
    static_assert(CommonSingles == 30);
    uint32_t asRuns;
#if defined(__SSE2__)
    // The absolute run's head and its first 14 units in one store, the next 16 units in another.
    const __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
    const __m128i head = _mm_cvtsi32_si128(static_cast<int>(n * PixelsPerUnit) << 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(cursor), _mm_or_si128(_mm_slli_si128(data, 2), head));
    asRuns = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpacklo_epi8(_mm_set1_epi8(PixelsPerUnit), data)));
#else
    Copy16(cursor + 2, units);
    uint16_t firstTwo;
    std::memcpy(&firstTwo, units, 2);
    const uint32_t absolute = uint32_t{firstTwo} << 16 | static_cast<uint32_t>(n * PixelsPerUnit) << 8;
    std::memcpy(cursor, &absolute, 4);
    asRuns = ((uint32_t{firstTwo} << 8 | uint32_t{firstTwo} << 16) & 0xFF00FF00u) | PixelsPerUnit * 0x10001u;
#endif
    Copy16(cursor + 16, units + 14);
    cursor[2 + n] = 0;  // the pad byte, kept only after an odd count
    std::memcpy(cursor + LiteralSteps.RunsAt[n], &asRuns, 4);
    return cursor + LiteralSteps.Step[n];
}

// Writes the run [start, end) of at most MaxUnits units and the single units from `pending` up
// to it, at most CommonSingles of them (CommonSingles readable from `pending` on), without a
// branch on their shape: PutCommonLiteral, then the run's pair.
template <int32_t PixelsPerUnit>
[[gnu::always_inline]] inline uint8_t* PutCommonRun(uint8_t* cursor, const uint8_t* row, int64_t pending, int64_t start,
                                                    int64_t end) noexcept {
    cursor = PutCommonLiteral<PixelsPerUnit>(cursor, row + pending, start - pending);
    const auto pair = static_cast<uint16_t>((end - start) * PixelsPerUnit | row[start] << 8);
    std::memcpy(cursor, &pair, 2);
    return cursor + 2;
}

// Encodes one row of `units` units (units > 0), without its end-of-line; see TRowEncoder.
//
// The output is that of a four-state machine stepped once per unit (empty, single, run,
// literal), restarting at each row:
//   - equal units gather into a run of at most MaxUnits; a further equal unit writes the full
//     run and starts over as a single unit;
//   - a single unit followed by a different one opens a literal; the literal gathers units that
//     each differ from the one before, up to MaxUnits; a full literal is written whole and the
//     next unit starts over as a single unit, even when it repeats the last one;
//   - a unit that repeats the literal's last unit takes that unit out of the literal: the rest
//     is written, and the two form a new run of two;
//   - at the row's end the pending run (or single unit) or literal is written.
//
// Seen run by run, that machine writes every run of two or more units as pairs, and gathers
// the single units between such runs into literals (PutRunAnyCase says how the limits of a
// command bend that). This takes the runs from bit masks, 64 positions at a time: bit i of
// `repeats` is set where a unit equals the one before it; a run begins one before a repeating
// position whose predecessor does not repeat (`starts`) and ends at the first position after it
// that does not repeat (`ends`). The runs of a window are walked by clearing the lowest bit of
// both masks, so the next run costs two counts of trailing zeros, and a long run costs one
// comparison of 64 units per window it spans.
//
// The common run goes out without a branch on its shape: the literal's data is copied in one
// piece, both forms of its head are laid down over each other, and only the cursor's step
// depends on the count. It is the run with at most CommonSingles single units before it, in a
// window that lies far enough before the readable end for so many to be read from where its
// literal begins, and, for a run that began in an earlier window, no longer than a command. Room
// is made once a window: the commands of the units of one window and the CommonSingles before
// it, with the bytes laid down past them, take less than MaxCommand.
template <int32_t MaxUnits, int32_t PixelsPerUnit, uint64_t (*Differences)(const uint8_t*) = DifferencesAt>
void EncodeRow(TBandOutput& out, const uint8_t* row, int32_t units, int64_t readable) {
    // A run that begins and ends in one window (64 positions and the one before) fits a command.
    static_assert(MaxUnits * PixelsPerUnit <= 255 && MaxUnits >= 64);
    static_assert(std::endian::native == std::endian::little, "commands are stored as little-endian words");
    static_assert(TBandOutput::MaxCommand >= 2 * (CommonSingles + 64 + 2) + CommonSingles + 6);

    uint8_t* cursor = out.Cursor();
    // Room is checked against a local copy of the band's limit: every byte stored through the
    // cursor could otherwise alias the band's fields and make them be loaded again.
    uint8_t* roomEnd = out.RoomEnd();
    int64_t pending = 0;  // the single units not yet written start here
    int64_t mostSingles = CommonSingles;  // the most single units before a common run, -1 near the readable end
    // The last window start from which every literal of a common run can be read whole: its runs
    // begin at base + 62 at the latest.
    const int64_t lastCommonBase = readable - 62 - CommonSingles;

    const auto putRun = [&](int64_t start, int64_t end, bool common) [[gnu::always_inline]] {
        const int64_t singles = start - pending;
        if (singles > mostSingles || !common) [[unlikely]] {
            const TRowPosition at = PutRunAnyCase<MaxUnits, PixelsPerUnit>(out, {cursor, pending}, row, readable, start, end);
            cursor = at.Cursor;
            pending = at.Pending;
            roomEnd = out.RoomEnd();
            return;
        }
        cursor = PutCommonRun<PixelsPerUnit>(cursor, row, pending, start, end);
        pending = end;
    };

    uint64_t carry = 0;  // whether the position before the window repeats its predecessor
    bool open = false;   // a run has begun, at openStart, and not yet ended
    int64_t openStart = 0;
    for (int64_t base = 1; base < units; base += 64) {
        const uint64_t repeats = RepeatsAt<Differences>(row, units, base);
        const uint64_t before = repeats << 1 | carry;
        carry = repeats >> 63;
        uint64_t starts = repeats & ~before;
        uint64_t ends = before & ~repeats;
        if ((starts | ends) == 0) continue;  // inside a literal or a run: nothing begins or ends
        if (cursor > roomEnd) [[unlikely]] {
            cursor = out.Room(cursor);
            roomEnd = out.RoomEnd();
        }
        if (base > lastCommonBase) mostSingles = -1;
        if (open) {
            const int64_t end = base + LowestBit(ends);
            putRun(openStart, end, end - openStart <= MaxUnits);
            ends &= ends - 1;
            open = false;
        }
        while (starts != 0) {
            const int64_t start = base - 1 + LowestBit(starts);
            starts &= starts - 1;
            if (ends == 0) {
                open = true;
                openStart = start;
                break;
            }
            putRun(start, base + LowestBit(ends), true);
            ends &= ends - 1;
        }
    }
    if (open) putRun(openStart, units, false);
    cursor = PutSingles<MaxUnits, PixelsPerUnit>(out, {cursor, pending}, row, readable, units - pending).Cursor;
    out.Commit(cursor);
}

#if VDIB_RLE_WIDE
// --- The wide row encoder: AVX-512 -------------------------------------------------------------

#define VDIB_RLE_WIDE_TARGET [[gnu::target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt,lzcnt")]]

// Whether the processor, and the system that must save its registers, runs EncodeRowWide. The
// compiler's runtime reads the processor's features before any constructor of the program runs;
// asking it to do so again (for a constructor that runs earlier still) changes nothing after that.
inline bool HasWideEncoder() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") &&
           __builtin_cpu_supports("avx512vbmi2") && __builtin_cpu_supports("bmi2");
}

// Bit i set when position base + i repeats the unit before it, as RepeatsAt says, comparing the
// 64 positions at once where they lie in the row.
VDIB_RLE_WIDE_TARGET inline uint64_t RepeatsAtWide(const uint8_t* row, int32_t units, int64_t base) noexcept {
    if (units - base < 64) return RepeatsAt<DifferencesAt>(row, units, base);
    return _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(row + base), _mm512_loadu_si512(row + base - 1));
}

// The first run of two or more units that begins at `from` or later: [Start, End), or Start ==
// units when there is none. Inlined into the wide encoder, so that RepeatsAtWide is too.
struct TRun {
    int64_t Start;
    int64_t End;
};
[[gnu::always_inline]] inline TRun NextRunFrom(const uint8_t* row, int32_t units, int64_t from) noexcept {
    int64_t base = from + 1;
    uint64_t repeats = 0;
    while (base < units && (repeats = RepeatsAtWide(row, units, base)) == 0) base += 64;
    if (base >= units) return {units, units};
    const int64_t start = base - 1 + LowestBit(repeats);
    // The run goes on while positions repeat; the first that does not ends it.
    uint64_t stops = ~repeats & ~(repeats ^ (repeats - 1));
    while (stops == 0) {
        base += 64;
        if (base >= units) return {start, units};
        stops = ~RepeatsAtWide(row, units, base);
    }
    return {start, std::min<int64_t>(base + LowestBit(stops), units)};
}

// The byte indices that PutSlots permutes by, for the 16 units from 16 * Chunk on: into slot i,
// the unit's count at byte 1 and the unit at byte 2 (`Slots`, from the counts and the units in a row);
// the unit's flags into all four bytes (`Flags`).
template <int Chunk>
struct TSlotIndices {
    alignas(64) std::array<uint8_t, 64> Slots{};
    alignas(64) std::array<uint8_t, 64> Flags{};
};
template <int Chunk>
inline constexpr TSlotIndices<Chunk> SlotIndices = [] {
    TSlotIndices<Chunk> indices;
    for (int i = 0; i < 16; ++i) {
        indices.Slots[4 * i + 1] = static_cast<uint8_t>(16 * Chunk + i);
        indices.Slots[4 * i + 2] = static_cast<uint8_t>(64 + 16 * Chunk + i);
        for (int j = 0; j < 4; ++j) indices.Flags[4 * i + j] = static_cast<uint8_t>(16 * Chunk + i);
    }
    return indices;
}();

// Packs the slots of the 16 units from 16 * Chunk on into the output: slot i holds the escape,
// the count, the unit and the pad, bytes 4i to 4i + 3, and keeps byte j where the unit's flags
// have bit j set. Stores 64 bytes at `cursor`.
template <int Chunk>
VDIB_RLE_WIDE_TARGET inline void PutSlots(uint8_t*& cursor, __m512i counts, __m512i units, __m512i flags) noexcept {
    const __m512i slots = _mm512_maskz_permutex2var_epi8(0x6666666666666666ull, counts,
                                                         _mm512_load_si512(SlotIndices<Chunk>.Slots.data()), units);
    const __m512i spread = _mm512_maskz_permutexvar_epi8(~uint64_t{0}, _mm512_load_si512(SlotIndices<Chunk>.Flags.data()), flags);
    const uint64_t keep = _mm512_test_epi8_mask(spread, _mm512_set1_epi32(0x08040201));
    _mm512_storeu_si512(cursor, _mm512_maskz_compress_epi8(keep, slots));
    cursor += std::popcount(keep);
}

// The lengths of the stretches of units that begin at the set bits of `first` and end at those
// of `last`, in order (bit k of either mask: unit k).
VDIB_RLE_WIDE_TARGET inline __m512i Lengths(uint64_t first, uint64_t last) noexcept {
    const __m512i positions = _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45,
                                              44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26,
                                              25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6,
                                              5, 4, 3, 2, 1, 0);
    return _mm512_sub_epi8(_mm512_maskz_compress_epi8(last, positions),
                           _mm512_maskz_compress_epi8(first, _mm512_sub_epi8(positions, _mm512_set1_epi8(1))));
}

// Writes the commands of the 64 units from `units` on up to the end of their last whole run,
// and returns how many units that took (0 when no run ends among them: the caller goes on one run
// at a time). The units before a run are single units: a literal of one or two goes out as runs
// of one unit each, a longer one as an absolute run. Every unit gets a slot of four bytes: the
// absolute run's escape, the count (of the run, of a run of one unit, or of the literal), the
// unit, and the pad; the bytes that its command takes are kept, and the slots of 16 units at a
// time are packed into the output. Reads 65 units; stores up to 2 * 64 + 64 bytes at `cursor`
// (no command takes more than two bytes a unit).
template <int32_t PixelsPerUnit>
VDIB_RLE_WIDE_TARGET inline int64_t PutRunsWide(uint8_t*& cursor, const uint8_t* units) noexcept {
    const __m512i here = _mm512_loadu_si512(units);
    // Bit i: unit i equals unit i + 1 (unit 64 is read for that only).
    const uint64_t next = _mm512_cmpeq_epi8_mask(here, _mm512_loadu_si512(units + 1));
    const uint64_t repeats = next << 1;  // unit i equals unit i - 1; the first starts afresh
    const uint64_t lastOfRun = repeats & ~next;
    if (lastOfRun == 0) return 0;
    const int64_t taken = 64 - std::countl_zero(lastOfRun);
    const uint64_t within = taken == 64 ? ~uint64_t{0} : (uint64_t{1} << taken) - 1;
    const uint64_t runStarts = ~repeats & next & within;
    const uint64_t singles = ~repeats & ~next & within;
    const uint64_t firstSingles = singles & ~(singles << 1);
    const uint64_t lastSingles = singles & ~(singles >> 1);

    // Literals of three or more units are absolute runs; the rest go out as runs of one unit.
    // The sum cannot carry out: a literal ends before the last run, so below bit 63.
    const uint64_t absoluteFirst = firstSingles & singles >> 1 & singles >> 2;
    const uint64_t absoluteLast = lastSingles & singles << 1 & singles << 2;
    const uint64_t inAbsolute = (absoluteLast << 1) - absoluteFirst;
    const uint64_t runsOfOne = singles & ~inAbsolute;
    // An odd count ends on a unit an even distance from the first: filling the literals that
    // start at even positions (adding their first bit carries through them) tells which those are.
    constexpr uint64_t Even = 0x5555555555555555ull;
    const uint64_t evenStarted = ((singles + (firstSingles & Even)) ^ singles) & singles;
    const uint64_t pads = absoluteLast & ~(evenStarted ^ Even);

    // The counts of the runs and of the absolute runs, each at its first unit.
    const __m512i one = _mm512_set1_epi8(1);
    __m512i counts = _mm512_maskz_expand_epi8(runStarts, Lengths(runStarts, lastOfRun & within));
    counts = _mm512_mask_expand_epi8(counts, absoluteFirst, Lengths(absoluteFirst, absoluteLast));
    counts = _mm512_mask_mov_epi8(counts, runsOfOne, one);
    if constexpr (PixelsPerUnit == 2) counts = _mm512_add_epi8(counts, counts);

    const uint64_t escapes = absoluteFirst;
    const uint64_t countsKept = runStarts | runsOfOne | absoluteFirst;
    const uint64_t unitsKept = runStarts | singles;
    __m512i flags = _mm512_maskz_mov_epi8(escapes, one);
    flags = _mm512_mask_add_epi8(flags, countsKept, flags, _mm512_set1_epi8(2));
    flags = _mm512_mask_add_epi8(flags, unitsKept, flags, _mm512_set1_epi8(4));
    flags = _mm512_mask_add_epi8(flags, pads, flags, _mm512_set1_epi8(8));
    // The last unit taken is the last of a run, which writes nothing.
    PutSlots<0>(cursor, counts, here, flags);
    if (taken > 17) PutSlots<1>(cursor, counts, here, flags);
    if (taken > 33) PutSlots<2>(cursor, counts, here, flags);
    if (taken > 49) PutSlots<3>(cursor, counts, here, flags);
    return taken;
}

// EncodeRow's output, written 64 units at a time where runs are dense (PutRunsWide), one run at a
// time elsewhere.
template <int32_t MaxUnits, int32_t PixelsPerUnit>
VDIB_RLE_WIDE_TARGET void EncodeRowWide(TBandOutput& out, const uint8_t* row, int32_t units, int64_t readable) {
    static_assert(MaxUnits >= 64 && MaxUnits * PixelsPerUnit <= 255);
    static_assert(TBandOutput::MaxCommand >= 2 * 64 + 64 && TBandOutput::MaxCommand >= CommonSingles + 6 + 2);
    uint8_t* cursor = out.Cursor();
    int64_t pending = 0;
    for (;;) {
        cursor = out.Room(cursor);
        if (pending + 64 < units) {
            const int64_t taken = PutRunsWide<PixelsPerUnit>(cursor, row + pending);
            if (taken != 0) {
                pending += taken;
                continue;
            }
        }
        const auto [start, end] = NextRunFrom(row, units, pending);
        if (start >= units) break;
        if (start - pending <= CommonSingles && end - start <= MaxUnits && pending + CommonSingles <= readable) {
            cursor = PutCommonRun<PixelsPerUnit>(cursor, row, pending, start, end);
            pending = end;
        } else {
            const TRowPosition at = PutRunAnyCase<MaxUnits, PixelsPerUnit>(out, {cursor, pending}, row, readable, start, end);
            cursor = at.Cursor;
            pending = at.Pending;
        }
    }
    cursor = PutSingles<MaxUnits, PixelsPerUnit>(out, {cursor, pending}, row, readable, units - pending).Cursor;
    out.Commit(cursor);
}

#undef VDIB_RLE_WIDE_TARGET
#endif

// The row encoder for this processor: the wide one where it runs, unless the build asks for the
// plain one everywhere (VDIB_RLE_PLAIN, CMake's VDIB_WIDE_ENCODER=OFF), so that whole conversions
// run the plain path on such processors too. The bytes are the same.
template <int32_t MaxUnits, int32_t PixelsPerUnit>
TRowEncoder RowEncoder() noexcept {
#if VDIB_RLE_WIDE && !defined(VDIB_RLE_PLAIN)
    if (HasWideEncoder()) return &EncodeRowWide<MaxUnits, PixelsPerUnit>;
#endif
    return &EncodeRow<MaxUnits, PixelsPerUnit>;
}

}  // namespace vdib::rle
