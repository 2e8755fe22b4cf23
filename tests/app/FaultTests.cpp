// The converter when things go wrong around it: a disk that fills up, places it may not write,
// outputs that are no files (devices, pipes, FIFOs and readers that leave), interrupting signals
// and size limits, files that claim pictures of gigabytes, and memcheck watching a whole run.
// The real binary runs in a child process; the tests look at its report, its exit code or
// signal, its peak memory and the files it leaves.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    if (!disk.Mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
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

// An 8-bit picture of `width` x `height` whose rows RLE8 can hardly shorten: its output is
// about as large as its pixels.
void WriteBusyPicture(const fs::path& path, int32_t width, int32_t height) {
    InfoBmp bmp;
    bmp.width = width, bmp.height = height;
    bmp.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::size_t i = 0; i < bmp.pixels.size(); ++i) bmp.pixels[i] = static_cast<uint8_t>((i * 7) ^ (i >> 3));
    const Bytes file = bmp.Build();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
}

// True once the child has ended; it is left for RunChild to reap.
bool Ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Polls until `reached` holds (true) or the child has ended or 20 s have passed (false).
bool Await(pid_t pid, const std::function<bool()>& reached) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (reached()) return true;
        if (Ended(pid)) return false;
        ::usleep(200);
    }
    return false;
}

std::string ReadAll(int fd) {
    std::string bytes;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) bytes.append(chunk, static_cast<std::size_t>(n));
    return bytes;
}

// Opens the FIFO for reading without waiting for a writer and reads what the child writes into
// it, up to `limit` bytes or to the end; gives up if the child ends before it writes anything.
std::string ReadFromFifo(const fs::path& fifo, pid_t pid, std::size_t limit) {
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ::fcntl(fd, F_SETFL, 0);  // from here a read waits for data while a writer has the FIFO open
    std::string bytes;
    char chunk[4096];
    ssize_t n = 0;
    const auto next = [&] { return n = ::read(fd, chunk, std::min(sizeof chunk, limit - bytes.size())); };
    Await(pid, [&] { return next() > 0; });  // 0 while no writer has come
    while (n > 0) {
        bytes.append(chunk, static_cast<std::size_t>(n));
        if (bytes.size() >= limit) break;
        next();
    }
    ::close(fd);
    return bytes;
}

// An output that is no regular file is written directly, the bytes a file would get in the same
// order, and stays what it was: a device, a pipe, a FIFO whose reader is there, comes late, or
// quits early. Reports go to their own standard output, the data to descriptor 3 for the pipe.
TEST(Faults, OutputsThatAreNoFilesGetTheBytesOfAFile) {
    TempDir reference;
    const std::string sample = (Examples / "sample8.bmp").string();
    ASSERT_EQ(RunChild(Converter, {sample, "out.bmp"}, reference.Path).ExitCode, 0);
    const std::string expected = ReadWhole(reference.Path / "out.bmp");
    enum TKind { Null, Full, Pipe, Fifo, FifoReaderLate, FifoReaderQuits };
    const struct {
        const char* Name;
        TKind Kind;
    } cases[] = {{"null device", Null}, {"full device", Full}, {"pipe", Pipe},
                 {"FIFO with a reader", Fifo}, {"FIFO whose reader comes late", FifoReaderLate},
                 {"FIFO whose reader quits early", FifoReaderQuits}};
    std::string skipped;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir directory;
        const fs::path out = directory.Path / "out";
        std::string input = sample, output = "out", received;
        int pipe[2] = {-1, -1}, reader = -1;
        std::function<void()> beforeExec;
        std::function<void(pid_t)> whileRunning;
        if (c.Kind == Null || c.Kind == Full) {
            const std::string why = MakeDevice(out, c.Kind == Null ? NullDevice : FullDevice);
            if (!why.empty()) {
                skipped = why;
                continue;
            }
        } else if (c.Kind == Pipe) {
            ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
            output = "/proc/self/fd/3";
            beforeExec = [&] { ::dup2(pipe[1], 3); };
        } else {
            ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
        }
        if (c.Kind == Fifo) reader = ::open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (c.Kind == FifoReaderLate) {
            whileRunning = [&](pid_t pid) {
                ::usleep(200000);
                EXPECT_FALSE(Ended(pid)) << "a FIFO without a reader is waited on";
                received = ReadFromFifo(out, pid, expected.size() + 1);
            };
        }
        if (c.Kind == FifoReaderQuits) {
            input = "busy.bmp";
            WriteBusyPicture(directory.Path / input, 1024, 1024);
            whileRunning = [&](pid_t pid) {
                EXPECT_EQ(ReadFromFifo(out, pid, 100).size(), 100u);
                const auto start = std::chrono::steady_clock::now();
                if (!Await(pid, [&] { return Ended(pid); })) ::kill(pid, SIGKILL);
                const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
                std::printf("[ measured ] the reader quit; the converter ended %.3f s later\n", seconds.count());
            };
        }
        const TChildResult result = RunChild(Converter, {input, output}, directory.Path, beforeExec, whileRunning);
        if (c.Kind == Pipe) {
            ::close(pipe[1]);
            received = ReadAll(pipe[0]);
            ::close(pipe[0]);
        } else if (c.Kind == Fifo) {
            received = ReadAll(reader);
        }
        if (reader >= 0) ::close(reader);

        if (c.Kind == Full || c.Kind == FifoReaderQuits) {
            ExpectReport(result, "EWriteError", msg::WriteError);
        } else {
            EXPECT_EQ(result.ExitCode, 0);
            EXPECT_EQ(result.Out, "");
        }
        if (c.Kind >= Pipe && c.Kind <= FifoReaderLate) {
            EXPECT_TRUE(received == expected) << received.size() << " bytes";
        }
        const bool device = c.Kind == Null || c.Kind == Full;
        if (c.Kind != Pipe) {
            EXPECT_TRUE(device ? fs::is_character_file(out) : fs::is_fifo(out));
        }
        EXPECT_EQ(Entries(directory.Path).size(), c.Kind == Pipe ? 0u : c.Kind == FifoReaderQuits ? 2u : 1u);
    }
    if (!skipped.empty()) GTEST_SKIP() << "the device cases were left out: " << skipped;
}

// Interrupted by SIGINT, SIGTERM, SIGHUP or SIGQUIT at any moment of a large conversion (while
// it reads, when its temporary file appears, when that file is large), the converter leaves the
// old output as it was and no temporary file behind, or else has just finished the new output;
// and it ends by that signal, as the shell expects (status 128 + n). A file-size limit is a
// failed write like a full disk: the report, exit code 1, the old output as it was.
TEST(Faults, InterruptionsAndSizeLimitsLeaveTheOldOutputAndNoTemporaryFile) {
    TempDir directory;
    WriteBusyPicture(directory.Path / "big.bmp", 8192, 8192);
    ASSERT_EQ(RunChild(Converter, {"big.bmp", "new.bmp"}, directory.Path).ExitCode, 0);
    const std::string converted = ReadWhole(directory.Path / "new.bmp");
    const std::vector<std::string> entries = {"big.bmp", "new.bmp", "out.bmp"};
    const std::string old = "an older picture";
    const auto temporaryFile = [&]() -> fs::path {
        for (const auto& entry : fs::directory_iterator(directory.Path))
            if (entry.path().filename().string().starts_with(".out.bmp.")) return entry.path();
        return {};
    };
    // In the child: the signals as a shell leaves them for a program it starts, and no core file.
    const auto plainSignals = [] {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::signal(signal, SIG_DFL);
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
    };
    enum TMoment { HandlersInstalled, TemporaryFileMade, TemporaryFileLarge };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        for (const TMoment moment : {HandlersInstalled, TemporaryFileMade, TemporaryFileLarge}) {
            SCOPED_TRACE(testing::Message() << strsignal(signal) << " at moment " << moment);
            WriteWhole(directory.Path / "out.bmp", old);
            const auto handlerInstalled = [&](pid_t pid) {
                std::ifstream status("/proc/" + std::to_string(pid) + "/status");
                bool named = false;
                for (std::string line; std::getline(status, line);) {
                    if (line == "Name:\tbmp2rle") named = true;
                    if (named && line.starts_with("SigCgt:")) return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
                }
                return false;
            };
            bool reached = false;
            const TChildResult result = RunChild(Converter, {"big.bmp", "out.bmp"}, directory.Path, plainSignals, [&](pid_t pid) {
                reached = Await(pid, [&] {
                    if (moment == HandlersInstalled) return handlerInstalled(pid);
                    std::error_code error;
                    const fs::path temporary = temporaryFile();
                    return !temporary.empty() && (moment == TemporaryFileMade || fs::file_size(temporary, error) >= (16u << 20));
                });
                ::kill(pid, signal);
            });
            EXPECT_TRUE(reached) << "the run ended before that moment";
            EXPECT_EQ(result.Signal, signal) << result.Out;
            EXPECT_EQ(Entries(directory.Path), entries);
            const std::string now = ReadWhole(directory.Path / "out.bmp");
            EXPECT_TRUE(now == old || now == converted) << now.size() << " bytes";
        }
    }
    WriteWhole(directory.Path / "out.bmp", old);
    const TChildResult limited = RunChild(Converter, {"big.bmp", "out.bmp"}, directory.Path, [&] {
        plainSignals();
        ::signal(SIGXFSZ, SIG_DFL);
        const rlimit fourMiB{4u << 20, 4u << 20};
        ::setrlimit(RLIMIT_FSIZE, &fourMiB);
    });
    ExpectReport(limited, "EWriteError", msg::WriteError);
    EXPECT_EQ(Entries(directory.Path), entries);
    EXPECT_EQ(ReadWhole(directory.Path / "out.bmp"), old);
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
