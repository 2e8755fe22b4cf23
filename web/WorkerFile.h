// The file the page's worker has read, as the library's reader sees it: a stream over bytes that
// stay on the script's side (worker.js holds them in `inputParts` for the length of one call), so
// that the pixel rows go straight from there into the picture's block and the file is never
// copied whole into the module's memory.
#pragma once

#include <array>
#include <cstdint>

#include <VDIBitmap/Streams.h>

namespace vdib {

// Positions behave as the command line's file stream's do: a seek to before the start (a
// bfOffBits that wraps below 0) fails and leaves the position where it was; one past the end is
// allowed, and a read there returns nothing. Positions stay within 32 bits. Reads of a few bytes
// (headers, the RLE decoders' two-byte commands) are served from a buffer, so that they do not
// each cross into the script.
class TWorkerFileStream : public TStream {
public:
    explicit TWorkerFileStream(int32_t size) : FSize(size) {}

    const char* ClassName() const noexcept override { return "TWorkerFileStream"; }

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void*, int32_t) override { return 0; }
    int32_t Seek(int32_t offset, uint16_t origin) override;
    int64_t Size() override { return FSize; }

private:
    static constexpr int32_t BufferSize = 64 * 1024;

    int32_t FSize;
    int32_t FPosition = 0;
    int32_t FBufferStart = 0;   // the file position of FBuffer[0]
    int32_t FBufferLength = 0;  // bytes of the file held in FBuffer
    std::array<uint8_t, BufferSize> FBuffer;
};

}  // namespace vdib
