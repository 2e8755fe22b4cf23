// Runs a program in a child process and collects what it leaves behind: exit status and the
// bytes of its standard output and standard error.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/TestFiles.h"

namespace vdib::test {

struct TChildResult {
    int ExitCode = -1;   // -1 when the child did not exit normally
    int Signal = 0;      // the signal that ended it, 0 when it exited
    long PeakRssKb = 0;  // the most memory the child ever held resident, in KiB
    std::string Out;
    std::string Err;
};

// Runs `program` with `arguments` (program name not included) in `workingDirectory`.
// `beforeExec` runs in the child just before the program starts (limits, signal dispositions,
// extra descriptors); `whileRunning` runs here with the child's id before it is waited for, and
// must not reap it.
inline TChildResult RunChild(const std::string& program, const std::vector<std::string>& arguments,
                             const std::filesystem::path& workingDirectory,
                             const std::function<void()>& beforeExec = {},
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

}  // namespace vdib::test
