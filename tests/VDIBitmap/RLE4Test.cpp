// RLE4: the format's worked byte sequences in both directions, the decoder's bounds with the
// width rounded up to even, absolute runs of every padding shape, and streams that end early.
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace vdib::test {
namespace {

Bytes Encode4(const Bytes& block, int32_t width, int32_t height) {
    TVectorStream stream;
    EncodeRLE4(stream, block.data(), Header(width, height, 4));
    return stream.Data;
}

Bytes Reference4(const Bytes& block, int32_t width, int32_t height) {
    TVectorStream stream;
    ReferenceEncode(stream, block.data(), Header(width, height, 4), 127, 2);
    return stream.Data;
}

Bytes Decode4(const Bytes& data, int32_t width, int32_t height, int64_t* end = nullptr) {
    TVectorStream stream(data);
    Bytes block(static_cast<std::size_t>(RowBytesFor(4, width)) * static_cast<std::size_t>(std::abs(height)));
    DecodeRLE4(block.data(), stream, Header(width, height, 4));
    if (end != nullptr) *end = stream.Position;
    return block;
}

struct GoldenCase {
    const char* name;
    int32_t width;
    std::vector<Bytes> rows;  // leading bytes of each row, block order
    Bytes encoded;
};

std::vector<GoldenCase> GoldenCases() {
    return {
        {"width 1 with its pad pixel", 1, {Hex("30")}, Hex("02 30 00 00 00 01")},
        {"two differing bytes", 4, {Hex("12 34")}, Hex("02 12 02 34 00 00 00 01")},
        {"run then odd byte", 5, {Hex("11 11 20")}, Hex("04 11 02 20 00 00 00 01")},
        {"odd absolute run padded", 6, {Hex("12 34 56")}, Hex("00 06 12 34 56 00 00 00 00 01")},
        {"even absolute run", 8, {Hex("12 34 56 78")}, Hex("00 08 12 34 56 78 00 00 00 01")},
        {"short literal as runs of two", 8, {Hex("12 34 56 56")}, Hex("02 12 02 34 04 56 00 00 00 01")},
        {"run longer than 254 pixels", 600, {Repeat(0x77, 300)}, Hex("FE 77 FE 77 5C 77 00 00 00 01")},
        {"full literal", 256, {Iota(0, 128)}, Cat({Hex("00 FE"), Iota(0, 127), Hex("00 02 7F 00 00 00 01")})},
        {"height 0", 4, {}, Hex("00 01")},
        {"width 0: end-of-line alone", 0, {{}, {}}, Hex("00 00 00 00 00 01")},
    };
}

TEST(RLE4, WorkedExamplesEncodeAndDecodeExactly) {
    for (const GoldenCase& c : GoldenCases()) {
        SCOPED_TRACE(c.name);
        const int32_t height = static_cast<int32_t>(c.rows.size());
        const Bytes block = Block(c.width, height, 4, c.rows);
        EXPECT_EQ(ToHex(Encode4(block, c.width, height)), ToHex(c.encoded));
        EXPECT_EQ(ToHex(Reference4(block, c.width, height)), ToHex(c.encoded));
        if (c.width > 0) {
            int64_t end = 0;
            EXPECT_EQ(ToHex(Decode4(c.encoded, c.width, height, &end)), ToHex(block));
            EXPECT_EQ(end, static_cast<int64_t>(c.encoded.size()));
        }
    }
}

struct DecodeCase {
    const char* name;
    int32_t width;
    int32_t height;
    const char* data;
    const char* block;  // expected block, or null when decoding fails with "Bad RLE Data"
};

// Widths up to 8 give RowBytes 4. Each case ends with a byte after end-of-bitmap that must stay
// unread.
const DecodeCase DecodeCases[] = {
    {"run from an odd column", 5, 1, "03 12 02 34 00 00 00 01 EE", "12 13 40 00"},
    {"absolute run from an odd column", 5, 1, "01 50 00 03 12 30 00 00 00 01 EE", "51 23 00 00"},
    {"absolute run of 5 with its pad", 5, 1, "00 05 12 34 50 00 00 00 00 01 EE", "12 34 50 00"},
    {"delta to an odd column", 8, 1, "00 02 03 00 01 70 00 01 EE", "00 07 00 00"},
    {"absolute run of 3: no pad", 8, 1, "00 03 12 30 01 70 00 01 EE", "12 37 00 00"},
    {"absolute run of 4: no pad", 8, 1, "00 04 12 34 02 70 00 01 EE", "12 34 70 00"},
    {"absolute run of 7: no pad", 8, 1, "00 07 12 34 56 70 01 80 00 01 EE", "12 34 56 78"},
    {"end of bitmap alone", 5, 2, "00 01 EE", "00 00 00 00 00 00 00 00"},
    {"run over the pad pixel", 5, 1, "06 AB 00 01 EE", "AB AB AB 00"},
    {"run one past it", 5, 1, "07 AB 00 01 EE", nullptr},
    {"run after a full row", 5, 1, "06 AB 01 CD 00 01 EE", nullptr},
    {"absolute run to the edge", 5, 1, "00 06 12 34 56 00 00 01 EE", "12 34 56 00"},
    {"absolute run one past it", 5, 1, "00 07 12 34 56 70 00 01 EE", nullptr},
    {"end-of-line after the last row", 5, 2, "01 10 00 00 01 20 00 00 00 01 EE", "10 00 00 00 20 00 00 00"},
    {"a second end-of-line past it", 5, 2, "00 00 00 00 00 00 00 01 EE", nullptr},
    {"run in the row past the last", 5, 2, "00 00 00 00 01 10 00 01 EE", nullptr},
    {"absolute run in the row past the last", 5, 1, "00 00 00 03 12 30 00 01 EE", nullptr},
    {"delta to the right edge", 5, 1, "00 02 06 00 00 01 EE", "00 00 00 00"},
    {"delta past it", 5, 1, "00 02 07 00 00 01 EE", nullptr},
    {"run at the edge after a delta", 5, 1, "00 02 06 00 01 10 00 01 EE", nullptr},
    {"delta to the row past the last", 5, 2, "00 02 01 02 00 01 EE", "00 00 00 00 00 00 00 00"},
    {"delta beyond it", 5, 2, "00 02 00 03 00 01 EE", nullptr},
    {"negative height: end of bitmap", 5, -1, "00 01 EE", "00 00 00 00"},
    {"negative height: run", 5, -1, "01 10 00 01 EE", nullptr},
    {"negative height: end-of-line", 5, -1, "00 00 00 01 EE", nullptr},
    {"negative height: delta", 5, -1, "00 02 00 00 00 01 EE", nullptr},
    {"negative height: absolute run", 5, -1, "00 03 12 30 00 01 EE", nullptr},
};

TEST(RLE4, DecoderBounds) {
    for (const DecodeCase& c : DecodeCases) {
        SCOPED_TRACE(c.name);
        const Bytes data = Hex(c.data);
        if (c.block == nullptr) {
            try {
                Decode4(data, c.width, c.height);
                ADD_FAILURE() << "no exception";
            } catch (const EInvalidGraphic& e) {
                EXPECT_STREQ(e.Message().c_str(), "Bad RLE Data");
            }
        } else {
            int64_t end = 0;
            EXPECT_EQ(ToHex(Decode4(data, c.width, c.height, &end)), c.block);
            EXPECT_EQ(end, static_cast<int64_t>(data.size()) - 1);
        }
    }
}

// The pixels stored before the stream ran out stay in the block.
TEST(RLE4, StreamEndingBeforeEndOfBitmapIsAReadError) {
    for (const char* data : {"", "00", "03 12 00", "00 02 01", "00 05 12 34", "00 05 12 34 50"}) {
        SCOPED_TRACE(data);
        EXPECT_THROW(Decode4(Hex(data), 8, 1), EReadError);
    }
    TVectorStream stream(Hex("00 07 12 34"));
    Bytes block(4);
    EXPECT_THROW(DecodeRLE4(block.data(), stream, Header(8, 1, 4)), EReadError);
    EXPECT_EQ(ToHex(block), "12 34 00 00");
}

}  // namespace
}  // namespace vdib::test
