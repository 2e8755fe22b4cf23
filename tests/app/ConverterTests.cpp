// The converter as the user meets it: the real binary in a child process, its standard output
// to the byte, its exit code and the files it leaves.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace vdib::test
