// Shared by the RLE8 and RLE4 encoders (not part of the library's interface): the output of one
// band of rows, the row encoder that both run (RLE8 over pixels, RLE4 over bytes, that is pixel
// pairs), and the driver that encodes bands side by side and writes them in order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
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

// Encodes one row of `units` units (units > 0) into the band, without its end-of-line.
using TRowEncoder = void (*)(TBandOutput& out, const uint8_t* row, int32_t units);

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
inline uint8_t* PutLiteral(uint8_t* cursor, const uint8_t* units, int32_t n, int32_t available) noexcept {
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

// --- Where runs of two or more units lie ----------------------------------------------------

// Walks the runs of two or more equal units of a row, left to right.
//
// A run of two or more starts where a unit first repeats the one before it (position p - 1 for
// the first such p) and ends at the first position after that holding another unit, or at the
// row's end. Which positions repeat their predecessor is found 64 at a time into a bit mask, each
// window of the row once; the starts and the ends are taken from it a bit at a time, so stepping
// from one run to the next costs two counts of trailing zeros, not a search through memory, and
// a long run costs one comparison of 64 units per window it spans. Loads stay inside the row's
// `units` bytes.
class TLongRuns {
public:
    TLongRuns(const uint8_t* row, int32_t units) noexcept
        : FRow(row), FUnits(units), FMask(units >= 2 ? Repeats(1) : 0) {}

    // The next run [start, end) of two or more units; false when there is none left.
    [[gnu::always_inline]] bool Next(int32_t& start, int32_t& end) noexcept {
        while (FMask == 0) {
            FBase += 64;
            if (FBase >= FUnits) return false;
            FMask = Repeats(FBase);
        }
        const int first = std::countr_zero(FMask);
        start = static_cast<int32_t>(FBase + first - 1);
        uint64_t ends = ~FMask & (~uint64_t{0} << first);  // positions from `first` on that do not repeat
        while (ends == 0) {
            FBase += 64;
            if (FBase >= FUnits) {
                FMask = 0;
                end = FUnits;
                return true;
            }
            FMask = Repeats(FBase);
            ends = ~FMask;
        }
        const int last = std::countr_zero(ends);
        end = static_cast<int32_t>(FBase + last);
        FMask &= ~uint64_t{0} << last;
        return true;
    }

private:
    // Bit i set when position base + i repeats the unit before it (1 <= base < FUnits); positions
    // from FUnits on never do. The last window of a row longer than 64 units is cut from the
    // row's last 64 positions rather than compared unit by unit.
    uint64_t Repeats(int64_t base) const noexcept {
        const int64_t inRow = FUnits - base;
        if (inRow >= 64) return ~DifferencesAt(FRow + base);
        if (FUnits > 64) return ~DifferencesAt(FRow + (FUnits - 64)) >> (64 - inRow);
        uint64_t mask = 0;
        for (int64_t i = 0; i < inRow; ++i) {
            if (FRow[base + i] == FRow[base + i - 1]) mask |= uint64_t{1} << i;
        }
        return mask;
    }

    const uint8_t* FRow;
    int32_t FUnits;
    int64_t FBase = 1;  // position of bit 0 of FMask; windows start at 1 + 64k
    uint64_t FMask;     // the repeating positions of the window not yet walked past
};

// --- The row encoder --------------------------------------------------------------------------

// Encodes one row of `units` units (units > 0), without its end-of-line.
//
// The output is that of a four-state machine stepped once per unit (empty, single, run,
// literal), restarting at each row:
//   - equal units gather into a run of at most MaxUnits; a further equal unit writes the full
//     run and starts over as a single unit;
//   - a single unit followed by a different one opens a literal; the literal gathers units that
//     each differ from the one before, up to MaxUnits; a full literal is written whole and the
//     next unit starts over as a single unit, even when it repeats the last one;
//   - a unit that repeats the literal's last unit takes that unit out of the literal: the rest
//     is written (FlushLiteral), and the two form a new run of two;
//   - at the row's end the pending run (or single unit) or literal is written.
//
// Seen run by run, that machine writes every run of two or more units as pairs, and gathers
// the single units between such runs into literals. This walks the row from one run of two or
// more to the next, a word of boundaries at a time, and writes the same commands:
//   - K single units pending: while K > MaxUnits, a full literal goes out (the next single
//     unit then starts afresh);
//   - before a run: the pending K units go out as a literal (nothing for K = 0), except that
//     K = MaxUnits - 1 takes the run's first unit along to fill the literal and leaves the
//     run one unit shorter;
//   - a run of M units: full runs of MaxUnits while more than MaxUnits remain, then the rest;
//     a rest of one unit is not written but becomes the first pending single unit.
// A run of n units is written as the pair (n * PixelsPerUnit, unit). FlushLiteral(cursor,
// units, n, available) writes 0 <= n <= MaxUnits units as PutLiteral does.
template <int32_t MaxUnits, int32_t PixelsPerUnit,
          uint8_t* (*FlushLiteral)(uint8_t*, const uint8_t*, int32_t, int32_t)>
void EncodeRow(TBandOutput& out, const uint8_t* row, int32_t units) {
    static_assert(MaxUnits * PixelsPerUnit <= 255 && MaxUnits >= 3);
    constexpr uint8_t fullRun = MaxUnits * PixelsPerUnit;

    TLongRuns runs(row, units);
    uint8_t* cursor = out.Cursor();
    // Room is checked against a local copy of the band's limit: every byte stored through the
    // cursor could otherwise alias the band's fields and make them be loaded again.
    uint8_t* roomEnd = out.RoomEnd();
    const auto room = [&](uint8_t* at) {
        if (at > roomEnd) [[unlikely]] {
            at = out.Room(at);
            roomEnd = out.RoomEnd();
        }
        return at;
    };
    int32_t pending = 0;  // the single units not yet written start here
    // Full literals while more than MaxUnits single units are pending.
    const auto flushFullLiterals = [&](int32_t singles) {
        while (singles > MaxUnits) {
            cursor = FlushLiteral(room(cursor), row + pending, MaxUnits, units - pending);
            pending += MaxUnits;
            singles -= MaxUnits;
        }
        return singles;
    };

    int32_t runStart;
    int32_t runEnd;
    while (runs.Next(runStart, runEnd)) {
        const int32_t singles = flushFullLiterals(runStart - pending);
        cursor = room(cursor);  // for the literal and the run's last pair
        // Whether single units come before the run is as good as random in busy pictures, so
        // the literal is written without asking: a literal of none takes no room.
        const int32_t taken = singles == MaxUnits - 1 ? 1 : 0;
        cursor = FlushLiteral(cursor, row + pending, singles + taken, units - pending);

        const uint8_t value = row[runStart];
        int32_t length = runEnd - runStart - taken;
        while (length > MaxUnits) {
            cursor = PutPair(room(cursor), fullRun, value);
            length -= MaxUnits;
        }
        // A rest of one unit becomes the first pending single unit; its pair is laid down anyway.
        PutPair(cursor, static_cast<uint8_t>(length * PixelsPerUnit), value);
        const bool rest = length < 2;
        cursor += rest ? 0 : 2;
        pending = runEnd - (rest ? 1 : 0);
    }
    const int32_t singles = flushFullLiterals(units - pending);
    if (singles > 0) cursor = FlushLiteral(room(cursor), row + pending, singles, units - pending);
    out.Commit(cursor);
}

}  // namespace vdib::rle
