// The process on the Win32 API: start, end, the module's name, the command line, the code page,
// structured exceptions as run-time errors, and code addresses as offsets in their image.
#include "../Process.h"

#include <bit>

#include "Internal.h"

namespace vdib::os {

namespace {

constexpr std::size_t MaxNameLength = 260;

// Room left on the stack for the handler once a stack overflow is raised.
constexpr ULONG StackGuarantee = 64 * 1024;

TFaultHandler OnFault = nullptr;
// The image that holds this code (the program): faults raised inside it are handled at once.
const void* ProgramImage = nullptr;
// Set once a fault is being reported; the process then ends without running anything more.
volatile LONG FaultCode = 0;

const void* ImageBase(const void* address) noexcept {
    MEMORY_BASIC_INFORMATION region;
    if (address == nullptr || ::VirtualQuery(address, &region, sizeof region) == 0 || region.Type != MEM_IMAGE)
        return nullptr;
    return region.AllocationBase;
}

int RunErrorCodeFor(DWORD exception) noexcept {
    switch (exception) {
        case EXCEPTION_ACCESS_VIOLATION:
        case EXCEPTION_IN_PAGE_ERROR:  // a mapped page that could not be read in: a bus error
            return 216;
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
            return 200;
        case EXCEPTION_STACK_OVERFLOW:
            return 202;
        case EXCEPTION_INT_OVERFLOW:
        case EXCEPTION_FLT_DENORMAL_OPERAND:
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        case EXCEPTION_FLT_INEXACT_RESULT:
        case EXCEPTION_FLT_INVALID_OPERATION:
        case EXCEPTION_FLT_OVERFLOW:
        case EXCEPTION_FLT_STACK_CHECK:
        case EXCEPTION_FLT_UNDERFLOW:
        case STATUS_FLOAT_MULTIPLE_FAULTS:
        case STATUS_FLOAT_MULTIPLE_TRAPS:
            return 207;
        default:
            return 0;
    }
}

[[noreturn]] void EndWithRunError(int code, const void* address) noexcept {
    ::InterlockedExchange(&FaultCode, code);
    OnFault(code, address);
    ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));  // should the handler return
    ::ExitProcess(static_cast<UINT>(code));
}

// Faults are structured exceptions. A vectored handler sees them first, before any frame's
// handler, which is what a fault of the program's own code needs: nothing of the program may run
// on. A fault inside a system library is left to that library's frames (some catch faults on
// purpose, while probing memory) and becomes a run-time error only when nobody handles it. Every
// other exception, C++ exceptions included, passes on untouched.
LONG CALLBACK OnFirstChance(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    const int code = RunErrorCodeFor(record.ExceptionCode);
    if (code == 0 || OnFault == nullptr || ImageBase(record.ExceptionAddress) != ProgramImage)
        return EXCEPTION_CONTINUE_SEARCH;
    EndWithRunError(code, record.ExceptionAddress);
}

LONG WINAPI OnUnhandled(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    const int code = RunErrorCodeFor(record.ExceptionCode);
    if (code == 0 || OnFault == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    EndWithRunError(code, record.ExceptionAddress);
}

const char* BaseName(const char* path) noexcept {
    const char* name = path;
    for (const char* p = path; *p != '\0'; p = NextCharacter(p))
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    return name;
}

// The full file name of `module` (0: the program), at most MaxNameLength UTF-16 units, never
// cut inside a pair; "" when the system cannot tell. Asked for in UTF-16: in UTF-8 a character
// may take up to four bytes, and a buffer of MaxNameLength bytes could cut the name short.
std::string ModulePath(HMODULE module) {
    wchar_t path[MaxNameLength + 1];
    DWORD length = ::GetModuleFileNameW(module, path, MaxNameLength + 1);
    if (length > MaxNameLength) length = path[MaxNameLength - 1] >= 0xD800 && path[MaxNameLength - 1] <= 0xDBFF
                                             ? MaxNameLength - 1 : MaxNameLength;
    return detail::NarrowName(path, length);
}

}  // namespace

// Files and pipes on this system raise no signal when their reader goes away (the write fails),
// closed standard handles are null rather than numbers the next file would take, and there is no
// file-size limit to trip over; what is left is to keep the system's error dialogs away, since
// nobody may be there to answer them, and to clean up after an interrupted replacement.
void PrepareProcess() {
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    detail::InstallInterruptCleanup();
}

// Once a fault is being reported, ExitProcess would run the libraries' detach routines in a
// process in no state for them (after a stack overflow Wine then ends it with status 1 instead of
// the code); TerminateProcess ends it as it stands.
void ExitProcess(int code) noexcept {
    detail::RemovePendingFilesAtExit();
    if (FaultCode != 0) ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
    ::ExitProcess(static_cast<UINT>(code));
}

std::string ModuleFileName() { return ModulePath(nullptr); }

const char* CommandLine() noexcept { return ::GetCommandLineA(); }

const char* NextCharacter(const char* position) noexcept { return ::CharNextA(position); }

// The affinity covers the process's processor group, the most that its threads can use without
// asking for more groups.
unsigned UsableProcessorCount() noexcept {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) || process == 0) return 1;
    return static_cast<unsigned>(std::popcount(process));
}

void InstallFaultHandlers(TFaultHandler onFault) {
    OnFault = onFault;
    ProgramImage = ImageBase(reinterpret_cast<const void*>(&InstallFaultHandlers));
    ULONG guarantee = StackGuarantee;
    ::SetThreadStackGuarantee(&guarantee);
    ::AddVectoredExceptionHandler(1, OnFirstChance);
    ::SetUnhandledExceptionFilter(OnUnhandled);
}

uint32_t ImageOffset(const void* address) noexcept {
    const auto value = reinterpret_cast<uintptr_t>(address);
    const void* base = ImageBase(address);
    return static_cast<uint32_t>(base != nullptr ? value - reinterpret_cast<uintptr_t>(base) : value);
}

std::string ImageName(const void* address) {
    const auto module = static_cast<HMODULE>(const_cast<void*>(ImageBase(address)));
    std::string path = ModulePath(module);
    if (path.empty() && module != nullptr) path = ModulePath(nullptr);
    return BaseName(path.c_str());
}

}  // namespace vdib::os
