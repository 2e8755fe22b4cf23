// Eight threads use the library at once, each with graphics of its own, and hand pictures to one
// another shared (TakeContentFrom), which both sides then change. Every output must be the bytes
// that one thread alone gets from the same input.
//
//   Stress scratch-dir rounds input.bmp...   exit 0 when every output agrees, 1 with a report
#include <VDIBitmap/VDIBitmap.h>

#include <cstdio>
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

std::vector<std::string> Inputs;
std::vector<std::string> InputBytes;

uint64_t Hash(const void* data, int64_t size) {
    uint64_t h = 14695981039346656037ull;
    for (int64_t i = 0; i < size; ++i) h = (h ^ static_cast<const uint8_t*>(data)[i]) * 1099511628211ull;
    return h;
}
uint64_t Hash(TMemoryStream& stream) { return Hash(stream.BlockAddress(), stream.Size()); }
uint64_t Saved(TDIBitmap& picture) {
    TMemoryStream out;
    picture.SaveStream(out);
    return Hash(out);
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
        if (Reference == nullptr) {
            Hashes.emplace(key, hash);
        } else if (const auto found = Reference->find(key); found == Reference->end() || found->second != hash) {
            Failures.push_back(key + " differs");
        }
    }

    void Round(size_t input) {
        TDIBitmap loaded;
        loaded.LoadFile(Inputs[input]);
        TMemoryStream bytes;
        bytes.WriteExact(InputBytes[input].data(), static_cast<int32_t>(InputBytes[input].size()));
        bytes.Seek(0, soBeginning);
        TDIBitmap streamed;
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
        {
            TSurfaceCanvas canvas(width * 3 / 2, height + 5);
            picture.PaintOn(canvas, {0, 0, width * 3 / 2, height + 5});
            TMemoryStream drawing;
            SaveSurfaceAsBMP(canvas.DeviceContext(), drawing);
            Note(input, "drawn", Hash(drawing));
        }
        uint16_t format = 0;
        HGLOBAL block = 0;
        HPALETTE palette = 0;
        picture.SaveClipboardBlock(format, block, palette);
        TDIBitmap pasted;
        pasted.LoadClipboardBlock(format, block, palette);
        GlobalFree(block);
        if (palette != 0) DeleteObject(palette);
        Note(input, "through the clipboard", Saved(pasted));

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s scratch-dir rounds input.bmp...\n", argv[0]);
        return 2;
    }
    const std::string scratch = argv[1];
    const int rounds = std::stoi(argv[2]);
    for (int i = 3; i < argc; ++i) {
        Inputs.push_back(argv[i]);
        std::ifstream in(argv[i], std::ios::binary);
        InputBytes.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const TLibraryScope library;

    // Once round the inputs and one more, so that each is handed over once.
    TSlot alone;
    TWorker reference{scratch + "/alone", alone, nullptr, {}, {}};
    reference.Run(0, static_cast<int>(Inputs.size()) + 1);
    for (const auto& failure : reference.Failures) std::printf("one thread alone: %s\n", failure.c_str());
    if (!reference.Failures.empty()) return 1;

    TSlot slot;
    std::vector<std::unique_ptr<TWorker>> workers;
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 8; ++t) {
        workers.push_back(std::make_unique<TWorker>(TWorker{scratch + "/" + std::to_string(t), slot, &reference.Hashes, {}, {}}));
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
