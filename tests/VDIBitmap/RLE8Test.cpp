// RLE8: the format's worked byte sequences in both directions, every decoder bound at its limit
// and one past it, streams that end early, and short marker writes.
#include <gtest/gtest.h>

#include "TestSupport.h"

namespace vdib::test {
namespace {

Bytes Encode8(const Bytes& block, int32_t width, int32_t height) {
    TVectorStream stream;
    const BITMAPINFOHEADER header = Header(width, height, 8);
    EncodeRLE8(stream, block.data(), header);
    return stream.Data;
}

Bytes Reference8(const Bytes& block, int32_t width, int32_t height) {
    TVectorStream stream;
    ReferenceEncode(stream, block.data(), Header(width, height, 8), 255, 1);
    return stream.Data;
}

// Decodes into a fresh zero block; returns the block, and the stream position in *end.
Bytes Decode8(const Bytes& data, int32_t width, int32_t height, int64_t* end = nullptr) {
    TVectorStream stream(data);
    Bytes block(static_cast<std::size_t>(RowBytesFor(8, width)) * static_cast<std::size_t>(std::abs(height)));
    DecodeRLE8(block.data(), stream, Header(width, height, 8));
    if (end != nullptr) *end = stream.Position;
    return block;
}

struct GoldenCase {
    const char* name;
    int32_t width;
    std::vector<Bytes> rows;  // block order
    Bytes encoded;
};

std::vector<GoldenCase> GoldenCases() {
    return {
        {"run then single", 4, {Hex("05 05 05 07")}, Hex("03 05 01 07 00 00 00 01")},
        {"width 1", 1, {Hex("07")}, Hex("01 07 00 00 00 01")},
        {"two differing pixels", 2, {Hex("09 0A")}, Hex("01 09 01 0A 00 00 00 01")},
        {"alternating literal", 4, {Hex("01 02 01 02")}, Hex("00 04 01 02 01 02 00 00 00 01")},
        {"literal gives up its last", 3, {Hex("01 02 02")}, Hex("01 01 02 02 00 00 00 01")},
        {"short literal as runs of one", 4, {Hex("01 02 03 03")}, Hex("01 01 01 02 02 03 00 00 00 01")},
        {"odd literal padded", 5, {Hex("01 02 03 04 04")}, Hex("00 03 01 02 03 00 02 04 00 00 00 01")},
        {"run inside", 5, {Hex("01 02 02 02 03")}, Hex("01 01 03 02 01 03 00 00 00 01")},
        {"run longer than 255", 300, {Repeat(0x11, 300)}, Hex("FF 11 2D 11 00 00 00 01")},
        {"full literal", 256, {Iota(0, 256)}, Cat({Hex("00 FF"), Iota(0, 255), Hex("00 01 FF 00 00 00 01")})},
        {"two rows", 2, {Hex("05 05"), Hex("06 07")}, Hex("02 05 00 00 01 06 01 07 00 00 00 01")},
        {"height 0", 4, {}, Hex("00 01")},
        {"width 0: end-of-line alone", 0, {{}, {}}, Hex("00 00 00 00 00 01")},
    };
}

TEST(RLE8, WorkedExamplesEncodeAndDecodeExactly) {
    for (const GoldenCase& c : GoldenCases()) {
        SCOPED_TRACE(c.name);
        const int32_t height = static_cast<int32_t>(c.rows.size());
        const Bytes block = Block(c.width, height, 8, c.rows);
        EXPECT_EQ(ToHex(Encode8(block, c.width, height)), ToHex(c.encoded));
        EXPECT_EQ(ToHex(Reference8(block, c.width, height)), ToHex(c.encoded));
        if (c.width > 0) {
            int64_t end = 0;
            EXPECT_EQ(Decode8(c.encoded, c.width, height, &end), block);
            EXPECT_EQ(end, static_cast<int64_t>(c.encoded.size()));
        }
    }
}

// Bottom-up images only; the encoder takes the absolute height all the same.
TEST(RLE8, EncoderTakesTheAbsoluteHeight) {
    const Bytes block = Block(2, 2, 8, {Hex("05 05"), Hex("06 07")});
    EXPECT_EQ(ToHex(Encode8(block, 2, -2)), "02 05 00 00 01 06 01 07 00 00 00 01");
}

struct DecodeCase {
    const char* name;
    int32_t width;
    int32_t height;
    const char* data;
    const char* block;  // expected block, or null when decoding fails with "Bad RLE Data"
};

// Width 4 gives RowBytes 4. Each case ends with a byte after end-of-bitmap that must stay unread.
const DecodeCase DecodeCases[] = {
    {"end of bitmap alone", 4, 2, "00 01 EE", "00 00 00 00 00 00 00 00"},
    {"run to the right edge", 4, 1, "04 AA 00 01 EE", "AA AA AA AA"},
    {"run one past the edge", 4, 1, "05 AA 00 01 EE", nullptr},
    {"run after a full row", 4, 1, "04 AA 01 BB 00 01 EE", nullptr},
    {"end-of-line after the last row", 4, 2, "01 01 00 00 01 02 00 00 00 01 EE", "01 00 00 00 02 00 00 00"},
    {"a second end-of-line past it", 4, 2, "00 00 00 00 00 00 00 01 EE", nullptr},
    {"run in the row past the last", 4, 2, "00 00 00 00 01 AA 00 01 EE", nullptr},
    {"delta skips pixels", 4, 2, "00 02 02 01 01 0C 00 01 EE", "00 00 00 00 00 00 0C 00"},
    {"delta to the right edge", 4, 1, "00 02 04 00 00 01 EE", "00 00 00 00"},
    {"delta past the right edge", 4, 1, "00 02 05 00 00 01 EE", nullptr},
    {"run at the right edge after a delta", 4, 1, "00 02 04 00 01 AA 00 01 EE", nullptr},
    {"delta to the row past the last", 4, 2, "00 02 00 02 00 01 EE", "00 00 00 00 00 00 00 00"},
    {"delta beyond it", 4, 2, "00 02 00 03 00 01 EE", nullptr},
    {"odd absolute run skips its pad", 4, 1, "00 03 0A 0B 0C 00 01 0D 00 01 EE", "0A 0B 0C 0D"},
    {"even absolute run has no pad", 4, 1, "00 04 0A 0B 0C 0D 00 01 EE", "0A 0B 0C 0D"},
    {"absolute run one past the edge", 4, 1, "00 05 0A 0B 0C 0D 0E 00 00 01 EE", nullptr},
    {"absolute run after a run", 4, 1, "02 01 00 03 0A 0B 0C 00 00 01 EE", nullptr},
    {"absolute run in the row past the last", 4, 1, "00 00 00 03 0A 0B 0C 00 00 01 EE", nullptr},
    {"negative height: end of bitmap", 4, -2, "00 01 EE", "00 00 00 00 00 00 00 00"},
    {"negative height: run", 4, -2, "01 AA 00 01 EE", nullptr},
    {"negative height: end-of-line", 4, -2, "00 00 00 01 EE", nullptr},
    {"negative height: delta", 4, -2, "00 02 00 00 00 01 EE", nullptr},
    {"negative height: absolute run", 4, -2, "00 03 0A 0B 0C 00 00 01 EE", nullptr},
};

TEST(RLE8, DecoderBounds) {
    for (const DecodeCase& c : DecodeCases) {
        SCOPED_TRACE(c.name);
        const Bytes data = Hex(c.data);
        if (c.block == nullptr) {
            try {
                Decode8(data, c.width, c.height);
                ADD_FAILURE() << "no exception";
            } catch (const EInvalidGraphic& e) {
                EXPECT_STREQ(e.Message().c_str(), "Bad RLE Data");
            }
        } else {
            int64_t end = 0;
            EXPECT_EQ(ToHex(Decode8(data, c.width, c.height, &end)), c.block);
            EXPECT_EQ(end, static_cast<int64_t>(data.size()) - 1);
        }
    }
}

TEST(RLE8, StreamEndingBeforeEndOfBitmapIsAReadError) {
    for (const char* data : {"", "03", "03 05", "00 02 01", "00 04 0A 0B", "00 03 0A 0B 0C 00"}) {
        SCOPED_TRACE(data);
        EXPECT_THROW(Decode8(Hex(data), 4, 2), EReadError);
    }
}

// Runs and absolute runs use the plain write and ignore a short count; the next marker's exact
// write reports the stream that stopped taking bytes.
TEST(RLE8, MarkerWriteReportsAStreamThatStoppedTakingBytes) {
    const Bytes block = Block(4, 2, 8, {Hex("05 05 05 07"), Hex("01 02 03 04")});
    const Bytes full = Encode8(block, 4, 2);
    for (int64_t limit : {0, 2, 4, 5, 6, 9, 15, static_cast<int>(full.size()) - 1}) {
        SCOPED_TRACE(limit);
        TVectorStream stream;
        stream.WriteLimit = limit;
        EXPECT_THROW(EncodeRLE8(stream, block.data(), Header(4, 2, 8)), EWriteError);
        EXPECT_EQ(stream.Data, Bytes(full.begin(), full.begin() + limit));
    }
}

}  // namespace
}  // namespace vdib::test
