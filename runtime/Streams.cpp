#include <VDIBitmap/Streams.h>

#include <limits>

namespace vdib {

namespace {
constexpr bool Fits32(int64_t value) {
    return value >= std::numeric_limits<int32_t>::min() && value <= std::numeric_limits<int32_t>::max();
}
}  // namespace

const TModule ClassesModule = {"Classes", nullptr, nullptr};

void TStream::ChangeSize(int32_t) {}

void TStream::Flush() {}

void TStream::ChangeSize64(int64_t newSize) {
    if (!Fits32(newSize)) Raise<ERangeError>(msg::RangeError);
    ChangeSize(static_cast<int32_t>(newSize));
}

// Neither form of Seek may call the other without end: the base Seek marks that it is asking
// Seek64, and the base Seek64 reached with that mark means no class provides a Seek.
int32_t TStream::Seek(int32_t offset, uint16_t origin) {
    FInBaseSeek = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{FInBaseSeek};
    return static_cast<int32_t>(Seek64(offset, static_cast<uint8_t>(origin)));
}

int64_t TStream::Seek64(int64_t offset, uint8_t origin) {
    if (FInBaseSeek) {
        FInBaseSeek = false;
        Raise<EStreamError>(Format(msg::SeekNotImplemented, ClassName()));
    }
    if (!Fits32(offset)) Raise<ERangeError>(msg::RangeError);
    return Seek(static_cast<int32_t>(offset), origin);
}

int64_t TStream::StreamPosition() { return Seek64(0, soCurrent); }

void TStream::SetStreamPosition(int64_t value) { Seek64(value, soBeginning); }

int64_t TStream::Size() {
    const int64_t position = Seek64(0, soCurrent);
    const int64_t size = Seek64(0, soEnd);
    Seek64(position, soBeginning);
    return size;
}

void TStream::SetSize(int64_t value) { ChangeSize64(value); }

void TStream::ReadExact(void* buffer, int32_t count) {
    if (count != 0 && Read(buffer, count) != count) Raise<EReadError>(msg::ReadError);
}

void TStream::WriteExact(const void* buffer, int32_t count) {
    if (count != 0 && Write(buffer, count) != count) Raise<EWriteError>(msg::WriteError);
}

}  // namespace vdib
