// The BMP writer: what it writes for each kind of picture, and streams that refuse bytes or seeks.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/RLE.h>
#include <VDIBitmap/Streams.h>
#include "support/BmpBytes.h"
#include "support/Files.h"
#include "support/Pictures.h"

namespace vdib::test {
namespace {

using ImagePtr = std::unique_ptr<TDIBitmapImage>;

// A picture of a run and a literal in every row, with `colours` colours; the row padding stays 0.
ImagePtr Picture(int32_t bits, int32_t width, int32_t height, bool topDown, uint32_t colours) {
    std::vector<std::string> rows(static_cast<std::size_t>(height), std::string(width, '1'));
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = width / 2; x < width; ++x) rows[y][x] = static_cast<char>('0' + (x * 7 + y) % 8);
    const uint32_t red = bits == 16 ? 0x7C00 : bits == 32 ? 0xFF0000 : 0, shift = bits == 16 ? 5 : 8;
    ImagePtr image(MakeImage({bits, red, red >> shift, red >> 2 * shift, topDown}, rows));
    image->Info().biClrUsed = colours;
    for (uint32_t i = 0; i < colours; ++i) image->ColorTable()[i] = RGBQUAD{uint8_t(i), uint8_t(i ^ 0x55), uint8_t(255 - i), 0};
    return image;
}

// Each kind of image: the file's headers (sizes back-patched after RLE data), the RLE bytes
// themselves, the same bytes in order where the stream cannot go back, the image untouched; read
// back from the file and from the packed form, the picture writes the same bytes again.
TEST(BMPWriter, LayoutsAndRoundTrips) {
    const struct {
        const char* name;
        int32_t bits, width, height;
        bool topDown, compressed;
        uint32_t colours, offBits, code;
    } cases[] = {
        {"RLE8", 8, 9, 3, false, true, 256, 1078, 1},
        {"RLE8 over 255 pixels", 8, 300, 2, false, true, 200, 854, 1},
        {"RLE4", 4, 7, 2, false, true, 16, 118, 2},
        {"RLE4 of one pixel", 4, 1, 1, false, true, 3, 66, 2},
        {"1 bit", 1, 13, 3, false, false, 2, 62, 0},
        {"4 bits", 4, 7, 4, false, false, 16, 118, 0},
        {"24 bits", 24, 3, 2, false, false, 0, 54, 0},
        {"bit fields: the masks follow the header", 16, 3, 1, false, false, 0, 66, 3},
        {"32 bits top-down", 32, 3, 3, true, false, 0, 66, 3},
        {"8 bits top-down", 8, 4, 2, true, false, 2, 62, 0},
        {"no colours: a full table of 256", 8, 5, 3, false, false, 0, 1078, 0},
        {"empty: headers alone", 24, 0, 0, false, false, 0, 54, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ImagePtr image = Picture(c.bits, c.width, c.height, c.topDown, c.colours);
        image->Format.Compressed = c.compressed;
        image->Info().biXPelsPerMeter = 3780;
        const BITMAPINFOHEADER before = image->Info();
        const Bytes file = Written(*image, true);
        const auto size = static_cast<uint32_t>(file.size()), height = static_cast<uint32_t>(c.topDown ? -c.height : c.height);
        EXPECT_EQ((std::vector{Get32(file, 0) & 0xFFFF, Get32(file, 2), Get32(file, 10), Get32(file, 22), Get32(file, 30), Get32(file, 34), Get32(file, 46)}),
                  (std::vector{0x4D42u, size, c.offBits, height, c.code, size - c.offBits, c.colours}));
        EXPECT_EQ(std::memcmp(file.data() + 54, &image->ColorTable(), c.offBits - 54), 0);
        EXPECT_EQ(ToHex(Written(*image, false)), ToHex(Bytes(file.begin() + 14, file.end())));  // packed: no file header
        if (c.compressed) {
            TTestStream rle, pipe;
            (c.bits == 8 ? EncodeRLE8 : EncodeRLE4)(rle, image->Bits, image->Info());
            EXPECT_EQ(Bytes(file.begin() + c.offBits, file.end()), rle.Data());
            pipe.Seeks = TTestStream::None;
            image->WriteToStream(pipe, true);
            EXPECT_EQ(pipe.Data(), file);
        }
        EXPECT_EQ(std::memcmp(&before, &image->Info(), sizeof before), 0) << "writing changed the image";
        for (const bool withFileHeader : {true, false}) {
            if (c.width == 0) break;  // an empty picture is not read
            TTestStream stream(withFileHeader ? file : Written(*image, false));
            ImagePtr back(TDIBitmapImage::CreateFromStream(stream, withFileHeader));
            EXPECT_EQ(stream.Position(), stream.BlockSize());
            // Without colours a full table is written, since a reader takes 0 to mean 2^bits.
            EXPECT_EQ(back->Info().biClrUsed, c.colours == 0 && c.bits <= 8 ? 1u << c.bits : c.colours);
            back->Info().biClrUsed = c.colours;
            EXPECT_EQ(ToHex(Written(*back, withFileHeader)), ToHex(stream.Data()));
        }
    }
}

// A stream that takes no more bytes raises the write error, and so does one that cannot go back to
// patch the headers: nothing more is written after the RLE data. The picture's RLE data is several
// bands of rows; the last room ends inside the second.
TEST(BMPWriter, AStreamThatRefusesBytesRaisesWriteError) {
    const std::string WriteFailed = "EWriteError: ストリームへの書き込みエラー";
    ImagePtr image = Picture(8, 640, 640, false, 256);
    for (const bool compressed : {false, true})
        for (const int32_t room : {0, 10, 14 + 40 + 1024, 2000, 150000}) {
            SCOPED_TRACE(testing::Message() << room << (compressed ? " compressed" : ""));
            image->Format.Compressed = compressed;
            TTestStream stream({}, room);
            EXPECT_EQ(RaisedBy([&] { image->WriteToStream(stream, true); }), WriteFailed);
        }
    TTestStream stream, rle;  // the image compressed, as the loop left it
    stream.Seeks = TTestStream::TellOnly;
    EncodeRLE8(rle, image->Bits, image->Info());
    EXPECT_EQ(RaisedBy([&] { image->WriteToStream(stream, true); }), WriteFailed);
    EXPECT_EQ(stream.BlockSize(), 14 + 40 + 1024 + rle.BlockSize());
}

// A file written past 4 GiB into a stream (a sparse file here) has its headers patched where it
// stands, and the stream is left at its end.
TEST(BMPWriter, AFileFarIntoAStreamIsPatchedWhereItStands) {
    ImagePtr image = Picture(8, 9, 3, false, 256);
    image->Format.Compressed = true;
    const Bytes expected = Written(*image, true);
    const int64_t start = (int64_t{1} << 32) + 100;
    TempDir dir;
    TFileStream stream(dir / "far", ModeCreate);
    stream.Seek64(start, soBeginning);
    image->WriteToStream(stream, true);
    EXPECT_EQ(stream.StreamPosition(), start + static_cast<int64_t>(expected.size()));
    Bytes back(expected.size() + 100);
    stream.Seek64(start - 100, soBeginning);
    stream.ReadExact(back.data(), static_cast<int32_t>(back.size()));
    EXPECT_EQ(ToHex(Bytes(back.begin(), back.begin() + 100)), ToHex(Bytes(100)));
    EXPECT_EQ(ToHex(Bytes(back.begin() + 100, back.end())), ToHex(expected));
}

}  // namespace
}  // namespace vdib::test
