// Splitting a command line, the default output name, and the double-byte walk.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "CommandLine.h"

namespace vdib {
namespace {

// Every argument of `commandLine` after the program, as GetCommandArgument yields them.
std::vector<std::string> ArgumentsOf(const std::string& commandLine, const TLeadBytes& leadBytes = NoLeadBytes()) {
    std::vector<std::string> arguments;
    for (int index = 1;; ++index) {
        std::string argument = GetCommandArgument(commandLine, index, leadBytes);
        if (argument.empty()) return arguments;
        arguments.push_back(argument);
    }
}

TEST(CommandLine, SplitsByTheQuotingRules) {
    const struct {
        std::string CommandLine;
        std::vector<std::string> Arguments;
    } cases[] = {
        {"bmp2rle", {}},
        {"bmp2rle   \t ", {}},
        {"bmp2rle \"\"", {}},
        {"bmp2rle \"\" b.bmp", {"b.bmp"}},
        {"bmp2rle \"\"\"\" b.bmp", {"b.bmp"}},
        {"bmp2rle \"my pic.bmp\"", {"my pic.bmp"}},
        {"bmp2rle a\"b c\"d.bmp", {"ab cd.bmp"}},
        {"bmp2rle \"C:\\dir\\\" x", {"C:\\dir\\", "x"}},
        {"bmp2rle in.bmp out.bmp third fourth", {"in.bmp", "out.bmp", "third", "fourth"}},
        {"bmp2rle \"open ended", {"open ended"}},
        {"bmp2rle a\x01" "b\x1f" "c", {"a", "b", "c"}},
        {"bmp2rle \xe9t\xe9.bmp", {"\xe9t\xe9.bmp"}},
        // An empty pair inside an argument is no argument of its own: it just vanishes.
        {"bmp2rle x\"\"y", {"xy"}},
        // A quoted stretch that ends the line, then nothing more.
        {"bmp2rle a \"\"", {"a"}},
    };
    for (const auto& c : cases) EXPECT_EQ(ArgumentsOf(c.CommandLine), c.Arguments) << c.CommandLine;
}

TEST(CommandLine, IndexZeroIsTheProgramAndIndicesPastTheEndAreEmpty) {
    const std::string line = "\"C:\\Program Files\\bmp2rle.exe\" in.bmp";
    EXPECT_EQ(GetCommandArgument(line, 0, NoLeadBytes()), "C:\\Program Files\\bmp2rle.exe");
    EXPECT_EQ(GetCommandArgument(line, 1, NoLeadBytes()), "in.bmp");
    EXPECT_EQ(GetCommandArgument(line, 2, NoLeadBytes()), "");
    EXPECT_EQ(GetCommandArgument(line, 50, NoLeadBytes()), "");
}

TEST(CommandLine, NextArgumentStopsJustBehindTheArgument) {
    const char* const text = "  \"a b\"c  d";
    const char* position = text;
    EXPECT_EQ(NextArgument(position, NoLeadBytes()), "a bc");
    EXPECT_EQ(position, text + 8);
    EXPECT_EQ(NextArgument(position, NoLeadBytes()), "d");
    EXPECT_EQ(*position, '\0');
    EXPECT_EQ(NextArgument(position, NoLeadBytes()), "");
}

TEST(CommandLine, OwnProgramIsTheRunningExecutable) {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    ASSERT_GT(length, 0);
    const std::string expected(path, static_cast<std::size_t>(length));
    EXPECT_EQ(GetCommandArgument(0), expected.substr(0, 260));
}

TEST(CommandLine, DoubleByteCharactersAreWalkedWhole) {
    // 0x83 0x5C is one character in code page 932; so is 0x95 0x22.
    const TLeadBytes& cp932 = CP932LeadBytes();
    EXPECT_EQ(ArgumentsOf("p \x95\x22 x.bmp", cp932), (std::vector<std::string>{"\x95\x22", "x.bmp"}));
    EXPECT_EQ(ArgumentsOf("p \"\x95\x22 x\" y", cp932), (std::vector<std::string>{"\x95\x22 x", "y"}));
    // Without the table the same 0x22 is a quote and swallows the rest of the line.
    EXPECT_EQ(ArgumentsOf("p \"\x95\x22 x\" y", NoLeadBytes()), (std::vector<std::string>{"\x95", "x y"}));
    // A lead byte at the very end stands alone.
    EXPECT_EQ(ArgumentsOf("p a\x83", cp932), std::vector<std::string>{"a\x83"});
}

TEST(DefaultOutputName, ReplacesTheExtensionAfterTheLastDirectory) {
    const struct {
        const char* Input;
        const char* Output;
    } cases[] = {
        {"photo.bmp", "photo_rle.bmp"},
        {"C:\\pics\\photo.small.bmp", "C:\\pics\\photo.small_rle.bmp"},
        {"C:\\pics.old\\photo", "C:\\pics.old\\photo_rle.bmp"},
        {"photo.", "photo_rle.bmp"},
        {".bmp", "_rle.bmp"},
        {"D:photo", "D:photo_rle.bmp"},
        {"photo", "photo_rle.bmp"},
        // "/" separates directories here: the dot in a directory name is no extension.
        {"dir.x/photo", "dir.x/photo_rle.bmp"},
        {"/tmp/pics.d/photo.bmp", "/tmp/pics.d/photo_rle.bmp"},
        {"./photo", "./photo_rle.bmp"},
        {"../pics/photo.BMP", "../pics/photo_rle.bmp"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReplaceExtension(c.Input, "", NoLeadBytes()) + "_rle.bmp", c.Output) << c.Input;
    EXPECT_EQ(ReplaceExtension("photo.bmp", ".rle", NoLeadBytes()), "photo.rle");
}

TEST(DefaultOutputName, TrailByteIsNoDelimiter) {
    // "\x95\x5C" is one character of code page 932 (its trail byte is the value of "\").
    const std::string name = "a.b\\c\x95\x5C";
    EXPECT_EQ(FindLastDelimiter(".\\", name, CP932LeadBytes()), 4u);
    EXPECT_EQ(FindLastDelimiter(".\\", name, NoLeadBytes()), 7u);
    EXPECT_EQ(ReplaceExtension("dir.x\\\x95\x5C", "", CP932LeadBytes()), "dir.x\\\x95\x5C");
    EXPECT_EQ(ReplaceExtension("\x95\x5C.bmp", "", CP932LeadBytes()), "\x95\x5C");
    // A "." after a lead byte is its trail byte, not an extension.
    EXPECT_EQ(ReplaceExtension("x\x83.", "", CP932LeadBytes()), "x\x83.");
    EXPECT_EQ(FindLastDelimiter(".", std::string("a.b\0c", 5), NoLeadBytes()), 2u);
    EXPECT_EQ(FindLastDelimiter(".", "", NoLeadBytes()), 0u);
}

}  // namespace
}  // namespace vdib
