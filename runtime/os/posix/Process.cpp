// The process on a POSIX system: standard descriptors, signals, the executable's images, its
// name and the locale's code set.
//
// Reports print code addresses as offsets inside the image (executable or shared object) that
// holds them, so that they stay the same from run to run of one build. The images are recorded
// once at start, so the fault handler can find them without the loader's locks.
//
// Faults arrive as signals and are handled on an alternate stack, so that a stack overflow can
// still be reported:
//   SIGSEGV, SIGBUS              -> 216
//   SIGSEGV at the stack's limit -> 202
//   SIGFPE, integer division     -> 200
//   SIGFPE, anything else        -> 207 (floating-point fault)
#include <dlfcn.h>
#include <fcntl.h>
#include <langinfo.h>
#include <limits.h>
#include <link.h>
#include <locale.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>

#include <VDIBitmap/SysUtils.h>

#include "../Process.h"
#include "Interrupts.h"

namespace vdib::os {

namespace {

constexpr std::size_t MaxNameLength = 260;
constexpr std::size_t MaxImages = 64;

struct TImage {
    uintptr_t Start;  // first byte of the image: what offsets count from
    uintptr_t End;    // one past its last loaded byte
    const char* Name; // the loader's full path; empty for the program itself
};

TImage Images[MaxImages];
std::size_t ImageCount = 0;
char ProgramName[MaxNameLength + 1];

// The main thread's stack, and the gap below it that the kernel keeps free: a fault there is
// the stack running out.
uintptr_t StackLow = 0;
uintptr_t StackHigh = 0;
constexpr uintptr_t StackGuardGap = uintptr_t{2} << 20;
constexpr uintptr_t StackLimitMargin = uintptr_t{64} << 10;

// Large enough for the handler's own frames; a static block, as the handler may not allocate.
alignas(16) char AlternateStack[64 * 1024];

TFaultHandler OnFault = nullptr;

int RecordImage(dl_phdr_info* info, std::size_t, void*) {
    if (ImageCount == MaxImages) return 1;
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (start < low) low = start;
        if (start + segment.p_memsz > high) high = start + segment.p_memsz;
    }
    if (low >= high) return 0;
    const uintptr_t pageSize = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    Images[ImageCount++] = TImage{low & ~(pageSize - 1), high, info->dlpi_name ? info->dlpi_name : ""};
    return 0;
}

const char* BaseName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void RecordStackBounds() {
    pthread_attr_t attributes;
    if (::pthread_getattr_np(::pthread_self(), &attributes) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    if (::pthread_attr_getstack(&attributes, &low, &size) == 0) {
        StackLow = reinterpret_cast<uintptr_t>(low);
        StackHigh = StackLow + size;
    }
    ::pthread_attr_destroy(&attributes);
}

const TImage* FindImage(uintptr_t address) noexcept {
    for (std::size_t i = 0; i < ImageCount; ++i)
        if (address >= Images[i].Start && address < Images[i].End) return &Images[i];
    return nullptr;
}

bool IsStackOverflow(uintptr_t faultAddress) noexcept {
    if (StackLow == 0) return false;
    const uintptr_t bottom = StackLow > StackGuardGap ? StackLow - StackGuardGap : 0;
    return faultAddress >= bottom && faultAddress < StackLow + StackLimitMargin;
}

const void* FaultingInstruction(void* context) noexcept {
    const auto* machine = &static_cast<ucontext_t*>(context)->uc_mcontext;
#if defined(__x86_64__)
    return reinterpret_cast<const void*>(machine->gregs[REG_RIP]);
#elif defined(__i386__)
    return reinterpret_cast<const void*>(machine->gregs[REG_EIP]);
#elif defined(__aarch64__)
    return reinterpret_cast<const void*>(machine->pc);
#else
    (void)machine;
    return nullptr;
#endif
}

int RunErrorCodeFor(int signal, const siginfo_t* info) noexcept {
    switch (signal) {
        case SIGFPE:
            return info->si_code == FPE_INTDIV ? 200 : 207;
        case SIGSEGV:
            return IsStackOverflow(reinterpret_cast<uintptr_t>(info->si_addr)) ? 202 : 216;
        default:
            return 216;
    }
}

void FaultHandler(int signal, siginfo_t* info, void* context) {
    const int code = RunErrorCodeFor(signal, info);
    if (OnFault != nullptr) OnFault(code, FaultingInstruction(context));
    ExitProcess(code);
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

bool IsShiftJIS(const char* codeSet) {
    for (const char* name : {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "CP932", "WINDOWS-31J", "MS932"})
        if (::strcasecmp(codeSet, name) == 0) return true;
    return false;
}

// The code set of LC_CTYPE as the environment sets it, read through a locale object of its own
// so that the program's global locale stays as it is.
bool LocaleIsShiftJIS() {
    const locale_t locale = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0)) return false;
    const bool shiftJIS = IsShiftJIS(::nl_langinfo_l(CODESET, locale));
    ::freelocale(locale);
    return shiftJIS;
}

}  // namespace

void PrepareProcess() {
    ParkClosedStandardDescriptors();
    InstallInterruptHandlers();
    // A reader that goes away, or a file growing past the size limit, must become a failed write
    // (EPIPE, EFBIG: an I/O result that is reported), not the end of the process.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

// Saves still in progress (a fault, or std::terminate, ends the program in the middle of them)
// leave no temporary file behind.
void ExitProcess(int code) noexcept {
    RemovePendingFiles();
    ::_exit(code);
}

std::string ModuleFileName() {
    char path[MaxNameLength];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

const char* CommandLine() noexcept { return nullptr; }

// Shift JIS locales walk code page 932; every other code set, UTF-8 among them, has no
// double-byte characters that could hide a quote or a delimiter.
const char* NextCharacter(const char* position) noexcept {
    static const bool doubleByte = LocaleIsShiftJIS();
    if (doubleByte) return NextCP932Character(position);
    return *position == '\0' ? position : position + 1;
}

unsigned UsableProcessorCount() noexcept {
#if defined(__linux__)
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

void InstallFaultHandlers(TFaultHandler onFault) {
    OnFault = onFault;
    ImageCount = 0;
    ::dl_iterate_phdr(RecordImage, nullptr);
    const std::string program = ModuleFileName();
    std::strncpy(ProgramName, BaseName(program.c_str()), MaxNameLength);
    ProgramName[MaxNameLength] = '\0';
    RecordStackBounds();

    stack_t alternate{};
    alternate.ss_sp = AlternateStack;
    alternate.ss_size = sizeof AlternateStack;
    ::sigaltstack(&alternate, nullptr);

    struct sigaction action{};
    action.sa_sigaction = FaultHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE}) ::sigaction(signal, &action, nullptr);
}

uint32_t ImageOffset(const void* address) noexcept {
    const auto value = reinterpret_cast<uintptr_t>(address);
    if (value == 0) return 0;
    if (const TImage* image = FindImage(value)) return static_cast<uint32_t>(value - image->Start);
    return static_cast<uint32_t>(value);
}

std::string ImageName(const void* address) {
    const TImage* image = FindImage(reinterpret_cast<uintptr_t>(address));
    std::string name = image && image->Name[0] != '\0' ? BaseName(image->Name) : ProgramName;
    if (name.size() > MaxNameLength) name.resize(MaxNameLength);
    return name;
}

}  // namespace vdib::os
