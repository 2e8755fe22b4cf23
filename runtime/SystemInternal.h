// Pieces of the process frame shared between its source files; not for use outside runtime/.
//
// Everything marked "signal-safe" may be called from the fault handler: no allocation, no
// locks, no stdio, only write(2) on standard output.
#pragma once

#include <cstdint>
#include <string>

namespace vdib::detail {

// --- Executable images (FaultHandlers.cpp) ---

// Records the loaded images and the main thread's stack bounds, and installs the handlers for
// segmentation faults, bus errors and arithmetic faults on an alternate signal stack.
void InstallFaultHandlers();

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
