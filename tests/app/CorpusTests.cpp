// Third-party BMP files (tests/data/corpus, see tests/data/SOURCES.md) through the conversion
// run: each either converts (outcome rle8 or rle4) into a picture that reads back the same, or
// fails with the class and message its INDEX.tsv row states. Any crash takes the test program
// down with it. ImageMagick, an independent reader, must see every output as the picture it
// sees in the input; inputs it refuses are not compared (colour counts above 256, where this
// reader keeps 256 and finds the pixels at bfOffBits; bfOffBits inside the colour table; 64000
// pixels in one dimension, its policy's limit). Files it reads with a complaint still yield a
// picture, and that is compared.
#include <gtest/gtest.h>

#include "Conversion.h"
#include "support/Pictures.h"
#include "support/Process.h"

namespace vdib::test {
namespace {

TEST(Corpus, EachFileConvertsOrFailsAsItsRowStates) {
    const fs::path corpus = fs::path(TEST_DATA_DIR) / "corpus", convert = "/usr/bin/convert";
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
        const std::string input = fs::exists(convert) ? asPam(corpus / row[0]) : "";
        if (input.empty()) continue;
        EXPECT_TRUE(asPam(dir.Path / "out.bmp") == input) << "ImageMagick sees other pixels";
        ++compared;
    }
    if (!fs::exists(convert)) GTEST_SKIP() << "ImageMagick is not installed: the outputs were not read by another reader";
    EXPECT_GE(compared, 15);
}

}  // namespace
}  // namespace vdib::test
