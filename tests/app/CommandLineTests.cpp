// Splitting a command line, the default output name, and the double-byte walk.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandLine.h"
#include "support/ChildProcess.h"

namespace vdib {
namespace {

// Every argument of `commandLine` after the program, as GetCommandArgument yields them.
std::vector<std::string> ArgumentsOf(const std::string& commandLine, TCharacterStep next = NextSingleByte) {
    std::vector<std::string> arguments;
    for (int index = 1; !GetCommandArgument(commandLine, index, next).empty(); ++index)
        arguments.push_back(GetCommandArgument(commandLine, index, next));
    return arguments;
}

TEST(CommandLine, SplitsByTheQuotingRules) {
    using Args = std::vector<std::string>;
    const struct {
        std::string commandLine;
        Args arguments;
        TCharacterStep next = NextSingleByte;
    } cases[] = {
        {"bmp2rle   \t ", {}},
        {"bmp2rle \"\" b.bmp", {"b.bmp"}},
        {"bmp2rle \"\"\"\" b.bmp", {"b.bmp"}},
        {"bmp2rle \"my pic.bmp\"", {"my pic.bmp"}},
        {"bmp2rle a\"b c\"d.bmp", {"ab cd.bmp"}},
        {"bmp2rle \"C:\\dir\\\" x", {"C:\\dir\\", "x"}},  // no escape character
        {"bmp2rle in.bmp out.bmp third", {"in.bmp", "out.bmp", "third"}},
        {"bmp2rle \"open ended", {"open ended"}},
        {"bmp2rle a\x01" "b\x1f" "c", {"a", "b", "c"}},
        {"bmp2rle \xe9t\xe9.bmp", {"\xe9t\xe9.bmp"}},
        {"bmp2rle x\"\"y", {"xy"}},
        {"bmp2rle a \"\"", {"a"}},
        // 0x95 0x22 is one character in code page 932: its trail byte is no quote.
        {"p \x95\x22 x.bmp", {"\x95\x22", "x.bmp"}, NextCP932},
        {"p \"\x95\x22 x\" y", {"\x95\x22 x", "y"}, NextCP932},
        {"p \"\x95\x22 x\" y", {"\x95", "x y"}},
        {"p a\x83", {"a\x83"}, NextCP932},  // a lead byte at the very end stands alone
    };
    for (const auto& c : cases) EXPECT_EQ(ArgumentsOf(c.commandLine, c.next), c.arguments) << c.commandLine;
    const std::string line = "\"C:\\Program Files\\bmp2rle.exe\" in.bmp";
    EXPECT_EQ(GetCommandArgument(line, 0, NextSingleByte), "C:\\Program Files\\bmp2rle.exe");
}

TEST(DefaultOutputName, ReplacesTheExtensionAfterTheLastDirectory) {
    const struct {
        const char* input;
        const char* output;
        TCharacterStep next = NextSingleByte;
    } cases[] = {
        {"photo.bmp", "photo_rle.bmp"},
        {"C:\\pics\\photo.small.bmp", "C:\\pics\\photo.small_rle.bmp"},
        {"C:\\pics.old\\photo", "C:\\pics.old\\photo_rle.bmp"},
        {"photo.", "photo_rle.bmp"},
        {".bmp", "_rle.bmp"},
        {"D:photo", "D:photo_rle.bmp"},
        {"dir.x/photo", "dir.x/photo_rle.bmp"},  // "/" separates directories too
        {"/tmp/pics.d/photo.bmp", "/tmp/pics.d/photo_rle.bmp"},
        {"../pics/photo.BMP", "../pics/photo_rle.bmp"},
        // "\x95\x5C" is one character of code page 932: its trail byte is no "\"; nor is a
        // "." after a lead byte an extension.
        {"dir.x\\\x95\x5C", "dir.x\\\x95\x5C_rle.bmp", NextCP932},
        {"\x95\x5C.bmp", "\x95\x5C_rle.bmp", NextCP932},
        {"x\x83.", "x\x83._rle.bmp", NextCP932},
    };
    for (const auto& c : cases) EXPECT_EQ(ReplaceExtension(c.input, "", c.next) + "_rle.bmp", c.output) << c.input;
    EXPECT_EQ(ReplaceExtension("photo.bmp", ".rle", NextSingleByte), "photo.rle");
}

#if defined(_WIN32)
// On Windows the program splits its own command line: started with these exact lines, it reports
// the input it took by its name.
TEST(CommandLine, TheProgramSplitsItsOwnCommandLine) {
    const std::pair<std::string, std::string> cases[] = {
        {"\"\" b.bmp", "b.bmp"},
        {"\"my pic.bmp\"", "my pic.bmp"},
        {"a\"b c\"d.bmp", "ab cd.bmp"},
        {"\"C:\\dir\\\" x", "C:\\dir\\"},
    };
    const test::TempDir directory;
    for (const auto& [arguments, input] : cases) {
        const test::TChildResult result = test::RunCommandLine("\"" BMP2RLE_PATH "\" " + arguments, directory.Path);
        EXPECT_NE(result.Out.find("ファイル " + input + " は開けません."), std::string::npos) << arguments << "\n" << result.Out;
    }
}
#endif

}  // namespace
}  // namespace vdib
