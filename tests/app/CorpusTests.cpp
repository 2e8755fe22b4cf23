// Third-party BMP files (tests/data/corpus, see tests/data/SOURCES.md) through the conversion
// run: each either converts into a picture that reads back the same, or fails with the class and
// message its INDEX.tsv row states. Any crash takes the test program down with it.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Conversion.h"
#include "Pictures.h"
#include "support/ChildProcess.h"

namespace vdib::test {
namespace {

const std::filesystem::path CorpusDir = std::filesystem::path(TEST_DATA_DIR) / "corpus";

struct TCorpusRow {
    std::string Path;
    std::string Convert;  // rle8, rle4, refuse-bitcount, refuse-topdown, or "-" when it fails to read
    std::string Note;
};

std::vector<TCorpusRow> ReadIndex() {
    std::istringstream lines(ReadWhole(CorpusDir / "INDEX.tsv"));
    std::vector<TCorpusRow> rows;
    std::string line;
    for (std::getline(lines, line); std::getline(lines, line);) {  // path first, convert and note last
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        rows.push_back({fields.front(), fields.at(fields.size() - 2), fields.back()});
    }
    return rows;
}

// "" for a conversion, else "<class>: <message>".
std::string ExpectedOutcome(const TCorpusRow& row) {
    const std::string bitCount = "EInvalidOperation: 4, 8 ビットカラー以外は圧縮できない";
    if (row.Convert == "rle8" || row.Convert == "rle4") return "";
    if (row.Convert == "refuse-bitcount") return bitCount;
    if (row.Convert == "refuse-topdown") return "EInvalidOperation: Top-Down DIB は圧縮できない";
    // bfOffBits 0xFFFFFFFF is start - 1 in the reader's 32-bit arithmetic: the file refuses the
    // seek and stays after the colour table, where exactly the 1-bit rows follow. The picture
    // reads, and only the switch to compressed refuses it.
    if (row.Path == "other/bmptestsuite/corrupt/offbits-negative.bmp") return bitCount;
    std::smatch quoted;
    if (std::regex_search(row.Note, quoted, std::regex("'([^']*)'$"))) return "EInvalidGraphic: " + quoted[1].str();
    if (row.Note.find("EReadError") != std::string::npos) return "EReadError: ストリームからの読み込みエラー";
    // A picture whose size does not fit 32-bit arithmetic is refused before any pixel block.
    if (row.Note.find("overflows 32 bits") != std::string::npos) return "EInvalidGraphic: Invalid Size";
    return "unsettled: " + row.Note;
}

// Converts one corpus file into `out`; "" on success, else "<class>: <message>".
std::string Convert(const TCorpusRow& row, const std::filesystem::path& out) {
    try {
        RunConversion((CorpusDir / row.Path).string(), out.string());
        return "";
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
}

TEST(Corpus, EachFileConvertsOrFailsAsItsRowStates) {
    const std::vector<TCorpusRow> rows = ReadIndex();
    ASSERT_GE(rows.size(), 40u);
    for (const TCorpusRow& row : rows) {
        SCOPED_TRACE(row.Path);
        TempDir directory;
        const std::string expected = ExpectedOutcome(row);
        ASSERT_EQ(Convert(row, directory / "out.bmp"), expected);
        if (!expected.empty()) {
            EXPECT_TRUE(directory.Entries().empty());
            continue;
        }
        const std::string written = ReadWhole(directory / "out.bmp");
        ASSERT_GE(written.size(), 54u);
        EXPECT_EQ(written[30], row.Convert == "rle8" ? 1 : 2);  // biCompression
        ExpectSamePicture(*ReadPicture(CorpusDir / row.Path), *ReadPicture(directory / "out.bmp"));
    }
}

// ImageMagick, an independent reader, must see every output as the picture it sees in the input.
// Inputs it refuses are not compared: colour counts above 256 (this reader keeps 256 and finds
// the pixels at bfOffBits), bfOffBits inside the colour table, 64000 pixels in one dimension (its
// policy's limit). Files it reads with a complaint still yield a picture, and that is compared.
TEST(Corpus, ImageMagickReadsEachOutputAsItsInput) {
    const std::string convert = "/usr/bin/convert";
    if (!ExecutableSuffix.empty() || !std::filesystem::exists(convert)) GTEST_SKIP() << "ImageMagick is not installed";
    const auto asPam = [&](const std::filesystem::path& file) {
        return RunChild(convert, {file.string(), "pam:-"}, file.parent_path()).Out;
    };
    int compared = 0;
    for (const TCorpusRow& row : ReadIndex()) {
        if (row.Convert != "rle8" && row.Convert != "rle4") continue;
        SCOPED_TRACE(row.Path);
        TempDir directory;
        ASSERT_EQ(Convert(row, directory / "out.bmp"), "");
        const std::string input = asPam(CorpusDir / row.Path);
        if (input.empty()) continue;
        const std::string output = asPam(directory / "out.bmp");
        EXPECT_EQ(output.substr(0, 64), input.substr(0, 64));  // PAM header: size, depth, type
        EXPECT_TRUE(output == input) << "pixels differ";
        ++compared;
    }
    EXPECT_GE(compared, 15);
}

}  // namespace
}  // namespace vdib::test
