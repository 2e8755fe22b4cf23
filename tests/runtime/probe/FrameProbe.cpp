// A program built on the process frame, for the tests that need a whole process: each mode
// (argument 1; argument 2 is a message) ends in one of the frame's exits. Two modules print as
// they start and stop. Standard error receives "offset=XXXXXXXX" for the function that fails,
// so the tests can check that reported addresses point into it.
#include <cstdio>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>

#include <VDIBitmap/System.h>

#include "os/Process.h"

using namespace vdib;

namespace {

std::string Mode;
std::string Message;

void ShowOffset(const void* function) {
    std::fprintf(stderr, "offset=%08X\n", static_cast<unsigned>(os::ImageOffset(function)));
    std::fflush(stderr);
}

void InitializeA() { WriteLine("init A"); }
void FinalizeA() { WriteLine("final A"); }
void InitializeB() {
    WriteLine("init B");
    if (Mode == "initfail") ShowOffset(reinterpret_cast<const void*>(&InitializeB)), Raise<EConvertError>("start-up failed");
}
void FinalizeB() {
    WriteLine("final B");
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

volatile int One = 1, Zero = 0, StopDepth = -1;
int* volatile Nowhere = nullptr;

// Faults on purpose, so the sanitizers must not step in first.
[[gnu::noinline, gnu::no_sanitize("undefined")]] void DivideMode() { One = One / Zero; }
[[gnu::noinline, gnu::no_sanitize("address", "undefined")]] void NullMode() { One = *Nowhere; }
[[gnu::noinline, gnu::no_sanitize("address")]] void OverflowMode() {
    volatile char frame[512];
    frame[0] = 1;
    if (StopDepth != 0) OverflowMode();
    One = frame[0];
}

void MainSequence() {
    const std::pair<const char*, void (*)()> failing[] = {{"raise", RaiseMode},   {"fatal", FatalMode},
                                                          {"assert", AssertMode}, {"divide", DivideMode},
                                                          {"null", NullMode},     {"overflow", OverflowMode}};
    for (const auto& [mode, function] : failing) {
        if (Mode != mode) continue;
        ShowOffset(reinterpret_cast<const void*>(function));
        function();
    }
    if (Mode == "ok") WriteLine("main");
    if (Mode == "pending") WriteText("pending text "), Raise<EConvertError>("boom");
    if (Mode == "badalloc") throw std::bad_alloc();
    if (Mode == "stdexception") throw std::runtime_error("plain failure");
    if (Mode == "unknown") throw 42;
}

}  // namespace

int main(int argc, char** argv) {
    Mode = argc > 1 ? argv[1] : "";
    Message = argc > 2 ? argv[2] : "";
    const TModule modules[] = {SystemModule, {"A", InitializeA, FinalizeA}, {"B", InitializeB, FinalizeB}};
    RunProgram(argc, argv, modules, std::size(modules), MainSequence);
}
