// Interruptions are no faults: nothing is reported. Their handler removes the temporary files of
// the saves in progress, so that an interrupted run leaves no hidden partial file beside its
// outputs, then ends the process by the same signal with its default action. The interrupting
// signals are those that end a process by default and report no fault of its own: interrupts,
// hang-ups, timers, CPU-time limits and the signals left to users.
#include "Interrupts.h"

#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace vdib::os {

namespace {

constexpr int InterruptingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGPROF};

// One slot per registered file. A slot goes Free -> Taken (by a TPendingFile) -> Creating (its
// name written, the file being made) -> Armed (the file made) -> Free again; a handler that
// removes the file turns Armed into Removing first, so a name is never rewritten while a handler,
// in any thread, reads it. Plain atomics and fixed arrays: usable in a signal handler, and nothing
// to destroy at exit. The states lie apart from the names, so that a sweep at exit reads one
// page, not one per slot, and all start zero (free) without a constructor.
enum TSlotState : int { SlotFree, SlotTaken, SlotCreating, SlotArmed, SlotRemoving };
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int SlotCount = 256;
constinit std::atomic<int> SlotStates[SlotCount]{};
char SlotNames[SlotCount][PATH_MAX + 1];
// Set once a handler has started removing: no file is registered after that.
std::atomic<bool> Ending{false};

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

// A file being made in another thread is waited for, a second at most: made, it is removed like
// the others. (Its thread holds the interrupting signals meanwhile, so this is never its own.)
void RemovePendingFiles() noexcept {
    Ending.store(true);
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < SlotCount; ++i) {
        timespec now = start;
        while (SlotStates[i].load() == SlotCreating && now.tv_sec - start.tv_sec < 2) ::clock_gettime(CLOCK_MONOTONIC, &now);
        int armed = SlotArmed;
        if (SlotStates[i].compare_exchange_strong(armed, SlotRemoving)) ::unlink(SlotNames[i]);
    }
}

TPendingFile::TPendingFile() noexcept : FSlot(-1), FHeld{} {
    for (int i = 0; i < SlotCount; ++i) {
        int free = SlotFree;
        if (SlotStates[i].compare_exchange_strong(free, SlotTaken)) {
            FSlot = i;
            return;
        }
    }
}

// A slot that a handler is removing stays so: the process is about to end.
TPendingFile::~TPendingFile() {
    if (FSlot < 0) return;
    int state = SlotStates[FSlot].load();
    if (state != SlotRemoving) SlotStates[FSlot].compare_exchange_strong(state, SlotFree);
}

bool TPendingFile::Creating(const char* fileName) noexcept {
    Disarm();
    const std::size_t length = std::strlen(fileName);
    if (length > PATH_MAX) return false;
    const sigset_t held = InterruptingSignalSet();
    ::pthread_sigmask(SIG_BLOCK, &held, &FHeld);
    // Unless a handler took the slot (it only takes armed ones), it is this object's alone.
    if (FSlot >= 0 && SlotStates[FSlot].load() == SlotRemoving) {
        ::pthread_sigmask(SIG_SETMASK, &FHeld, nullptr);
        return false;
    }
    if (FSlot >= 0) {
        std::memcpy(SlotNames[FSlot], fileName, length + 1);
        SlotStates[FSlot].store(SlotCreating);
    }
    // Either the handler sees this slot Creating and waits, or this thread sees it has started.
    if (!Ending.load()) return true;
    Created(false);
    return false;
}

void TPendingFile::Created(bool made) noexcept {
    if (FSlot >= 0) SlotStates[FSlot].store(made ? SlotArmed : SlotTaken);
    ::pthread_sigmask(SIG_SETMASK, &FHeld, nullptr);
}

void TPendingFile::Disarm() noexcept {
    if (FSlot < 0) return;
    int armed = SlotArmed;
    SlotStates[FSlot].compare_exchange_strong(armed, SlotTaken);
}

}  // namespace vdib::os
