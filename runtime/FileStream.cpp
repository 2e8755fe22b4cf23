// File streams over the platform's file handles.
//
// The codecs move two bytes per RLE command and one byte per RLE4 data byte, so THandleStream
// keeps one buffer that holds either bytes read ahead or bytes waiting to be written, never both:
//
//   reading  the descriptor stands at the end of the buffered bytes; the caller's position is
//            DevicePos - (Length - Next)
//   writing  the descriptor stands at the start of the pending bytes; the caller's position is
//            DevicePos + Length
//
// Switching direction first brings the descriptor to the caller's position (pending output
// written, read-ahead given back), so the file sees the same operations in the same order as an
// unbuffered stream would. Transfers of a whole buffer or more bypass it.
//
// Pending output that the file refuses raises EWriteError from whatever operation wrote it out
// (Flush, Seek64 other than a position query, Size, ChangeSize, or a Read or Write that needed
// the buffer); the bytes that did not reach the file are dropped and the position is where the
// file actually stands. Only the destructor swallows such a failure, which is why writers end
// with an explicit Flush.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include <VDIBitmap/Streams.h>

#include "os/Files.h"

namespace vdib {

namespace {

constexpr int32_t BufferCapacity = 64 * 1024;

// Asks the file where it stands when that is not known yet; -1 when it cannot tell.
int64_t KnownDevicePos(TFileHandle file, int64_t& devicePos) {
    if (devicePos < 0) devicePos = os::SeekFile(file, 0, soCurrent);
    return devicePos;
}

// Gives back `ahead` bytes read ahead, so the file stands at the caller's position. False when
// the file cannot move back (then nothing changed).
bool Unread(TFileHandle file, int32_t ahead, int64_t& devicePos) {
    if (ahead == 0) return true;
    const int64_t pos = os::SeekFile(file, -int64_t{ahead}, soCurrent);
    if (pos < 0) return false;
    devicePos = pos;
    return true;
}

// base + offset, false when it leaves the 64-bit range.
bool AddOffset(int64_t base, int64_t offset, int64_t& sum) {
    if (offset > 0 ? base > std::numeric_limits<int64_t>::max() - offset
                   : base < std::numeric_limits<int64_t>::min() - offset)
        return false;
    sum = base + offset;
    return true;
}

[[noreturn]] void RaiseOpenFailure(const std::string& fileName, uint16_t mode) {
    if (mode == ModeCreate) Raise<EFCreateError>(Format(msg::FCreateError, fileName.c_str()));
    Raise<EFOpenError>(Format(msg::FOpenError, fileName.c_str()));
}

}  // namespace

struct THandleStream::TBuffer {
    enum TMode { Idle, Reading, Writing };

    std::unique_ptr<uint8_t[]> Data{new uint8_t[BufferCapacity]};
    TMode Mode = Idle;
    int32_t Length = 0;     // bytes held: read ahead, or waiting to be written
    int32_t Next = 0;       // reading: index of the next byte to hand out
    int64_t DevicePos = -1; // where the descriptor stands; -1 while not known
    int8_t HasPositions = -1;  // 1 a regular file or block device, 0 anything else, -1 not asked yet

    // Positions are believed only where bytes are stored (os::IsDiskFile): a device such as the
    // null device accepts any seek and answers with a position that means nothing. Asked once,
    // as the kind of a file does not change.
    bool Positions(TFileHandle file) {
        if (HasPositions < 0) HasPositions = os::IsDiskFile(file);
        return HasPositions != 0;
    }
};

THandleStream::THandleStream(TFileHandle handle) : FFileHandle(handle) {}

// Made with the first transfer, seek or size query.
THandleStream::TBuffer& THandleStream::Buffer() {
    if (!FBuffer) FBuffer = std::make_unique<TBuffer>();
    return *FBuffer;
}

THandleStream::~THandleStream() {
    // Last chance for pending output; a failure here has nobody to go to.
    try {
        Flush();
    } catch (...) {
    }
}

void THandleStream::Flush() {
    if (!FBuffer || FBuffer->Mode != TBuffer::Writing) return;
    TBuffer& b = *FBuffer;
    const int64_t written = os::WriteFile(FFileHandle, b.Data.get(), b.Length);
    const bool complete = written == b.Length;
    if (b.DevicePos >= 0) b.DevicePos += written;
    b.Mode = TBuffer::Idle;
    b.Length = 0;
    b.Next = 0;
    if (!complete) Raise<EWriteError>(msg::WriteError);
}

int32_t THandleStream::Read(void* buffer, int32_t count) {
    if (count <= 0) return 0;
    TBuffer& b = Buffer();
    if (b.Mode == TBuffer::Writing) Flush();

    auto* to = static_cast<uint8_t*>(buffer);
    int32_t done = 0;
    if (b.Mode == TBuffer::Reading) {
        const int32_t n = std::min(count, b.Length - b.Next);
        std::memcpy(to, b.Data.get() + b.Next, static_cast<size_t>(n));
        b.Next += n;
        done = n;
        if (b.Next == b.Length) {
            b.Mode = TBuffer::Idle;
            b.Length = b.Next = 0;
        }
    }
    if (done == count) return done;

    const int32_t rest = count - done;
    if (rest >= BufferCapacity) {
        const int64_t n = os::ReadFile(FFileHandle, to + done, rest, rest);
        if (b.DevicePos >= 0) b.DevicePos += n;
        return done + static_cast<int32_t>(n);
    }
    // Read-ahead needs to know where the descriptor stands, to answer positions from the window.
    KnownDevicePos(FFileHandle, b.DevicePos);
    const int64_t n = os::ReadFile(FFileHandle, b.Data.get(), rest, BufferCapacity);
    if (b.DevicePos >= 0) b.DevicePos += n;
    if (n <= 0) return done;
    const int32_t take = std::min(rest, static_cast<int32_t>(n));
    std::memcpy(to + done, b.Data.get(), static_cast<size_t>(take));
    if (take < n) {
        b.Mode = TBuffer::Reading;
        b.Length = static_cast<int32_t>(n);
        b.Next = take;
    }
    return done + take;
}

int32_t THandleStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    TBuffer& b = Buffer();
    if (b.Mode == TBuffer::Reading) {
        if (!Unread(FFileHandle, b.Length - b.Next, b.DevicePos)) return 0;
        b.Mode = TBuffer::Idle;
        b.Length = b.Next = 0;
    }

    const auto* from = static_cast<const uint8_t*>(buffer);
    if (count >= BufferCapacity) {
        Flush();
        const int64_t n = os::WriteFile(FFileHandle, from, count);
        if (b.DevicePos >= 0) b.DevicePos += n;
        return static_cast<int32_t>(n);
    }
    if (b.Mode == TBuffer::Writing && count > BufferCapacity - b.Length) Flush();
    std::memcpy(b.Data.get() + b.Length, from, static_cast<size_t>(count));
    b.Length += count;
    b.Mode = TBuffer::Writing;
    return count;
}

int64_t THandleStream::Seek64(int64_t offset, uint8_t origin) {
    origin &= 0x7F;
    if (origin > soEnd) return -1;
    TBuffer& b = Buffer();
    // The position after the pending output is known without writing it out (a writer asks for
    // positions between its pieces).
    if (origin == soCurrent && offset == 0 && b.Mode == TBuffer::Writing && b.DevicePos >= 0) return b.DevicePos + b.Length;
    Flush();
    if (!b.Positions(FFileHandle)) return -1;

    if (b.Mode == TBuffer::Reading && b.DevicePos >= 0) {
        // A target inside the bytes read ahead costs no system call (StreamPosition, or the
        // reader stepping back a little).
        const int64_t windowEnd = b.DevicePos;
        const int64_t windowStart = windowEnd - b.Length;
        const int64_t current = windowEnd - (b.Length - b.Next);
        int64_t target = -1;
        bool known = true;
        if (origin == soBeginning) {
            target = offset;
        } else if (origin == soCurrent) {
            if (!AddOffset(current, offset, target)) return -1;
        } else {
            const int64_t size = os::FileSize(FFileHandle);
            known = size >= 0 && AddOffset(size, offset, target);
        }
        if (known && target >= windowStart && target <= windowEnd) {
            b.Next = static_cast<int32_t>(target - windowStart);
            return target;
        }
        // Leave the window: one absolute seek; the buffer goes only once the seek succeeded.
        const int64_t pos = known ? os::SeekFile(FFileHandle, target, soBeginning) : os::SeekFile(FFileHandle, offset, soEnd);
        if (pos < 0) return -1;
        b.Mode = TBuffer::Idle;
        b.Length = b.Next = 0;
        b.DevicePos = pos;
        return pos;
    }

    if (origin == soCurrent && offset == 0 && KnownDevicePos(FFileHandle, b.DevicePos) >= 0) return b.DevicePos;
    const int64_t pos = os::SeekFile(FFileHandle, offset, origin);
    b.DevicePos = pos;  // -1 on failure: ask again next time
    return pos;
}

// The same answer as seeking to the end and back, which would drop the bytes read ahead.
int64_t THandleStream::Size() {
    TBuffer& b = Buffer();
    Flush();
    return b.Positions(FFileHandle) ? os::FileSize(FFileHandle) : -1;
}

void THandleStream::ChangeSize(int32_t newSize) { ChangeSize64(newSize); }

// Moves to the new size, then cuts or extends the file there. A size the descriptor cannot seek
// to (negative) raises before anything is cut, rather than truncating at the old position.
void THandleStream::ChangeSize64(int64_t newSize) {
    TBuffer& b = Buffer();
    Flush();
    const int64_t pos = os::SeekFile(FFileHandle, newSize, soBeginning);
    if (pos < 0) RaiseLastOSError();
    b.Mode = TBuffer::Idle;  // read-ahead may describe bytes about to be cut
    b.Length = b.Next = 0;
    b.DevicePos = pos;
    if (!os::ResizeFile(FFileHandle, newSize)) RaiseLastOSError();
}

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : FFileName(fileName) {
    // A name with an embedded NUL would silently open a different, shorter name.
    if (fileName.find('\0') != std::string::npos) RaiseOpenFailure(fileName, mode);

    TFileHandle file;
    if (mode == ModeCreate) {
        file = os::CreateNewFile(fileName);
    } else {
        const int access = mode & 3;
        const int sharing = (mode >> 4) & 0xF;
        if (access == 3 || sharing > 4) RaiseOpenFailure(fileName, mode);
        using enum os::TFileShare;
        constexpr os::TFileShare shares[] = {None, None, Read, Write, ReadWrite};
        file = os::OpenFile(fileName,
                            access == 0   ? os::TFileAccess::Read
                            : access == 1 ? os::TFileAccess::Write
                                          : os::TFileAccess::ReadWrite,
                            shares[sharing]);
    }
    if (file == os::NoFile) RaiseOpenFailure(fileName, mode);
    FFileHandle = file;
}

TFileStream::~TFileStream() {
    try {
        Flush();
    } catch (...) {
    }
    if (FFileHandle != os::NoFile) os::CloseFile(FFileHandle);
    FFileHandle = os::NoFile;
}

}  // namespace vdib
