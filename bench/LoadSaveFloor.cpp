// What bmp2rle costs on a picture with its codecs taken out: the same load and save through the
// graphic framework's file operations, the whole file read into a fresh block in one exact read
// as the reader does, then as many bytes as bmp2rle wrote for it, written in band-sized pieces
// from one buffer that stays in the cache, into a temporary file that is synced and renamed over
// the output. bench/run times it beside bmp2rle: the difference is what decoding and encoding
// add; this tool's ratio to cat (or dd) is what moving the bytes costs a converter that loads
// its picture whole before it writes anything.
//
// Usage: LoadSaveFloor INPUT OUTPUT OUTPUT_BYTES
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

#include <VDIBitmap/Graphics.h>
#include <VDIBitmap/Platform.h>
#include <VDIBitmap/Streams.h>

namespace {

// About what one band of bmp2rle's output takes (its bands hold 256 KiB of pixels).
constexpr int32_t PieceBytes = 256 * 1024;

class TFloorGraphic : public vdib::TGraphic {
public:
    explicit TFloorGraphic(int64_t outputBytes) : FOutputBytes(outputBytes) {}
    ~TFloorGraphic() override {
        if (FView != nullptr) vdib::UnmapBlockView(FMapping, FView);
        if (FMapping != nullptr) vdib::CloseBlockMapping(FMapping);
    }

    void LoadStream(vdib::TStream& stream) override {
        const int64_t size = stream.Size() - stream.StreamPosition();
        if (size <= 0 || size > INT32_MAX) throw std::runtime_error("input size out of range");
        FMapping = vdib::CreateBlockMapping(static_cast<std::size_t>(size));
        FView = FMapping != nullptr ? vdib::MapBlockView(FMapping) : nullptr;
        if (FView == nullptr) throw std::bad_alloc();
        vdib::AdviseLargePages(FView, static_cast<std::size_t>(size));
        stream.ReadExact(FView, static_cast<int32_t>(size));
    }

    void SaveStream(vdib::TStream& stream) override {
        const std::vector<uint8_t> piece(PieceBytes, 0x55);
        for (int64_t done = 0; done < FOutputBytes; done += PieceBytes) {
            stream.WriteExact(piece.data(), static_cast<int32_t>(std::min<int64_t>(PieceBytes, FOutputBytes - done)));
        }
    }

private:
    int64_t FOutputBytes;
    vdib::HANDLE FMapping = nullptr;
    void* FView = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: LoadSaveFloor INPUT OUTPUT OUTPUT_BYTES\n");
        return 2;
    }
    try {
        TFloorGraphic graphic(std::atoll(argv[3]));
        graphic.LoadFile(argv[1]);
        graphic.SaveFile(argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "LoadSaveFloor: %s\n", e.what());
        return 1;
    }
    return 0;
}
