// The process as the frame, the converter's command line and the encoders meet it: start, end,
// the program's own name, its command line, the system code page, the processors it may use,
// faults and interrupts. Not part of the library's interface.
#pragma once

#include <cstdint>
#include <string>

namespace vdib::os {

// Readies the process before anything else runs: standard input, output and error are made to
// exist (a closed one would otherwise be taken by the next file opened, and the reports would
// land in it), a reader that goes away becomes a failed write instead of the end of the process,
// a file-size limit becomes a failed write (EFBIG), and interrupts remove the temporary file of
// a safe replacement in progress before they end the process (see WriteFileSafely).
void PrepareProcess();

// Ends the process at once with `code`; nothing more of the program runs, except that the
// temporary file of a safe replacement in progress is removed (a fault or std::terminate may end
// the program in the middle of one).
[[noreturn]] void ExitProcess(int code) noexcept;

// The executable's full file name as the system reports it, at most 260 characters; "" when it
// cannot be had.
std::string ModuleFileName();

// The command line as one string whose first argument is the program, where the system keeps
// it so (Windows); null where the system hands over an argument vector instead.
const char* CommandLine() noexcept;

// The position of the next character of zero-terminated text in the system's code page: two
// bytes on for a double-byte lead byte followed by a non-zero byte, otherwise one; `position`
// itself at the terminating zero.
const char* NextCharacter(const char* position) noexcept;

// How many processors the process may run on: those of its affinity (as `taskset` or a job
// object restrict it), else those online; at least 1.
unsigned UsableProcessorCount() noexcept;

// Faults of the program itself, each ending it with a run-time error:
//   access violation, segmentation fault, bus error -> 216
//   integer division by zero                        -> 200
//   stack overflow                                  -> 202
//   other arithmetic faults                         -> 207
// `onFault` receives the code and the address of the faulting instruction, on a stack of its own
// (so that a stack overflow can be reported); it writes the report and must not return. Only
// what is safe in a signal handler may be done in it.
using TFaultHandler = void (*)(int code, const void* address) noexcept;
void InstallFaultHandlers(TFaultHandler onFault);

// Offset of a code address from the start of the loaded image (the executable or a shared
// library) that holds it, cut to 32 bits: the same from run to run of one build. 0 for null; the
// address itself when no image holds it. Safe in a fault handler.
uint32_t ImageOffset(const void* address) noexcept;
// File name, without directory, of the image that holds `address` (at most 260 characters); the
// program's own file name for null or an address no image holds.
std::string ImageName(const void* address);

}  // namespace vdib::os
