// Code addresses and platform faults.
//
// Reports print code addresses as offsets inside the image (executable or shared object) that
// holds them, so that they stay the same from run to run of one build. The images are
// recorded once at start, so the fault handler can find them without the loader's locks.
//
// Faults arrive as signals and end the program with a run-time error, on an alternate stack
// so that a stack overflow can still be reported:
//   SIGSEGV, SIGBUS              -> 216
//   SIGSEGV at the stack's limit -> 202
//   SIGFPE, integer division     -> 200
//   SIGFPE, anything else        -> 207 (floating-point fault)
// The handler writes the text pending in the console buffer and the run-time error line, then
// ends the process at once: the interrupted code is in no state to run more of the program,
// module finalisations included.
//
// Interruptions (SIGINT, SIGTERM, SIGHUP, SIGQUIT) are no faults: nothing is reported. Their
// handler removes the temporary file of a save in progress, so that an interrupted run leaves
// no hidden partial file beside its output, then ends the process by the same signal with its
// default action. A signal that was ignored at start (a run under nohup) stays ignored.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>

#include <VDIBitmap/System.h>
#include "SystemInternal.h"

namespace vdib::detail {

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

void RecordProgramName() {
    char path[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    const char* name = "";
    if (length > 0) {
        path[length] = '\0';
        name = BaseName(path);
    } else if (!ProcessArguments().empty()) {
        name = BaseName(ProcessArguments().front().c_str());
    }
    std::strncpy(ProgramName, name, MaxNameLength);
    ProgramName[MaxNameLength] = '\0';
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
    WriteRunErrorLine(code, FaultingInstruction(context));
    ::_exit(code);
}

constexpr int InterruptingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Changed only while the interrupting signals are held, so the handler never sees half a name.
char FileToRemove[PATH_MAX + 1];

sigset_t InterruptingSignalSet() noexcept {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : InterruptingSignals) sigaddset(&set, signal);
    return set;
}

// The signal stays blocked while the handler runs, so raising it again only marks it pending;
// with the default action back in place it ends the process as soon as the handler returns.
void InterruptionHandler(int signal) {
    if (FileToRemove[0] != '\0') ::unlink(FileToRemove);
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(signal, &fallback, nullptr);
    ::raise(signal);
}

void InstallInterruptionHandlers() {
    struct sigaction action{};
    action.sa_handler = InterruptionHandler;
    action.sa_mask = InterruptingSignalSet();  // one at a time: the first one ends the process
    for (const int signal : InterruptingSignals) {
        struct sigaction previous{};
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace

TInterruptionsHeld::TInterruptionsHeld() noexcept {
    const sigset_t held = InterruptingSignalSet();
    ::pthread_sigmask(SIG_BLOCK, &held, &FPrevious);
}

TInterruptionsHeld::~TInterruptionsHeld() { ::pthread_sigmask(SIG_SETMASK, &FPrevious, nullptr); }

bool RemoveOnInterrupt(const char* fileName) noexcept {
    const std::size_t length = fileName != nullptr ? std::strlen(fileName) : 0;
    if (length >= sizeof FileToRemove) {
        FileToRemove[0] = '\0';
        return false;
    }
    if (length != 0) std::memcpy(FileToRemove, fileName, length);
    FileToRemove[length] = '\0';
    return true;
}

void InstallFaultHandlers() {
    ImageCount = 0;
    ::dl_iterate_phdr(RecordImage, nullptr);
    RecordProgramName();
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

    InstallInterruptionHandlers();

    // A reader that goes away, or a file growing past the size limit, must become a failed write
    // (EPIPE, EFBIG: an I/O result that is reported), not the end of the process.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
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
    const uint32_t offset = ImageOffset(address);
    for (int shift = 28; shift >= 0; shift -= 4) line[length++] = "0123456789ABCDEF"[(offset >> shift) & 0xF];
    line[length++] = '\r';
    line[length++] = '\n';

    FlushOutputQuietly();
    WriteRaw(line, length);
}

}  // namespace vdib::detail
