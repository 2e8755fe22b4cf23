// Interruptions are no faults: nothing is reported. Their handler removes the temporary file of a
// save in progress, so that an interrupted run leaves no hidden partial file beside its output,
// then ends the process by the same signal with its default action. The interrupting signals are
// those that end a process by default and report no fault of its own: interrupts, hang-ups,
// timers, CPU-time limits and the signals left to users.
#include "Interrupts.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>

namespace vdib::os {

namespace {

constexpr int InterruptingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

// Changed only while the interrupting signals are held, so the handler never sees half a name.
char FileToRemove[PATH_MAX + 1];

sigset_t InterruptingSignalSet() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : InterruptingSignals) sigaddset(&set, signal);
    return set;
}

// The signal stays blocked while the handler runs, so raising it again only marks it pending;
// with the default action back in place it ends the process as soon as the handler returns.
void InterruptHandler(int signal) {
    RemovePendingFile();
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

}  // namespace

// Only signals in their default state get the handler: one ignored at start (nohup) stays
// ignored, and one that a library loaded before the program handles (a profiler's timer) stays
// with it.
void InstallInterruptHandlers() {
    struct sigaction action{};
    action.sa_handler = InterruptHandler;
    action.sa_mask = InterruptingSignalSet();  // one at a time: the first one ends the process
    for (const int signal : InterruptingSignals) {
        struct sigaction previous{};
        if (::sigaction(signal, nullptr, &previous) != 0 || (previous.sa_flags & SA_SIGINFO) != 0 ||
            previous.sa_handler != SIG_DFL)
            continue;
        ::sigaction(signal, &action, nullptr);
    }
}

void RemovePendingFile() noexcept {
    if (FileToRemove[0] != '\0') ::unlink(FileToRemove);
}

TInterruptsHeld::TInterruptsHeld() noexcept {
    const sigset_t held = InterruptingSignalSet();
    ::pthread_sigmask(SIG_BLOCK, &held, &FPrevious);
}

TInterruptsHeld::~TInterruptsHeld() { ::pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr); }

bool RemoveOnInterrupt(const char* fileName) noexcept {
    const std::size_t length = fileName != nullptr ? std::strlen(fileName) : 0;
    if (length >= sizeof FileToRemove) {
        FileToRemove[0] = '\0';
        return false;
    }
    if (length != 0) std::memcpy(FileToRemove, fileName, length);
    FileToRemove[length] = '\0';
    return true;
}

}  // namespace vdib::os
