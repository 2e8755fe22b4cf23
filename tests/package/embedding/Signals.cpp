// A program of its own with the library started (TLibraryScope): a round of work leaves every
// signal's disposition and the signal mask as the program had them.
//
//   Signals scratch-dir input.bmp   exit 0 when nothing changed, 1 with a line per change
#include <VDIBitmap/VDIBitmap.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

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

int Changes(const TSignals& before, const char* round) {
    const TSignals after = Now();
    int changes = 0;
    for (int s = 1; s < NSIG; ++s) {
        const struct sigaction &a = before.Actions[s], &b = after.Actions[s];
        if (a.sa_handler == b.sa_handler && a.sa_flags == b.sa_flags && SameSet(a.sa_mask, b.sa_mask)) continue;
        std::printf("%s: signal %d (%s) has another disposition\n", round, s, strsignal(s));
        ++changes;
    }
    if (SameSet(before.Mask, after.Mask)) return changes;
    std::printf("%s: the signal mask changed\n", round);
    return changes + 1;
}

// Makes a picture of several MiB from the input, saves it, loads it back from the file,
// compresses, saves, draws it and takes it through the clipboard.
void Round(const std::string& input, const std::string& folder) {
    const vdib::TLibraryScope library;
    vdib::TDIBitmap picture;
    picture.LoadFile(input);
    picture.Resize(3000, 2000);
    picture.SaveFile(folder + "/large.bmp");
    picture.LoadFile(folder + "/large.bmp");
    picture.SetCompressed(true);
    picture.SaveFile(folder + "/large_rle.bmp");
    vdib::TSurfaceCanvas canvas(300, 200);
    picture.PaintOn(canvas, {0, 0, 300, 200});
    vdib::TMemoryStream drawing;
    vdib::SaveSurfaceAsBMP(canvas.DeviceContext(), drawing);
    uint16_t format = 0;
    vdib::HGLOBAL block = 0;
    vdib::HPALETTE palette = 0;
    picture.SaveClipboardBlock(format, block, palette);
    picture.LoadClipboardBlock(format, block, palette);
    vdib::GlobalFree(block);
    vdib::DeleteObject(palette);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s scratch-dir input.bmp\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    std::filesystem::create_directories(folder);
    const TSignals before = Now();
    try {
        Round(argv[2], folder);
        return Changes(before, "a round") == 0 ? 0 : 1;
    } catch (const vdib::Exception& e) {
        std::printf("%s: %s\n", e.ClassName(), e.Message().c_str());
        return 1;
    }
}
