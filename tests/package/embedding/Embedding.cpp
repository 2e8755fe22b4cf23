// A program of another project on the installed library, in three modes:
//   threads: eight threads use the library at once with graphics of their own, and hand pictures
//     to one another shared (TakeContentFrom), which both sides then change; every output must be
//     the bytes that one thread alone gets from the same input. All take content out of one. Each
//     encodes with a thread count of its own, and opens a library scope of its own every round.
//   exit: the library objects kept in globals are used in main and destroyed after it returns.
//   signals: a round of work leaves every signal's disposition and the mask as they were.
//
//   Embedding mode scratch-dir rounds input.bmp...   exit 0, or 1 with a report
#include <VDIBitmap/RLE.h>
#include <VDIBitmap/VDIBitmap.h>

#include <atomic>
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
#include <string_view>
#include <thread>
#include <vector>

using namespace vdib;

namespace {

std::string Mode;

struct TSignals {
    struct sigaction Actions[NSIG]{};
    sigset_t Mask{};
    TSignals() {
        for (int s = 1; s < NSIG; ++s) ::sigaction(s, nullptr, &Actions[s]);  // fails for the C library's own
        ::pthread_sigmask(SIG_BLOCK, nullptr, &Mask);
    }
};
// Only the signals' own bits: the C library leaves the rest of a set it reports undefined.
bool SameSet(const sigset_t& a, const sigset_t& b) {
    for (int s = 1; s < NSIG; ++s)
        if (sigismember(&a, s) != sigismember(&b, s)) return false;
    return true;
}
// Made before the other globals and destroyed after them, so that the library's start and end
// count too: in mode signals, a change ends the program with a line for it and exit code 1.
struct TSignalCheck {
    const TSignals Before;
    ~TSignalCheck() {
        if (Mode != "signals") return;
        const TSignals after;
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
    ~TKept() { GlobalFree(Block), Palette != 0 && DeleteObject(Palette); }
};
const TLibraryScope Library;
TDIBitmap Picture;
TMemoryStream Stream;
TSurfaceCanvas Canvas(254, 128);
TKept Kept;

std::vector<std::string> Inputs, InputBytes;
std::map<std::string, uint64_t> Reference;  // each input's steps, as one thread alone saw them
std::atomic<int> Failures = 0;
std::mutex SlotLock;
std::unique_ptr<TDIBitmap> SlotPicture;  // a picture one thread left for the next to take
size_t SlotInput = 0;
TDIBitmap Common;  // read by every thread at once: its image gains and loses holders from all

void Fail(const std::string& what) {
    if (++Failures <= 20) std::printf("%s\n", what.c_str());
}

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
uint64_t Hash(const void* data, int64_t size) {
    return std::hash<std::string_view>()({static_cast<const char*>(data), static_cast<std::size_t>(size)});
}
uint64_t Hash(TMemoryStream& stream) { return Hash(stream.BlockAddress(), stream.Size()); }
uint64_t Saved(TDIBitmap& picture) {
    TMemoryStream out;
    picture.SaveStream(out);
    return Hash(out);
}
uint64_t Drawn(TDIBitmap& picture, int32_t width, int32_t height) {
    TSurfaceCanvas canvas(width, height);
    picture.PaintOn(canvas, {0, 0, width, height});
    TMemoryStream drawing;
    SaveSurfaceAsBMP(canvas.DeviceContext(), drawing);
    return Hash(drawing);
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

// Alone, notes the hash of each input's steps; otherwise reports those that differ.
struct TWorker {
    std::string Folder;
    bool Alone;

    void Run(size_t first, int rounds) {
        std::filesystem::create_directories(Folder);
        const unsigned encoders = 1 + first % 3;
        const TEncoderThreads own(encoders);
        try {
            for (int round = 0; round < rounds; ++round) Round((first + static_cast<size_t>(round)) % Inputs.size());
            if (EncoderThreadCount() != encoders) Fail(Folder + ": another thread's encoder count");
        } catch (const Exception& e) {
            Fail(Folder + ": " + e.ClassName() + ": " + e.Message());
        } catch (const std::exception& e) {
            Fail(Folder + ": " + e.what());
        }
    }

    void Note(size_t input, const char* step, uint64_t hash) {
        const std::string key = Inputs[input] + ": " + step;
        if (Alone) Reference.emplace(key, hash);
        else if (const auto found = Reference.find(key); found == Reference.end() || found->second != hash) Fail(Folder + ": " + key + " differs");
    }

    void Round(size_t input) {
        const TLibraryScope scope;  // within the program's: starts and stops nothing
        if (TPicture::FileFormats().size() != 1) Fail(Folder + ": \"dib\" is not registered");
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
            const std::lock_guard<std::mutex> hold(SlotLock);
            std::swap(SlotPicture, picture);
            std::swap(SlotInput, taken);
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
        const std::string file = ReadFile(Folder + "/compressed.bmp");
        Note(input, "compressed", Hash(file.data(), static_cast<int64_t>(file.size())));
    }
};

int Threads(const std::string& scratch, int rounds) {
    TWorker{scratch + "/alone", true}.Run(0, static_cast<int>(Inputs.size()) + 1);  // each input handed over once
    if (Failures != 0) return 1;
    Common.LoadFile(Inputs[0]);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 8; ++t)
        threads.emplace_back([=] {
            for (int i = 0; i < 100000; ++i) TDIBitmap().TakeContentFrom(&Common);  // together, as all start at once
            TWorker{scratch + "/" + std::to_string(t), false}.Run(t, rounds);
        });
    for (std::thread& thread : threads) thread.join();
    if (const int32_t holders = Common.ImageRef().HolderCount; holders != 1) Fail(Format("the common picture has %d holders", holders));
    std::printf("8 threads x %d rounds: %d outputs differ from one thread's or failed\n", rounds, Failures.load());
    return Failures == 0 ? 0 : 1;
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

// A picture of several MiB made from the input, saved, loaded back, compressed, saved, drawn and
// taken through the clipboard, in a library scope of its own.
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
    if (argc < 5) return std::fprintf(stderr, "usage: %s threads|exit|signals scratch-dir rounds input.bmp...\n", argv[0]), 2;
    Mode = argv[1];
    const std::string scratch = argv[2];
    for (int i = 4; i < argc; ++i) Inputs.push_back(argv[i]), InputBytes.push_back(ReadFile(argv[i]));
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
