// What bmp2rle costs on a picture with its codecs taken out: the same load and save through the
// graphic framework's file operations, the pixel data read into a fresh block in one exact read
// as the reader does, then as many bytes as bmp2rle wrote for it, written in band-sized pieces
// from one buffer that stays in the cache, into a temporary file that is synced and renamed over
// the output. bench/run times it beside bmp2rle: the difference is what decoding and encoding
// add; this tool's ratio to cat (or dd) is what moving the bytes costs a converter that loads
// its picture whole before it writes anything.
//
// For a compressed input, BLOCK_BYTES asks for the decoder's part that no decoder can skip: a
// fresh block of that many bytes for the picture, filled at the speed of memory (one fill, as if
// every command were one long run) between the load and the save.
//
// Usage: LoadSaveFloor INPUT OUTPUT OUTPUT_BYTES [BLOCK_BYTES]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include <VDIBitmap/Graphics.h>
#include <VDIBitmap/Platform.h>
#include <VDIBitmap/Streams.h>

namespace {

// About what one band of bmp2rle's output takes (its bands hold 256 KiB of pixels).
constexpr int32_t PieceBytes = 256 * 1024;

// A fresh block, as the image store maps one.
class TBlock {
public:
    explicit TBlock(int64_t bytes) : FMapping(vdib::CreateBlockMapping(static_cast<std::size_t>(bytes))) {
        FView = FMapping != nullptr ? static_cast<uint8_t*>(vdib::MapBlockView(FMapping)) : nullptr;
        if (FView == nullptr) throw std::bad_alloc();
        vdib::AdviseLargePages(FView, static_cast<std::size_t>(bytes));
    }
    TBlock(const TBlock&) = delete;
    TBlock& operator=(const TBlock&) = delete;
    ~TBlock() {
        vdib::UnmapBlockView(FMapping, FView);
        vdib::CloseBlockMapping(FMapping);
    }
    uint8_t* View() const noexcept { return FView; }

private:
    vdib::HANDLE FMapping;
    uint8_t* FView;
};

class TFloorGraphic : public vdib::TGraphic {
public:
    TFloorGraphic(int64_t outputBytes, int64_t blockBytes) : FOutputBytes(outputBytes), FBlockBytes(blockBytes) {}

    // The headers as the reader takes them, then the pixel data (from the offset that the file
    // header gives) into a block of its own.
    void LoadStream(vdib::TStream& stream) override {
        uint8_t fileHeader[14];
        stream.ReadExact(fileHeader, sizeof fileHeader);
        uint32_t offset;
        std::memcpy(&offset, fileHeader + 10, 4);
        const int64_t size = stream.Size() - offset;
        if (offset < sizeof fileHeader || size <= 0 || size > INT32_MAX || FBlockBytes < 0) {
            throw std::runtime_error("size out of range");
        }
        std::vector<uint8_t> headers(offset - sizeof fileHeader);
        stream.ReadExact(headers.data(), static_cast<int32_t>(headers.size()));
        FInput = std::make_unique<TBlock>(size);
        stream.ReadExact(FInput->View(), static_cast<int32_t>(size));
        if (FBlockBytes > 0) {
            FPicture = std::make_unique<TBlock>(FBlockBytes);
            std::memset(FPicture->View(), FInput->View()[size - 1], static_cast<std::size_t>(FBlockBytes));
        }
    }

    void SaveStream(vdib::TStream& stream) override {
        const std::vector<uint8_t> piece(PieceBytes, 0x55);
        for (int64_t done = 0; done < FOutputBytes; done += PieceBytes) {
            stream.WriteExact(piece.data(), static_cast<int32_t>(std::min<int64_t>(PieceBytes, FOutputBytes - done)));
        }
    }

private:
    int64_t FOutputBytes;
    int64_t FBlockBytes;
    std::unique_ptr<TBlock> FInput;
    std::unique_ptr<TBlock> FPicture;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: LoadSaveFloor INPUT OUTPUT OUTPUT_BYTES [BLOCK_BYTES]\n");
        return 2;
    }
    try {
        TFloorGraphic graphic(std::atoll(argv[3]), argc == 5 ? std::atoll(argv[4]) : 0);
        graphic.LoadFile(argv[1]);
        graphic.SaveFile(argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "LoadSaveFloor: %s\n", e.what());
        return 1;
    }
    return 0;
}
