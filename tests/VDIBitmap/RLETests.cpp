// RLE8 and RLE4: the format's worked byte sequences in both directions, every decoder bound at
// its limit and one past it, streams that end early, and the fast encoders against the per-unit
// state machine.
#include <gtest/gtest.h>

#include <numeric>
#include <random>

#include <VDIBitmap/RLE.h>
#include "TestSupport.h"
#include "runtime/TestFiles.h"

namespace vdib::test {
namespace {

Bytes Encode(uint16_t bits, const Bytes& block, int32_t width, int32_t height) {
    TTestStream stream;
    (bits == 8 ? EncodeRLE8 : EncodeRLE4)(stream, block.data(), Header(width, height, bits));
    return stream.Data();
}

// Decodes into a fresh zero block; *end is where the stream stopped.
Bytes Decode(uint16_t bits, const Bytes& data, int32_t width, int32_t height, int32_t* end = nullptr) {
    TTestStream stream(data);
    Bytes block(CheckedGeometry(bits, width, height).ImageBytes);
    (bits == 8 ? DecodeRLE8 : DecodeRLE4)(block.data(), stream, Header(width, height, bits));
    if (end != nullptr) *end = stream.Position();
    return block;
}

Bytes Iota(std::size_t n) {
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    return bytes;
}

Bytes Cat(Bytes a, const Bytes& b, const Bytes& c) {
    for (const Bytes* part : {&b, &c}) a.insert(a.end(), part->begin(), part->end());
    return a;
}

TEST(RLE, WorkedExamplesEncodeAndDecodeExactly) {
    const struct {
        const char* name;
        uint16_t bits;
        int32_t width;
        std::vector<Bytes> rows;  // leading bytes of each row, block order
        Bytes encoded;
    } cases[] = {
        {"run then single", 8, 4, {Hex("05 05 05 07")}, Hex("03 05 01 07 00 00 00 01")},
        {"width 1", 8, 1, {Hex("07")}, Hex("01 07 00 00 00 01")},
        {"two differing pixels", 8, 2, {Hex("09 0A")}, Hex("01 09 01 0A 00 00 00 01")},
        {"alternating literal", 8, 4, {Hex("01 02 01 02")}, Hex("00 04 01 02 01 02 00 00 00 01")},
        {"literal gives up its last", 8, 3, {Hex("01 02 02")}, Hex("01 01 02 02 00 00 00 01")},
        {"short literal as runs of one", 8, 4, {Hex("01 02 03 03")}, Hex("01 01 01 02 02 03 00 00 00 01")},
        {"odd literal padded", 8, 5, {Hex("01 02 03 04 04")}, Hex("00 03 01 02 03 00 02 04 00 00 00 01")},
        {"run inside", 8, 5, {Hex("01 02 02 02 03")}, Hex("01 01 03 02 01 03 00 00 00 01")},
        {"run longer than 255", 8, 300, {Bytes(300, 0x11)}, Hex("FF 11 2D 11 00 00 00 01")},
        {"full literal", 8, 256, {Iota(256)}, Cat(Hex("00 FF"), Iota(255), Hex("00 01 FF 00 00 00 01"))},
        {"two rows", 8, 2, {Hex("05 05"), Hex("06 07")}, Hex("02 05 00 00 01 06 01 07 00 00 00 01")},
        {"height 0", 8, 4, {}, Hex("00 01")},
        {"width 0: end-of-line alone", 8, 0, {{}, {}}, Hex("00 00 00 00 00 01")},
        {"width 1 with its pad pixel", 4, 1, {Hex("30")}, Hex("02 30 00 00 00 01")},
        {"two differing bytes", 4, 4, {Hex("12 34")}, Hex("02 12 02 34 00 00 00 01")},
        {"run then odd byte", 4, 5, {Hex("11 11 20")}, Hex("04 11 02 20 00 00 00 01")},
        {"odd absolute run padded", 4, 6, {Hex("12 34 56")}, Hex("00 06 12 34 56 00 00 00 00 01")},
        {"even absolute run", 4, 8, {Hex("12 34 56 78")}, Hex("00 08 12 34 56 78 00 00 00 01")},
        {"short literal as runs of two", 4, 8, {Hex("12 34 56 56")}, Hex("02 12 02 34 04 56 00 00 00 01")},
        {"run longer than 254 pixels", 4, 600, {Bytes(300, 0x77)}, Hex("FE 77 FE 77 5C 77 00 00 00 01")},
        {"full literal", 4, 256, {Iota(128)}, Cat(Hex("00 FE"), Iota(127), Hex("00 02 7F 00 00 00 01"))},
        {"height 0", 4, 4, {}, Hex("00 01")},
        {"width 0: end-of-line alone", 4, 0, {{}, {}}, Hex("00 00 00 00 00 01")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "RLE" << c.bits << ": " << c.name);
        const auto height = static_cast<int32_t>(c.rows.size());
        const Bytes block = Block(c.width, height, c.bits, c.rows);
        EXPECT_EQ(ToHex(Encode(c.bits, block, c.width, height)), ToHex(c.encoded));
        EXPECT_EQ(ToHex(ReferenceEncode(block, c.width, height, c.bits)), ToHex(c.encoded));
        if (c.width == 0) continue;
        int32_t end = 0;
        EXPECT_EQ(ToHex(Decode(c.bits, c.encoded, c.width, height, &end)), ToHex(block));
        EXPECT_EQ(end, static_cast<int32_t>(c.encoded.size()));
    }
}

// Widths 4 (RLE8) and 5 to 8 (RLE4) give rows of 4 bytes. Each stream ends with a byte after
// end-of-bitmap that must stay unread.
TEST(RLE, DecoderBounds) {
    const struct {
        const char* name;
        uint16_t bits;
        int32_t width, height;
        const char* data;
        const char* block;  // expected block, or null when decoding fails with "Bad RLE Data"
    } cases[] = {
        {"end of bitmap alone", 8, 4, 2, "00 01 EE", "00 00 00 00 00 00 00 00"},
        {"run to the right edge", 8, 4, 1, "04 AA 00 01 EE", "AA AA AA AA"},
        {"run one past the edge", 8, 4, 1, "05 AA 00 01 EE", nullptr},
        {"run after a full row", 8, 4, 1, "04 AA 01 BB 00 01 EE", nullptr},
        {"end-of-line after the last row", 8, 4, 2, "01 01 00 00 01 02 00 00 00 01 EE", "01 00 00 00 02 00 00 00"},
        {"a second end-of-line past it", 8, 4, 2, "00 00 00 00 00 00 00 01 EE", nullptr},
        {"run in the row past the last", 8, 4, 2, "00 00 00 00 01 AA 00 01 EE", nullptr},
        {"delta skips pixels", 8, 4, 2, "00 02 02 01 01 0C 00 01 EE", "00 00 00 00 00 00 0C 00"},
        {"delta to the right edge", 8, 4, 1, "00 02 04 00 00 01 EE", "00 00 00 00"},
        {"delta past the right edge", 8, 4, 1, "00 02 05 00 00 01 EE", nullptr},
        {"run at the right edge after a delta", 8, 4, 1, "00 02 04 00 01 AA 00 01 EE", nullptr},
        {"delta to the row past the last", 8, 4, 2, "00 02 00 02 00 01 EE", "00 00 00 00 00 00 00 00"},
        {"delta beyond it", 8, 4, 2, "00 02 00 03 00 01 EE", nullptr},
        {"odd absolute run skips its pad", 8, 4, 1, "00 03 0A 0B 0C 00 01 0D 00 01 EE", "0A 0B 0C 0D"},
        {"even absolute run has no pad", 8, 4, 1, "00 04 0A 0B 0C 0D 00 01 EE", "0A 0B 0C 0D"},
        {"absolute run one past the edge", 8, 4, 1, "00 05 0A 0B 0C 0D 0E 00 00 01 EE", nullptr},
        {"absolute run in the row past the last", 8, 4, 1, "00 00 00 03 0A 0B 0C 00 00 01 EE", nullptr},
        {"negative height: run", 8, 4, -2, "01 AA 00 01 EE", nullptr},
        {"run from an odd column", 4, 5, 1, "03 12 02 34 00 00 00 01 EE", "12 13 40 00"},
        {"absolute run from an odd column", 4, 5, 1, "01 50 00 03 12 30 00 00 00 01 EE", "51 23 00 00"},
        {"absolute run of 5 with its pad", 4, 5, 1, "00 05 12 34 50 00 00 00 00 01 EE", "12 34 50 00"},
        {"delta to an odd column", 4, 8, 1, "00 02 03 00 01 70 00 01 EE", "00 07 00 00"},
        {"absolute run of 3: no pad", 4, 8, 1, "00 03 12 30 01 70 00 01 EE", "12 37 00 00"},
        {"absolute run of 7: no pad", 4, 8, 1, "00 07 12 34 56 70 01 80 00 01 EE", "12 34 56 78"},
        {"run over the pad pixel", 4, 5, 1, "06 AB 00 01 EE", "AB AB AB 00"},
        {"run one past it", 4, 5, 1, "07 AB 00 01 EE", nullptr},
        {"run after a full row", 4, 5, 1, "06 AB 01 CD 00 01 EE", nullptr},
        {"absolute run to the edge", 4, 5, 1, "00 06 12 34 56 00 00 01 EE", "12 34 56 00"},
        {"absolute run one past it", 4, 5, 1, "00 07 12 34 56 70 00 01 EE", nullptr},
        {"end-of-line after the last row", 4, 5, 2, "01 10 00 00 01 20 00 00 00 01 EE", "10 00 00 00 20 00 00 00"},
        {"a second end-of-line past it", 4, 5, 2, "00 00 00 00 00 00 00 01 EE", nullptr},
        {"run in the row past the last", 4, 5, 2, "00 00 00 00 01 10 00 01 EE", nullptr},
        {"absolute run in the row past the last", 4, 5, 1, "00 00 00 03 12 30 00 01 EE", nullptr},
        {"delta to the right edge", 4, 5, 1, "00 02 06 00 00 01 EE", "00 00 00 00"},
        {"delta past it", 4, 5, 1, "00 02 07 00 00 01 EE", nullptr},
        {"run at the edge after a delta", 4, 5, 1, "00 02 06 00 01 10 00 01 EE", nullptr},
        {"delta to the row past the last", 4, 5, 2, "00 02 01 02 00 01 EE", "00 00 00 00 00 00 00 00"},
        {"delta beyond it", 4, 5, 2, "00 02 00 03 00 01 EE", nullptr},
        {"negative height: absolute run", 4, 5, -1, "00 03 12 30 00 01 EE", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "RLE" << c.bits << ": " << c.name);
        const Bytes data = Hex(c.data);
        if (c.block == nullptr) {
            ExpectRaise([&] { Decode(c.bits, data, c.width, c.height); }, "Bad RLE Data", "EInvalidGraphic");
            continue;
        }
        int32_t end = 0;
        EXPECT_EQ(ToHex(Decode(c.bits, data, c.width, c.height, &end)), c.block);
        EXPECT_EQ(end, static_cast<int32_t>(data.size()) - 1);
    }
}

TEST(RLE, StreamEndingBeforeEndOfBitmapIsAReadError) {
    for (const uint16_t bits : {8, 4})
        for (const char* data : {"", "03", "03 05", "00 02 01", "00 04 0A 0B", "00 03 0A 0B 0C", "00 05 12 34 50"}) {
            SCOPED_TRACE(testing::Message() << "RLE" << bits << ": " << data);
            EXPECT_THROW(Decode(bits, Hex(data), 8, 1), EReadError);
        }
}

// Random rows of few values in runs of every length, or of many values in literals past both
// limits; the row padding is filled too, and must not be encoded. What the fast encoder writes
// must match the reference and decode back to the row, an odd RLE4 row's pad pixel included.
// The last trials are tall enough for several bands of rows, encoded side by side.
TEST(RLE, FastEncodersMatchTheReferenceAndRoundTrip) {
    std::mt19937 random(2024);
    for (const uint16_t bits : {8, 4}) {
        for (int trial = 0; trial < 403; ++trial) {
            const bool tall = trial >= 400;
            const auto width = static_cast<int32_t>(tall ? 1000 + random() % 1000 : random() % (trial < 200 ? 141 : 2000));
            const auto height = static_cast<int32_t>(tall ? 600 + random() % 200 : 1 + random() % 3);
            const unsigned values = trial % 3 == 2 ? 256 : 1 + random() % 4;
            const unsigned maxRun = trial % 3 == 0 ? 300 : trial % 3 == 1 ? 4 : 1;
            const auto rowBytes = static_cast<std::size_t>(CheckedGeometry(bits, width, 1).RowBytes);
            Bytes block(rowBytes * static_cast<std::size_t>(height));
            for (std::size_t i = 0; i < block.size();) {
                const auto value = static_cast<uint8_t>(values == 256 ? random() : 0x11 * (random() % values));
                for (unsigned n = 1 + random() % maxRun; n > 0 && i < block.size(); --n) block[i++] = value;
            }
            SCOPED_TRACE(testing::Message() << "RLE" << bits << ", trial " << trial << ", width " << width);
            const Bytes encoded = Encode(bits, block, width, height);
            const Bytes reference = ReferenceEncode(block, width, height, bits);
            if (encoded != reference) {
                ASSERT_EQ(ToHex(encoded), ToHex(reference));  // hex only to show a difference
            }
            int32_t end = 0;
            const Bytes decoded = Decode(bits, encoded, width, height, &end);
            ASSERT_EQ(end, static_cast<int32_t>(encoded.size()));
            const std::size_t used = static_cast<std::size_t>(width * bits + 7) / 8;
            for (std::size_t r = 0; r < static_cast<std::size_t>(height); ++r)
                ASSERT_TRUE(std::equal(block.begin() + r * rowBytes, block.begin() + r * rowBytes + used,
                                       decoded.begin() + r * rowBytes)) << "row " << r;
        }
    }
}

}  // namespace
}  // namespace vdib::test
