// The converter when things go wrong around it: outputs that are no files (devices, pipes, FIFOs
// and readers that leave), interrupting signals, and a size limit that stops writing as a full
// disk does. The real binary runs in a child process; the tests look at its report, its exit code
// or signal and the files it leaves. (Places it may not write and files that claim gigabytes of
// pixels are rows of tests/data/converter.tsv.)
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstring>

#include "support/BmpBytes.h"
#include "support/Process.h"

namespace vdib::test {
namespace {

const std::string Converter = BMP2RLE_PATH;
const fs::path Sample = fs::path(EXAMPLES_DIR) / "sample8.bmp";
const std::string WriteFailed = "EWriteError: ストリームへの書き込みエラー.";

// An 8-bit picture whose rows RLE8 can hardly shorten: its output is about as large as its pixels.
void WriteBusyPicture(const fs::path& path, int32_t width, int32_t height) {
    const Bytes file = InfoBmp().Change(Format("width=%d height=%d", width, height)).Build();
    WriteWhole(path, std::string(file.begin(), file.end()));
}

// True once the child has ended; it is left for RunChild to reap.
bool Ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Polls until `reached` holds (true) or the child has ended or 20 s have passed (false).
bool Await(pid_t pid, const std::function<bool()>& reached) {
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20); std::chrono::steady_clock::now() < deadline; ::usleep(200)) {
        if (reached()) return true;
        if (Ended(pid)) return false;
    }
    return false;
}

// Reads from `fd` up to `limit` bytes or to the end. With a child `pid`, first waits while it
// runs for the first bytes (a FIFO opened without waiting reads nothing until its writer comes).
std::string ReadUpTo(int fd, std::size_t limit, pid_t pid = 0) {
    std::string bytes;
    char chunk[4096];
    ssize_t n = 0;
    const auto next = [&] { return n = ::read(fd, chunk, std::min(sizeof chunk, limit - bytes.size())); };
    if (pid != 0) Await(pid, [&] { return next() > 0; });
    else next();
    while (n > 0) {
        bytes.append(chunk, static_cast<std::size_t>(n));
        n = bytes.size() < limit ? next() : 0;
    }
    return bytes;
}

// An output that is no regular file is written directly, the bytes a file would get in the same
// order, and stays what it was: a device, a pipe, a FIFO whose reader is there, comes late, or
// quits early. Reports go to their own standard output, the data to descriptor 3 for the pipe.
TEST(Faults, OutputsThatAreNoFilesGetTheBytesOfAFile) {
    TempDir reference;
    ASSERT_EQ(RunChild(Converter, {Sample.string(), "out.bmp"}, reference.Path).ExitCode, 0);
    const std::string expected = ReadWhole(reference.Path / "out.bmp");
    enum TKind { Null, Full, Pipe, Fifo, FifoReaderLate, FifoReaderQuits };
    std::string skipped;
    for (const TKind kind : {Null, Full, Pipe, Fifo, FifoReaderLate, FifoReaderQuits}) {
        SCOPED_TRACE(kind);
        TempDir dir;
        const fs::path out = dir.Path / "out";
        std::string input = Sample.string(), output = "out", received;
        int pipe[2] = {-1, -1}, reader = -1;
        std::function<void()> beforeExec;
        std::function<void(pid_t)> whileRunning;
        if (kind == Null || kind == Full) {
            skipped = MakeDevice(out, kind == Null ? NullDevice : FullDevice);
            if (!skipped.empty()) continue;
        } else if (kind == Pipe) {
            ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
            output = "/proc/self/fd/3";
            beforeExec = [&] { ::dup2(pipe[1], 3); };
        } else {
            ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
        }
        const auto openReader = [&] {  // without waiting for a writer; then its reads wait for data
            reader = ::open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ::fcntl(reader, F_SETFL, 0);
        };
        if (kind == Fifo) openReader();
        if (kind == FifoReaderLate) {
            whileRunning = [&](pid_t pid) {
                ::usleep(200000);
                EXPECT_FALSE(Ended(pid)) << "a FIFO without a reader is waited on";
                openReader();
                received = ReadUpTo(reader, expected.size() + 1, pid);
            };
        }
        if (kind == FifoReaderQuits) {
            WriteBusyPicture(dir.Path / "busy.bmp", 1024, 1024);
            input = "busy.bmp";
            whileRunning = [&](pid_t pid) {
                openReader();
                EXPECT_EQ(ReadUpTo(reader, 100, pid).size(), 100u);
                ::close(std::exchange(reader, -1));
                if (!Await(pid, [&] { return Ended(pid); })) ::kill(pid, SIGKILL);
            };
        }
        const TChildResult result = RunChild(Converter, {input, output}, dir.Path, beforeExec, whileRunning);
        if (kind == Pipe) ::close(pipe[1]), reader = pipe[0];
        if (kind == Pipe || kind == Fifo) received = ReadUpTo(reader, expected.size() + 1);
        if (reader >= 0) ::close(reader);
        EXPECT_EQ(Report(result), kind == Full || kind == FifoReaderQuits ? WriteFailed : "exit 0");
        EXPECT_TRUE(kind < Pipe || kind > FifoReaderLate || received == expected) << received.size() << " bytes";
        EXPECT_EQ(Entries(dir.Path), kind == Pipe ? "" : kind == FifoReaderQuits ? "busy.bmp out" : "out");
        EXPECT_TRUE(kind == Pipe || (kind <= Full ? fs::is_character_file(out) : fs::is_fifo(out)));
    }
    if (!skipped.empty()) GTEST_SKIP() << "the device cases were left out: " << skipped;
}

// Interrupted by SIGINT, SIGTERM, SIGHUP or SIGQUIT at any moment of a large conversion (while
// it reads, when its temporary file appears, when that file is large), the converter leaves the
// old output as it was and no temporary file behind, or else has just finished the new output;
// and it ends by that signal, as the shell expects (status 128 + n). A file-size limit stops the
// writing as a full disk would: the write error is reported with exit code 1, and every file
// stays as it was, an input converted in place too.
TEST(Faults, InterruptionsAndSizeLimitsLeaveTheOldOutputAndNoTemporaryFile) {
    TempDir dir;
    WriteBusyPicture(dir.Path / "big.bmp", 8192, 8192);
    ASSERT_EQ(RunChild(Converter, {"big.bmp", "new.bmp"}, dir.Path).ExitCode, 0);
    const std::string converted = ReadWhole(dir.Path / "new.bmp"), old = "an older picture";
    const auto temporaryFile = [&] {
        for (const auto& entry : fs::directory_iterator(dir.Path))
            if (entry.path().filename().string().starts_with(".out.bmp.")) return entry.path();
        return fs::path();
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
            WriteWhole(dir.Path / "out.bmp", old);
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
            const TChildResult result = RunChild(Converter, {"big.bmp", "out.bmp"}, dir.Path, plainSignals, [&](pid_t pid) {
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
            EXPECT_EQ(Entries(dir.Path), "big.bmp new.bmp out.bmp");
            const std::string now = ReadWhole(dir.Path / "out.bmp");
            EXPECT_TRUE(now == old || now == converted) << now.size() << " bytes";
        }
    }
    const std::string input = ReadWhole(dir.Path / "big.bmp");
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"big.bmp", "out.bmp"}, {"big.bmp", "big.bmp"}, {"big.bmp"}}) {
        SCOPED_TRACE(arguments.back());
        WriteWhole(dir.Path / "out.bmp", old);
        const TChildResult limited = RunChild(Converter, arguments, dir.Path, [&] {
            plainSignals();
            ::signal(SIGXFSZ, SIG_DFL);
            const rlimit fourMiB{4u << 20, 4u << 20};
            ::setrlimit(RLIMIT_FSIZE, &fourMiB);
        });
        EXPECT_EQ(Report(limited), WriteFailed);
        EXPECT_EQ(Entries(dir.Path), "big.bmp new.bmp out.bmp");
        EXPECT_EQ(ReadWhole(dir.Path / "out.bmp"), old);
        EXPECT_TRUE(ReadWhole(dir.Path / "big.bmp") == input);
    }
}

}  // namespace
}  // namespace vdib::test
