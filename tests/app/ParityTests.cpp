// The converter built for another platform against the converter built here: the same inputs and
// arguments must give the same exit code, the same report (the module's name and offset aside)
// and the same files, byte for byte. The Windows build runs when VDIB_WINDOWS_BMP2RLE names its
// bmp2rle.exe (make test-windows does), through Wine; the WebAssembly build when
// VDIB_NODE_BMP2RLE names its bmp2rle.cjs (make test-web does), through Node.
#include <cstdio>
#include <cstdlib>

#include "support/Process.h"

namespace vdib::test {
namespace {

// How a converter is started: a program, and the arguments that go before the converter's own.
struct TConverter {
    std::string Program;
    std::vector<std::string> Prefix;
    bool UnderWine = false;
};

// Runs of the Windows converter that Wine failed to start and were run again.
int WineRetries = 0;

// What one converter leaves in a fresh folder holding `input` as `inputName` (none when empty):
// its exit code, its standard output and every file, a line each. The converter reports every
// failure on standard output, so a run under Wine that fails without a word is Wine's own failure
// to start it (seen once in some 1,700 runs), and is run again.
std::string Outcome(const TConverter& converter, const std::string& input, const std::string& inputName,
                    const std::vector<std::string>& arguments) {
    TempDir directory;
    if (!input.empty()) WriteWhole(directory / inputName, input);
    std::vector<std::string> all = converter.Prefix;
    all.insert(all.end(), arguments.begin(), arguments.end());
    TChildResult result = RunChild(converter.Program, all, directory.Path);
    for (int retry = 0; retry < 2 && converter.UnderWine && result.ExitCode != 0 && result.Out.empty(); ++retry) {
        ++WineRetries;
        std::printf("[ wine     ] run again after exit %d, stderr: %s\n", result.ExitCode, result.Err.c_str());
        result = RunChild(converter.Program, all, directory.Path);
    }
    return Format("exit %d\n", result.ExitCode) + std::regex_replace(result.Out, std::regex("in module [^ ]+ at [0-9A-F]{8}"), "in module - at -") +
           Entries(directory.Path, [](const fs::path& file) {
               const std::string bytes = ReadWhole(file);
               return Format(" (%zu bytes, hash %016llx)", bytes.size(), static_cast<unsigned long long>(std::hash<std::string>()(bytes)));
           });
}

void ExpectSameOutcome(const std::string& input, const std::vector<std::string>& arguments, const TConverter& other,
                       const std::string& inputName = "in.bmp") {
    EXPECT_EQ(Outcome(other, input, inputName, arguments), Outcome({BMP2RLE_PATH, {}}, input, inputName, arguments));
}

void ExpectSameOutcomes(const TConverter& other) {
    // The argument cases of the converter's own tests, on one picture, and names beyond ASCII, the
    // input's and the output's, given and made from the input's: the input goes under such a name
    // (but for one that names no file), else under in.bmp.
    const std::string sample = ReadWhole(fs::path(EXAMPLES_DIR) / "sample8.bmp");
    const std::vector<std::vector<std::string>> argumentCases = {
        {}, {""}, {"in.bmp"}, {"in.bmp", "out.bmp"}, {"in.bmp", "in.bmp"}, {"", "in.bmp"}, {"missing.bmp"},
        {"in.bmp", "missing/out.bmp"}, {"in.bmp", "out.bmp", "third"}, {"ロゴ.bmp"}, {"café.bmp"}, {"🎨.bmp"},
        {"ロゴ.bmp", "出力 ファイル.bmp"}, {"ないです.bmp"}};
    for (const auto& arguments : argumentCases) {
        SCOPED_TRACE(testing::PrintToString(arguments));
        const bool ascii = arguments.empty() || std::all_of(arguments[0].begin(), arguments[0].end(), [](unsigned char c) { return c < 0x80; });
        ExpectSameOutcome(sample, arguments, other, ascii || arguments[0] == "ないです.bmp" ? "in.bmp" : arguments[0]);
    }
    // Every picture of the project's corpus and, where it is at hand, of the shared one.
    int pictures = 0;
    for (const fs::path& folder : {fs::path(TEST_DATA_DIR) / "corpus", fs::path(SHARED_CORPUS_DIR)}) {
        if (!fs::is_directory(folder)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(folder)) {
            if (!entry.is_regular_file() || entry.path().extension() != ".bmp") continue;
            SCOPED_TRACE(entry.path().string());
            ExpectSameOutcome(ReadWhole(entry.path()), {"in.bmp", "out.bmp"}, other);
            ++pictures;
        }
    }
    std::printf("[ measured ] %d pictures and %zu argument cases compared, %d runs started again under Wine\n",
                pictures, argumentCases.size(), WineRetries);
    EXPECT_GE(pictures, 60);
}

TEST(Parity, WindowsConverterGivesTheSameReportsAndFiles) {
    const char* windows = std::getenv("VDIB_WINDOWS_BMP2RLE");
    if (windows == nullptr) GTEST_SKIP() << "VDIB_WINDOWS_BMP2RLE names no Windows build (make test-windows)";
    ExpectSameOutcomes({WINE_RUN_PATH, {windows}, true});
}

// Node is found on the PATH, as a user of the script starts it.
TEST(Parity, NodeConverterGivesTheSameReportsAndFiles) {
    const char* script = std::getenv("VDIB_NODE_BMP2RLE");
    if (script == nullptr) GTEST_SKIP() << "VDIB_NODE_BMP2RLE names no WebAssembly build (make test-web)";
    ExpectSameOutcomes({"/usr/bin/env", {"node", script}});
}

}  // namespace
}  // namespace vdib::test
