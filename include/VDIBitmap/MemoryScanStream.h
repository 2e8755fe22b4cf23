// A stream over a fixed block of memory that belongs to its caller, so that the BMP reader and
// writer can work in place on a block someone else owns (a locked clipboard block).
#pragma once

#include <cstdint>

#include <VDIBitmap/Streams.h>

namespace vdib {

// Reading and positioning are the memory stream's: a read returns what lies between the
// position and the end, a seek sets the position without any bound. Setting the size does
// nothing; the block keeps the size given here.
//
// The block stays the caller's: the stream never allocates, grows, frees or unlocks it, and the
// caller keeps it alive and unchanged in size while the stream is used.
class TMemoryScanStream : public TCustomMemoryStream {
public:
    TMemoryScanStream(void* block, int32_t size) { SetBlock(block, size); }

    const char* ClassName() const noexcept override { return "TMemoryScanStream"; }

    // Writes all `count` bytes at the position and moves past them, or none: a negative count
    // returns 0; a write that would reach outside the block stops the program with run-time
    // error 216 before any byte is copied. It never returns a short count, so WriteExact fails
    // only for a negative count.
    int32_t Write(const void* buffer, int32_t count) override;
};

}  // namespace vdib
