// Interrupting signals and the temporary files of safe replacements (POSIX side only).
//
// The interrupting signals are SIGINT, SIGTERM, SIGHUP, SIGQUIT, the timers' SIGALRM, SIGVTALRM
// and SIGPROF, SIGXCPU and SIGUSR1/2: every signal whose default action ends the process and that
// reports no fault (those the program was started with ignored or handled stay so). Each removes
// every file registered by a TPendingFile, then ends the process as the signal would have without
// a handler, so the caller sees the usual status. A fault or any other end of the process at once
// removes them too (ExitProcess). Only the process frame installs the handlers; without them a
// registration costs nothing and does nothing.
#pragma once

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

    // Names the file to be removed on an interrupt, in place of any named before; named before
    // it is created, it cannot exist unnamed for a moment. False, with nothing named, for a name
    // longer than PATH_MAX bytes.
    bool Arm(const char* fileName) noexcept;
    // Names none.
    void Disarm() noexcept;

private:
    int FSlot;
};

// Removes every registered file; safe in a signal handler.
void RemovePendingFiles() noexcept;

}  // namespace vdib::os
