// A program on the process frame whose modes (argument 1; argument 2 a message) end in each of
// its exits; tests/data/probes.tsv describes them. Standard error receives "offset=XXXXXXXX" for
// the function that fails. Mode saves (argument 2 a folder) keeps four threads saving large
// compressed pictures into that folder, for a test to interrupt.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <VDIBitmap/DIBitmap.h>
#include <VDIBitmap/MemoryScanStream.h>
#include <VDIBitmap/System.h>

#include "os/Process.h"

using namespace vdib;

namespace {

std::string Mode;
std::string Message;
uint8_t Block[10] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};

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
void ShowBlock() {
    std::string text = "block";
    for (const uint8_t b : Block) text += Format(" %02X", b);
    if (Mode == "scan") WriteLine(text);
}

// Prints when it is destroyed: shows whether pending clean-up ran.
struct TCleanup {
    ~TCleanup() { WriteLine("cleanup"); }
};

[[gnu::noinline]] void RaiseMode() {
    TCleanup cleanup;
    Raise<EConvertError>(Message);
}

// The run-time error of the code that the message gives, 216 for a message that is no number.
[[gnu::noinline]] void FatalMode() {
    TCleanup cleanup;
    FatalRunError(!Message.empty() && Message.find_first_not_of("0123456789") == std::string::npos ? std::stoi(Message) : 216);
}

[[gnu::noinline]] void AssertMode() { VDIB_ASSERT(Message == "never", Message.c_str()); }

// The message: the position to start at, then steps: a count of bytes to write (write k, from 0,
// writes the bytes 16k + 1, 16k + 2, ...), "@p" a seek to p, "=n" setting the size to n.
void ScanMode() {
    std::istringstream steps(Message);
    int position = 0, writes = 0;
    steps >> position;
    TCleanup cleanup;
    TMemoryScanStream stream(Block, sizeof Block);
    stream.Seek(position, soBeginning);
    for (std::string step; steps >> step;) {
        if (step[0] == '@') {
            stream.Seek(std::stoi(step.substr(1)), soBeginning);
        } else if (step[0] == '=') {
            stream.SetSize(std::stoi(step.substr(1)));
            WriteLine(Format("size %d", static_cast<int>(stream.Size())));
        } else {
            uint8_t data[16];
            for (int i = 0; i < 16; ++i) data[i] = static_cast<uint8_t>(16 * writes + i + 1);
            ++writes;
            const int32_t written = stream.Write(data, std::stoi(step));
            WriteLine(Format("wrote %d, at %d", written, static_cast<int>(stream.StreamPosition())));
        }
    }
}

// A graphic holding an image of its own.
struct THeld : TDIBitmap {
    explicit THeld(TDIBitmapImage* image) { HoldImage(image); }
};

// Each thread saves its own 3000 x 3000 8-bit noise picture as RLE8 (about 9 MB, slow to encode)
// 100 times over as "<folder>/out<n>.bmp", so that four saves, each with its temporary file, are
// nearly always under way at once. A failed save is reported once all threads have ended.
void SavesMode() {
    std::atomic<bool> failed = false;
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; ++n)
        threads.emplace_back([n, &failed] {
            try {
                TDIBitmapImage* image = TDIBitmapImage::CreateBlank({8, 0, 0, 0, false, true}, 3000, 3000);
                std::mt19937 noise(static_cast<unsigned>(n));
                std::generate_n(image->Bits, image->Info().biSizeImage, [&] { return static_cast<uint8_t>(noise()); });
                THeld picture(image);
                for (int time = 0; time < 100; ++time) picture.SaveFile(Format("%s/out%d.bmp", Message.c_str(), n));
            } catch (...) {
                failed = true;
            }
        });
    for (std::thread& thread : threads) thread.join();
    if (failed) Raise<EConvertError>("a save failed");
}

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
    // The first six show their function's offset first.
    const std::pair<const char*, void (*)()> modes[] = {
        {"raise", RaiseMode}, {"fatal", FatalMode}, {"assert", AssertMode}, {"divide", DivideMode}, {"null", NullMode},
        {"overflow", OverflowMode}, {"ok", [] { WriteLine("main"); }}, {"scan", ScanMode}, {"saves", SavesMode},
        {"pending", [] { WriteText("pending text "), Raise<EConvertError>("boom"); }}, {"badalloc", [] { throw std::bad_alloc(); }},
        {"stdexception", [] { throw std::runtime_error("plain failure"); }}, {"unknown", [] { throw 42; }}};
    for (std::size_t i = 0; i < std::size(modes); ++i) {
        if (Mode != modes[i].first) continue;
        if (i < 6) ShowOffset(reinterpret_cast<const void*>(modes[i].second));
        modes[i].second();
    }
}

}  // namespace

int main(int argc, char** argv) {
    Mode = argc > 1 ? argv[1] : "";
    Message = argc > 2 ? argv[2] : "";
    const TModule modules[] = {SystemModule, {"A", InitializeA, FinalizeA}, {"B", InitializeB, FinalizeB}, {"Block", nullptr, ShowBlock}};
    RunProgram(argc, argv, modules, std::size(modules), MainSequence);
}
