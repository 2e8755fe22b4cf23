// Anonymous mappings for pixel blocks, on the system's mmap.
//
// A mapping handle is the address of a record that CreateBlockMapping allocates and
// CloseBlockMapping frees, as the system's own handles are opaque to their users: there is no
// table to look them up in, to lock, or to outlive at exit (the stand-ins in ../standin do the
// same). A null handle is refused; one used after it was closed is the caller's error, as a
// pointer used after it was freed.
#include <VDIBitmap/Platform.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define VDIB_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VDIB_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef VDIB_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

// The record behind a mapping handle (an incomplete type in Platform.h).
struct vdib::THandleKind {
    std::size_t Size;
};

namespace vdib {

namespace {

constexpr std::size_t HugePageSize = 2 * 1024 * 1024;

// A view ends where its block ends, but the kernel maps whole pages, so a write just past the
// block lands in the rest of its last page unnoticed. Under AddressSanitizer that rest is marked
// unaddressable while the view lives, so such a write is reported like a heap overflow.
void GuardViewTail([[maybe_unused]] void* view, [[maybe_unused]] std::size_t size, [[maybe_unused]] bool guard) {
#ifdef VDIB_ADDRESS_SANITIZER
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const auto end = reinterpret_cast<std::uintptr_t>(view) + size;
    const std::size_t tail = (page - end % page) % page;
    if (guard) {
        ASAN_POISON_MEMORY_REGION(reinterpret_cast<void*>(end), tail);
    } else {
        ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(end), tail);
    }
#endif
}

}  // namespace

HANDLE CreateBlockMapping(std::size_t size) {
    if (size == 0) {
        errno = EINVAL;
        return 0;
    }
    const HANDLE mapping = new (std::nothrow) THandleKind{size};
    if (mapping == 0) errno = ENOMEM;
    return mapping;
}

// Each view is fresh memory: the kernel hands it out zero-filled, so nobody needs to clear it.
// Pages are reserved only when touched (MAP_NORESERVE), as a page-file-backed mapping would be.
// Two views of one mapping do not share their bytes; the library maps each block once.
void* MapBlockView(HANDLE mapping) {
    if (mapping == 0) {
        errno = EINVAL;
        return nullptr;
    }
    void* view = ::mmap(nullptr, mapping->Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (view == MAP_FAILED) return nullptr;
    GuardViewTail(view, mapping->Size, true);
    return view;
}

bool UnmapBlockView(HANDLE mapping, void* view) {
    if (mapping == 0 || view == nullptr) {
        errno = EINVAL;
        return false;
    }
    GuardViewTail(view, mapping->Size, false);
    return ::munmap(view, mapping->Size) == 0;
}

void AdviseLargePages(void* view, std::size_t size) {
    if (size >= HugePageSize) ::madvise(view, size, MADV_HUGEPAGE);
}

bool CloseBlockMapping(HANDLE mapping) {
    if (mapping == 0) {
        errno = EBADF;
        return false;
    }
    delete mapping;
    return true;
}

}  // namespace vdib
