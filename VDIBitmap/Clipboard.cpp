// The clipboard exchange of TDIBitmap: packed DIBs (clipboard format 8) read and written in
// place in a locked global memory block through a fixed-block stream, without a second copy.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include <VDIBitmap/DIBitmap.h>
#include <VDIBitmap/GlobalMemory.h>
#include <VDIBitmap/MemoryScanStream.h>
#include <VDIBitmap/Messages.h>

namespace vdib {

namespace {

// A global block locked for the span of one reading or writing pass; unlocked on the way out
// when the lock gave an address.
class TBlockLock {
public:
    explicit TBlockLock(HGLOBAL block) : FBlock(block), FAddress(GlobalLock(block)) {}
    ~TBlockLock() {
        if (FAddress != nullptr) GlobalUnlock(FBlock);
    }
    TBlockLock(const TBlockLock&) = delete;
    TBlockLock& operator=(const TBlockLock&) = delete;

    void* Address() const noexcept { return FAddress; }

private:
    HGLOBAL FBlock;
    void* FAddress;
};

// A palette of its own with the source's entries (at most 256); 0 for no source palette, for
// one whose entry count cannot be had or is 0, and when the copy cannot be made.
HPALETTE CopyPalette(HPALETTE source) {
    if (source == 0) return 0;
    uint16_t count = 0;
    if (GetObjectA(source, sizeof count, &count) == 0 || count == 0) return 0;
    LOGPALETTE copy{};
    copy.palVersion = 0x300;
    copy.palNumEntries = std::min<uint16_t>(count, 256);
    GetPaletteEntries(source, 0, copy.palNumEntries, copy.palPalEntry);
    return CreatePalette(copy);
}

}  // namespace

void TDIBitmap::LoadClipboardBlock(uint16_t format, HGLOBAL data, HPALETTE) {
    if (format != CF_DIB || data == 0) Raise<EInvalidGraphic>(msg::InvalidClipboardFormat);
    InUpdate([&] {
        TDIBitmapImage* loaded = nullptr;
        {
            TBlockLock lock(data);
            // A handle that cannot be locked is read as an empty block: the reader then
            // reports the missing header instead of reading through a null address. A block
            // larger than the 32-bit sizes of streams is read as far as they reach.
            const std::size_t blockSize = lock.Address() != nullptr ? GlobalSize(data) : 0;
            const auto size = static_cast<int32_t>(std::min<std::size_t>(blockSize, INT32_MAX));
            TMemoryScanStream stream(lock.Address(), size);
            loaded = TDIBitmapImage::CreateFromStream(stream, false);
        }
        HoldImage(loaded);
    });
}

// Nothing is handed out until everything has succeeded: a block whose writing failed, or whose
// palette copy failed, is freed rather than left to a caller that never receives it.
void TDIBitmap::SaveClipboardBlock(uint16_t& format, HGLOBAL& data, HPALETTE& palette) {
    const uint64_t size = uint64_t{FImageRef->HeaderBlockLength()} + FImageRef->Info().biSizeImage;
    // The block is written through a stream of 32-bit sizes: a bigger one could not be filled.
    if (size > INT32_MAX) Raise<EOutOfMemory>(msg::OutOfMemory);
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
    if (block == 0) RaiseLastOSError();
    HPALETTE paletteCopy = 0;
    try {
        {
            TBlockLock lock(block);
            if (lock.Address() == nullptr) RaiseLastOSError();
            TMemoryScanStream stream(lock.Address(), static_cast<int32_t>(size));
            // Packed DIBs on the clipboard carry plain pixels, which is what their readers expect,
            // and the block is sized for them: RLE data can be longer than the plain pixels.
            FImageRef->WriteToStream(stream, false, false);
        }
        paletteCopy = CopyPalette(QueryPalette());
    } catch (...) {
        GlobalFree(block);
        throw;
    }
    data = block;
    format = CF_DIB;
    palette = paletteCopy;
}

}  // namespace vdib
