// Third-party BMP files (tests/data/corpus, see tests/data/SOURCES.md) through the conversion
// run: each either converts into a picture that reads back the same, or fails with the class and
// message its INDEX.tsv row states. Any crash takes the test program down with it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Conversion.h"
#include "Pictures.h"
#include "SysUtils.h"
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
    std::ifstream in(CorpusDir / "INDEX.tsv");
    std::string line;
    std::vector<TCorpusRow> rows;
    std::map<std::string, std::size_t> column;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (column.empty()) {
            for (std::size_t i = 0; i < fields.size(); ++i) column[fields[i]] = i;
            continue;
        }
        rows.push_back({fields.at(column.at("path")), fields.at(column.at("convert")), fields.at(column.at("note"))});
    }
    return rows;
}

// Rows whose note leaves the outcome open, settled by the reading rules.
const std::map<std::string, std::string> Settled = {
    // bfOffBits 0xFFFFFFFF is start - 1 in the reader's 32-bit arithmetic: the file refuses the
    // seek and stays after the colour table, where exactly the 1-bit rows follow. The picture
    // reads, and only the switch to compressed refuses it.
    {"other/bmptestsuite/corrupt/offbits-negative.bmp",
     std::string("EInvalidOperation: ") + msg::CannotCompressBitCount},
};

// "" for a conversion, else "<class>: <message>".
std::string ExpectedOutcome(const TCorpusRow& row) {
    if (row.Convert == "rle8" || row.Convert == "rle4") return "";
    if (row.Convert == "refuse-bitcount") return std::string("EInvalidOperation: ") + msg::CannotCompressBitCount;
    if (row.Convert == "refuse-topdown") return std::string("EInvalidOperation: ") + msg::CannotCompressTopDown;
    if (const auto settled = Settled.find(row.Path); settled != Settled.end()) return settled->second;
    std::smatch quoted;
    if (std::regex_search(row.Note, quoted, std::regex("'([^']*)'$"))) return "EInvalidGraphic: " + quoted[1].str();
    if (row.Note.find("EReadError") != std::string::npos) return std::string("EReadError: ") + msg::ReadError;
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
        TTempDir directory;
        const std::filesystem::path out = directory.Path() / "out.bmp";
        const std::string expected = ExpectedOutcome(row);
        ASSERT_EQ(Convert(row, out), expected);
        if (!expected.empty()) {
            EXPECT_TRUE(directory.Entries().empty());
            continue;
        }
        const std::string written = ReadWholeFile(out);
        ASSERT_GE(written.size(), 54u);
        EXPECT_EQ(written[30], row.Convert == "rle8" ? 1 : 2);  // biCompression
        const auto input = ReadPicture(CorpusDir / row.Path);
        const auto output = ReadPicture(out);
        EXPECT_TRUE(output->Format.Compressed);
        ExpectSamePicture(*input, *output);
    }
}

// ImageMagick, an independent reader, must see every output as the picture it sees in the input.
// It refuses some inputs that this reader takes, so those are not compared:
// - a colour count above 256 (pal8oversizepal, 8bpp-colorsused-large/-negative,
//   badpalettesize): it rejects the header, where this reader takes 256 entries and finds the
//   pixels at bfOffBits;
// - mmap_error.bmp, whose bfOffBits points into its colour table: "improper image header";
// - 64000 pixels in one dimension: beyond the width/height limit of the distribution's policy.
// Files it reads with a complaint (an RLE stream ending before the last row, a wrong bfSize,
// indices past the colour table) still yield a picture, and that one is compared. Pixels that
// RLE deltas skip are colour 0 in both readers.
TEST(Corpus, ImageMagickReadsEachOutputAsItsInput) {
    const std::string convert = "/usr/bin/convert";
    if (!std::filesystem::exists(convert)) GTEST_SKIP() << "ImageMagick is not installed";
    const auto asPam = [&](const std::filesystem::path& file) {
        return RunChild(convert, {file.string(), "pam:-"}, file.parent_path()).Out;
    };
    int compared = 0;
    for (const TCorpusRow& row : ReadIndex()) {
        if (row.Convert != "rle8" && row.Convert != "rle4") continue;
        SCOPED_TRACE(row.Path);
        TTempDir directory;
        const std::filesystem::path out = directory.Path() / "out.bmp";
        ASSERT_EQ(Convert(row, out), "");
        const std::string input = asPam(CorpusDir / row.Path);
        if (input.empty()) continue;
        const std::string output = asPam(out);
        EXPECT_EQ(output.substr(0, 64), input.substr(0, 64));  // PAM header: size, depth, type
        EXPECT_TRUE(output == input) << "pixels differ";
        ++compared;
    }
    EXPECT_GE(compared, 15);
}

}  // namespace
}  // namespace vdib::test
