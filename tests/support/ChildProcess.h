// Runs a program in a child process and collects what it leaves behind: exit status and the
// bytes of its standard output and standard error.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace vdib::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TTempDir {
public:
    TTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vdib-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        FPath = pattern;
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(FPath)) names.push_back(entry.path().filename());
        return names;
    }

private:
    std::filesystem::path FPath;
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where the child's standard output goes.
enum class TOutput {
    File,      // a regular file, read back afterwards
    Terminal,  // a pseudo-terminal in raw mode (a character device), read back afterwards
    Closed,    // no descriptor 1 at all
    DiskFull,  // /dev/full: every write fails with ENOSPC
};

struct TChildResult {
    int ExitCode = -1;   // -1 when the child did not exit normally
    int Signal = 0;      // the signal that ended it, 0 when it exited
    long PeakRssKb = 0;  // the most memory the child ever held resident, in KiB
    std::string Out;
    std::string Err;
};

// Runs `program` with `arguments` (program name not included) in `workingDirectory`.
inline TChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                             const std::filesystem::path& workingDirectory, TOutput output = TOutput::File) {
    TTempDir captures;
    const std::string outPath = captures.Path() / "stdout";
    const std::string errPath = captures.Path() / "stderr";

    int terminal = -1;
    int terminalSide = -1;
    if (output == TOutput::Terminal) {
        terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0)
            throw std::runtime_error("no pseudo-terminal");
        terminalSide = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
        termios mode{};
        ::tcgetattr(terminalSide, &mode);
        ::cfmakeraw(&mode);
        ::tcsetattr(terminalSide, TCSANOW, &mode);
    }

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, 2);
        switch (output) {
            case TOutput::File:
                ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
                break;
            case TOutput::Terminal:
                ::dup2(terminalSide, 1);
                break;
            case TOutput::Closed:
                ::close(1);
                break;
            case TOutput::DiskFull:
                ::dup2(::open("/dev/full", O_WRONLY), 1);
                break;
        }
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }

    TChildResult result;
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    result.PeakRssKb = usage.ru_maxrss;
    if (WIFEXITED(status)) result.ExitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.Signal = WTERMSIG(status);

    if (output == TOutput::Terminal) {
        ::close(terminalSide);
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(terminal, buffer, sizeof buffer)) > 0) result.Out.append(buffer, static_cast<std::size_t>(count));
        ::close(terminal);
    } else {
        result.Out = ReadWholeFile(outPath);
    }
    result.Err = ReadWholeFile(errPath);
    return result;
}

}  // namespace vdib::test
