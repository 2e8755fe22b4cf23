// Third-party BMP files (tests/data/corpus) through the conversion run: each converts into a
// picture that reads back the same, or fails as its INDEX.tsv row states. ImageMagick, another
// reader, must see every output as it sees the input, where it reads the input at all (not: more
// than 256 colours, bfOffBits inside the colour table, 64000 pixels in one dimension).
#include "Conversion.h"
#include "support/Process.h"

namespace vdib::test {
namespace {

TEST(Corpus, EachFileConvertsOrFailsAsItsRowStates) {
    const fs::path corpus = fs::path(TEST_DATA_DIR) / "corpus";
    const std::string convert = ExecutableSuffix.empty() ? "/usr/bin/convert" : "";  // not from Windows
    const auto asPam = [&](const fs::path& file) { return RunChild(convert, {file.string(), "pam:-"}, file.parent_path()).Out; };
    int compared = 0;
    for (const auto& row : ReadTable("corpus/INDEX.tsv", 13)) {  // path first, outcome last
        SCOPED_TRACE(row[0]);
        TempDir dir;
        const std::string raised = RaisedBy([&] { RunConversion((corpus / row[0]).string(), dir / "out.bmp"); });
        const std::string written = ReadWhole(dir.Path / "out.bmp");
        const char code = written.size() > 30 ? written[30] : 0;  // biCompression
        ASSERT_EQ(!raised.empty() ? raised : code == 1 ? "rle8" : code == 2 ? "rle4" : "code " + std::to_string(code), row[12]);
        if (!raised.empty()) {
            EXPECT_EQ(Entries(dir.Path), "");
            continue;
        }
        EXPECT_EQ(PictureDifference(*ReadPicture(ReadWhole(corpus / row[0])), *ReadPicture(written)), "");
        const std::string input = !convert.empty() && fs::exists(convert) ? asPam(corpus / row[0]) : "";
        if (input.empty()) continue;
        EXPECT_TRUE(asPam(dir.Path / "out.bmp") == input) << "ImageMagick sees other pixels";
        ++compared;
    }
    if (convert.empty() || !fs::exists(convert)) GTEST_SKIP() << "ImageMagick is not installed: the outputs were not read by another reader";
    EXPECT_GE(compared, 15);
}

}  // namespace
}  // namespace vdib::test
