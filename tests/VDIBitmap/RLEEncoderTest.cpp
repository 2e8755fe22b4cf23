// The fast RLE8 and RLE4 encoders against the per-unit state machine, and back through the
// decoders, on generated rows around every limit and on random rows.
#include <gtest/gtest.h>

#include <random>

#include "RLEEncoder.h"
#include "TestSupport.h"

namespace vdib::test {
namespace {

struct Codec {
    uint16_t bitCount;
    int maxUnits;
    int pixelsPerUnit;
};
const Codec Codecs[] = {{8, 255, 1}, {4, 127, 2}};

// Encodes with both encoders, compares, decodes and compares the encoded part of each row (the
// pad nibble of an odd RLE4 row included, the row padding not).
void CrossCheck(const Codec& codec, const Bytes& block, int32_t width, int32_t height) {
    const BITMAPINFOHEADER header = Header(width, height, codec.bitCount);
    TVectorStream fast;
    TVectorStream reference;
    (codec.bitCount == 8 ? EncodeRLE8 : EncodeRLE4)(fast, block.data(), header);
    ReferenceEncode(reference, block.data(), header, codec.maxUnits, codec.pixelsPerUnit);
    ASSERT_EQ(ToHex(fast.Data), ToHex(reference.Data));

    fast.Position = 0;
    Bytes decoded(block.size());
    (codec.bitCount == 8 ? DecodeRLE8 : DecodeRLE4)(decoded.data(), fast, header);
    ASSERT_EQ(fast.Position, static_cast<int64_t>(fast.Data.size()));
    const int32_t rowBytes = RowBytesFor(codec.bitCount, width);
    const int32_t used = codec.bitCount == 8 ? width : (width + 1) / 2;
    for (int32_t r = 0; r < height; ++r) {
        ASSERT_TRUE(std::equal(block.begin() + r * rowBytes, block.begin() + r * rowBytes + used,
                               decoded.begin() + r * rowBytes))
            << "row " << r;
    }
}

// Units (pixels or bytes) in runs of the given lengths, each run a new value.
Bytes Runs(std::size_t units, std::initializer_list<int> lengths) {
    Bytes row;
    uint8_t value = 0x12;
    while (row.size() < units) {
        for (const int length : lengths) {
            for (int i = 0; i < length && row.size() < units; ++i) row.push_back(value);
            value = static_cast<uint8_t>(value + 0x11);
        }
    }
    return row;
}

TEST(RLEEncoder, GeneratedRowsMatchTheStateMachineAndRoundTrip) {
    std::vector<std::pair<std::string, Bytes>> rows;
    for (const std::size_t units : {1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 35, 63, 64, 65, 70, 129}) {
        for (const int run : {1, 2, 3}) rows.push_back({"runs of " + std::to_string(run), Runs(units, {run})});
        Bytes alternating(units);
        for (std::size_t i = 0; i < units; ++i) alternating[i] = (i & 1) ? 0x5A : 0xA5;
        rows.push_back({"alternating", alternating});
    }
    for (const int run : {126, 127, 128, 129, 254, 255, 256, 257, 509, 510, 511, 1000}) {
        rows.push_back({"run of " + std::to_string(run), Cat({Hex("01 02 03"), Repeat(0x77, run), Hex("08")})});
        rows.push_back({"run of " + std::to_string(run) + ", then singles", Cat({Repeat(0x77, run), Hex("08 09 0A")})});
    }
    // Literals just short of, at and past both limits, then nothing, a single unit, or a run.
    for (const int literal : {125, 126, 127, 128, 129, 253, 254, 255, 256, 257, 510}) {
        for (const Bytes& tail : {Hex(""), Hex("FE"), Hex("FE FE"), Hex("FE FE FE")}) {
            Bytes row(static_cast<std::size_t>(literal));
            for (int i = 0; i < literal; ++i) row[static_cast<std::size_t>(i)] = static_cast<uint8_t>(i % 250);
            rows.push_back({"literal of " + std::to_string(literal) + " + " + ToHex(tail), Cat({row, tail})});
        }
    }
    for (const Codec& codec : Codecs) {
        for (const auto& [name, row] : rows) {
            const auto units = static_cast<int32_t>(row.size());
            // RLE4: both widths that use this many bytes; the odd one carries the pad pixel along.
            for (const int32_t width : codec.bitCount == 8 ? std::vector{units} : std::vector{2 * units - 1, 2 * units}) {
                SCOPED_TRACE(testing::Message() << "RLE" << codec.bitCount << ", " << name << ", width " << width);
                const Bytes block = Block(width, 2, codec.bitCount, {row, Bytes(row.rbegin(), row.rend())});
                CrossCheck(codec, block, width, 2);
            }
        }
    }
}

TEST(RLEEncoder, RandomRowsMatchTheStateMachineAndRoundTrip) {
    std::mt19937 random(2024);
    for (const Codec& codec : Codecs) {
        for (int trial = 0; trial < 400; ++trial) {
            const auto width = static_cast<int32_t>(random() % (trial < 200 ? 141 : 2000));
            const auto height = static_cast<int32_t>(1 + random() % 3);
            // Few distinct values and runs of varying lengths, so that every transition occurs;
            // the row padding is filled too, and must not be encoded.
            const unsigned values = 1 + random() % 4;
            const unsigned maxRun = 1 + random() % (trial % 3 == 0 ? 300 : 4);
            Bytes block(static_cast<std::size_t>(RowBytesFor(codec.bitCount, width)) * static_cast<std::size_t>(height));
            for (std::size_t i = 0; i < block.size();) {
                const auto value = static_cast<uint8_t>(0x11 * (random() % values));
                for (unsigned n = 1 + random() % maxRun; n > 0 && i < block.size(); --n) block[i++] = value;
            }
            SCOPED_TRACE(testing::Message() << "RLE" << codec.bitCount << ", trial " << trial << ", width " << width);
            CrossCheck(codec, block, width, height);
        }
    }
}

// The vector comparison that finds run boundaries and its portable form agree bit for bit.
TEST(RLEEncoder, BoundaryWindowsAgreeWithBytewiseComparison) {
    std::mt19937 random(64);
    Bytes data(4096);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random() % 3 == 0 ? random() : 0x80);
    for (std::size_t at = 1; at + 64 <= data.size(); at += 7) {
        uint64_t expected = 0;
        for (int i = 0; i < 64; ++i) {
            if (data[at + i] != data[at + i - 1]) expected |= uint64_t{1} << i;
        }
        ASSERT_EQ(rle::DifferencesAt(data.data() + at), expected) << at;
        ASSERT_EQ(rle::DifferencesAtPortable(data.data() + at), expected) << at;
    }
}

}  // namespace
}  // namespace vdib::test
