// The process frame, seen from outside: every exit of a small program built on it (exit code,
// standard output to the byte, order of clean-up and finalisations) and the exception report.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/Process.h"

namespace vdib::test {
namespace {

const std::string Started = "init A\r\ninit B\r\n";
const std::string Finalized = "final B\r\nfinal A\r\n";
const std::string Address = "([0-9A-F]{8})";

TEST(Frame, ExitCodeOutputAndOrderOfEachExit) {
    struct Case {
        const char* mode;
        int exitCode;
        std::string pattern;  // the whole of standard output; group 1 is the reported address
        bool addressInFunction;  // it must lie inside the failing function, as the probe reports it
    };
    auto report = [](const std::string& className, const std::string& address, const std::string& message) {
        return "Exception " + className + " in module frame_probe at " + address + "\\.\r\n" + message + "\\.\r\n\r\n";
    };
    std::vector<Case> cases = {
        {"ok", 0, Started + "main\r\n" + Finalized, false},
        // The clean-up of the interrupted code runs before the report is written.
        {"raise", 1, Started + "cleanup\r\n" + report("EConvertError", Address, "bad value") + Finalized, true},
        {"pending", 1, Started + "pending text " + report("EConvertError", "[0-9A-F]{8}", "boom") + Finalized, false},
        // No unwinding: "cleanup" never shows, the finalisations still run.
        {"fatal", 216, Started + "Runtime error 216 at " + Address + "\r\n" + Finalized, true},
        {"initfail", 217, Started + Finalized + "Runtime error 217 at " + Address + "\r\n", true},
        {"finalfail", 217, Started + "final B\r\nRuntime error 217 at " + Address + "\r\nfinal A\r\n", false},
        {"assert", 1, Started + report("EAssertionFailed", Address, "bad value \\(.*FrameProbe\\.cpp, line [0-9]+\\)") + Finalized, true},
        {"badalloc", 1, Started + report("EOutOfMemory", "00000000", "Out of memory") + Finalized, false},
        {"stdexception", 1, Started + report("Exception", "00000000", "plain failure") + Finalized, false},
        {"unknown", 1, Started + report("EExternalException", "00000000", "External exception") + Finalized, false},
        // Faults end at once from the signal handler.
        {"null", 216, Started + "Runtime error 216 at " + Address + "\r\n", true},
        {"overflow", 202, Started + "Runtime error 202 at " + Address + "\r\n", true},
    };
#if defined(__x86_64__) || defined(__i386__)
    // Other processors do not trap on an integer division by zero.
    cases.push_back({"divide", 200, Started + "Runtime error 200 at " + Address + "\r\n", true});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        const TChildResult result = RunChild(FRAME_PROBE_PATH, {c.mode, "bad value"}, TempDir().Path);
        EXPECT_EQ(result.Signal, 0);
        EXPECT_EQ(result.ExitCode, c.exitCode);
        std::smatch match, offset;
        ASSERT_TRUE(std::regex_match(result.Out, match, std::regex(c.pattern))) << result.Out;
        if (!c.addressInFunction) continue;
        ASSERT_TRUE(std::regex_search(result.Err, offset, std::regex("offset=([0-9A-F]{8})"))) << result.Err;
        const unsigned long function = std::stoul(offset[1], nullptr, 16), address = std::stoul(match[1], nullptr, 16);
        EXPECT_GE(address, function);
        EXPECT_LT(address - function, 0x400u) << "reported " << match[1] << ", function at " << offset[1];
    }
}

// The report's second line: the message, with a "." only when it does not end in one, cut so
// that the report holds at most 1024 bytes before its closing line break.
TEST(Frame, ReportAddsAPeriodOnlyToAMessageWithoutOne) {
    const struct {
        std::string message;
        std::string rest;  // after the first line
    } cases[] = {
        {"done.", "done.\r\n\r\n"},
        {"", "\r\n\r\n"},
        {"not finished", "not finished.\r\n\r\n"},
        {"ファイル in.bmp は開けません", "ファイル in.bmp は開けません.\r\n\r\n"},
        {"line one\r\nline two", "line one\r\nline two.\r\n\r\n"},
        {std::string(2000, 'm'), std::string(1024 - 60, 'm') + "\r\n"},  // after a first line of 60 bytes
    };
    for (const auto& c : cases) {
        const std::string out = RunChild(FRAME_PROBE_PATH, {"raise", c.message}, TempDir().Path).Out;
        const std::size_t start = out.find("\r\n", out.find("Exception ")) + 2, end = out.rfind(Finalized);
        ASSERT_LT(start, end) << out;
        EXPECT_EQ(out.substr(start, end - start), c.rest) << "message: " << c.message;
    }
}

}  // namespace
}  // namespace vdib::test
