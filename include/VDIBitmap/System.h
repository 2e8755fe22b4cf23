// The process frame: module start-up and shut-down, the exit sequence, the report of an
// exception that reaches the top level, run-time errors, and console text output.
//
// The top level reports on standard output and ends the process:
//   exception escaping the main sequence  -> exception report, exit code 1
//   FatalRunError(code)                   -> run-time error line, exit code `code`
//   exception escaping a module start-up  -> run-time error 217
//   segmentation fault / bus error        -> run-time error 216
//   integer division by zero              -> run-time error 200
//   stack overflow                        -> run-time error 202
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <VDIBitmap/SysUtils.h>

namespace vdib {

// One entry of the initialisation table. Either operation may be null.
struct TModule {
    const char* Name;
    void (*Initialize)();
    void (*Finalize)();
};

// The run-time support module: console output is flushed and closed by its finalisation.
extern const TModule SystemModule;

extern int32_t ExitCode;

// Starts the program: marks the process a console program, installs the fault handlers, runs
// the initialisations in table order, then the main sequence, then the exit sequence with
// ExitCode. An exception leaving the main sequence is reported and ends with exit code 1.
[[noreturn]] void RunProgram(int argc, char** argv, const TModule* modules, std::size_t count,
                             void (*mainSequence)());

// The exit sequence: the run-time error line when an error address is set, the module
// finalisations in reverse order, then the end of the process with ExitCode.
[[noreturn]] void Terminate();

// Stops the program at once with run-time error `code`: no unwinding, so no pending clean-up
// of the interrupted operations runs; the module finalisations still do.
[[noreturn, gnu::noinline]] void FatalRunError(int code);

// Writes the report of `e` on standard output (pending console text first).
void ReportException(const Exception& e);
// The report as ReportException writes it: "Exception <class> in module <name> at <offset>.",
// the message with a period added where it has none, cut to 1024 bytes, and an empty line; CR LF
// line ends.
std::string ExceptionReport(const Exception& e);

// The arguments the process was started with (argv), kept by RunProgram.
const std::vector<std::string>& ProcessArguments();

// The executable's full file name as the system reports it (at most 260 characters), "" when it
// cannot be had.
std::string ModuleFileName();
// The command line as one string whose first argument is the program, where the system keeps it
// so (Windows); null where the system hands over an argument vector instead.
const char* SystemCommandLine() noexcept;
// The position of the next character of zero-terminated text in the system's code page (see
// NextCP932Character for a double-byte one); `position` itself at the terminating zero.
const char* NextSystemCharacter(const char* position) noexcept;
// How many processors the process may run on: those of its affinity (as `taskset` or a job object
// restrict it), else those online; at least 1.
unsigned UsableProcessorCount() noexcept;

// Console text output (standard output): a 128-byte buffer, CR LF line ends, flushed at a
// line end only on a terminal. A failed write is recorded as the pending I/O result and
// raises nothing until IOCheck.
void WriteText(std::string_view text);
void WriteLine(std::string_view text = {});
// Returns and clears the pending I/O result (0 when none).
int IOResult();
// Raises EInOutError for a pending I/O result, clearing it.
void IOCheck();
// Writes out pending console text; a failure becomes the pending I/O result.
void FlushOutput();

// Raises EAssertionFailed "%s (%s, line %d)" at the caller's address; an empty message
// becomes "Assertion failed".
[[noreturn, gnu::noinline]] void AssertFailed(const char* message, const char* file, int line);

}  // namespace vdib

#define VDIB_ASSERT(condition, message) \
    ((condition) ? (void)0 : ::vdib::AssertFailed((message), __FILE__, __LINE__))
