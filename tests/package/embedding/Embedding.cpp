// A program of another project on the installed library, in three modes:
//   threads: eight threads use the library at once, each with graphics of its own, and hand
//     pictures to one another shared (TakeContentFrom), which both sides then change; every
//     output must be the bytes that one thread alone gets from the same input.
//   exit: the library objects kept in globals below are used inside main and destroyed after it
//     returns, after whatever the library made for them there; the program ends as any other.
//   signals: a round of work leaves every signal's disposition and the signal mask as the
//     program had them before the globals were made, checked once they are all destroyed.
//
//   Embedding mode scratch-dir rounds input.bmp...   exit 0, or 1 with a report
#include <VDIBitmap/VDIBitmap.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace vdib;

namespace {

std::string Mode;

// Every signal's disposition and the mask.
struct TSignals {
    struct sigaction Actions[NSIG];
    sigset_t Mask;
};
TSignals Now() {
    TSignals now{};
    for (int s = 1; s < NSIG; ++s) ::sigaction(s, nullptr, &now.Actions[s]);  // fails for the C library's own
    ::pthread_sigmask(SIG_BLOCK, nullptr, &now.Mask);
    return now;
}
// Only the signals' own bits: the C library leaves the rest of a set it reports undefined.
bool SameSet(const sigset_t& a, const sigset_t& b) {
    for (int s = 1; s < NSIG; ++s)
        if (sigismember(&a, s) != sigismember(&b, s)) return false;
    return true;
}
// Made before the other globals and destroyed after them: in mode signals, ends the program with
// exit code 1 and a line per change when anything differs from how it found the signals.
struct TSignalCheck {
    const TSignals Before = Now();
    ~TSignalCheck() {
        if (Mode != "signals") return;
        const TSignals after = Now();
        int changes = SameSet(Before.Mask, after.Mask) ? 0 : std::printf("the signal mask changed\n");
        for (int s = 1; s < NSIG; ++s) {
            const struct sigaction &a = Before.Actions[s], &b = after.Actions[s];
            if (a.sa_handler != b.sa_handler || a.sa_flags != b.sa_flags || !SameSet(a.sa_mask, b.sa_mask))
                changes += std::printf("signal %d (%s) has another disposition\n", s, strsignal(s));
        }
        if (changes != 0) std::fflush(stdout), std::_Exit(1);
    }
} SignalCheck;

// Handles the program keeps until it ends; none of the globals asks the library for one before main.
struct TKept {
    HPALETTE Palette = 0;
    HGLOBAL Block = 0;
    ~TKept() {
        GlobalFree(Block);
        if (Palette != 0) DeleteObject(Palette);
    }
};
const TLibraryScope Library;
TDIBitmap Picture;
TMemoryStream Stream;
TSurfaceCanvas Canvas(254, 128);
TKept Kept;

std::vector<std::string> Inputs, InputBytes;

uint64_t Hash(const void* data, int64_t size) {
    uint64_t h = 14695981039346656037ull;
    for (int64_t i = 0; i < size; ++i) h = (h ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211ull;
    return h;
}
uint64_t Saved(TDIBitmap& picture) {
    TMemoryStream out;
    picture.SaveStream(out);
    return Hash(out.BlockAddress(), out.Size());
}
uint64_t Drawn(TDIBitmap& picture, int32_t width, int32_t height) {
    TSurfaceCanvas canvas(width, height);
    picture.PaintOn(canvas, {0, 0, width, height});
    TMemoryStream drawing;
    SaveSurfaceAsBMP(canvas.DeviceContext(), drawing);
    return Hash(drawing.BlockAddress(), drawing.Size());
}
// Through the clipboard's block and palette, which are freed again.
uint64_t Pasted(TDIBitmap& picture, TDIBitmap& into) {
    uint16_t format = 0;
    HGLOBAL block = 0;
    HPALETTE palette = 0;
    picture.SaveClipboardBlock(format, block, palette);
    into.LoadClipboardBlock(format, block, palette);
    GlobalFree(block);
    if (palette != 0) DeleteObject(palette);
    return Saved(into);
}

// A picture one thread left for the next to take, and the input it came from.
struct TSlot {
    std::mutex Lock;
    std::unique_ptr<TDIBitmap> Picture;
    size_t Input = 0;
};

// Without a reference, keeps the first hash of each input's steps; with one, lists what differs.
struct TWorker {
    std::string Folder;
    TSlot& Slot;
    const std::map<std::string, uint64_t>* Reference;
    std::map<std::string, uint64_t> Hashes;
    std::vector<std::string> Failures;

    void Run(size_t first, int rounds) {
        std::filesystem::create_directories(Folder);
        try {
            for (int round = 0; round < rounds; ++round) Round((first + static_cast<size_t>(round)) % Inputs.size());
        } catch (const Exception& e) {
            Failures.push_back(std::string(e.ClassName()) + ": " + e.Message());
        } catch (const std::exception& e) {
            Failures.push_back(e.what());
        }
    }

    void Note(size_t input, const char* step, uint64_t hash) {
        const std::string key = Inputs[input] + ": " + step;
        if (Reference == nullptr) Hashes.emplace(key, hash);
        else if (const auto found = Reference->find(key); found == Reference->end() || found->second != hash)
            Failures.push_back(key + " differs");
    }

    void Round(size_t input) {
        TDIBitmap loaded, streamed;
        loaded.LoadFile(Inputs[input]);
        TMemoryStream bytes;
        bytes.WriteExact(InputBytes[input].data(), static_cast<int32_t>(InputBytes[input].size()));
        bytes.Seek(0, soBeginning);
        streamed.LoadStream(bytes);
        Note(input, "as loaded", Saved(streamed));

        auto picture = std::make_unique<TDIBitmap>();
        picture->TakeContentFrom(&loaded);
        size_t taken = input;
        {
            const std::lock_guard<std::mutex> hold(Slot.Lock);
            std::swap(Slot.Picture, picture);
            std::swap(Slot.Input, taken);
        }
        Change(input, loaded);
        if (picture) Change(taken, *picture);
    }

    void Change(size_t input, TDIBitmap& picture) {
        Note(input, "as loaded", Saved(picture));
        const int32_t width = picture.Width(), height = picture.Height();
        Note(input, "drawn", Drawn(picture, width * 3 / 2, height + 5));
        TDIBitmap pasted;
        Note(input, "through the clipboard", Pasted(picture, pasted));
        LOGPALETTE reversed{0x300, 0, {}};
        PALETTEENTRY colours[256];
        reversed.palNumEntries = static_cast<uint16_t>(GetPaletteEntries(picture.QueryPalette(), 0, 256, colours));
        for (unsigned i = 0; i < reversed.palNumEntries; ++i) reversed.palPalEntry[i] = colours[reversed.palNumEntries - 1 - i];
        picture.ChangePalette(CreatePalette(reversed));  // the picture owns it from here
        Note(input, "palette reversed", Saved(picture));
        picture.Resize(width + 3, height - 2);
        Note(input, "resized", Saved(picture));
        picture.SetCompressed(true);
        picture.SaveFile(Folder + "/compressed.bmp");
        std::ifstream in(Folder + "/compressed.bmp", std::ios::binary);
        const std::string file{std::istreambuf_iterator<char>(in), {}};
        Note(input, "compressed", Hash(file.data(), static_cast<int64_t>(file.size())));
    }
};

int Threads(const std::string& scratch, int rounds) {
    // Once round the inputs and one more, so that each is handed over once.
    TSlot alone, shared;
    TWorker reference{scratch + "/alone", alone, nullptr, {}, {}};
    reference.Run(0, static_cast<int>(Inputs.size()) + 1);
    for (const auto& failure : reference.Failures) std::printf("one thread alone: %s\n", failure.c_str());
    if (!reference.Failures.empty()) return 1;
    std::vector<std::unique_ptr<TWorker>> workers;
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 8; ++t) {
        workers.push_back(std::make_unique<TWorker>(TWorker{scratch + "/" + std::to_string(t), shared, &reference.Hashes, {}, {}}));
        threads.emplace_back(&TWorker::Run, workers.back().get(), t, rounds);
    }
    size_t failures = 0;
    for (size_t t = 0; t < threads.size(); ++t) {
        threads[t].join();
        for (const auto& failure : workers[t]->Failures)
            if (++failures <= 20) std::printf("thread %zu: %s\n", t, failure.c_str());
    }
    std::printf("8 threads x %d rounds: %zu outputs differ from one thread's or failed\n", rounds, failures);
    return failures == 0 ? 0 : 1;
}

// The globals at work: loaded, saved, drawn, put on the clipboard and kept, compressed.
void Exit(const std::string& scratch) {
    Picture.LoadFile(Inputs[0]);
    Picture.SaveStream(Stream);
    Picture.PaintOn(Canvas, {0, 0, 254, 128});
    TFileStream drawing(scratch + "/drawing.bmp", ModeCreate);
    SaveSurfaceAsBMP(Canvas.DeviceContext(), drawing);
    uint16_t format = 0;
    Picture.SaveClipboardBlock(format, Kept.Block, Kept.Palette);
    Picture.SetCompressed(true);
    Picture.SaveFile(scratch + "/rle.bmp");
}

// A picture of several MiB made from the input, saved, loaded back from the file, compressed,
// saved, drawn and taken through the clipboard, inside a scope of its own.
void Signals(const std::string& scratch) {
    const TLibraryScope library;
    TDIBitmap picture;
    picture.LoadFile(Inputs[0]);
    picture.Resize(3000, 2000);
    picture.SaveFile(scratch + "/large.bmp");
    picture.LoadFile(scratch + "/large.bmp");
    picture.SetCompressed(true);
    picture.SaveFile(scratch + "/large_rle.bmp");
    Drawn(picture, 300, 200);
    Pasted(picture, picture);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s threads|exit|signals scratch-dir rounds input.bmp...\n", argv[0]);
        return 2;
    }
    Mode = argv[1];
    const std::string scratch = argv[2];
    for (int i = 4; i < argc; ++i) {
        Inputs.push_back(argv[i]);
        std::ifstream in(argv[i], std::ios::binary);
        InputBytes.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::filesystem::create_directories(scratch);
    try {
        if (Mode == "threads") return Threads(scratch, std::stoi(argv[3]));
        Mode == "exit" ? Exit(scratch) : Signals(scratch);
        return 0;
    } catch (const Exception& e) {
        std::printf("%s: %s\n", e.ClassName(), e.Message().c_str());
        return 1;
    }
}
