// Splitting a command line and the default output name: the rows of tests/data/commandline.tsv.
#include "CommandLine.h"
#include "support/Process.h"

namespace vdib::test {
namespace {

TEST(CommandLine, EachRowOfTheTable) {
    for (const auto& row : ReadTable("commandline.tsv", 4)) {  // call, code page, text, expected
        const TCharacterStep next = row[1] == "932" ? NextCP932Character : NextSingleByte;
        const std::string text = Unescape(row[2]);
        std::string result = row[0] == "name" ? ReplaceExtension(text, "_rle.bmp", next) : "";
        for (int i = 0; row[0] == "arguments" && !GetCommandArgument(text, i, next).empty(); ++i)
            result += (i == 0 ? "" : "|") + GetCommandArgument(text, i, next);
        EXPECT_EQ(result, Unescape(row[3])) << row[2];
    }
}

#if defined(_WIN32)
// On Windows the program splits its own command line: started with exactly these lines, it
// reports the input it took by its name. Text that is no text in the process's code page (a lone
// byte past 0x7F in UTF-8) cannot be handed over as it stands.
TEST(CommandLine, TheProgramSplitsItsOwnCommandLine) {
    for (const auto& row : ReadTable("commandline.tsv", 4)) {
        if (row[0] != "arguments" || row[1] == "932" || row[2][0] == '"' || row[3].find('|') == std::string::npos) continue;
        const std::string text = Unescape(row[2]), input = Unescape(row[3]).substr(Unescape(row[3]).find('|') + 1);
        if (::MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0) == 0)
            continue;
        const std::string arguments = text.substr(text.find_first_of(" \t"));
        const TChildResult result = RunCommandLine("\"" BMP2RLE_PATH "\"" + arguments, TempDir().Path);
        EXPECT_EQ(Report(result).substr(0, 12), "EFOpenError:") << row[2] << "\n" << result.Out;
        EXPECT_NE(result.Out.find("ファイル " + input.substr(0, input.find('|')) + " は開けません"), std::string::npos) << row[2];
    }
}
#endif

}  // namespace
}  // namespace vdib::test
