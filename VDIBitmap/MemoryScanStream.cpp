#include <VDIBitmap/MemoryScanStream.h>

#include <cstring>

#include <VDIBitmap/System.h>

namespace vdib {

// A write past the block is a fault of the caller, which sized the block for everything it
// writes; there is nothing sensible to return to it, so the program stops rather than raise an
// exception that some caller's clean-up could step over. The end is formed in 64 bits, where
// position + count cannot wrap, and a position before the block (a seek can leave one there) is
// refused the same way: either would put bytes outside memory the stream was given.
int32_t TMemoryScanStream::Write(const void* buffer, int32_t count) {
    if (count < 0) return 0;
    const int64_t end = int64_t{FPosition} + count;
    if (FPosition < 0 || end > FSize) FatalRunError(216);
    if (count > 0) std::memcpy(static_cast<uint8_t*>(FBlockAddress) + FPosition, buffer, static_cast<size_t>(count));
    SetStreamPosition(end);
    return count;
}

}  // namespace vdib
