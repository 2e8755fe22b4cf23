// Interruptions are no faults: nothing is reported. Their handler removes the temporary files of
// the saves in progress, so that an interrupted run leaves no hidden partial file beside its
// outputs, then ends the process by the same signal with its default action. The interrupting
// signals are those that end a process by default and report no fault of its own: interrupts,
// hang-ups, timers, CPU-time limits and the signals left to users.
#include "Interrupts.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace vdib::os {

namespace {

constexpr int InterruptingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

// One slot per registered file. A slot goes Free -> Taken (by a TPendingFile) -> Armed (its name
// written) -> Free again; a handler that removes the file turns Armed into Removing first, so a
// name is never rewritten while a handler, in any thread, reads it. Plain atomics and fixed
// arrays: usable in a signal handler, and nothing to destroy at exit.
enum TSlotState : int { Free, Taken, Armed, Removing };
static_assert(std::atomic<int>::is_always_lock_free);

struct TSlot {
    std::atomic<int> State;
    char Name[PATH_MAX + 1];
};

constexpr int SlotCount = 256;
TSlot Slots[SlotCount];

sigset_t InterruptingSignalSet() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : InterruptingSignals) sigaddset(&set, signal);
    return set;
}

// The signal stays blocked while the handler runs, so raising it again only marks it pending;
// with the default action back in place it ends the process as soon as the handler returns.
void InterruptHandler(int signal) {
    RemovePendingFiles();
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
    action.sa_mask = InterruptingSignalSet();  // one at a time in a thread: the first one ends the process
    for (const int signal : InterruptingSignals) {
        struct sigaction previous{};
        if (::sigaction(signal, nullptr, &previous) != 0 || (previous.sa_flags & SA_SIGINFO) != 0 ||
            previous.sa_handler != SIG_DFL)
            continue;
        ::sigaction(signal, &action, nullptr);
    }
}

void RemovePendingFiles() noexcept {
    for (TSlot& slot : Slots) {
        int armed = Armed;
        if (slot.State.compare_exchange_strong(armed, Removing)) ::unlink(slot.Name);
    }
}

TPendingFile::TPendingFile() noexcept : FSlot(-1) {
    for (int i = 0; i < SlotCount; ++i) {
        int free = Free;
        if (Slots[i].State.compare_exchange_strong(free, Taken)) {
            FSlot = i;
            return;
        }
    }
}

// A slot that a handler is removing stays so: the process is about to end.
TPendingFile::~TPendingFile() {
    if (FSlot < 0) return;
    int state = Slots[FSlot].State.load();
    if (state != Removing) Slots[FSlot].State.compare_exchange_strong(state, Free);
}

bool TPendingFile::Arm(const char* fileName) noexcept {
    const std::size_t length = std::strlen(fileName);
    if (length > PATH_MAX) {
        Disarm();
        return false;
    }
    if (FSlot < 0) return true;
    TSlot& slot = Slots[FSlot];
    Disarm();
    if (slot.State.load() == Removing) return true;
    std::memcpy(slot.Name, fileName, length + 1);
    slot.State.store(Armed);
    return true;
}

void TPendingFile::Disarm() noexcept {
    if (FSlot < 0) return;
    int armed = Armed;
    Slots[FSlot].State.compare_exchange_strong(armed, Taken);
}

}  // namespace vdib::os
