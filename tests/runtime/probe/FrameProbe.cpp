// A program built on the process frame, for the tests that need a whole process: each mode
// (argument 1) ends in one of the frame's exits. Two modules print as they start and stop.
// Standard error receives "offset=XXXXXXXX" for the function that fails, so the tests can
// check that reported addresses point into it, and the details the tests ask for.
#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>

#include "System.h"

using namespace vdib;

namespace {

std::string Mode;
std::string Message;

void WriteError(const std::string& text) { (void)::write(2, text.data(), text.size()); }

void ShowOffset(const void* function) {
    Dl_info info{};
    ::dladdr(function, &info);
    const auto offset = reinterpret_cast<uintptr_t>(function) - reinterpret_cast<uintptr_t>(info.dli_fbase);
    WriteError(Format("offset=%08X\n", static_cast<unsigned>(offset)));
}

bool ModulesPrint() { return Mode != "buffer" && Mode != "order" && Mode != "iocheck"; }

void InitializeA() {
    if (ModulesPrint()) WriteLine("init A");
}
void FinalizeA() {
    if (ModulesPrint()) WriteLine("final A");
}
void InitializeB() {
    if (ModulesPrint()) WriteLine("init B");
    if (Mode == "initfail") {
        ShowOffset(reinterpret_cast<const void*>(&InitializeB));
        Raise<EConvertError>("start-up failed");
    }
}
void FinalizeB() {
    if (ModulesPrint()) WriteLine("final B");
    if (Mode == "finalfail") Raise<EConvertError>("shut-down failed");
}

// Prints when it is destroyed: shows whether pending clean-up ran.
struct TCleanup {
    ~TCleanup() { WriteLine("cleanup"); }
};

[[gnu::noinline]] void RaiseMode() {
    TCleanup cleanup;
    Raise<EConvertError>(Message);
}

[[gnu::noinline]] void FatalMode() {
    TCleanup cleanup;
    FatalRunError(216);
}

[[gnu::noinline]] void AssertMode() { VDIB_ASSERT(Message == "never", Message.c_str()); }

volatile int One = 1;
volatile int Zero = 0;
int* volatile Nowhere = nullptr;
volatile int StopDepth = -1;

// Faults on purpose, so the sanitizers must not step in first.
[[gnu::noinline, gnu::no_sanitize("undefined")]] int DivideMode() { return One / Zero; }

[[gnu::noinline, gnu::no_sanitize("address", "undefined")]] int NullMode() { return *Nowhere; }

[[gnu::noinline, gnu::no_sanitize("address")]] int Recurse(int depth) {
    volatile char frame[512];
    frame[0] = static_cast<char>(depth);
    if (depth == StopDepth) return 0;
    return Recurse(depth + 1) + frame[0];
}

void MainSequence() {
    if (Mode == "ok") {
        WriteLine("main");
    } else if (Mode == "raise") {
        ShowOffset(reinterpret_cast<const void*>(&RaiseMode));
        RaiseMode();
    } else if (Mode == "pending") {
        WriteText("pending text ");
        Raise<EConvertError>("boom");
    } else if (Mode == "fatal") {
        ShowOffset(reinterpret_cast<const void*>(&FatalMode));
        FatalMode();
    } else if (Mode == "assert") {
        ShowOffset(reinterpret_cast<const void*>(&AssertMode));
        AssertMode();
    } else if (Mode == "divide") {
        ShowOffset(reinterpret_cast<const void*>(&DivideMode));
        DivideMode();
    } else if (Mode == "null") {
        ShowOffset(reinterpret_cast<const void*>(&NullMode));
        NullMode();
    } else if (Mode == "overflow") {
        ShowOffset(reinterpret_cast<const void*>(&Recurse));
        Recurse(0);
    } else if (Mode == "badalloc") {
        throw std::bad_alloc();
    } else if (Mode == "stdexception") {
        throw std::runtime_error("plain failure");
    } else if (Mode == "unknown") {
        throw 42;
    } else if (Mode == "buffer") {
        // 200 bytes: the first 128 go out when the buffer fills, the rest at exit.
        WriteText(std::string(200, 'x'));
        (void)::write(1, "|", 1);
    } else if (Mode == "order") {
        WriteLine("line");
        (void)::write(1, "|", 1);
    } else if (Mode == "iocheck") {
        WriteLine("text");
        WriteText("ignored after a failure");
        FlushOutput();
        try {
            IOCheck();
            WriteError("no error\n");
        } catch (const EInOutError& e) {
            WriteError(Format("%s %d %s\n", e.ClassName(), e.ErrorCode, e.Message().c_str()));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Mode = argc > 1 ? argv[1] : "";
    Message = argc > 2 ? argv[2] : "";
    const TModule modules[] = {SystemModule, {"A", InitializeA, FinalizeA}, {"B", InitializeB, FinalizeB}};
    RunProgram(argc, argv, modules, std::size(modules), MainSequence);
}
