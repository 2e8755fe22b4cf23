// Pieces of the process frame shared between its source files; not for use outside runtime/.
//
// Everything marked "signal-safe" may be called from the fault handler: no allocation, no
// locks, no stdio, only write(2) on standard output.
#pragma once

#include <signal.h>

#include <cstdint>
#include <string>

namespace vdib::detail {

// --- Executable images and signals (FaultHandlers.cpp) ---

// Records the loaded images and the main thread's stack bounds, and installs the handlers for
// segmentation faults, bus errors and arithmetic faults on an alternate signal stack and those
// for the interrupting signals (below). A reader that goes away (SIGPIPE) and a file-size limit
// (SIGXFSZ) become failed writes instead of ending the process.
void InstallFaultHandlers();

// The interrupting signals are SIGINT, SIGTERM, SIGHUP and SIGQUIT (those the program was
// started with ignored stay ignored). Each removes the file named by RemoveOnInterrupt, then ends
// the process as the signal would have without a handler, so the caller sees the usual status.
//
// While an object of this class lives, the interrupting signals wait; one that arrived meanwhile
// is handled when the object goes. Holding them around creating or renaming a file and changing
// the registration leaves no moment in which the two disagree.
class TInterruptionsHeld {
public:
    TInterruptionsHeld() noexcept;
    ~TInterruptionsHeld();
    TInterruptionsHeld(const TInterruptionsHeld&) = delete;
    TInterruptionsHeld& operator=(const TInterruptionsHeld&) = delete;

private:
    sigset_t FPrevious;
};

// Names the file that an interrupting signal removes (the temporary file of a save in progress);
// null names none. Call it only while interruptions are held. False, with nothing named, for a
// name longer than PATH_MAX bytes.
bool RemoveOnInterrupt(const char* fileName) noexcept;

// Offset of `address` from the start of the image that holds it, cut to 32 bits; 0 for a null
// address. Falls back to the raw address when no image holds it. Signal-safe for the images
// recorded at start.
uint32_t ImageOffset(const void* address) noexcept;

// File name, without directory, of the image that holds `address` (at most 260 characters);
// the program's own file name for a null or unknown address.
std::string ImageName(const void* address);

// Writes "Runtime error NNN at XXXXXXXX" and CR LF straight to standard output, after the text
// pending in the console buffer. Signal-safe.
void WriteRunErrorLine(int code, const void* address) noexcept;

// --- Console text output (ConsoleOutput.cpp) ---

// Writes out the pending console text, ignoring any failure. Signal-safe.
void FlushOutputQuietly() noexcept;

// Writes out the pending console text (failure not reported) and closes the console text
// output; a later write opens it again.
void CloseOutput() noexcept;

// Writes all of `data` straight to standard output, ignoring failure. Signal-safe.
void WriteRaw(const char* data, std::size_t count) noexcept;

}  // namespace vdib::detail
