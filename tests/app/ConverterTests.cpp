// The converter as the user meets it: the real binary in a child process, its standard output
// to the byte, its exit code and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <VDIBitmap/DIBImage.h>
#include "Pictures.h"
#include "support/BmpBytes.h"
#include "support/ChildProcess.h"

namespace vdib::test {
namespace {

const std::string Converter = BMP2RLE_PATH;

// A 5-pixel-wide picture of `bitCount` bits (bit fields for 16 and 32), with a full colour table
// up to 8 bits and varied pixel bytes; or, given `rle`, RLE8 or RLE4 data.
std::string Picture(uint16_t bitCount, int32_t height = 3, const Bytes& rle = {}) {
    InfoBmp bmp;
    bmp.width = 5, bmp.height = height, bmp.bitCount = bitCount;
    bmp.compression = !rle.empty() ? (bitCount == 8 ? 1 : 2) : bitCount == 16 || bitCount == 32 ? 3 : 0;
    bmp.tableEntries = bitCount <= 8 ? 1u << bitCount : 0;
    bmp.pixels = rle;
    if (rle.empty()) bmp.pixels.resize(CheckedGeometry(bitCount, 5, height).ImageBytes);
    for (std::size_t i = 0; rle.empty() && i < bmp.pixels.size(); ++i) bmp.pixels[i] = static_cast<uint8_t>(i * 37 + 11);
    const Bytes bytes = bmp.Build();
    return std::string(bytes.begin(), bytes.end());
}

// A failure report: a first line with the class and an address, the message with a final ".",
// an empty line; nothing on standard error, exit code 1.
void ExpectReport(const TChildResult& result, const std::string& className, const std::string& message) {
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Err, "");
    const std::size_t end = result.Out.find("\r\n");
    ASSERT_NE(end, std::string::npos) << result.Out;
    const std::regex firstLine("Exception " + className + " in module bmp2rle at [0-9A-F]{8}\\.\r\n");
    EXPECT_TRUE(std::regex_match(result.Out.substr(0, end + 2), firstLine)) << result.Out;
    EXPECT_EQ(result.Out.substr(end + 2), message + "\r\n\r\n");
}

TEST(Converter, WithoutInputPrintsTheUsageLineAndTouchesNoFile) {
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, {""}, {"", ""}}) {
        TempDir directory;
        const TChildResult result = RunChild(Converter, arguments, directory.Path);
        EXPECT_EQ(result.ExitCode, 0);
        EXPECT_EQ(result.Out, "Please, give a bitmap file name.\r\n");
        EXPECT_EQ(result.Err, "");
        EXPECT_TRUE(directory.Entries().empty());
    }
}

// A missing input is reported by its name as split from the command line, at the same address
// from run to run.
TEST(Converter, ReportsAMissingInputByTheNameGiven) {
    const struct {
        std::vector<std::string> arguments;
        std::string input;
    } cases[] = {
        {{"a.bmp"}, "a.bmp"},     {{"", "b.bmp"}, "b.bmp"},     {{"in.bmp", ""}, "in.bmp"},
        {{"my pic.bmp"}, "my pic.bmp"}, {{"in.bmp", "out.bmp", "ignored"}, "in.bmp"}, {{"dir.x/photo"}, "dir.x/photo"},
    };
    for (const auto& c : cases) {
        TempDir directory;
        const TChildResult result = RunChild(Converter, c.arguments, directory.Path);
        ExpectReport(result, "EFOpenError", "ファイル " + c.input + " は開けません.");
        EXPECT_EQ(RunChild(Converter, c.arguments, directory.Path).Out, result.Out);
        EXPECT_EQ(result.Out.find("at 00000000"), std::string::npos);
        EXPECT_TRUE(directory.Entries().empty());
    }
}

// Every failure is reported, ends with exit code 1 and leaves no output: an output that existed
// keeps its contents, also when the failure comes from creating it. A read-only output is not
// written over, although its directory would allow replacing it, whoever runs the converter.
TEST(Converter, ReportsEachFailureAndWritesNoOutput) {
    std::string notBmp = Picture(8), shortPixels = Picture(8);
    notBmp[0] = 'M', notBmp[1] = 'B';
    shortPixels.pop_back();
    const std::string bitCount = "4, 8 ビットカラー以外は圧縮できない.";
    enum { None, File, ReadOnly, Directory };
    const struct {
        const char* name;
        std::string input;  // empty: no input file
        std::string output;
        int existing;
        const char* className;
        std::string message;
    } cases[] = {
        {"missing input", "", "out.bmp", File, "EFOpenError", "ファイル in.bmp は開けません."},
        {"not a BMP", notBmp, "out.bmp", File, "EInvalidGraphic", "Is not Bitmap File."},
        {"ends early", shortPixels, "out.bmp", None, "EReadError", "ストリームからの読み込みエラー."},
        {"24 bits", Picture(24), "out.bmp", File, "EInvalidOperation", bitCount},
        {"16 bits", Picture(16), "out.bmp", None, "EInvalidOperation", bitCount},
        {"32 bits", Picture(32), "out.bmp", None, "EInvalidOperation", bitCount},
        {"1 bit", Picture(1), "out.bmp", None, "EInvalidOperation", bitCount},
        {"top-down", Picture(8, -3), "out.bmp", File, "EInvalidOperation", "Top-Down DIB は圧縮できない."},
        {"missing directory", Picture(8), "none/out.bmp", None, "EFCreateError", "ファイル none/out.bmp を作成できません."},
        {"output is a directory", Picture(8), "out.bmp", Directory, "EFCreateError", "ファイル out.bmp を作成できません."},
        {"read-only output", Picture(8), "out.bmp", ReadOnly, "EFCreateError", "ファイル out.bmp を作成できません."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir directory;
        std::vector<std::string> expectedEntries;
        if (!c.input.empty()) WriteWhole(directory / "in.bmp", c.input), expectedEntries.push_back("in.bmp");
        if (c.existing == File || c.existing == ReadOnly) WriteWhole(directory / "out.bmp", "an older picture");
        if (c.existing == ReadOnly) ::chmod((directory / "out.bmp").c_str(), 0444);
        if (c.existing == Directory) std::filesystem::create_directory(directory / "out.bmp");
        if (c.existing != None) expectedEntries.push_back("out.bmp");
        ExpectReport(RunChild(Converter, {"in.bmp", c.output}, directory.Path), c.className, c.message);
        EXPECT_EQ(directory.Entries(), expectedEntries);
        if (c.existing == File || c.existing == ReadOnly) {
            EXPECT_EQ(ReadWhole(directory / "out.bmp"), "an older picture");
        }
    }
}

// Each accepted input comes out as the same picture with RLE8 (code 1) or RLE4 (code 2) pixel
// data, colours included, and nothing else is written.
TEST(Converter, WritesTheRLEFormOfEachAcceptedInput) {
    const Bytes rle8 = {5, 7, 0, 0, 0, 3, 1, 2, 3, 0, 2, 9, 0, 1};        // run; absolute + run
    const Bytes rle4 = {5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 1};  // run; absolute of 5
    const struct {
        const char* name;
        std::string input;
        std::vector<std::string> arguments;  // the input first
        std::string outputName;
        bool outputExists;
        char code;
    } cases[] = {
        {"8 bits", Picture(8), {"in.bmp", "out.bmp"}, "out.bmp", false, 1},
        {"4 bits", Picture(4), {"in.bmp", "out.bmp"}, "out.bmp", false, 2},
        {"same name twice", Picture(8), {"in.bmp", "in.bmp"}, "in.bmp", false, 1},
        {"existing output", Picture(4), {"in.bmp", "out.bmp"}, "out.bmp", true, 2},
        {"RLE8 input", Picture(8, 2, rle8), {"in.bmp", "out.bmp"}, "out.bmp", false, 1},
        {"RLE4 input", Picture(4, 2, rle4), {"in.bmp", "out.bmp"}, "out.bmp", false, 2},
        {"default name", Picture(8), {"sub/x.bmp"}, "sub/x_rle.bmp", false, 1},
        {"several bands of rows", Picture(8, 100000), {"in.bmp", "out.bmp"}, "out.bmp", false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir directory, reference;
        WriteWhole(reference / "in.bmp", c.input);
        std::filesystem::create_directories((directory.Path / c.arguments[0]).parent_path());
        WriteWhole(directory / c.arguments[0], c.input);
        if (c.outputExists) WriteWhole(directory / c.outputName, std::string(20000, 'x'));

        const TChildResult result = RunChild(Converter, c.arguments, directory.Path);
        EXPECT_EQ(result.ExitCode, 0);
        EXPECT_EQ(result.Out + result.Err, "");
        const std::filesystem::recursive_directory_iterator all(directory.Path);
        EXPECT_EQ(std::count_if(begin(all), end(all), [](const auto& e) { return e.is_regular_file(); }),
                  c.arguments[0] == c.outputName ? 1 : 2);  // the output, if not written over the input, and the input
        const std::string written = ReadWhole(directory / c.outputName);
        ASSERT_GE(written.size(), 54u);
        EXPECT_EQ(written[30], c.code);  // biCompression
        ExpectSamePicture(*ReadPicture(reference / "in.bmp"), *ReadPicture(directory / c.outputName));
    }
}

}  // namespace
}  // namespace vdib::test
