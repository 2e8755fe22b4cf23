// The process frame: module start-up and shut-down, the exit sequence and the top-level reports.
#include <VDIBitmap/System.h>

#include <cstring>
#include <exception>
#include <new>

#include "SystemInternal.h"
#include "os/Process.h"

namespace vdib {

int32_t ExitCode = 0;

namespace {

const TModule* Modules = nullptr;
std::size_t StartedCount = 0;

// The run-time error waiting to be printed by the exit sequence. A null address is a valid
// address here (an exception raised without one), hence the separate flag.
bool ErrorAddressSet = false;
const void* ErrorAddress = nullptr;

std::vector<std::string> Arguments;

constexpr std::size_t ReportBufferSize = 1024;

void FinalizeSystem() { detail::CloseOutput(); }

void SetRunError(int code, const void* address) {
    ExitCode = code;
    ErrorAddress = address;
    ErrorAddressSet = true;
}

const void* RaiseAddressOf(std::exception_ptr exception) {
    try {
        std::rethrow_exception(exception);
    } catch (const Exception& e) {
        return e.RaiseAddress;
    } catch (...) {
        return nullptr;
    }
}

// Runs the finalisations of the started modules, last started first. Once a module is
// finalised the report support may be gone, so an exception escaping a finalisation is printed
// at once as run-time error 217 and the remaining finalisations still run.
void FinalizeModules() {
    while (StartedCount > 0) {
        --StartedCount;
        void (*finalize)() = Modules[StartedCount].Finalize;
        if (finalize == nullptr) continue;
        try {
            finalize();
        } catch (...) {
            ExitCode = 217;
            detail::WriteRunErrorLine(217, RaiseAddressOf(std::current_exception()));
        }
    }
}

void StartModules(std::size_t count) {
    try {
        for (std::size_t i = 0; i < count; ++i) {
            ++StartedCount;
            if (Modules[i].Initialize != nullptr) Modules[i].Initialize();
        }
    } catch (...) {
        // The failing module counts as started, so its own finalisation runs as well.
        const void* address = RaiseAddressOf(std::current_exception());
        FinalizeModules();
        SetRunError(217, address);
        Terminate();
    }
}

void ReportFailure(const Exception& e) {
    ReportException(e);
    ExitCode = 1;
}

// A fault ends the program at once: the interrupted code is in no state to run more of it,
// module finalisations included.
void ReportFault(int code, const void* address) noexcept {
    detail::WriteRunErrorLine(code, address);
    os::ExitProcess(code);
}

}  // namespace

const TModule SystemModule = {"System", nullptr, FinalizeSystem};

const std::vector<std::string>& ProcessArguments() { return Arguments; }

void RunProgram(int argc, char** argv, const TModule* modules, std::size_t count, void (*mainSequence)()) {
    // Every report of this program goes to standard output: it is a console program.
    Arguments.assign(argv, argv + argc);
    os::PrepareProcess();
    os::InstallFaultHandlers(ReportFault);
    std::set_terminate([] {
        SetRunError(217, nullptr);
        Terminate();
    });

    Modules = modules;
    StartModules(count);

    // The handlers run after the stack has unwound: every pending destructor (clean-up of the
    // interrupted operations) has run before anything is written. The process ends only after
    // the handler, so that the exception object is released too and nothing is left allocated.
    try {
        mainSequence();
    } catch (const Exception& e) {
        ReportFailure(e);
    } catch (const std::bad_alloc&) {
        ReportFailure(EOutOfMemory(msg::OutOfMemory));
    } catch (const std::exception& e) {
        ReportFailure(Exception(e.what()));
    } catch (...) {
        ReportFailure(EExternalException(msg::ExternalException));
    }
    Terminate();
}

void Terminate() {
    if (ErrorAddressSet) {
        detail::WriteRunErrorLine(ExitCode, ErrorAddress);
        ErrorAddressSet = false;
        ErrorAddress = nullptr;
    }
    FinalizeModules();
    detail::CloseOutput();
    os::ExitProcess(ExitCode);
}

void FatalRunError(int code) {
    SetRunError(code, VDIB_RETURN_ADDRESS());
    Terminate();
}

std::string ExceptionReport(const Exception& e) {
    const std::string& message = e.Message();
    const char* period = !message.empty() && message.back() != '.' ? "." : "";
    // The message joins as it is held (its bytes unconverted, zero bytes included).
    std::string report = Format("Exception %s in module %s at %08X.\r\n", e.ClassName(),
                                os::ImageName(e.RaiseAddress).c_str(), os::ImageOffset(e.RaiseAddress));
    report += message;
    report += period;
    report += "\r\n";
    if (report.size() > ReportBufferSize) report.resize(ReportBufferSize);
    report += "\r\n";
    return report;
}

void ReportException(const Exception& e) {
    const std::string report = ExceptionReport(e);
    FlushOutput();
    // The I/O check here only clears the pending result: raising from inside the report would
    // lose the report, and the report itself goes to the same place.
    IOResult();
    detail::WriteRaw(report.data(), report.size());
}

[[gnu::noinline]] void AssertFailed(const char* message, const char* file, int line) {
    EAssertionFailed e(Format(msg::AssertionFormat, message != nullptr && *message != '\0' ? message : msg::AssertionFailed,
                              file, line));
    e.RaiseAddress = VDIB_RETURN_ADDRESS();
    throw e;
}

namespace detail {

void WriteRunErrorLine(int code, const void* address) noexcept {
    // "Runtime error " then the code right-aligned to end at the 17th character, " at ", and
    // eight upper-case hex digits; a code of more than three digits widens the line.
    char line[64] = "Runtime error ";
    std::size_t length = std::strlen(line);
    char digits[12];
    std::size_t count = 0;
    auto value = static_cast<uint32_t>(code);
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t pad = count; pad < 3; ++pad) line[length++] = ' ';
    while (count > 0) line[length++] = digits[--count];
    std::memcpy(line + length, " at ", 4);
    length += 4;
    const uint32_t offset = os::ImageOffset(address);
    for (int shift = 28; shift >= 0; shift -= 4) line[length++] = "0123456789ABCDEF"[(offset >> shift) & 0xF];
    line[length++] = '\r';
    line[length++] = '\n';

    FlushOutputQuietly();
    WriteRaw(line, length);
}

}  // namespace detail

std::string ModuleFileName() { return os::ModuleFileName(); }
const char* SystemCommandLine() noexcept { return os::CommandLine(); }
const char* NextSystemCharacter(const char* position) noexcept { return os::NextCharacter(position); }
unsigned UsableProcessorCount() noexcept { return os::UsableProcessorCount(); }

}  // namespace vdib
