// RLE8 and RLE4: the rows of tests/data/rle.tsv (the format's worked sequences in both
// directions, every decoder bound at its limit and one past it, streams that end early), and the
// fast encoders against the per-unit state machine on random rows.
#include <gtest/gtest.h>

#include <random>

#include <VDIBitmap/RLE.h>
#include "support/BmpBytes.h"
#include "support/Files.h"

namespace vdib::test {
namespace {

Bytes Encode(uint16_t bits, const Bytes& block, int32_t width, int32_t height) {
    TTestStream stream;
    (bits == 8 ? EncodeRLE8 : EncodeRLE4)(stream, block.data(), Header(width, height, bits));
    return stream.Data();
}

// The block decoded from `data`, or "<class>: <message>"; *end is where the stream stopped.
std::string Decode(uint16_t bits, const Bytes& data, int32_t width, int32_t height, int32_t* end) {
    TTestStream stream(data);
    Bytes block(CheckedGeometry(bits, width, height).ImageBytes);
    const std::string raised = RaisedBy([&] { (bits == 8 ? DecodeRLE8 : DecodeRLE4)(block.data(), stream, Header(width, height, bits)); });
    *end = stream.Position();
    return raised.empty() ? ToHex(block) : raised;
}

// The encoding rules written plainly, command by command, unit by unit (a pixel in RLE8, a byte
// of two pixels in RLE4; an odd RLE4 row carries its pad pixel along), as the reference for the
// fast encoders. Equal neighbours make a run. Otherwise units without equal neighbours make a
// literal, which gives up its last unit to a run that follows; a literal of one or two units is
// written as runs of one, a longer one as an absolute run padded to even length. No command
// holds more than `maxUnits`; the unit after a full one starts afresh.
Bytes ReferenceEncode(const Bytes& block, int32_t width, int32_t height, uint16_t bits) {
    const std::size_t perUnit = 8 / bits, maxUnits = bits == 8 ? 255 : 127;
    const auto units = static_cast<std::size_t>((width * bits + 7) / 8);
    Bytes out;
    for (int32_t r = 0; r < height; ++r) {
        const uint8_t* u = block.data() + r * CheckedGeometry(bits, width, 1).RowBytes;
        for (std::size_t i = 0, k = 1; i < units; i = k, k = i + 1) {
            const bool run = k < units && u[k] == u[i];
            while (k < units && k - i < maxUnits && (u[k] == u[k - 1]) == run) ++k;
            if (!run && k < units && k - i < maxUnits) --k;  // the last unit joins the run that follows
            if (!run && k - i > 2) {
                out.insert(out.end(), {0, uint8_t((k - i) * perUnit)});
                out.insert(out.end(), u + i, u + k);
                if ((k - i) & 1) out.push_back(0);
            } else if (run) {
                out.insert(out.end(), {uint8_t((k - i) * perUnit), u[i]});
            } else {
                for (std::size_t j = i; j < k; ++j) out.insert(out.end(), {uint8_t(perUnit), u[j]});
            }
        }
        out.insert(out.end(), {0, 0});
    }
    out.insert(out.end(), {0, 1});
    return out;
}

TEST(RLE, EachRowOfTheTable) {
    for (const auto& row : ReadTable("rle.tsv", 7)) {  // case, bits, width, height, data, decoded, encodes
        SCOPED_TRACE(row[0]);
        const auto bits = static_cast<uint16_t>(std::stoi(row[1]));
        const int32_t width = std::stoi(row[2]), height = std::stoi(row[3]);
        const Bytes data = Hex(row[4]);
        const bool decodes = row[5].find(':') == std::string::npos;
        Bytes followed = data;
        if (decodes) followed.push_back(0xEE);
        int32_t end = -1;
        EXPECT_EQ(Decode(bits, followed, width, height, &end), decodes ? ToHex(Hex(row[5])) : row[5]);
        EXPECT_TRUE(!decodes || end == static_cast<int32_t>(data.size())) << "stopped at " << end;
        if (row[6] != "yes") continue;
        EXPECT_EQ(ToHex(Encode(bits, Hex(row[5]), width, height)), ToHex(data));
        EXPECT_EQ(ToHex(ReferenceEncode(Hex(row[5]), width, height, bits)), ToHex(data));
    }
}

// Random rows of few values in runs of every length, or of many values in literals past both
// limits; the row padding is filled too, and must not be encoded. What the fast encoder writes
// must match the reference and decode back to the row, an odd RLE4 row's pad pixel included.
TEST(RLE, FastEncodersMatchTheReferenceAndRoundTrip) {
    std::mt19937 random(2024);
    for (const uint16_t bits : {8, 4}) {
        for (int trial = 0; trial < 400; ++trial) {
            const auto width = static_cast<int32_t>(random() % (trial < 200 ? 141 : 2000));
            const auto height = static_cast<int32_t>(1 + random() % 3);
            const unsigned values = trial % 3 == 2 ? 256 : 1 + random() % 4;
            const unsigned maxRun = trial % 3 == 0 ? 300 : trial % 3 == 1 ? 4 : 1;
            Bytes block(CheckedGeometry(bits, width, height).ImageBytes);
            for (std::size_t i = 0; i < block.size();) {
                const auto value = static_cast<uint8_t>(values == 256 ? random() : 0x11 * (random() % values));
                for (unsigned n = 1 + random() % maxRun; n > 0 && i < block.size(); --n) block[i++] = value;
            }
            SCOPED_TRACE(testing::Message() << "RLE" << bits << ", trial " << trial << ", width " << width);
            const Bytes encoded = Encode(bits, block, width, height);
            ASSERT_EQ(ToHex(encoded), ToHex(ReferenceEncode(block, width, height, bits)));
            const auto rowBytes = static_cast<std::size_t>(CheckedGeometry(bits, width, 1).RowBytes);
            for (std::size_t at = 0; at < block.size(); ++at)  // the row padding decodes to 0
                if (at % rowBytes >= static_cast<std::size_t>(width * bits + 7) / 8) block[at] = 0;
            int32_t end = 0;
            ASSERT_EQ(Decode(bits, encoded, width, height, &end), ToHex(block));
            ASSERT_EQ(end, static_cast<int32_t>(encoded.size()));
        }
    }
}

}  // namespace
}  // namespace vdib::test
