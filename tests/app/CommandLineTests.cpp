// Splitting a command line and the default output name: the rows of tests/data/commandline.tsv.
#include <gtest/gtest.h>

#include "CommandLine.h"
#include "support/Files.h"

namespace vdib::test {
namespace {

TEST(CommandLine, EachRowOfTheTable) {
    for (const auto& row : ReadTable("commandline.tsv", 4)) {  // call, code page, text, expected
        const TCharacterStep next = row[1] == "932" ? NextCP932 : NextSingleByte;
        const std::string text = Unescape(row[2]);
        std::string result = row[0] == "name" ? ReplaceExtension(text, "_rle.bmp", next) : "";
        for (int i = 0; row[0] == "arguments" && !GetCommandArgument(text, i, next).empty(); ++i)
            result += (i == 0 ? "" : "|") + GetCommandArgument(text, i, next);
        EXPECT_EQ(result, Unescape(row[3])) << row[2];
    }
}

}  // namespace
}  // namespace vdib::test
