// The BMP writer: what it writes for each kind of picture, and streams that refuse bytes or seeks.
#include <VDIBitmap/RLE.h>
#include "support/BmpBytes.h"

namespace vdib::test {
namespace {

using ImagePtr = std::unique_ptr<TDIBitmapImage>;

// A picture of a run and a literal in every row, with `colours` colours; the row padding stays 0.
ImagePtr Picture(const TDIBFormat& format, int32_t width, int32_t height, uint32_t colours) {
    std::vector<std::string> rows(static_cast<std::size_t>(height), std::string(width, '1'));
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = width / 2; x < width; ++x) rows[y][x] = static_cast<char>('0' + (x * 7 + y) % 8);
    ImagePtr image(MakeImage(format, rows));
    image->Info().biClrUsed = colours;
    for (uint32_t i = 0; i < colours; ++i) image->ColorTable()[i] = RGBQUAD{uint8_t(i), uint8_t(i ^ 0x55), uint8_t(255 - i), 0};
    return image;
}

// Each picture of writer.tsv: the file's headers (sizes back-patched after RLE data), the RLE
// bytes themselves, the same bytes in order where the stream cannot go back, the image untouched;
// read back from the file and from the packed form, the picture writes the same bytes again.
TEST(BMPWriter, LayoutsAndRoundTrips) {
    for (const auto& row : ReadTable("writer.tsv", 7)) {  // case, format, width, height, colours, offBits, code
        SCOPED_TRACE(row[0]);
        const TDIBFormat format = FormatOf(row[1]);
        const int32_t width = std::stoi(row[2]), height = std::stoi(row[3]);
        const auto colours = static_cast<uint32_t>(std::stoul(row[4])), offBits = static_cast<uint32_t>(std::stoul(row[5]));
        ImagePtr image = Picture(format, width, height, colours);
        image->Info().biXPelsPerMeter = 3780;
        const BITMAPINFOHEADER before = image->Info();
        const Bytes file = Written(*image, true);
        const auto size = static_cast<uint32_t>(file.size());
        EXPECT_EQ((std::vector{Get32(file, 0) & 0xFFFF, Get32(file, 2), Get32(file, 10), Get32(file, 22), Get32(file, 30), Get32(file, 34), Get32(file, 46)}),
                  (std::vector{0x4D42u, size, offBits, uint32_t(format.TopDown ? -height : height), uint32_t(std::stoul(row[6])), size - offBits, colours}));
        EXPECT_EQ(std::memcmp(file.data() + 54, &image->ColorTable(), offBits - 54), 0);
        EXPECT_EQ(ToHex(Written(*image, false)), ToHex(Bytes(file.begin() + 14, file.end())));  // packed: no file header
        if (format.Compressed) {
            TTestStream rle, pipe;
            (format.BitCount == 8 ? EncodeRLE8 : EncodeRLE4)(rle, image->Bits, image->Info());
            EXPECT_EQ(Bytes(file.begin() + offBits, file.end()), rle.Data());
            pipe.Seeks = TTestStream::None;
            image->WriteToStream(pipe, true);
            EXPECT_EQ(pipe.Data(), file);
        }
        EXPECT_EQ(std::memcmp(&before, &image->Info(), sizeof before), 0) << "writing changed the image";
        for (const bool withFileHeader : {true, false}) {
            if (width == 0) break;  // an empty picture is not read
            TTestStream stream(withFileHeader ? file : Written(*image, false));
            ImagePtr back(TDIBitmapImage::CreateFromStream(stream, withFileHeader));
            EXPECT_EQ(stream.Position(), stream.BlockSize());
            // Without colours a full table is written, since a reader takes 0 to mean 2^bits.
            EXPECT_EQ(back->Info().biClrUsed, colours == 0 && format.BitCount <= 8 ? 1u << format.BitCount : colours);
            back->Info().biClrUsed = colours;
            EXPECT_EQ(ToHex(Written(*back, withFileHeader)), ToHex(stream.Data()));
        }
    }
}

// A stream that takes no more bytes raises the write error, and so does one that cannot go back to
// patch the headers: nothing more is written after the RLE data. The picture's RLE data is several
// bands of rows; the last room ends inside the second.
TEST(BMPWriter, AStreamThatRefusesBytesRaisesWriteError) {
    const std::string WriteFailed = "EWriteError: ストリームへの書き込みエラー";
    ImagePtr image = Picture({8}, 640, 640, 256);
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
    ImagePtr image = Picture(FormatOf("8 compressed"), 9, 3, 256);
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
