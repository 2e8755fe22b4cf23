// Memory streams: a window over a block that someone else owns, and a growable block owned by
// the stream.
#include <cstdlib>
#include <cstring>
#include <limits>

#include <VDIBitmap/Streams.h>

namespace vdib {

namespace {
constexpr int32_t MemoryDelta = 8192;  // capacity grows in steps of this many bytes
}  // namespace

int32_t TCustomMemoryStream::Read(void* buffer, int32_t count) {
    if (FPosition < 0 || count < 0) return 0;
    const int32_t available = FSize - FPosition;  // both non-negative: cannot wrap
    if (available <= 0) return 0;
    const int32_t n = count < available ? count : available;
    std::memcpy(buffer, static_cast<const uint8_t*>(FBlockAddress) + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

// No bounds check, by contract: a position outside the block only makes later reads return 0.
// The sums wrap in two's complement rather than overflow (the position is a 32-bit register).
int32_t TCustomMemoryStream::Seek(int32_t offset, uint16_t origin) {
    const auto wrap = [](int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); };
    switch (origin) {
    case soBeginning: FPosition = offset; break;
    case soCurrent: FPosition = wrap(int64_t{FPosition} + offset); break;
    case soEnd: FPosition = wrap(int64_t{FSize} + offset); break;
    default: break;
    }
    return FPosition;
}

void TCustomMemoryStream::SetBlock(void* address, int32_t size) {
    FBlockAddress = address;
    FSize = size;
}

TMemoryStream::~TMemoryStream() { std::free(FBlockAddress); }

void* TMemoryStream::Realloc(int32_t& newCapacity) {
    if (newCapacity > 0 && newCapacity != FSize) {
        if (newCapacity > std::numeric_limits<int32_t>::max() - (MemoryDelta - 1)) return nullptr;
        newCapacity = (newCapacity + (MemoryDelta - 1)) & ~(MemoryDelta - 1);
    }
    if (newCapacity == FCapacity) return FBlockAddress;
    if (newCapacity == 0) {
        std::free(FBlockAddress);
        return nullptr;
    }
    return std::realloc(FBlockAddress, static_cast<size_t>(newCapacity));
}

// On failure the old block, capacity and contents stay as they were.
void TMemoryStream::SetCapacity(int32_t newCapacity) {
    if (newCapacity < 0) Raise<ERangeError>(msg::RangeError);
    void* block = Realloc(newCapacity);
    if (block == nullptr && newCapacity != 0) Raise<EStreamError>(msg::MemoryStreamError);
    FBlockAddress = block;
    FCapacity = newCapacity;
    if (FSize > FCapacity) FSize = FCapacity;
}

// The capacity follows the size; a position past the new end moves to the end. Bytes the
// stream gains are zero rather than whatever the allocator left there.
void TMemoryStream::ChangeSize(int32_t newSize) {
    if (newSize < 0) Raise<ERangeError>(msg::RangeError);
    const int32_t oldSize = FSize;
    const int32_t oldPosition = FPosition;
    SetCapacity(newSize);
    FSize = newSize;
    if (newSize > oldSize) std::memset(static_cast<uint8_t*>(FBlockAddress) + oldSize, 0, static_cast<size_t>(newSize - oldSize));
    if (oldPosition > newSize) FPosition = newSize;
}

// Writing past the end extends the stream; a gap between the old end and the position reads
// as zeros. A negative position or count writes nothing.
int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (FPosition < 0 || count <= 0) return 0;
    if (count > std::numeric_limits<int32_t>::max() - FPosition) Raise<EStreamError>(msg::MemoryStreamError);
    const int32_t end = FPosition + count;
    if (end > FSize) {
        if (end > FCapacity) SetCapacity(end);
        if (FPosition > FSize)
            std::memset(static_cast<uint8_t*>(FBlockAddress) + FSize, 0, static_cast<size_t>(FPosition - FSize));
        FSize = end;
    }
    std::memcpy(static_cast<uint8_t*>(FBlockAddress) + FPosition, buffer, static_cast<size_t>(count));
    FPosition = end;
    return count;
}

}  // namespace vdib
