// The converter when things go wrong around it: a disk that fills up, places it may not write,
// devices named as output, files that claim pictures of gigabytes, and memcheck watching a whole
// run. The real binary runs in a child process; the tests look at its report, its exit code, its
// peak memory and the files it leaves.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <VDIBitmap/Messages.h>
#include <VDIBitmap/SysUtils.h>
#include "support/BmpBytes.h"
#include "support/ChildProcess.h"

namespace vdib::test {
namespace {

namespace fs = std::filesystem;

const std::string Converter = BMP2RLE_PATH;
const fs::path Examples = EXAMPLES_DIR;

// "Exception <class> in module bmp2rle at <8 hex digits>.", the message with "." appended, an
// empty line; exit code 1.
void ExpectReport(const TChildResult& result, const std::string& exceptionClass, const std::string& message) {
    const std::string head = "Exception " + exceptionClass + " in module bmp2rle at ";
    const std::string tail = ".\r\n" + message + ".\r\n\r\n";
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_TRUE(result.Out.size() == head.size() + 8 + tail.size() && result.Out.starts_with(head) &&
                result.Out.ends_with(tail))
        << result.Out;
}

std::string CannotCreate(const std::string& name) { return Format(msg::FCreateError, name.c_str()); }

std::vector<std::string> Entries(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A 64 KiB tmpfs over `where` for the life of the object. It is mounted in a mount namespace
// of this test process's own, which the children share, so that a test that dies leaves no
// mount behind. Mounted() is false where this process may not mount.
class TSmallDisk {
public:
    explicit TSmallDisk(const fs::path& where) : FWhere(where) {
        fs::create_directory(where);
        static const bool ownNamespace =
            ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        FMounted = ownNamespace && ::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~TSmallDisk() {
        if (FMounted) ::umount2(FWhere.c_str(), MNT_DETACH);
    }
    TSmallDisk(const TSmallDisk&) = delete;
    TSmallDisk& operator=(const TSmallDisk&) = delete;

    bool Mounted() const { return FMounted; }

    // Takes every free byte into the file "filler".
    void Fill() const {
        std::FILE* filler = std::fopen((FWhere / "filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        std::setvbuf(filler, nullptr, _IONBF, 0);
        const std::vector<char> page(4096, 'F');
        while (std::fwrite(page.data(), 1, page.size(), filler) == page.size()) {
        }
        std::fclose(filler);
    }

    bool MakeReadOnly() const {
        return ::mount(nullptr, FWhere.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, "size=64k") == 0;
    }

private:
    fs::path FWhere;
    bool FMounted = false;
};

// Writing the output on a full disk fails with the write error; the temporary file that was
// to replace the output goes, so an input converted in place survives intact.
TEST(Faults, FullDiskReportsTheWriteErrorAndLeavesEveryFileAsItWas) {
    TempDir directory;
    fs::copy_file(Examples / "sample8.bmp", directory.Path / "in.bmp");
    TSmallDisk disk(directory.Path / "disk");
    if (!disk.Mounted()) {
        ExpectReport(RunChild(Converter, {"in.bmp", "/dev/full"}, directory.Path), "EWriteError", msg::WriteError);
        GTEST_SKIP() << "no tmpfs can be mounted here: only /dev/full stood in for the full disk";
    }
    fs::copy_file(Examples / "sample8.bmp", directory.Path / "disk/in.bmp");
    disk.Fill();
    const std::string original = ReadWhole(Examples / "sample8.bmp");
    const std::vector<std::vector<std::string>> argumentLists = {
        {"in.bmp", "disk/out.bmp"}, {"disk/in.bmp", "disk/in.bmp"}, {"disk/in.bmp"}};
    for (const auto& arguments : argumentLists) {
        SCOPED_TRACE(arguments.back());
        ExpectReport(RunChild(Converter, arguments, directory.Path), "EWriteError", msg::WriteError);
        EXPECT_EQ(ReadWhole(directory.Path / "disk/in.bmp"), original);
        EXPECT_EQ(Entries(directory.Path / "disk"), (std::vector<std::string>{"filler", "in.bmp"}));
    }
}

// An output that cannot be created is refused before anything is written, and whatever stood
// there stays as it was.
TEST(Faults, UnwritablePlacesAreRefusedAndNothingIsTouched) {
    TempDir directory;
    const fs::path base = directory.Path;
    fs::copy_file(Examples / "sample8.bmp", base / "in.bmp");
    fs::create_directory(base / "folder");
    TSmallDisk readOnly(base / "ro");
    std::ofstream(base / "ro/old.bmp") << "old";
    const bool refusesWrites = readOnly.Mounted() ? readOnly.MakeReadOnly() : ::geteuid() != 0;
    if (!readOnly.Mounted()) fs::permissions(base / "ro", fs::perms::owner_read | fs::perms::owner_exec);

    std::vector<std::string> outputs = {"missing/out.bmp", "folder", "folder/"};
    if (refusesWrites) outputs.insert(outputs.end(), {"ro/old.bmp", "ro/new.bmp"});
    for (const std::string& output : outputs) {
        SCOPED_TRACE(output);
        ExpectReport(RunChild(Converter, {"in.bmp", output}, base), "EFCreateError", CannotCreate(output));
        EXPECT_EQ(Entries(base), (std::vector<std::string>{"folder", "in.bmp", "ro"}));
        EXPECT_TRUE(Entries(base / "folder").empty());
        EXPECT_EQ(Entries(base / "ro"), std::vector<std::string>{"old.bmp"});
        EXPECT_EQ(ReadWhole(base / "ro/old.bmp"), "old");
    }
    if (!readOnly.Mounted()) fs::permissions(base / "ro", fs::perms::owner_all);
    if (!refusesWrites) GTEST_SKIP() << "root without a mount: no place here refuses writes";
}

// A device is no file to replace: the output is written into it, and the device stays.
TEST(Faults, DevicesNamedAsOutputAreWrittenToAndNeverReplaced) {
    const struct {
        std::string Device;
        int ExitCode;
    } cases[] = {{"/dev/null", 0}, {"/dev/full", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Device);
        TempDir directory;
        struct stat before {};
        struct stat after {};
        ASSERT_EQ(::stat(c.Device.c_str(), &before), 0);
        const TChildResult result = RunChild(Converter, {(Examples / "sample8.bmp").string(), c.Device}, directory.Path);
        if (c.ExitCode == 0) {
            EXPECT_EQ(result.ExitCode, 0);
            EXPECT_EQ(result.Out, "");
        } else {
            ExpectReport(result, "EWriteError", msg::WriteError);
        }
        ASSERT_EQ(::stat(c.Device.c_str(), &after), 0);
        EXPECT_TRUE(S_ISCHR(after.st_mode));
        EXPECT_EQ(after.st_rdev, before.st_rdev);
        EXPECT_EQ(after.st_ino, before.st_ino);
        for (const auto& entry : fs::directory_iterator("/dev"))
            EXPECT_FALSE(entry.path().filename().string().starts_with("." + fs::path(c.Device).filename().string() + "."));
    }
}

// A file of a few hundred bytes that claims a picture of about 2 GB: refused by the size check
// (just over 2^31 - 1 bytes of pixels) or, just under it, by the data running out after the
// pixel block was reserved but not touched. Time and memory of each run are printed; only a
// hang counts as a failure of time.
TEST(Faults, FilesClaimingHugePicturesAreRefusedCheaply) {
    Bytes runs;  // RLE commands that reach far apart rows, without end-of-bitmap
    for (int i = 0; i < 40; ++i) runs.insert(runs.end(), {0xFF, 0x07, 0x00, 0x02, 0x00, 0xFF});
    Bytes raw(200, 0x07);
    const auto info = [](int32_t width, int32_t height, uint16_t bitCount, uint32_t compression, const Bytes& pixels) {
        InfoBmp bmp;
        bmp.width = width;
        bmp.height = height;
        bmp.bitCount = bitCount;
        bmp.compression = compression;
        bmp.clrUsed = bmp.tableEntries = 2;
        bmp.pixels = pixels;
        return bmp.Build();
    };
    const struct {
        std::string Name;
        Bytes File;
        std::string ExceptionClass;
        std::string Message;
    } cases[] = {
        {"8-bit 46400 x 46400", info(46400, 46400, 8, 0, raw), "EInvalidGraphic", msg::InvalidSize},
        {"24-bit core 65535 x 65535", [&] {
             InfoBmp core;
             core.headerSize = 12;
             core.width = core.height = 65535;
             core.bitCount = 24;
             core.tableEntries = 0;
             core.pixels = raw;
             return core.Build();
         }(), "EInvalidGraphic", msg::InvalidSize},
        {"8-bit 40000 x 53000", info(40000, 53000, 8, 0, raw), "EReadError", msg::ReadError},
        {"RLE8 40000 x 53000", info(40000, 53000, 8, 1, runs), "EReadError", msg::ReadError},
        {"RLE4 80000 x 53000", info(80000, 53000, 4, 2, runs), "EReadError", msg::ReadError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir directory;
        std::ofstream(directory.Path / "huge.bmp", std::ios::binary)
            .write(reinterpret_cast<const char*>(c.File.data()), static_cast<std::streamsize>(c.File.size()));
        const auto start = std::chrono::steady_clock::now();
        const TChildResult result = RunChild(Converter, {"huge.bmp", "out.bmp"}, directory.Path);
        const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
        std::printf("[ measured ] %s: %zu bytes, refused in %.3f s, peak RSS %ld KiB\n", c.Name.c_str(),
                    c.File.size(), seconds.count(), result.PeakRssKb);
        EXPECT_LT(c.File.size(), 1000u);
        ExpectReport(result, c.ExceptionClass, c.Message);
        EXPECT_LT(result.PeakRssKb, 64 * 1024);
        EXPECT_LT(seconds.count(), 10.0);
        EXPECT_FALSE(fs::exists(directory.Path / "out.bmp"));
    }
}

std::string FindProgram(const std::string& name) {
    std::istringstream path(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "");
    for (std::string folder; std::getline(path, folder, ':');) {
        const fs::path candidate = fs::path(folder) / name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// Memcheck over whole runs, converting the samples and failing half-way through a file: no
// invalid access, no uninitialised value used, nothing lost. (Memory still reachable at exit is
// the process's own globals: the program ends as its platform's processes do, without running
// static destructors.)
TEST(Faults, MemcheckFindsNoErrorsAndNoLeaks) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "memcheck cannot run a program built with AddressSanitizer";
#endif
    const std::string valgrind = FindProgram("valgrind");
    if (valgrind.empty()) GTEST_SKIP() << "valgrind is not installed";
    const struct {
        std::string Input;
        int ExitCode;
    } cases[] = {{"sample8.bmp", 0}, {"sample4.bmp", 0}, {"cut.bmp", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Input);
        TempDir directory;
        const std::string sample = ReadWhole(Examples / "sample8.bmp");
        std::ofstream(directory.Path / "cut.bmp", std::ios::binary) << sample.substr(0, sample.size() / 2);
        const fs::path input = c.Input == "cut.bmp" ? directory.Path / c.Input : Examples / c.Input;
        const TChildResult result = RunChild(valgrind,
                                             {"-q", "--error-exitcode=99", "--leak-check=full",
                                              "--errors-for-leak-kinds=definite,indirect,possible", Converter,
                                              input.string(), "out.bmp"},
                                             directory.Path);
        EXPECT_EQ(result.ExitCode, c.ExitCode) << result.Err;
        EXPECT_EQ(result.Err, "");
        EXPECT_EQ(fs::exists(directory.Path / "out.bmp"), c.ExitCode == 0);
    }
}

}  // namespace
}  // namespace vdib::test
