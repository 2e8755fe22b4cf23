// The process frame: module start-up and shut-down, the exit sequence and the top-level reports.
#include <VDIBitmap/System.h>

#include <fcntl.h>
#include <unistd.h>

#include <exception>
#include <new>

#include "SystemInternal.h"

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

// Standard descriptors that are closed at start are parked on /dev/null, opened read-only so
// that writing to them still fails as on a closed descriptor; otherwise the first file the
// program opens would take descriptor 1 and receive the reports.
void ParkClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0) continue;
        const int parked = ::open("/dev/null", O_RDONLY);
        if (parked >= 0 && parked != fd) {
            ::dup2(parked, fd);
            ::close(parked);
        }
    }
}

}  // namespace

const TModule SystemModule = {"System", nullptr, FinalizeSystem};

const std::vector<std::string>& ProcessArguments() { return Arguments; }

void RunProgram(int argc, char** argv, const TModule* modules, std::size_t count, void (*mainSequence)()) {
    // Every report of this program goes to standard output: it is a console program.
    Arguments.assign(argv, argv + argc);
    ParkClosedStandardDescriptors();
    detail::InstallFaultHandlers();
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
    ::_exit(ExitCode);
}

void FatalRunError(int code) {
    SetRunError(code, __builtin_return_address(0));
    Terminate();
}

void ReportException(const Exception& e) {
    const std::string& message = e.Message();
    const char* period = !message.empty() && message.back() != '.' ? "." : "";
    // The message joins as it is held (its bytes unconverted, zero bytes included).
    std::string report = Format("Exception %s in module %s at %08X.\r\n", e.ClassName(),
                                detail::ImageName(e.RaiseAddress).c_str(), detail::ImageOffset(e.RaiseAddress));
    report += message;
    report += period;
    report += "\r\n";
    if (report.size() > ReportBufferSize) report.resize(ReportBufferSize);
    report += "\r\n";

    FlushOutput();
    // The I/O check here only clears the pending result: raising from inside the report would
    // lose the report, and the report itself goes to the same place.
    IOResult();
    detail::WriteRaw(report.data(), report.size());
}

[[gnu::noinline]] void AssertFailed(const char* message, const char* file, int line) {
    EAssertionFailed e(Format(msg::AssertionFormat, message != nullptr && *message != '\0' ? message : msg::AssertionFailed,
                              file, line));
    e.RaiseAddress = __builtin_return_address(0);
    throw e;
}

}  // namespace vdib
