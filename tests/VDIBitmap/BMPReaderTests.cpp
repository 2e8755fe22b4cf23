// The BMP reader: what it makes of each file of tests/data/reader.tsv, its refusal or the picture
// it returns and how many bytes it left unread.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>

#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/DIBitmap.h>
#include "support/BmpBytes.h"
#include "support/Files.h"

namespace vdib::test {
namespace {

// A refusal comes with the bytes left unread when `where` asks for them.
std::string Read(const std::string& changes, const std::string& mode, bool where) {
    const std::size_t plus = mode.find('+'), lead = plus == std::string::npos ? 0 : std::stoul(mode.substr(plus + 1));
    Bytes bytes(lead, 0x55);
    const Bytes file = BmpFile(changes);
    bytes.insert(bytes.end(), file.begin(), file.end());
    TTestStream stream(bytes);
    stream.Seek(static_cast<int32_t>(lead), soBeginning);
    if (mode == "pipe") stream.Seeks = TTestStream::None;
    std::unique_ptr<TDIBitmapImage> image;
    const std::string raised = RaisedBy([&] { image.reset(TDIBitmapImage::CreateFromStream(stream, !mode.starts_with("packed"))); });
    const int left = static_cast<int>(bytes.size()) - stream.Position();
    if (!raised.empty()) return where ? raised + Format(", %d bytes left", left) : raised;
    const TDIBitmapImage& i = *image;
    const TDIBFormat& f = i.Format;
    return Format("%dx%d, %d bits%s%s, code %u, masks %X %X %X, %u colours from ", i.Width, i.Height, f.BitCount,
                  f.TopDown ? " top-down" : "", f.Compressed ? " compressed" : "", i.Info().biCompression, f.RedMask,
                  f.GreenMask, f.BlueMask, i.ColorCount()) +
           ToHex(reinterpret_cast<const uint8_t*>(i.ColorTable()), 12) + Format(", first row at %02X, step %d, pixels ", i.FirstRow[0], i.RowStep) +
           ToHex(i.Bits, i.Info().biSizeImage) + Format(", %d bytes left", left);
}

TEST(BMPReader, EachRowOfTheTable) {
    for (const auto& row : ReadTable("reader.tsv", 4)) {  // case, file, read as, outcome
        EXPECT_EQ(Read(row[1], row[2], row[3].ends_with(" bytes left")), row[3]) << row[0];
    }
}

// Where file views are allowed, a large picture's pixels are a view of its file. Cut short under
// the picture, the file can no longer give the rows past its new end: they read as zero bytes, no
// bus error ends the process (the encoder's threads meet them too), and writing the picture
// raises the reader's EReadError, plainly or encoded. Written over in place, the file could give
// rows not read yet from its new contents: the same error. A copy of such pixels is no better.
TEST(BMPReader, AFileChangedUnderItsPictureGivesAReadErrorNotABusError) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows reads the file: a file with a view could not be replaced";
#endif
    TempDir dir;
    const Bytes file = BmpFile("width=1024 height=1100");
    for (const bool cut : {true, false}) {
        SCOPED_TRACE(cut ? "cut short" : "written over");
        WriteWhole(dir / "in.bmp", std::string(file.begin(), file.end()));
        TDIBitmap picture;
        AllowFileViews(true);
        picture.LoadFile(dir / "in.bmp");
        AllowFileViews(false);
        const TDIBitmapImage& image = picture.ImageRef();
        ASSERT_TRUE(image.BitsIntact());
        EXPECT_EQ(image.Bits[image.Info().biSizeImage - 1], file.back());
        if (cut) {
            fs::resize_file(dir / "in.bmp", file.size() / 2);
        } else {
            std::fstream(dir / "in.bmp", std::ios::binary | std::ios::in | std::ios::out).seekp(-1, std::ios::end).put('\x5A');
            // As a write a clock tick later would stamp it, on any file system.
            fs::last_write_time(dir / "in.bmp", fs::last_write_time(dir / "in.bmp") + std::chrono::milliseconds(1500));
        }
        TDIBitmap copy;  // shares the picture until a change makes it copy the pixels
        copy.TakeContentFrom(&picture);
        copy.SetCompressed(true);
        ASSERT_NE(&copy.ImageRef(), &image);
        for (const TDIBitmapImage* written : {&image, &copy.ImageRef()})
            for (const bool compressed : {false, true}) {
                TFileStream out(dir / "out.bmp", ModeCreate);
                EXPECT_EQ(RaisedBy([&] { written->WriteToStream(out, true, compressed); }), "EReadError: ストリームからの読み込みエラー");
            }
    }
}

}  // namespace
}  // namespace vdib::test
