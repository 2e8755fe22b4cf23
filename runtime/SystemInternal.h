// Pieces of the process frame shared between its source files; not for use outside runtime/.
//
// Everything marked "signal-safe" may be called from a fault handler: no allocation, no locks, no
// stdio, only the platform's plain write on standard output.
#pragma once

#include <cstddef>

namespace vdib::detail {

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
