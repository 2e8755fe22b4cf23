// The converter as the user meets it, the rows of tests/data/converter.tsv: the real binary in a
// child process, its report and every file it leaves. A failure is reported at an address that
// stays the same from run to run; no run holds more than 64 MiB, not even for a file that claims
// gigabytes of pixels.
#include "support/Process.h"

namespace vdib::test {
namespace {

const std::string OldContents = "an older picture";

// What a file left in the folder is: nothing more for the input as it was, "=old" for what stood
// there before, "=rle8" or "=rle4" for an RLE file of the input's picture, else "=?".
std::string Note(const fs::path& file, const std::string& input) {
    const std::string bytes = ReadWhole(file);
    if (bytes == input) return "";
    if (bytes == OldContents) return "=old";
    std::string difference = "?";
    RaisedBy([&] { difference = PictureDifference(*ReadPicture(input), *ReadPicture(bytes)); });
    if (!difference.empty() || (bytes[30] != 1 && bytes[30] != 2)) return "=?";  // biCompression
    return bytes[30] == 1 ? "=rle8" : "=rle4";
}

TEST(Converter, EachRowOfTheTable) {
    // case, input, arguments, before, report, files after, 32-bit report
    for (const auto& row : ReadTable("converter.tsv", 7)) {
        SCOPED_TRACE(row[0]);
        TempDir dir;
        std::vector<std::string> arguments;
        std::istringstream split(row[2]);
        for (std::string argument; split >> argument;) arguments.push_back(argument == "\"\"" ? "" : Unescape(argument));
        std::string input;
        if (row[1] != "-") {  // under the first name, as empty arguments do not count
            input = ToString(BmpFile(row[1]));
            const fs::path name = dir.Path / Utf8Path(*std::find_if(arguments.begin(), arguments.end(), [](auto& a) { return !a.empty(); }));
            fs::create_directories(name.parent_path());
            WriteWhole(name, input);
        }
        std::istringstream before(row[3]);
        for (std::string item; before >> item;) {  // name:old, name:read-only or name:folder
            const std::string name = item.substr(0, item.find(':')), kind = item.substr(name.size() + 1);
            const fs::path path = dir.Path / Utf8Path(name);
            if (kind == "folder") fs::create_directory(path);
            else WriteWhole(path, OldContents);
            if (kind == "read-only") fs::permissions(path, fs::perms::owner_read | fs::perms::group_read);
        }
        const TChildResult result = RunChild(BMP2RLE_PATH, arguments, dir.Path);
        const std::string report = Report(result);
        if (sizeof(void*) > 4 || row[6].empty() || report != Unescape(row[6])) {
            EXPECT_EQ(report, Unescape(row[4]));
        }
        EXPECT_LT(result.PeakRssKb, 64 * 1024);
        EXPECT_EQ(Entries(dir.Path, [&](const fs::path& file) { return Note(file, input); }), row[5]);
        if (result.ExitCode == 1) {
            EXPECT_EQ(result.Out.find(" at 00000000."), std::string::npos) << result.Out;
            EXPECT_EQ(RunChild(BMP2RLE_PATH, arguments, dir.Path).Out, result.Out) << "the address changed";
        }
    }
}

}  // namespace
}  // namespace vdib::test
