// RLE8 and RLE4: the sequences of tests/data/rle.tsv, the fast row encoders (the plain one with
// this target's comparison of neighbours and with the portable one, the wide one) against the
// per-unit state machine on random rows and the corpus, the same bytes from any number of
// encoding threads, and the decoders' read-ahead.
#include <VDIBitmap/RLE.h>
#include "RLEEncoder.h"
#include "support/BmpBytes.h"

namespace vdib::test {
namespace {

Bytes Encode(uint16_t bits, const Bytes& block, int32_t width, int32_t height) {
    TTestStream stream;
    (bits == 8 ? EncodeRLE8 : EncodeRLE4)(stream, block.data(), Header(width, height, bits));
    return stream.Data();
}

// Every row encoder that this processor runs, named for the messages (Encode takes one of them):
// the plain one with the comparison of targets without SSE2 and with this target's, and the wide
// one where the processor has it.
struct TRowEncoders {
    const char* Name;
    rle::TRowEncoder Eight;
    rle::TRowEncoder Four;
};
std::vector<TRowEncoders> RowEncoders() {
    std::vector<TRowEncoders> encoders{
        {"the portable comparison", &rle::EncodeRow<255, 1, rle::DifferencesAtPortable>, &rle::EncodeRow<127, 2, rle::DifferencesAtPortable>},
        {"the plain row encoder", &rle::EncodeRow<255, 1>, &rle::EncodeRow<127, 2>}};
#if VDIB_RLE_WIDE
    if (rle::HasWideEncoder()) encoders.push_back({"the wide row encoder", &rle::EncodeRowWide<255, 1>, &rle::EncodeRowWide<127, 2>});
#endif
    return encoders;
}

Bytes EncodeWith(const TRowEncoders& encoders, uint16_t bits, const Bytes& block, int32_t width, int32_t height) {
    TTestStream stream;
    const TDIBGeometry geometry = CheckedGeometry(bits, width, height);
    rle::EncodeBands(stream, block.data(), geometry.RowBytes, geometry.Rows, (width * bits + 7) / 8,
                     bits == 8 ? encoders.Eight : encoders.Four);
    return stream.Data();
}

// What decoding `data` from position `from` raised ("" for nothing), where the stream stopped,
// and the block; the stream hands out at most `maxRead` bytes a read (-1: any number).
std::tuple<std::string, int32_t, Bytes> Decode(const BITMAPINFOHEADER& header, const Bytes& data, int32_t from = 0, int32_t maxRead = -1) {
    Bytes block(CheckedGeometry(header.biBitCount, header.biWidth, header.biHeight).ImageBytes);
    TTestStream stream(data);
    stream.MaxRead = maxRead;
    stream.Seek(from, soBeginning);
    const std::string raised = RaisedBy([&] { (header.biBitCount == 8 ? DecodeRLE8 : DecodeRLE4)(block.data(), stream, header); });
    return {raised, stream.Position(), block};
}

// The encoding rules written plainly, unit by unit (a pixel in RLE8, a byte in RLE4), as the
// reference for the fast encoders. Equal neighbours make a run; other units a literal, which gives
// up its last unit to a run that follows; a literal of one or two units is written as runs of one,
// a longer one as an absolute run padded to even length. No command holds more than `maxUnits`.
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

// `count` bytes in runs of 1 to `maxRun`, each of one of `values` values (256: any byte).
void FillRuns(uint8_t* bytes, std::size_t count, unsigned values, unsigned maxRun, std::mt19937& random) {
    for (std::size_t i = 0; i < count;) {
        const auto value = static_cast<uint8_t>(values == 256 ? random() : 0x11 * (random() % values));
        for (unsigned n = 1 + random() % maxRun; n > 0 && i < count; --n) bytes[i++] = value;
    }
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
        const auto [raised, end, block] = Decode(Header(width, height, bits), followed);
        EXPECT_EQ(decodes ? ToHex(block) : raised, decodes ? ToHex(Hex(row[5])) : row[5]);
        EXPECT_TRUE(!decodes || end == static_cast<int32_t>(data.size())) << "stopped at " << end;
        if (row[6] != "yes") continue;
        EXPECT_EQ(ToHex(Encode(bits, Hex(row[5]), width, height)), ToHex(data));
        for (const TRowEncoders& encoders : RowEncoders())
            EXPECT_EQ(ToHex(EncodeWith(encoders, bits, Hex(row[5]), width, height)), ToHex(data)) << encoders.Name;
        EXPECT_EQ(ToHex(ReferenceEncode(Hex(row[5]), width, height, bits)), ToHex(data));
    }
}

// Random rows: few values in runs of every length, few or many values in runs of one to six (the
// busy pictures' mix of short runs and literals), or many values in literals past both limits;
// the row padding is filled too, and must not be encoded. Every row encoder must write what the
// reference writes, and that must decode back to the row, an odd RLE4 row's pad pixel included.
// Whole conversions take the wide row encoder where the processor runs it, unless the build asks
// for the plain one (VDIB_WIDE_ENCODER=OFF). A processor without it skips this test by name, and
// the tests here then check the plain encoder alone.
TEST(RLE, ConversionsTakeTheWideEncoderWhereTheProcessorHasIt) {
#if VDIB_RLE_WIDE
    if (!rle::HasWideEncoder()) GTEST_SKIP() << "this processor has no AVX-512 VBMI2: the wide row encoder is not tested";
#ifdef VDIB_RLE_PLAIN
    const rle::TRowEncoder taken[] = {&rle::EncodeRow<255, 1>, &rle::EncodeRow<127, 2>};
#else
    const rle::TRowEncoder taken[] = {&rle::EncodeRowWide<255, 1>, &rle::EncodeRowWide<127, 2>};
#endif
    EXPECT_EQ((rle::RowEncoder<255, 1>()), taken[0]);
    EXPECT_EQ((rle::RowEncoder<127, 2>()), taken[1]);
#else
    GTEST_SKIP() << "no wide row encoder in this build (x86-64 only)";
#endif
}

TEST(RLE, FastEncodersMatchTheReferenceAndRoundTrip) {
    std::mt19937 random(2024);
    for (const uint16_t bits : {8, 4}) {
        for (int trial = 0; trial < 1003; ++trial) {  // the last three tall enough for several bands of rows
            const bool tall = trial >= 1000;
            const auto width = static_cast<int32_t>(tall ? 1000 + random() % 1000 : random() % (trial < 800 ? 301 : 2000));
            const auto height = static_cast<int32_t>(tall ? 600 + random() % 200 : 1 + random() % 3);
            const unsigned values = trial % 4 >= 2 ? 256 : 1 + random() % 4;
            const unsigned maxRun = std::array{300u, 6u, 1u, 6u}[trial % 4];
            Bytes block(CheckedGeometry(bits, width, height).ImageBytes);
            FillRuns(block.data(), block.size(), values, maxRun, random);
            SCOPED_TRACE(testing::Message() << "RLE" << bits << ", trial " << trial << ", width " << width);
            const Bytes encoded = Encode(bits, block, width, height), reference = ReferenceEncode(block, width, height, bits);
            ASSERT_TRUE(encoded == reference) << ToHex(encoded) << "\nnot the reference\n" << ToHex(reference);
            for (const TRowEncoders& encoders : RowEncoders())
                ASSERT_TRUE(EncodeWith(encoders, bits, block, width, height) == reference) << encoders.Name;
            const auto rowBytes = static_cast<std::size_t>(CheckedGeometry(bits, width, 1).RowBytes);
            for (std::size_t at = 0; at < block.size(); ++at)  // the row padding decodes to 0
                if (at % rowBytes >= static_cast<std::size_t>(width * bits + 7) / 8) block[at] = 0;
            ASSERT_EQ(Decode(Header(width, height, bits), encoded), std::tuple(std::string(), static_cast<int32_t>(encoded.size()), block));
        }
    }
}

// The picture `bits` deep, `width` x `height`, in stripes of 97 rows: noise, random runs of 1 to
// 300 bytes, and zeros, so that bands of rows encode to very different lengths.
std::unique_ptr<TDIBitmapImage> StripedPicture(int32_t bits, int32_t width, int32_t height, std::mt19937& random) {
    std::unique_ptr<TDIBitmapImage> image(TDIBitmapImage::CreateBlank({bits}, width, height));
    image->Info().biClrUsed = 1u << bits;
    for (int32_t y = 0; y < height; ++y)
        FillRuns(image->PictureRow(y), static_cast<std::size_t>((bits * width + 7) / 8), y / 97 % 3 == 2 ? 1 : 256, y / 97 % 3 == 1 ? 300 : 1, random);
    return image;
}

// The encoders split the rows into bands and may encode them on several threads; the bytes must
// not depend on how many. Every corpus file that converts, and large pictures of many bands, at
// 4 and 8 bits, one of them a single pixel wide, written compressed with 1, 2, 3 and 8 threads,
// each count this thread's own over the process's 5 (which a nested 0 brings back, as does its end).
TEST(RLE, AnyNumberOfEncodingThreadsWritesTheSameBytes) {
    struct TRestore { ~TRestore() { SetEncoderThreadCount(0); } } restore;
    SetEncoderThreadCount(5);
    std::vector<std::pair<std::string, std::unique_ptr<TDIBitmapImage>>> pictures;
    for (const auto& row : ReadTable("corpus/INDEX.tsv", 13))  // path first, outcome last
        if (row[12] == "rle8" || row[12] == "rle4")
            pictures.emplace_back(row[0], ReadPicture(ReadWhole(fs::path(TEST_DATA_DIR) / "corpus" / row[0])));
    std::mt19937 random(99);
    for (const auto& [bits, width, height] : {std::tuple{8, 3000, 2000}, {4, 3000, 2000}, {8, 1, 2000000}, {4, 1, 2000000}})
        pictures.emplace_back(Format("%d bits, %d x %d", bits, width, height), StripedPicture(bits, width, height, random));
    for (const auto& [name, picture] : pictures) {
        SCOPED_TRACE(name);
        std::string first;
        for (const unsigned threads : {1u, 2u, 3u, 8u}) {
            const TEncoderThreads own(threads);
            ASSERT_EQ(EncoderThreadCount(), threads);
            { const TEncoderThreads process(0); ASSERT_EQ(EncoderThreadCount(), 5u); }
            TMemoryStream stream;
            picture->WriteToStream(stream, true, true);
            const std::string bytes(static_cast<const char*>(stream.BlockAddress()), static_cast<std::size_t>(stream.BlockSize()));
            if (threads == 1) {
                first = bytes;
                EXPECT_EQ(PictureDifference(*picture, *ReadPicture(bytes)), "");
                const Bytes block(picture->StoredRow(0), picture->StoredRow(0) + std::size_t(picture->RowBytes) * picture->Height);
                const Bytes data(bytes.begin() + Get32(Bytes(bytes.begin(), bytes.begin() + 14), 10), bytes.end());
                EXPECT_TRUE(data == ReferenceEncode(block, picture->Width, picture->Height, picture->Info().biBitCount)) << "not the reference";
            }
            EXPECT_TRUE(bytes == first) << threads << " threads: " << bytes.size() << " bytes, not " << first.size();
        }
        ASSERT_EQ(EncoderThreadCount(), 5u);
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

// The decoders read ahead in blocks; they must still behave as if every byte came from an exact
// read of its own, as they do from a stream that hands out one byte a read (a skip past the bytes
// read is then a seek): same pixels, same exception and message, same stream position, on intact,
// cut and corrupted streams long enough to cross a read-ahead block.
TEST(RLE, ReadAheadGivesTheOutcomeOfExactReads) {
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
            EXPECT_TRUE(Decode(header, data, 1) == Decode(header, data, 1, 1)) << bits << " bits, variant " << variant;
        }
    }
}

}  // namespace
}  // namespace vdib::test
