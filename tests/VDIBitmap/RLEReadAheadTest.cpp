// The decoders read ahead in blocks; they must still behave as if every byte came from an exact
// read of its own, as they do from a stream that hands out one byte a read (a skip past the bytes
// read is then a seek): same pixels, same exception and message, same stream position, on
// intact, cut and corrupted streams long enough to cross a read-ahead block.
#include <gtest/gtest.h>

#include <VDIBitmap/RLE.h>
#include "support/BmpBytes.h"
#include "support/Files.h"

namespace vdib::test {
namespace {

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

// What was raised, where the stream stopped and the block, after decoding `data` from position 1.
std::tuple<std::string, int32_t, Bytes> Outcome(const BITMAPINFOHEADER& header, const Bytes& data, int32_t maxRead) {
    Bytes block(CheckedGeometry(header.biBitCount, header.biWidth, header.biHeight).ImageBytes);
    TTestStream stream(data);
    stream.MaxRead = maxRead;
    stream.Seek(1, soBeginning);
    const std::string raised = RaisedBy([&] { (header.biBitCount == 8 ? DecodeRLE8 : DecodeRLE4)(block.data(), stream, header); });
    return {raised, stream.Position(), block};
}

TEST(RLEReadAhead, SameOutcomeAsExactReadsOnIntactCutAndCorruptStreams) {
    for (const int bits : {8, 4}) {
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
            EXPECT_TRUE(Outcome(header, data, -1) == Outcome(header, data, 1)) << bits << " bits, variant " << variant;
        }
    }
}

}  // namespace
}  // namespace vdib::test
