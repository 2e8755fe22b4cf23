// The process frame seen from outside: every exit of the two probes of tests/data/probes.tsv (exit
// code, standard output to the byte, order of clean-up and finalisations, reported addresses).
#include <gtest/gtest.h>

#include <regex>

#include "support/Process.h"

namespace vdib::test {
namespace {

TEST(Frame, EachRowOfTheTable) {
    for (const auto& row : ReadTable("probes.tsv", 6)) {  // probe, arguments 1 and 2, exit code, output, in the function
        SCOPED_TRACE(row[0] + " " + row[1] + " " + row[2]);
#if !defined(__x86_64__) && !defined(__i386__)
        if (row[1] == "divide") continue;  // other processors do not trap on an integer division by zero
#endif
        std::smatch repeat, match, offset;
        std::string argument = Unescape(row[2]);
        if (std::regex_match(argument, repeat, std::regex("(.)\\*(\\d+)"))) argument = std::string(std::stoul(repeat[2]), argument[0]);
        const TChildResult result = RunChild(row[0] == "scan" ? SCAN_PROBE_PATH : FRAME_PROBE_PATH, {row[1], argument}, TempDir().Path);
        EXPECT_EQ(result.Signal, 0);
        EXPECT_EQ(result.ExitCode, std::stoi(row[3]));
        ASSERT_TRUE(std::regex_match(result.Out, match, std::regex(row[4]))) << result.Out;
        if (row[5] != "yes") continue;
        ASSERT_TRUE(std::regex_search(result.Err, offset, std::regex("offset=([0-9A-F]{8})"))) << result.Err;
        const unsigned long function = std::stoul(offset[1], nullptr, 16), address = std::stoul(match[1], nullptr, 16);
        EXPECT_TRUE(address >= function && address - function < 0x400) << "reported " << match[1] << ", function at " << offset[1];
    }
}

}  // namespace
}  // namespace vdib::test
