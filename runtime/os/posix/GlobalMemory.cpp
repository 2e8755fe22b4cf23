#include <VDIBitmap/GlobalMemory.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <new>

namespace vdib {

namespace {

struct TGlobalBlock {
    void* Address;  // calloc'd, at least one byte so that even an empty block has an address
    std::size_t Size;
    std::uint32_t LockCount;
};

struct TBlockTable {
    std::map<HGLOBAL, TGlobalBlock> Blocks;
    // Away from small integers and from other handle kinds, so that a stray value is unknown.
    std::uintptr_t NextHandle = 0x6B000004;

    ~TBlockTable() {
        for (auto& entry : Blocks) std::free(entry.second.Address);
    }
};

TBlockTable& Table() {
    static TBlockTable table;
    return table;
}

TGlobalBlock* Find(HGLOBAL block) {
    auto& blocks = Table().Blocks;
    auto it = blocks.find(block);
    if (it == blocks.end()) {
        errno = EINVAL;
        return nullptr;
    }
    return &it->second;
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
    if (address == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    auto& table = Table();
    const HGLOBAL handle = HandleFromValue<HGLOBAL>(table.NextHandle);
    try {
        table.Blocks.emplace(handle, TGlobalBlock{address, size, 0});
    } catch (const std::bad_alloc&) {
        std::free(address);
        errno = ENOMEM;
        return 0;
    }
    table.NextHandle += 4;
    return handle;
}

void* GlobalLock(HGLOBAL block) {
    TGlobalBlock* entry = Find(block);
    if (entry == nullptr) return nullptr;
    ++entry->LockCount;
    return entry->Address;
}

bool GlobalUnlock(HGLOBAL block) {
    TGlobalBlock* entry = Find(block);
    if (entry == nullptr) return false;
    if (entry->LockCount == 0) {
        errno = EINVAL;
        return false;
    }
    if (--entry->LockCount > 0) return true;
    errno = 0;
    return false;
}

std::size_t GlobalSize(HGLOBAL block) {
    TGlobalBlock* entry = Find(block);
    return entry == nullptr ? 0 : entry->Size;
}

std::uint32_t GlobalFlags(HGLOBAL block) {
    TGlobalBlock* entry = Find(block);
    if (entry == nullptr) return GMEM_INVALID_HANDLE;
    return entry->LockCount > GMEM_LOCKCOUNT ? GMEM_LOCKCOUNT : entry->LockCount;
}

HGLOBAL GlobalFree(HGLOBAL block) {
    if (block == 0) return 0;
    TGlobalBlock* entry = Find(block);
    if (entry == nullptr) return block;
    if (entry->LockCount > 0) {
        errno = EBUSY;
        return block;
    }
    std::free(entry->Address);
    Table().Blocks.erase(block);
    return 0;
}

std::size_t LiveGlobalBlockCount() { return Table().Blocks.size(); }

}  // namespace vdib
