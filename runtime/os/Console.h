// Standard output, as the console text output of the process frame writes it. Not part of the
// library's interface.
#pragma once

#include <cstddef>

namespace vdib::os {

// Whether standard output can be written: 0, or the I/O result code that the first write must
// record (the message table's codes: 2 not found, 5 access denied, 105 no file type, ...).
// `isDevice` tells a character device (a console, a terminal) from a file or a pipe.
int OpenStandardOutput(bool& isDevice) noexcept;

// Writes all `count` bytes to standard output, resuming after partial writes; 0, or the I/O result
// code of the failure (101 for a full disk). Safe to call from a fault handler. Text goes out as
// the bytes it is (UTF-8) to files and pipes; a console window is given it in the form it
// displays correctly, with a multi-byte character split between two calls kept whole.
int WriteStandardOutput(const char* data, std::size_t count) noexcept;

}  // namespace vdib::os
