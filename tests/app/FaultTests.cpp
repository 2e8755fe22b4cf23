// The converter, in a child process, when things go wrong around it: outputs that are pipes and
// FIFOs, readers that leave, interrupting signals, and a size limit that stops writing as a full
// disk does. (Devices as outputs: the SaveFile test.)
#include "support/Process.h"

namespace vdib::test {
namespace {

const std::string Converter = BMP2RLE_PATH;
const std::string WriteFailed = "EWriteError: ストリームへの書き込みエラー.";

// Reads from `fd` up to `limit` bytes or to the end; with a child `pid`, first waits for the
// first bytes while it runs (a FIFO reads nothing until its writer comes).
std::string ReadUpTo(int fd, std::size_t limit, pid_t pid = 0) {
    std::string bytes;
    char chunk[4096];
    ssize_t n = 0;
    const auto next = [&] { return n = ::read(fd, chunk, std::min(sizeof chunk, limit - bytes.size())); };
    if (pid == 0 || !Await(pid, [&] { return next() > 0; })) next();
    for (; n > 0; n = bytes.size() < limit ? next() : 0) bytes.append(chunk, static_cast<std::size_t>(n));
    return bytes;
}

// An output that is no regular file is written directly, the bytes a file would get in the same
// order, and stays what it was: a pipe (descriptor 3), a FIFO whose reader is there, comes late,
// or quits early. Reports go to the converter's own standard output.
TEST(Faults, OutputsThatAreNoFilesGetTheBytesOfAFile) {
    const std::string sample = fs::path(EXAMPLES_DIR) / "sample8.bmp";
    TempDir reference;
    ASSERT_EQ(RunChild(Converter, {sample, "out"}, reference.Path).ExitCode, 0);
    const std::string expected = ReadWhole(reference.Path / "out");
    enum TKind { Pipe, Fifo, FifoReaderLate, FifoReaderQuits };
    for (const TKind kind : {Pipe, Fifo, FifoReaderLate, FifoReaderQuits}) {
        SCOPED_TRACE(kind);
        TempDir dir;
        const fs::path out = dir.Path / "out";
        std::string input = sample, received;
        int pipe[2] = {-1, -1}, reader = -1;
        const auto openReader = [&] {  // without waiting for a writer; then its reads wait for data
            reader = ::open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ::fcntl(reader, F_SETFL, 0);
        };
        ASSERT_EQ(kind == Pipe ? ::pipe2(pipe, O_CLOEXEC) : ::mkfifo(out.c_str(), 0600), 0);
        if (kind == Fifo) openReader();
        std::function<void(pid_t)> whileRunning = [&](pid_t pid) {
            ::usleep(200000);
            EXPECT_FALSE(Ended(pid)) << "a FIFO without a reader is waited on";
            openReader();
            received = ReadUpTo(reader, expected.size() + 1, pid);
        };
        if (kind == FifoReaderQuits) {
            WriteWhole(dir.Path / "busy.bmp", BmpFile("width=1024 height=1024"));  // RLE8 can hardly shorten it
            input = "busy.bmp";
            whileRunning = [&](pid_t pid) {
                openReader();
                EXPECT_EQ(ReadUpTo(reader, 100, pid).size(), 100u);
                ::close(std::exchange(reader, -1));
                if (!Await(pid, [&] { return Ended(pid); })) ::kill(pid, SIGKILL);
            };
        }
        const TChildResult result = RunChild(Converter, {input, kind == Pipe ? "/proc/self/fd/3" : "out"}, dir.Path,
                                             [&] { ::dup2(pipe[1], 3); }, kind >= FifoReaderLate ? whileRunning : nullptr);
        if (kind == Pipe) ::close(pipe[1]), reader = pipe[0];
        if (kind <= Fifo) received = ReadUpTo(reader, expected.size() + 1);
        ::close(reader);
        EXPECT_EQ(Report(result), kind == FifoReaderQuits ? WriteFailed : "exit 0");
        EXPECT_TRUE(kind == FifoReaderQuits || received == expected) << received.size() << " bytes";
        EXPECT_EQ(Entries(dir.Path), kind == Pipe ? "" : kind == FifoReaderQuits ? "busy.bmp out" : "out");
        EXPECT_TRUE(kind == Pipe || fs::is_fifo(out));
    }
}

// Interrupted by SIGINT, SIGTERM, SIGHUP, SIGQUIT or a timer's SIGALRM when its temporary file
// appears or has grown large, the converter leaves the old output as it was and no temporary file,
// or else has just finished the new output, and it ends by that signal (status 128 + n, as the
// shell expects); a fault while it writes (SIGSEGV) ends it with its run-time error, as cleanly. A
// file-size limit stops the writing as a full disk would: the write error is reported, and every
// file stays as it was, an input converted in place too. A small address space refuses no file
// for a size that its data does not hold.
TEST(Faults, InterruptionsAndSizeLimitsLeaveTheOldOutputAndNoTemporaryFile) {
    TempDir dir;
    WriteWhole(dir.Path / "big.bmp", BmpFile("width=8192 height=8192"));  // RLE8 can hardly shorten it
    ASSERT_EQ(RunChild(Converter, {"big.bmp", "new.bmp"}, dir.Path).ExitCode, 0);
    const std::string input = ReadWhole(dir.Path / "big.bmp"), converted = ReadWhole(dir.Path / "new.bmp"), old = "an older picture";
    const auto temporarySize = [&]() -> std::intmax_t {  // -1: no temporary file
        for (const auto& entry : fs::directory_iterator(dir.Path))
            if (entry.path().filename().string().starts_with(".out.bmp.")) return entry.file_size();
        return -1;
    };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGSEGV}) {
        for (const std::intmax_t size : {0, 16 << 20}) {
            // A fault comes from the code that writes, never from the moment between creating
            // the file and naming it for removal: only an interrupt can arrive there.
            if (signal == SIGSEGV && size == 0) continue;
            SCOPED_TRACE(testing::Message() << strsignal(signal) << " at " << size << " bytes");
            WriteWhole(dir.Path / "out.bmp", old);
            bool reached = false;
            const TChildResult result = RunChild(Converter, {"big.bmp", "out.bmp"}, dir.Path, PlainSignals, [&](pid_t pid) {
                reached = Await(pid, [&] { return temporarySize() >= size; });
                ::kill(pid, signal);
            });
            EXPECT_TRUE(reached) << "the run ended before that moment";
            EXPECT_EQ(signal == SIGSEGV ? result.ExitCode : result.Signal, signal == SIGSEGV ? 216 : signal) << result.Out;
            EXPECT_EQ(Entries(dir.Path), "big.bmp new.bmp out.bmp");
            const std::string now = ReadWhole(dir.Path / "out.bmp");
            EXPECT_TRUE(now == old || now == converted) << now.size() << " bytes";
        }
    }
    for (const auto& arguments : std::vector<std::vector<std::string>>{{"big.bmp", "out.bmp"}, {"big.bmp", "big.bmp"}, {"big.bmp"}}) {
        SCOPED_TRACE(arguments.back());
        WriteWhole(dir.Path / "out.bmp", old);
        const TChildResult limited = RunChild(Converter, arguments, dir.Path, [&] {
            PlainSignals();
            ::signal(SIGXFSZ, SIG_DFL);
            const rlimit fourMiB{4u << 20, 4u << 20};
            ::setrlimit(RLIMIT_FSIZE, &fourMiB);
        });
        EXPECT_EQ(Report(limited), WriteFailed);
        EXPECT_EQ(Entries(dir.Path), "big.bmp new.bmp out.bmp");
        EXPECT_TRUE(ReadWhole(dir.Path / "out.bmp") == old && ReadWhole(dir.Path / "big.bmp") == input);
    }
    // In an address space of 1 GiB, smaller than a 32-bit process's, a file that claims 2 GB of
    // pixels in 64 bytes fails as the read does: the block is never asked for. (The sanitizers
    // reserve far more address space than that to start at all.)
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    const Bytes claims = BmpFile("width=46000 height=46000 pixels=5A*64");
    WriteWhole(dir.Path / "claims.bmp", std::string(claims.begin(), claims.end()));
    const TChildResult small = RunChild(Converter, {"claims.bmp", "out.bmp"}, dir.Path, [] {
        const rlimit oneGiB{1u << 30, 1u << 30};
        ::setrlimit(RLIMIT_AS, &oneGiB);
    });
    EXPECT_EQ(Report(small), "EReadError: ストリームからの読み込みエラー.");
#endif
}

}  // namespace
}  // namespace vdib::test
