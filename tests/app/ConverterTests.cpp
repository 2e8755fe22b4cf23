// The converter as the user meets it: the real binary in a child process, its standard output
// to the byte, its exit code and the files it leaves.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "DIBImage.h"
#include "Pictures.h"
#include "SysUtils.h"
#include "support/BmpBytes.h"
#include "support/ChildProcess.h"

namespace vdib::test {
namespace {

const std::string Converter = BMP2RLE_PATH;
const std::string UsageLine = "Please, give a bitmap file name.\r\n";

TEST(Converter, WithoutInputPrintsTheUsageLineAndTouchesNoFile) {
    const std::vector<std::vector<std::string>> argumentLists = {{}, {""}, {"", ""}};
    for (const TOutput output : {TOutput::File, TOutput::Terminal}) {
        for (const auto& arguments : argumentLists) {
            TTempDir directory;
            TChildResult result;
            try {
                result = RunChild(Converter, arguments, directory.Path(), output);
            } catch (const std::runtime_error&) {
                continue;  // no pseudo-terminal here
            }
            EXPECT_EQ(result.ExitCode, 0);
            EXPECT_EQ(result.Out, UsageLine);
            EXPECT_EQ(result.Err, "");
            EXPECT_TRUE(directory.Entries().empty());
        }
    }
}

TEST(Converter, UsageLineThatCannotBeWrittenEndsWithExitCodeOne) {
    for (const TOutput output : {TOutput::Closed, TOutput::DiskFull}) {
        TTempDir directory;
        const TChildResult result = RunChild(Converter, {}, directory.Path(), output);
        EXPECT_EQ(result.Signal, 0);
        EXPECT_EQ(result.ExitCode, 1);
        EXPECT_TRUE(directory.Entries().empty());
    }
}

// A missing input is reported with its name exactly as it was split from the command line.
TEST(Converter, ReportsAMissingInputByTheNameGiven) {
    const struct {
        std::vector<std::string> Arguments;
        std::string Input;
    } cases[] = {
        {{"a.bmp"}, "a.bmp"},
        {{"", "b.bmp"}, "b.bmp"},
        {{"in.bmp", ""}, "in.bmp"},
        {{"my pic.bmp"}, "my pic.bmp"},
        {{"in.bmp", "out.bmp", "ignored"}, "in.bmp"},
        {{"dir.x/photo"}, "dir.x/photo"},
    };
    for (const auto& c : cases) {
        TTempDir directory;
        const TChildResult result = RunChild(Converter, c.Arguments, directory.Path());
        EXPECT_EQ(result.ExitCode, 1);
        const std::string expected = "Exception EFOpenError in module bmp2rle at [0-9A-F]{8}\\.\r\n"
                                     "ファイル " + c.Input + " は開けません\\.\r\n\r\n";
        EXPECT_TRUE(std::regex_match(result.Out, std::regex(expected))) << result.Out;
        EXPECT_TRUE(directory.Entries().empty());
    }
}

TEST(Converter, ReportedAddressIsStableFromRunToRun) {
    TTempDir directory;
    const TChildResult first = RunChild(Converter, {"a.bmp"}, directory.Path());
    const TChildResult second = RunChild(Converter, {"a.bmp"}, directory.Path());
    EXPECT_EQ(first.Out, second.Out);
    EXPECT_EQ(first.Out.find("at 00000000"), std::string::npos);
}

// A 5-pixel-wide picture of `bitCount` bits (bit fields for 16 and 32), with a full colour table
// up to 8 bits and varied pixel bytes.
Bytes Picture(uint16_t bitCount, int32_t height = 3) {
    InfoBmp bmp;
    bmp.width = 5;
    bmp.height = height;
    bmp.bitCount = bitCount;
    bmp.compression = bitCount == 16 || bitCount == 32 ? 3 : 0;
    bmp.tableEntries = bitCount <= 8 ? 1u << bitCount : 0;
    bmp.pixels.resize(static_cast<std::size_t>(RowBytesFor(bitCount, 5) * std::abs(height)));
    for (std::size_t i = 0; i < bmp.pixels.size(); ++i) bmp.pixels[i] = static_cast<uint8_t>(i * 37 + 11);
    return bmp.Build();
}

Bytes RLEPicture(uint16_t bitCount, Bytes stream) {
    InfoBmp bmp;
    bmp.width = 5;
    bmp.bitCount = bitCount;
    bmp.compression = bitCount == 8 ? 1 : 2;
    bmp.tableEntries = 1u << bitCount;
    bmp.pixels = std::move(stream);
    return bmp.Build();
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
void WriteFile(const std::filesystem::path& path, const Bytes& bytes) {
    WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<std::string> SortedEntries(const TTempDir& directory) {
    std::vector<std::string> entries = directory.Entries();
    std::sort(entries.begin(), entries.end());
    return entries;
}

// A failure report: a first line with the class and an address, the message with its final ".",
// an empty line.
void ExpectReport(const TChildResult& result, const std::string& className, const std::string& message) {
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_EQ(result.Err, "");
    const std::size_t firstLineEnd = result.Out.find("\r\n");
    ASSERT_NE(firstLineEnd, std::string::npos) << result.Out;
    const std::regex firstLine("Exception " + className + " in module bmp2rle at [0-9A-F]{8}\\.\r\n");
    EXPECT_TRUE(std::regex_match(result.Out.substr(0, firstLineEnd + 2), firstLine)) << result.Out;
    EXPECT_EQ(result.Out.substr(firstLineEnd + 2), message + "\r\n\r\n");
}

enum class TExisting { None, File, Directory };

// Every failure is reported, ends with exit code 1 and leaves no output: an output that existed
// keeps its contents, also when the failure comes from creating it.
TEST(Converter, ReportsEachFailureAndWritesNoOutput) {
    Bytes notBmp = Picture(8);
    notBmp[0] = 'M', notBmp[1] = 'B';
    Bytes shortPixels = Picture(8);
    shortPixels.pop_back();
    const std::string bitCount = std::string(msg::CannotCompressBitCount) + ".";
    const struct {
        const char* Name;
        Bytes Input;  // empty: no input file
        std::string Output;
        TExisting Existing;
        std::string Class, Message;
    } cases[] = {
        {"missing input", {}, "out.bmp", TExisting::File, "EFOpenError", "ファイル in.bmp は開けません."},
        {"not a BMP", notBmp, "out.bmp", TExisting::File, "EInvalidGraphic", "Is not Bitmap File."},
        {"ends early", shortPixels, "out.bmp", TExisting::None, "EReadError", "ストリームからの読み込みエラー."},
        {"24 bits", Picture(24), "out.bmp", TExisting::File, "EInvalidOperation", bitCount},
        {"16 bits", Picture(16), "out.bmp", TExisting::None, "EInvalidOperation", bitCount},
        {"32 bits", Picture(32), "out.bmp", TExisting::None, "EInvalidOperation", bitCount},
        {"1 bit", Picture(1), "out.bmp", TExisting::None, "EInvalidOperation", bitCount},
        {"top-down", Picture(8, -3), "out.bmp", TExisting::File, "EInvalidOperation", "Top-Down DIB は圧縮できない."},
        {"missing directory", Picture(8), "none/out.bmp", TExisting::None, "EFCreateError",
         "ファイル none/out.bmp を作成できません."},
        {"output is a directory", Picture(8), "out.bmp", TExisting::Directory, "EFCreateError",
         "ファイル out.bmp を作成できません."},
        {"disk full", Picture(4), "/dev/full", TExisting::None, "EWriteError", "ストリームへの書き込みエラー."},
    };
    const std::string kept = "an older picture";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir directory;
        const std::filesystem::path out = directory.Path() / "out.bmp";
        std::vector<std::string> expectedEntries;
        if (!c.Input.empty()) WriteFile(directory.Path() / "in.bmp", c.Input), expectedEntries.push_back("in.bmp");
        if (c.Existing == TExisting::File) WriteFile(out, kept);
        if (c.Existing == TExisting::Directory) std::filesystem::create_directory(out), WriteFile(out / "x", kept);
        if (c.Existing != TExisting::None) expectedEntries.push_back("out.bmp");

        ExpectReport(RunChild(Converter, {"in.bmp", c.Output}, directory.Path()), c.Class, c.Message);
        EXPECT_EQ(SortedEntries(directory), expectedEntries);
        if (c.Existing == TExisting::File) {
            EXPECT_EQ(ReadWholeFile(out), kept);
        } else if (c.Existing == TExisting::Directory) {
            EXPECT_EQ(ReadWholeFile(out / "x"), kept);
        }
    }
}

// Each accepted input comes out as the same picture with RLE8 (code 1) or RLE4 (code 2) pixel
// data, colours included, and the directory holds nothing else.
TEST(Converter, WritesTheRLEFormOfEachAcceptedInput) {
    const Bytes rle8 = {5, 7, 0, 0, 0, 3, 1, 2, 3, 0, 2, 9, 0, 1};        // run; absolute + run
    const Bytes rle4 = {5, 0x12, 0, 0, 0, 5, 0x34, 0x56, 0x70, 0, 0, 1};  // run; absolute of 5
    const struct {
        const char* Name;
        Bytes Input;
        std::string InputName;
        std::vector<std::string> Arguments;
        std::string OutputName;
        bool OutputExists;
        char Code;
    } cases[] = {
        {"8 bits", Picture(8), "in.bmp", {"in.bmp", "out.bmp"}, "out.bmp", false, 1},
        {"4 bits", Picture(4), "in.bmp", {"in.bmp", "out.bmp"}, "out.bmp", false, 2},
        {"same name twice", Picture(8), "in.bmp", {"in.bmp", "in.bmp"}, "in.bmp", false, 1},
        {"existing output", Picture(4), "in.bmp", {"in.bmp", "out.bmp"}, "out.bmp", true, 2},
        {"RLE8 input", RLEPicture(8, rle8), "in.bmp", {"in.bmp", "out.bmp"}, "out.bmp", false, 1},
        {"RLE4 input", RLEPicture(4, rle4), "in.bmp", {"in.bmp", "out.bmp"}, "out.bmp", false, 2},
        {"default name", Picture(8), "sub/x.bmp", {"sub/x.bmp"}, "sub/x_rle.bmp", false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TTempDir directory, reference;
        WriteFile(reference.Path() / "in.bmp", c.Input);
        std::filesystem::create_directories((directory.Path() / c.InputName).parent_path());
        WriteFile(directory.Path() / c.InputName, c.Input);
        if (c.OutputExists) WriteFile(directory.Path() / c.OutputName, std::string(20000, 'x'));

        const TChildResult result = RunChild(Converter, c.Arguments, directory.Path());
        EXPECT_EQ(result.ExitCode, 0);
        EXPECT_EQ(result.Out, "");
        EXPECT_EQ(result.Err, "");
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(directory.Path()))
            if (entry.is_regular_file()) files.push_back(entry.path().lexically_relative(directory.Path()));
        std::sort(files.begin(), files.end());
        std::vector<std::string> expectedFiles = {c.InputName, c.OutputName};
        std::sort(expectedFiles.begin(), expectedFiles.end());
        expectedFiles.erase(std::unique(expectedFiles.begin(), expectedFiles.end()), expectedFiles.end());
        EXPECT_EQ(files, expectedFiles);

        const std::filesystem::path out = directory.Path() / c.OutputName;
        const std::string written = ReadWholeFile(out);
        ASSERT_GE(written.size(), 54u);
        EXPECT_EQ(written[30], c.Code);  // biCompression
        ExpectSamePicture(*ReadPicture(reference.Path() / "in.bmp"), *ReadPicture(out));
    }
}

// A read-only output cannot be written over, although its directory would allow replacing it.
TEST(Converter, LeavesAReadOnlyOutputAlone) {
    TTempDir directory;
    WriteFile(directory.Path() / "in.bmp", Picture(8));
    WriteFile(directory.Path() / "out.bmp", "an older picture");
    ::chmod((directory.Path() / "out.bmp").c_str(), 0444);
    ::chmod(directory.Path().c_str(), 0777);
    std::string program = Converter;
    std::vector<std::string> arguments = {"in.bmp", "out.bmp"};
    if (::geteuid() == 0) {  // root may write anything: run as nobody
        program = "/usr/bin/setpriv";
        arguments.insert(arguments.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", Converter});
    }
    const TChildResult result = RunChild(program, arguments, directory.Path());
    if (result.ExitCode == 126 || result.ExitCode == 127) GTEST_SKIP() << "cannot run the converter as another user";
    ExpectReport(result, "EFCreateError", "ファイル out.bmp を作成できません.");
    EXPECT_EQ(ReadWholeFile(directory.Path() / "out.bmp"), "an older picture");
    EXPECT_EQ(SortedEntries(directory), (std::vector<std::string>{"in.bmp", "out.bmp"}));
}

}  // namespace
}  // namespace vdib::test
