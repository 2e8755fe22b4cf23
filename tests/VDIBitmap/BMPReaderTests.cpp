// The BMP reader: what it makes of each file of tests/data/reader.tsv, its refusal or the picture
// it returns and how many bytes it left unread.
#include "support/BmpBytes.h"

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

}  // namespace
}  // namespace vdib::test
