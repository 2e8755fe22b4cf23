// Shared by the RLE8 and RLE4 decoders (not part of the library's interface): the command bytes
// of the stream, read ahead in large blocks.
//
// The decoders are written as if every command byte came from an exact read of its own, and
// they must stay exactly that to their callers: the same bytes accepted and refused, EReadError
// at the byte where an exact read would have come up short, and the stream left where the exact
// reads and the seeks after absolute runs would have left it. TRLEReader keeps that bargain:
//   - it reads blocks with the stream's plain Read and hands out bytes from them; only a Read
//     that returns nothing at all is the end of the data. (An exact read of n bytes fails as soon
//     as a Read returns fewer, so the two agree on every stream whose Read returns what is there
//     up to the count asked, as file and memory streams do.)
//   - it tracks the position the exact reads would have reached; a skip past the bytes read
//     ahead seeks there before the next block is read, and Settle() seeks there when the stream
//     stands elsewhere. A decoder calls Settle() before it returns or raises; when the reader
//     itself raises EReadError, the stream already stands at that position.
// Giving back what was read ahead takes a stream that can seek back, as the file and memory
// streams that the library decodes from can.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <VDIBitmap/Messages.h>
#include <VDIBitmap/Platform.h>
#include <VDIBitmap/Streams.h>

namespace vdib::rle {

class TRLEReader {
public:
    explicit TRLEReader(TStream& stream) : FStream(stream), FBase(stream.StreamPosition()) {}
    TRLEReader(const TRLEReader&) = delete;
    TRLEReader& operator=(const TRLEReader&) = delete;

    uint8_t Byte() {
        if (FNext >= FLength) Refill();
        return FBuffer[FNext++];
    }

    // Moves `count` bytes to `to`, as one exact read would: when the data ends first, the bytes
    // before the end are there and EReadError is raised.
    void Read(uint8_t* to, int32_t count) {
        while (count > 0) {
            if (FNext >= FLength) Refill();
            const int32_t n = count < FLength - FNext ? count : FLength - FNext;
            std::memcpy(to, FBuffer.get() + FNext, static_cast<std::size_t>(n));
            FNext += n;
            to += n;
            count -= n;
        }
    }

    // Steps over `count` bytes without reading them, as a seek forward would (also past the end).
    void Skip(int32_t count) noexcept { FNext += count; }

    // Brings the stream to the position reached, giving back what was read ahead.
    void Settle() {
        if (FNext != FLength) FStream.SetStreamPosition(FBase + FNext);
        FBase += FNext;
        FNext = FLength = 0;
    }

    // EInvalidGraphic "Bad RLE Data", the stream settled first.
    [[noreturn, gnu::noinline]] void RaiseBadData() {
        Settle();
        Raise<EInvalidGraphic>(msg::BadRLEData);
    }

private:
    // Larger than a file stream's own buffer, so that its reads go straight into this one.
    static constexpr int32_t Capacity = 128 * 1024;

    [[gnu::noinline]] void Refill() {
        Settle();
        const int32_t n = FStream.Read(FBuffer.get(), Capacity);
        if (n <= 0) Raise<EReadError>(msg::ReadError);
        FLength = n;
    }

    TStream& FStream;
    std::unique_ptr<uint8_t[]> FBuffer{new uint8_t[Capacity]};
    int64_t FBase;       // stream position of FBuffer[0]; the stream stands at FBase + FLength
    int32_t FLength = 0;  // bytes read ahead
    int32_t FNext = 0;    // the next byte; past FLength after a skip beyond the bytes read
};

// Stores `n` copies of `value` from `to` on, touching no byte outside them. Runs are many and
// mostly short; the library's fill starts slowly for short lengths (a string instruction), so
// they go out as a few overlapping stores.
inline void Fill(uint8_t* to, uint8_t value, int32_t n) noexcept {
#if defined(__SSE2__)
    if (n >= 16) {
        const __m128i v = _mm_set1_epi8(static_cast<char>(value));
        for (int32_t i = 0; i < n - 16; i += 16) _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), v);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + n - 16), v);
        return;
    }
#else
    if (n >= 16) {
        std::memset(to, value, static_cast<std::size_t>(n));
        return;
    }
#endif
    if (n >= 8) {
        const uint64_t v = 0x0101010101010101ull * value;
        std::memcpy(to, &v, 8);
        std::memcpy(to + n - 8, &v, 8);
    } else if (n >= 4) {
        const uint32_t v = 0x01010101u * value;
        std::memcpy(to, &v, 4);
        std::memcpy(to + n - 4, &v, 4);
    } else if (n > 0) {
        to[0] = value;
        to[n / 2] = value;
        to[n - 1] = value;
    }
}

// The command loop of both decoders. Runs count `units` per row: pixels for RLE8, pixels of the
// row rounded up to even for RLE4. The height is used as stored, so a negative (top-down) one
// leaves no row to write into. Every bound is checked here, before `store` is asked to write:
// a run or absolute run must fit the rest of its row and lie above the last row; an end-of-line
// may lead one row past the last (writers commonly end the last row with one), a second one may
// not; a delta may land exactly on the right edge or on the row past the last, where no later
// run can write. `store` supplies Run(row, x, n, value) and Absolute(reader, row, x, n), the
// latter reading the data and its pad; `row` is the offset of the row in the block.
template <class TStore>
void DecodeCommands(TStream& stream, int64_t units, int64_t height, int64_t rowBytes, TStore store) {
    TRLEReader in(stream);
    int64_t x = 0;
    int64_t y = 0;
    for (;;) {
        const int32_t first = in.Byte();
        const int32_t second = in.Byte();
        if (first != 0) {
            if (y >= height || first > units - x) in.RaiseBadData();
            store.Run(y * rowBytes, x, first, static_cast<uint8_t>(second));
            x += first;
        } else if (second == 0) {
            x = 0;
            if (++y > height) in.RaiseBadData();
        } else if (second == 1) {
            in.Settle();
            return;
        } else if (second == 2) {
            const int32_t dx = in.Byte();
            const int32_t dy = in.Byte();
            if (dx > units - x || dy > height - y) in.RaiseBadData();
            x += dx;
            y += dy;
        } else {
            if (y >= height || second > units - x) in.RaiseBadData();
            store.Absolute(in, y * rowBytes, x, second);
            x += second;
        }
    }
}

}  // namespace vdib::rle
