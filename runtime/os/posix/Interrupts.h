// Interrupting signals and the temporary file of a safe replacement (POSIX side only).
//
// The interrupting signals are SIGINT, SIGTERM, SIGHUP, SIGQUIT, the timers' SIGALRM, SIGVTALRM
// and SIGPROF, SIGXCPU and SIGUSR1/2: every signal whose default action ends the process and that
// reports no fault (those the program was started with ignored or handled stay so). Each removes
// the file named by RemoveOnInterrupt, then ends the process as the signal would have without a
// handler, so the caller sees the usual status. A fault or any other end of the process at once
// removes it too (ExitProcess).
#pragma once

#include <signal.h>

namespace vdib::os {

void InstallInterruptHandlers();

// While an object of this class lives, the interrupting signals wait; one that arrived meanwhile
// is handled when the object goes. Holding them around creating or renaming a file and changing
// the registration leaves no moment in which the two disagree.
class TInterruptsHeld {
public:
    TInterruptsHeld() noexcept;
    ~TInterruptsHeld();
    TInterruptsHeld(const TInterruptsHeld&) = delete;
    TInterruptsHeld& operator=(const TInterruptsHeld&) = delete;

private:
    sigset_t FPrevious;
};

// Names the file that an interrupting signal removes; null names none. Call it only while
// interrupts are held. False, with nothing named, for a name longer than PATH_MAX bytes.
bool RemoveOnInterrupt(const char* fileName) noexcept;

// Removes the file named by RemoveOnInterrupt, if any; safe in a signal handler.
void RemovePendingFile() noexcept;

}  // namespace vdib::os
