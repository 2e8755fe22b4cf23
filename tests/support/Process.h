// What the tests ask of the operating system: a program run in a child process with what it
// leaves behind, its exit and standard output as one line, and devices made in a test's folder.
#pragma once

#if !defined(_WIN32)  // <windows.h> comes with the library's headers
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>

#include "support/BmpBytes.h"

namespace vdib::test {

// What the build's executables are called beyond their target names.
inline const std::string ExecutableSuffix = fs::path(BMP2RLE_PATH).extension().string();

struct TChildResult {
    int ExitCode = -1;   // -1 when the child did not exit normally
    int Signal = 0;      // the signal that ended it, 0 when it exited
    long PeakRssKb = 0;  // the most memory the child ever held resident, in KiB (0 where unknown)
    std::string Out;
    std::string Err;
};

#if defined(_WIN32)

// Starts `commandLine` exactly as given (the program splits it itself) in `workingDirectory`.
inline TChildResult RunCommandLine(const std::string& commandLine, const fs::path& workingDirectory) {
    TempDir captures;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const auto capture = [&](const char* name) {
        return ::CreateFileA((captures / name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    STARTUPINFOA startup{};
    startup.cb = sizeof startup, startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = capture("stdout"), startup.hStdError = capture("stderr");
    PROCESS_INFORMATION process{};
    std::string line = commandLine;
    const BOOL started = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          workingDirectory.string().c_str(), &startup, &process);
    ::CloseHandle(startup.hStdOutput), ::CloseHandle(startup.hStdError);
    TChildResult result;
    if (!started) return result;
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(process.hProcess, &code)) result.ExitCode = static_cast<int>(code);
    ::CloseHandle(process.hThread), ::CloseHandle(process.hProcess);
    result.Out = ReadWhole(captures / "stdout"), result.Err = ReadWhole(captures / "stderr");
    return result;
}

// Runs `program` with `arguments` in `workingDirectory`, those with spaces quoted (none holds a
// double quote).
inline TChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                             const fs::path& workingDirectory) {
    std::string commandLine = "\"" + program + "\"";
    for (const std::string& argument : arguments)
        commandLine += argument.empty() || argument.find(' ') != std::string::npos ? " \"" + argument + "\"" : " " + argument;
    return RunCommandLine(commandLine, workingDirectory);
}

#else

// Runs `program` with `arguments` in `workingDirectory`. `beforeExec` runs in the child before
// the program starts; `whileRunning` runs here with the child's id, and must not reap it.
inline TChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                             const fs::path& workingDirectory, const std::function<void()>& beforeExec = {},
                             const std::function<void(pid_t)>& whileRunning = {}) {
    TempDir captures;
    const std::string outPath = captures / "stdout", errPath = captures / "stderr";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
        ::dup2(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        ::dup2(::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (beforeExec) beforeExec();
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    if (whileRunning) whileRunning(pid);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, WIFSIGNALED(status) ? WTERMSIG(status) : 0, usage.ru_maxrss,
            ReadWhole(outPath), ReadWhole(errPath)};
}

// True once the child has ended; it is left for RunChild to reap.
inline bool Ended(pid_t pid) {
    siginfo_t info{};
    return ::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Polls until `reached` holds (true) or the child has ended or 20 s have passed (false).
inline bool Await(pid_t pid, const std::function<bool()>& reached) {
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20); !reached(); ::usleep(200))
        if (Ended(pid) || std::chrono::steady_clock::now() > end) return false;
    return true;
}

// For RunChild's `beforeExec`: the signals as a shell leaves them for a program it starts, and no
// core file.
inline void PlainSignals() {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM}) ::signal(signal, SIG_DFL);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
}

#endif

// How a run of the converter ended: "<class>: <message>." for exit code 1 with exactly a failure
// report ("Exception <class> in module bmp2rle at <8 hex digits>.", the message, an empty line,
// CR LF line ends); otherwise "exit <code>" or "signal <n>", and ": " and standard output when it
// printed anything. Standard error, which should stay empty, follows after " stderr: ".
inline std::string Report(const TChildResult& r) {
    static const std::regex report("Exception (\\w+) in module bmp2rle" + ExecutableSuffix +
                                   " at [0-9A-F]{8}\\.\r\n([\\s\\S]*)\r\n\r\n");
    std::smatch m;
    std::string line = r.Signal != 0 ? "signal " + std::to_string(r.Signal) : "exit " + std::to_string(r.ExitCode);
    if (r.ExitCode == 1 && std::regex_match(r.Out, m, report)) line = m[1].str() + ": " + m[2].str();
    else if (!r.Out.empty()) line += ": " + r.Out;
    return r.Err.empty() ? line : line + " stderr: " + r.Err;
}

// Devices are made in a test's own folder: a test never writes to the machine's /dev.
inline constexpr unsigned NullDevice = 3;  // c 1 3: takes everything
inline constexpr unsigned FullDevice = 7;  // c 1 7: refuses every write with ENOSPC

// Makes the device `minor` (NullDevice or FullDevice) at `path`. Returns "" when it is there and
// can be opened, otherwise why not (for GTEST_SKIP).
inline std::string MakeDevice([[maybe_unused]] const fs::path& path, [[maybe_unused]] unsigned minor) {
#if defined(_WIN32)
    return "Windows has no device nodes to make";
#else
    if (::geteuid() != 0) return "only root can make a device node";
    if (::mknod(path.c_str(), S_IFCHR | 0666, ::makedev(1, minor)) != 0) return "mknod failed for " + path.string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return "the temporary folder's file system does not open devices (nodev)";
    ::close(fd);
    return "";
#endif
}

}  // namespace vdib::test
