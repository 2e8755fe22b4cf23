// Interrupting signals and the temporary files of safe replacements (POSIX side only).
//
// The interrupting signals are SIGINT, SIGTERM, SIGHUP, SIGQUIT, the timers' SIGALRM, SIGVTALRM
// and SIGPROF, SIGXCPU and SIGUSR1/2: every signal whose default action ends the process and that
// reports no fault (those the program was started with ignored or handled stay so). Each removes
// every file registered by a TPendingFile, then ends the process as the signal would have without
// a handler, so the caller sees the usual status. A fault or any other end of the process at once
// removes them too (ExitProcess). Only the process frame installs the handlers; without them a
// registration costs little and does nothing.
#pragma once

#include <signal.h>

namespace vdib::os {

void InstallInterruptHandlers();

// The registration of one temporary file, for as long as the object lives. Any number of threads
// may hold one each at a time (past a few hundred at once, further files go unregistered).
class TPendingFile {
public:
    TPendingFile() noexcept;
    ~TPendingFile();
    TPendingFile(const TPendingFile&) = delete;
    TPendingFile& operator=(const TPendingFile&) = delete;

    // Names the file about to be created, in place of any named before. Until Created, the
    // interrupting signals wait in this thread, and an interrupt handled in another thread waits
    // for the creation to end, so the file never exists unnamed, not even for a moment. False,
    // with nothing named, for a name longer than PATH_MAX bytes or once the process is ending.
    bool Creating(const char* fileName) noexcept;
    // The creation has ended: the file stays named if it was made; otherwise none is.
    void Created(bool made) noexcept;
    // Names none.
    void Disarm() noexcept;

private:
    int FSlot;
    sigset_t FHeld;  // the signal mask to return to when the creation ends
};

// Removes every registered file; safe in a signal handler. Files registered after it started are
// refused (the process is ending).
void RemovePendingFiles() noexcept;

}  // namespace vdib::os
