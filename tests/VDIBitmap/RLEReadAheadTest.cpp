// The decoders read ahead; they must still behave as if every byte came from an exact read:
// same pixels, same exception and message, same stream position, on intact, cut and corrupted
// streams long enough to cross a read-ahead block.
#include <gtest/gtest.h>

#include <VDIBitmap/Messages.h>
#include <VDIBitmap/RLE.h>
#include "support/BmpBytes.h"
#include "support/Files.h"

namespace vdib::test {
namespace {

// Both decoders as they stood before reading ahead: one exact read per byte, a seek after each
// absolute run.
template <int bits>
void ExactDecode(uint8_t* block, TStream& s, const BITMAPINFOHEADER& h) {
    const int64_t width = bits == 4 ? (h.biWidth + 1) / 2 * 2 : h.biWidth, height = h.biHeight;
    const int64_t rowBytes = CheckedGeometry(bits, h.biWidth, 1).RowBytes;
    const auto next = [&s] { uint8_t b; s.ReadExact(&b, 1); return int64_t{b}; };
    const auto check = [](bool ok) { if (!ok) Raise<EInvalidGraphic>(msg::BadRLEData); };
    for (int64_t x = 0, y = 0;;) {
        const int64_t first = next(), second = next();
        if (first == 0 && second == 1) return;
        if (first == 0 && second == 0) {
            x = 0;
            check(++y <= height);
        } else if (first == 0 && second == 2) {
            const int64_t dx = next(), dy = next();
            check(dx <= width - x && dy <= height - y);
            x += dx, y += dy;
        } else {  // a run, or an absolute run of `second` pixels
            const int64_t n = first != 0 ? first : second, start = s.StreamPosition();
            check(y < height && n <= width - x);
            for (int64_t k = 0, data = second; k < n; ++k, ++x) {
                if (first == 0 && (bits == 8 || k % 2 == 0)) data = next();
                const int64_t v = bits == 8 ? data : k & 1 ? data & 15 : data >> 4;
                uint8_t& at = block[y * rowBytes + (bits == 8 ? x : x / 2)];
                at = static_cast<uint8_t>(bits == 8 ? v : x & 1 ? at | v : v << 4);
            }
            if (first == 0) s.SetStreamPosition(start + (bits == 8 ? (n + 1) / 2 * 2 : (n + 3) / 4 * 2));
        }
    }
}

// Rows of random runs, absolute runs (at odd and even columns) and small deltas, one byte before
// the data and one after; `units` pixels a row. The offset of every command goes to `starts`.
Bytes Commands(int bits, int32_t units, int32_t height, std::vector<std::size_t>& starts) {
    Bytes b{0xEE};
    uint32_t seed = 12345;
    const auto rnd = [&seed](int32_t n) { seed = seed * 1664525u + 1013904223u; return static_cast<int32_t>((seed >> 8) % n); };
    for (int32_t y = 0; y < height; ++y, b.insert(b.end(), {0, 0})) {
        for (int32_t left = units, n; left > 0; left -= n) {
            n = 1 + rnd(std::min(left, 90));
            starts.push_back(b.size());
            const bool absolute = n >= 3 && rnd(2) == 0, delta = rnd(8) == 0;
            b.insert(b.end(), {uint8_t(absolute || delta ? 0 : n), uint8_t(delta ? 2 : absolute ? n : rnd(256))});
            const int32_t more = delta ? 2 : !absolute ? 0 : bits == 8 ? (n + 1) / 2 * 2 : (n + 3) / 4 * 2;
            for (int32_t i = 0; i < more; ++i) b.push_back(uint8_t(delta ? (i == 0 ? n : 0) : rnd(256)));
        }
    }
    b.insert(b.end(), {0, 1, 0xEE});
    return b;
}

using TDecode = void (*)(uint8_t*, TStream&, const BITMAPINFOHEADER&);

// What was raised, where the stream stopped and the block, after decoding `data` from position 1.
std::tuple<std::string, int32_t, Bytes> Outcome(TDecode decode, const BITMAPINFOHEADER& header, const Bytes& data) {
    Bytes block(CheckedGeometry(header.biBitCount, header.biWidth, header.biHeight).ImageBytes);
    TTestStream stream(data);
    stream.Seek(1, soBeginning);
    const std::string raised = RaisedBy([&] { decode(block.data(), stream, header); });
    return {raised, stream.Position(), block};
}

TEST(RLEReadAhead, SameOutcomeAsExactReadsOnIntactCutAndCorruptStreams) {
    for (const auto& [bits, decode, exact] : {std::tuple<int, TDecode, TDecode>{8, DecodeRLE8, ExactDecode<8>},
                                              {4, DecodeRLE4, ExactDecode<4>}}) {
        const BITMAPINFOHEADER header = Header(bits == 8 ? 3000 : 2999, 200, static_cast<uint16_t>(bits));
        std::vector<std::size_t> starts;
        const Bytes intact = Commands(bits, 3000, 200, starts);
        ASSERT_GT(intact.size(), 150000u);  // more than one read-ahead block
        for (unsigned variant = 0; variant < 30; ++variant) {
            Bytes data = intact;
            if (variant % 3 == 1)  // cut anywhere, or near the end of the first read-ahead block
                data.resize(variant < 15 ? 1 + variant * 2654435761u % (data.size() - 1) : 131072 + variant % 7);
            if (variant % 3 == 2) {  // a command changed: escapes (end of bitmap too), longer runs
                const std::size_t at = starts[variant * 7919 % starts.size()];
                data[at] = static_cast<uint8_t>(variant % 4 == 0 ? 0 : variant * 3);
                data[at + 1] = static_cast<uint8_t>(variant % 5 == 0 ? 1 + variant % 2 : variant * 37);
            }
            EXPECT_TRUE(Outcome(decode, header, data) == Outcome(exact, header, data)) << bits << " bits, variant " << variant;
        }
    }
}

}  // namespace
}  // namespace vdib::test
