// Global memory blocks: a handle is the address of the block's record, allocated by GlobalAlloc
// and freed by GlobalFree (no table, see Platform.cpp). A null handle is refused.
#include <VDIBitmap/GlobalMemory.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

struct vdib::TGlobalBlockKind {
    void* Address;  // calloc'd, at least one byte so that even an empty block has an address
    std::size_t Size;
    std::atomic<std::uint32_t> LockCount;
};

namespace vdib {

namespace {

std::atomic<std::size_t> LiveBlocks{0};

HGLOBAL Known(HGLOBAL block) {
    if (block == 0) errno = EINVAL;
    return block;
}

}  // namespace

HGLOBAL GlobalAlloc(std::uint32_t flags, std::size_t size) {
    if ((flags & ~GHND) != 0) {
        errno = EINVAL;
        return 0;
    }
    if (size > GlobalBlockLimit) {
        errno = ENOMEM;
        return 0;
    }
    void* address = std::calloc(size == 0 ? 1 : size, 1);
    const HGLOBAL block = address == nullptr ? nullptr : new (std::nothrow) TGlobalBlockKind{address, size, {0}};
    if (block == 0) {
        std::free(address);
        errno = ENOMEM;
        return 0;
    }
    LiveBlocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void* GlobalLock(HGLOBAL block) {
    if (Known(block) == 0) return nullptr;
    block->LockCount.fetch_add(1);
    return block->Address;
}

bool GlobalUnlock(HGLOBAL block) {
    if (Known(block) == 0) return false;
    std::uint32_t count = block->LockCount.load();
    do {
        if (count == 0) {
            errno = EINVAL;
            return false;
        }
    } while (!block->LockCount.compare_exchange_weak(count, count - 1));
    if (count > 1) return true;
    errno = 0;
    return false;
}

std::size_t GlobalSize(HGLOBAL block) { return Known(block) == 0 ? 0 : block->Size; }

std::uint32_t GlobalFlags(HGLOBAL block) {
    if (Known(block) == 0) return GMEM_INVALID_HANDLE;
    const std::uint32_t count = block->LockCount.load();
    return count > GMEM_LOCKCOUNT ? GMEM_LOCKCOUNT : count;
}

HGLOBAL GlobalFree(HGLOBAL block) {
    if (block == 0) return 0;
    if (block->LockCount.load() > 0) {
        errno = EBUSY;
        return block;
    }
    std::free(block->Address);
    delete block;
    LiveBlocks.fetch_sub(1, std::memory_order_relaxed);
    return 0;
}

std::size_t LiveGlobalBlockCount() { return LiveBlocks.load(std::memory_order_relaxed); }

}  // namespace vdib
