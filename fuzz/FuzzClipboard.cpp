// Loading clipboard data: any bytes as a global block in clipboard format 8 (a packed DIB).
// The load either raises one of the library's exceptions or leaves a picture that saves; in
// both cases the block is handed back unlocked and unchanged, and no other block is left behind.
#include <cstring>
#include <vector>

#include <VDIBitmap/DIBitmap.h>
#include "FuzzSupport.h"
#include <VDIBitmap/GlobalMemory.h>

namespace vdib::fuzz {

int FuzzClipboard(const uint8_t* data, std::size_t size) {
    if (TooLarge(size)) return 0;
    const HGLOBAL block = GlobalAlloc(GHND, size);
    if (block == 0) return 0;
    if (size != 0) std::memcpy(GlobalLock(block), data, size);
    GlobalUnlock(block);
    const std::size_t blocksBefore = LiveGlobalBlockCount();

    {
        TDIBitmap bitmap;
        try {
            bitmap.LoadClipboardBlock(CF_DIB, block, 0);
            TMemoryStream saved;
            bitmap.SaveStream(saved);
        } catch (const Exception&) {
        }
    }

    FUZZ_CHECK((GlobalFlags(block) & GMEM_LOCKCOUNT) == 0);
    FUZZ_CHECK(GlobalSize(block) == size);
    FUZZ_CHECK(size == 0 || std::memcmp(GlobalLock(block), data, size) == 0);
    GlobalUnlock(block);
    FUZZ_CHECK(LiveGlobalBlockCount() == blocksBefore);
    GlobalFree(block);
    return 0;
}

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzClipboard(data, size);
}
