// The decoders read ahead; they must still behave as if every byte came from an exact read:
// same pixels, same exception and message, same stream position, on intact, cut and corrupted
// streams long enough to cross several read-ahead blocks.
#include <gtest/gtest.h>

#include "RLE.h"
#include "TestSupport.h"
#include "support/BmpBytes.h"

namespace vdib::test {
namespace {

// Both decoders as they stood before reading ahead: one exact read per byte, a seek after each
// absolute run.
void ExactDecode(int bitCount, uint8_t* bits, TStream& s, const BITMAPINFOHEADER& h) {
    const int64_t width = bitCount == 4 ? (int64_t{h.biWidth} + 1) / 2 * 2 : h.biWidth;
    const int64_t height = h.biHeight, rowBytes = RowBytesFor(bitCount, h.biWidth);
    int64_t x = 0, y = 0;
    const auto next = [&s] { uint8_t b; s.ReadExact(&b, 1); return int32_t{b}; };
    const auto put = [&](int64_t column, int32_t v) {
        uint8_t& at = bits[y * rowBytes + (bitCount == 8 ? column : column / 2)];
        at = static_cast<uint8_t>(bitCount == 8 ? v : column & 1 ? at | v : v << 4);
    };
    for (;;) {
        const int32_t first = next(), second = next();
        if (first != 0) {
            if (y >= height || first > width - x) Raise<EInvalidGraphic>(msg::BadRLEData);
            for (int32_t k = 0; k < first; ++k) put(x + k, bitCount == 8 ? second : k & 1 ? second & 15 : second >> 4);
            x += first;
        } else if (second == 0) {
            x = 0;
            if (++y > height) Raise<EInvalidGraphic>(msg::BadRLEData);
        } else if (second == 1) {
            return;
        } else if (second == 2) {
            const int32_t dx = next(), dy = next();
            if (dx > width - x || dy > height - y) Raise<EInvalidGraphic>(msg::BadRLEData);
            x += dx;
            y += dy;
        } else {
            if (y >= height || second > width - x) Raise<EInvalidGraphic>(msg::BadRLEData);
            const int64_t start = s.StreamPosition();
            for (int32_t k = 0, data = 0; k < second; ++k) {
                if (bitCount == 8 || k % 2 == 0) data = next();
                put(x + k, bitCount == 8 ? data : k & 1 ? data & 15 : data >> 4);
            }
            s.SetStreamPosition(start + (bitCount == 8 ? (second + 1) / 2 * 2 : (second + 3) / 4 * 2));
            x += second;
        }
    }
}

// Rows of random runs, absolute runs (at odd and even columns) and small deltas, one byte before
// the data and one after; `units` pixels a row. The offset of every command goes to `starts`.
Bytes Commands(int bitCount, int32_t units, int32_t height, std::vector<std::size_t>& starts) {
    Bytes b{0xEE};
    uint32_t seed = 12345;
    const auto rnd = [&seed](int32_t n) { seed = seed * 1664525u + 1013904223u; return static_cast<int32_t>((seed >> 8) % n); };
    for (int32_t y = 0; y < height; ++y, b.insert(b.end(), {0, 0})) {
        for (int32_t left = units, n; left > 0; left -= n) {
            n = 1 + rnd(std::min(left, 90));
            starts.push_back(b.size());
            const bool absolute = n >= 3 && rnd(2) == 0, delta = rnd(8) == 0;
            b.insert(b.end(), {static_cast<uint8_t>(absolute || delta ? 0 : n), static_cast<uint8_t>(delta ? 2 : absolute ? n : rnd(256))});
            const int32_t more = delta ? 2 : !absolute ? 0 : bitCount == 8 ? (n + 1) / 2 * 2 : (n + 3) / 4 * 2;
            for (int32_t i = 0; i < more; ++i) b.push_back(static_cast<uint8_t>(delta ? (i == 0 ? n : 0) : rnd(256)));
        }
    }
    b.insert(b.end(), {0, 1, 0xEE});
    return b;
}

TEST(RLEReadAhead, SameOutcomeAsExactReadsOnIntactCutAndCorruptStreams) {
    for (const int bitCount : {8, 4}) {
        const BITMAPINFOHEADER header = Header(bitCount == 8 ? 3000 : 2999, 200, static_cast<uint16_t>(bitCount));
        // Error, stream position and block after decoding `data` from position 1.
        const auto outcome = [&](auto decode, const Bytes& data) {
            Bytes block(static_cast<std::size_t>(RowBytesFor(bitCount, header.biWidth)) * 200);
            TTestStream stream(data);
            stream.Seek(1, soBeginning);
            std::string error;
            try {
                decode(block.data(), stream, header);
            } catch (const Exception& e) {
                error = std::string(e.ClassName()) + " " + e.Message();
            }
            return std::make_tuple(error, stream.StreamPosition(), block);
        };
        const auto exact = [bitCount](uint8_t* bits, TStream& s, const BITMAPINFOHEADER& h) { ExactDecode(bitCount, bits, s, h); };
        std::vector<std::size_t> starts;
        const Bytes intact = Commands(bitCount, 3000, 200, starts);
        ASSERT_GT(intact.size(), 150000u);  // more than one read-ahead block
        for (int variant = 0; variant < 90; ++variant) {
            SCOPED_TRACE(testing::Message() << bitCount << " bits, variant " << variant);
            Bytes data = intact;
            if (variant % 3 == 1) {  // cut anywhere, or near the end of the first read-ahead block
                data.resize(variant < 45 ? 1 + static_cast<std::size_t>(variant) * 2654435761u % (data.size() - 1) : 131072 + variant % 7);
            } else if (variant % 3 == 2) {  // a command changed: escapes (end of bitmap too), longer runs
                const std::size_t command = starts[static_cast<std::size_t>(variant) * 7919 % starts.size()];
                data[command] = static_cast<uint8_t>(variant % 4 == 0 ? 0 : variant * 3);
                data[command + 1] = static_cast<uint8_t>(variant % 5 == 0 ? 1 + variant % 2 : variant * 37);
            }
            const auto got = outcome(bitCount == 8 ? DecodeRLE8 : DecodeRLE4, data), want = outcome(exact, data);
            EXPECT_EQ(std::get<0>(got), std::get<0>(want));
            EXPECT_EQ(std::get<1>(got), std::get<1>(want));
            EXPECT_TRUE(std::get<2>(got) == std::get<2>(want));
        }
    }
}

}  // namespace
}  // namespace vdib::test
