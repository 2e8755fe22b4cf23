// The process frame, seen from outside: every exit of a small program built on it (exit code,
// standard output to the byte, order of clean-up and finalisations), and the console output's
// buffering and I/O results.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace vdib::test {
namespace {

const std::string Probe = FRAME_PROBE_PATH;
const std::string Started = "init A\r\ninit B\r\n";
const std::string Finalized = "final B\r\nfinal A\r\n";
const std::string Address = "([0-9A-F]{8})";

TChildResult RunProbe(const std::vector<std::string>& arguments, TOutput output = TOutput::File) {
    TTempDir directory;
    return RunChild(Probe, arguments, directory.Path(), output);
}

// The reported address must lie inside the failing function, whose offset the probe printed.
void ExpectAddressInsideFunction(const std::string& reported, const std::string& err) {
    std::smatch match;
    ASSERT_TRUE(std::regex_search(err, match, std::regex("offset=([0-9A-F]{8})"))) << err;
    const unsigned long function = std::stoul(match[1], nullptr, 16);
    const unsigned long address = std::stoul(reported, nullptr, 16);
    EXPECT_GE(address, function);
    EXPECT_LT(address - function, 0x400u) << "reported " << reported << ", function at " << match[1];
}

struct TExitCase {
    const char* Mode;
    int ExitCode;
    std::string Pattern;  // the whole of standard output; group 1 is the reported address
    bool AddressInFunction;
};

void PrintTo(const TExitCase& c, std::ostream* out) { *out << c.Mode; }

class ExitPaths : public ::testing::TestWithParam<TExitCase> {};

TEST_P(ExitPaths, ExitCodeOutputAndOrder) {
    const TExitCase& c = GetParam();
    const TChildResult result = RunProbe({c.Mode, "bad value"});
    EXPECT_EQ(result.Signal, 0);
    EXPECT_EQ(result.ExitCode, c.ExitCode);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(result.Out, match, std::regex(c.Pattern))) << result.Out;
    if (c.AddressInFunction) ExpectAddressInsideFunction(match[1], result.Err);
}

std::vector<TExitCase> ExitCases() {
    std::vector<TExitCase> cases = {
        {"ok", 0, Started + "main\r\n" + Finalized, false},
        // The clean-up of the interrupted code runs before the report is written.
        {"raise", 1,
         Started + "cleanup\r\nException EConvertError in module frame_probe at " + Address +
             "\\.\r\nbad value\\.\r\n\r\n" + Finalized,
         true},
        // No unwinding: "cleanup" never shows, the finalisations still run.
        {"fatal", 216, Started + "Runtime error 216 at " + Address + "\r\n" + Finalized, true},
        {"initfail", 217, Started + Finalized + "Runtime error 217 at " + Address + "\r\n", true},
        {"finalfail", 217, Started + "final B\r\nRuntime error 217 at " + Address + "\r\nfinal A\r\n", false},
        {"assert", 1,
         Started + "Exception EAssertionFailed in module frame_probe at " + Address +
             "\\.\r\nbad value \\(.*FrameProbe\\.cpp, line [0-9]+\\)\\.\r\n\r\n" + Finalized,
         true},
        {"badalloc", 1,
         Started + "Exception EOutOfMemory in module frame_probe at (00000000)\\.\r\nOut of memory\\.\r\n\r\n" +
             Finalized,
         false},
        {"stdexception", 1,
         Started + "Exception Exception in module frame_probe at (00000000)\\.\r\nplain failure\\.\r\n\r\n" +
             Finalized,
         false},
        {"unknown", 1,
         Started + "Exception EExternalException in module frame_probe at (00000000)\\.\r\nExternal exception\\.\r\n\r\n" +
             Finalized,
         false},
        // Faults end at once from the signal handler.
        {"null", 216, Started + "Runtime error 216 at " + Address + "\r\n", true},
        {"overflow", 202, Started + "Runtime error 202 at " + Address + "\r\n", true},
    };
#if defined(__x86_64__) || defined(__i386__)
    // Other processors do not trap on an integer division by zero.
    cases.push_back({"divide", 200, Started + "Runtime error 200 at " + Address + "\r\n", true});
#endif
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Frame, ExitPaths, ::testing::ValuesIn(ExitCases()),
                         [](const auto& info) { return std::string(info.param.Mode); });

// The exception report alone: from "Exception" to the first finalisation.
std::string ReportFor(const std::string& message) {
    const TChildResult result = RunProbe({"raise", message});
    const std::size_t start = result.Out.find("Exception ");
    const std::size_t end = result.Out.rfind(Finalized);
    if (start == std::string::npos || end == std::string::npos || end < start) return "no report in: " + result.Out;
    return result.Out.substr(start, end - start);
}

TEST(ExceptionReport, PeriodIsAddedOnlyToAMessageWithoutOne) {
    const struct {
        std::string Message;
        std::string SecondLine;
    } cases[] = {
        {"done.", "done.\r\n"},
        {"done..", "done..\r\n"},
        {"", "\r\n"},
        {"not finished", "not finished.\r\n"},
        {"ファイル in.bmp は開けません", "ファイル in.bmp は開けません.\r\n"},
        {"line one\r\nline two", "line one\r\nline two.\r\n"},
    };
    for (const auto& c : cases) {
        const std::string report = ReportFor(c.Message);
        const std::size_t firstLineEnd = report.find("\r\n") + 2;
        EXPECT_EQ(report.substr(firstLineEnd), c.SecondLine + "\r\n") << "message: " << c.Message;
    }
}

TEST(ExceptionReport, IsCutAt1024BytesBeforeTheClosingLineBreak) {
    const std::string report = ReportFor(std::string(2000, 'm'));
    ASSERT_EQ(report.size(), 1024u + 2u);
    EXPECT_EQ(report.substr(1000), std::string(24, 'm') + "\r\n");
}

TEST(ConsoleOutput, PendingTextIsWrittenBeforeTheReport) {
    const TChildResult result = RunProbe({"pending"});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_TRUE(std::regex_match(result.Out, std::regex(Started + "pending text Exception EConvertError in module "
                                                                  "frame_probe at [0-9A-F]{8}\\.\r\nboom\\.\r\n\r\n" +
                                                        Finalized)))
        << result.Out;
}

TEST(ConsoleOutput, FullBufferOf128BytesIsWrittenAtOnceAndTheRestAtExit) {
    const TChildResult result = RunProbe({"buffer"});
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(result.Out, std::string(128, 'x') + "|" + std::string(72, 'x'));
}

TEST(ConsoleOutput, LineEndFlushesOnATerminalOnly) {
    EXPECT_EQ(RunProbe({"order"}).Out, "|line\r\n");
    TChildResult terminal;
    try {
        terminal = RunProbe({"order"}, TOutput::Terminal);
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "no pseudo-terminal available";
    }
    EXPECT_EQ(terminal.Out, "line\r\n|");
}

TEST(ConsoleOutput, FailedWritesBecomeThePendingIOResult) {
    const struct {
        TOutput Output;
        const char* Expected;
    } cases[] = {
        {TOutput::DiskFull, "EInOutError 101 Disk full\n"},
        {TOutput::Closed, "EInOutError 9 I/O error 9\n"},
    };
    for (const auto& c : cases) {
        const TChildResult result = RunProbe({"iocheck"}, c.Output);
        EXPECT_EQ(result.Signal, 0);
        EXPECT_EQ(result.ExitCode, 0);
        EXPECT_EQ(result.Err, c.Expected);
    }
}

TEST(ConsoleOutput, ReportToAMissingOutputEndsWithExitCodeOne) {
    for (const TOutput output : {TOutput::Closed, TOutput::DiskFull}) {
        const TChildResult result = RunProbe({"raise", "lost"}, output);
        EXPECT_EQ(result.Signal, 0);
        EXPECT_EQ(result.ExitCode, 1);
    }
}

}  // namespace
}  // namespace vdib::test
