#include "WorkerFile.h"

#include <algorithm>
#include <cstring>

#include <emscripten.h>

// Copies up to `count` bytes of the worker's file from `position` to `to`; returns how many. The
// file comes in parts, one after another.
EM_JS(int32_t, vdib_web_read_file, (int32_t position, uint8_t* to, int32_t count), {
    var copied = 0, start = 0;
    for (var i = 0; i < inputParts.length && copied < count; ++i) {
        var part = inputParts[i], end = start + part.length;
        if (position + copied < end) {
            var from = position + copied - start;
            var piece = part.subarray(from, from + count - copied);
            HEAPU8.set(piece, to + copied);
            copied += piece.length;
        }
        start = end;
    }
    return copied;
});

namespace vdib {

int32_t TWorkerFileStream::Read(void* buffer, int32_t count) {
    if (count <= 0 || FPosition >= FSize) return 0;
    const int32_t length = std::min(count, FSize - FPosition);
    if (length >= BufferSize) {
        vdib_web_read_file(FPosition, static_cast<uint8_t*>(buffer), length);
    } else {
        if (FPosition < FBufferStart || length > FBufferStart + FBufferLength - FPosition) {
            FBufferStart = FPosition;
            FBufferLength = vdib_web_read_file(FPosition, FBuffer.data(), std::min(BufferSize, FSize - FPosition));
        }
        std::memcpy(buffer, FBuffer.data() + (FPosition - FBufferStart), static_cast<std::size_t>(length));
    }
    FPosition += length;
    return length;
}

int32_t TWorkerFileStream::Seek(int32_t offset, uint16_t origin) {
    if (origin > soEnd) return -1;
    const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : FSize;
    const int64_t target = base + offset;
    if (target < 0 || target > INT32_MAX) return -1;
    FPosition = static_cast<int32_t>(target);
    return FPosition;
}

}  // namespace vdib
