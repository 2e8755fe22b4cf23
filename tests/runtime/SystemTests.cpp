// The process frame seen from outside: every exit of the probe, one row of tests/data/probes.tsv
// each (exit code, standard output to the byte, order of clean-up and finalisations, addresses),
// and an interrupt that comes while several threads save.
#include "support/Process.h"

namespace vdib::test {
namespace {

TEST(Frame, EachRowOfTheTable) {
    for (const auto& row : ReadTable("probes.tsv", 5)) {  // mode, argument, exit code, output, in the function
        SCOPED_TRACE(row[0] + " " + row[1]);
#if !defined(__x86_64__) && !defined(__i386__)
        if (row[0] == "divide") continue;  // other processors do not trap on an integer division by zero
#endif
        std::smatch repeat, match, offset;
        std::string argument = Unescape(row[1]);
        if (std::regex_match(argument, repeat, std::regex("(.)\\*(\\d+)"))) argument = std::string(std::stoul(repeat[2]), argument[0]);
        const TChildResult result = RunChild(FRAME_PROBE_PATH, {row[0], argument}, TempDir().Path);
        EXPECT_EQ(result.Signal, 0);
        EXPECT_EQ(result.ExitCode, std::stoi(row[2]));
        // The report names the executable's file; where that is frame_probe.exe, its first line is
        // longer and a message cut to fit the report is shorter by as much.
        std::string pattern = std::regex_replace(row[3], std::regex("frame_probe at"), "frame_probe" + ExecutableSuffix + " at");
        if (std::regex_search(pattern, repeat, std::regex("m\\{(\\d+)\\}")))
            pattern.replace(repeat.position(1), repeat.length(1), std::to_string(std::stoul(repeat[1]) - ExecutableSuffix.size()));
        ASSERT_TRUE(std::regex_match(result.Out, match, std::regex(pattern))) << result.Out;
        if (row[4] != "yes") continue;
        ASSERT_TRUE(std::regex_search(result.Err, offset, std::regex("offset=([0-9A-F]{8})"))) << result.Err;
        const unsigned long function = std::stoul(offset[1], nullptr, 16), address = std::stoul(match[1], nullptr, 16);
        EXPECT_TRUE(address >= function && address - function < 0x400) << "reported " << match[1] << ", function at " << offset[1];
    }
}

#if !defined(_WIN32)
// SIGTERM while four threads are each half-way through saving a file ends the probe by that
// signal, and none of the four hidden temporary files is left beside its output.
TEST(Frame, AnInterruptRemovesTheTemporaryFileOfEverySaveUnderWay) {
    TempDir dir;
    const auto temporaries = [&] {  // the hidden .NAME.XXXXXX files beside the outputs
        return std::count_if(fs::directory_iterator(dir.Path), {}, [](const auto& e) { return e.path().filename().string()[0] == '.'; });
    };
    bool reached = false;
    const TChildResult result = RunChild(FRAME_PROBE_PATH, {"saves", dir.Path}, dir.Path, PlainSignals, [&](pid_t pid) {
        reached = Await(pid, [&] { return temporaries() == 4; });
        ::kill(pid, SIGTERM);
    });
    EXPECT_TRUE(reached) << "four saves were never under way at once";
    EXPECT_EQ(result.Signal, SIGTERM) << result.Out;
    EXPECT_EQ(temporaries(), 0) << Entries(dir.Path);
}
#endif

}  // namespace
}  // namespace vdib::test
