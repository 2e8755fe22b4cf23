// Byte streams: the abstract TStream with positioning and exact transfers, file streams over the
// platform's file handles, and memory streams.
//
// Positions, sizes and counts are byte counts. Read and Write never raise on a short or failed
// transfer; only ReadExact and WriteExact do.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <VDIBitmap/FileHandle.h>
#include <VDIBitmap/Platform.h>
#include <VDIBitmap/SysUtils.h>
#include <VDIBitmap/System.h>

namespace vdib {

enum TSeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// The streams module of the initialisation table (nothing to set up or tear down).
extern const TModule ClassesModule;

class TStream {
public:
    virtual ~TStream() = default;

    virtual const char* ClassName() const noexcept { return "TStream"; }

    // Base: does nothing.
    virtual void ChangeSize(int32_t newSize);
    // Base: ERangeError "Range check error" outside the 32-bit signed range, else ChangeSize.
    virtual void ChangeSize64(int64_t newSize);
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    // Base: Seek64 when the class provides one, else EStreamError "%s.Seek は実装されていません".
    virtual int32_t Seek(int32_t offset, uint16_t origin);
    // Base: ERangeError outside the 32-bit signed range, else Seek widened.
    virtual int64_t Seek64(int64_t offset, uint8_t origin);

    int64_t StreamPosition();                // Seek64(0, soCurrent)
    void SetStreamPosition(int64_t value);   // Seek64(value, soBeginning)
    // The end position; the position is left unchanged. Base: Seek64 to the end and back.
    virtual int64_t Size();
    void SetSize(int64_t value);             // ChangeSize64

    // A count of 0 never reads or writes. A different count than asked raises EReadError /
    // EWriteError.
    void ReadExact(void* buffer, int32_t count);
    void WriteExact(const void* buffer, int32_t count);

    // Writes out what the stream holds back, so that a failure to store it is reported here:
    // EWriteError. Base: does nothing (nothing is held back).
    virtual void Flush();


private:
    bool FInBaseSeek = false;  // detects that neither Seek form is provided
};

// A stream over a file handle of the platform. Transfers go through a buffer inside the
// stream, so callers that move a few bytes at a time do not pay a system call each; what they
// see (bytes, positions, sizes, errors) is the same as without it. Buffered output that cannot
// be written raises EWriteError from the next Flush, Seek, Size or ChangeSize (asking for the
// position writes nothing out); the destructor writes out what is left but cannot report a
// failure, so writers call Flush at the end.
//
// Only a regular file or a block device has positions. On anything else (a pipe, a FIFO, a
// socket, a terminal or another character device) every Seek fails, returning -1, so
// StreamPosition and Size are -1 there; reads and writes work as on a file.
class THandleStream : public TStream {
public:
    explicit THandleStream(TFileHandle handle);
    ~THandleStream() override;

    const char* ClassName() const noexcept override { return "THandleStream"; }

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek64(int64_t offset, uint8_t origin) override;
    // Asks the file, without moving: bytes read ahead stay. -1 where there are no positions.
    int64_t Size() override;
    void ChangeSize(int32_t newSize) override;
    void ChangeSize64(int64_t newSize) override;

    // Writes out buffered output; EWriteError when the file does not take all of it.
    void Flush() override;

    TFileHandle FileHandle() const noexcept { return FFileHandle; }

protected:
    THandleStream() = default;
    TFileHandle FFileHandle{};  // set by the constructors

private:
    struct TBuffer;
    TBuffer& Buffer();
    std::unique_ptr<TBuffer> FBuffer;
};

// File open modes.
inline constexpr uint16_t ModeCreate = 0xFFFF;            // create or truncate, read and write
inline constexpr uint16_t ModeOpenRead = 0x0000;
inline constexpr uint16_t ModeOpenWrite = 0x0001;
inline constexpr uint16_t ModeOpenReadWrite = 0x0002;
inline constexpr uint16_t ModeOpenReadDenyWrite = 0x0020;  // read access, others may read

class TFileStream : public THandleStream {
public:
    // EFCreateError "ファイル %s を作成できません" (ModeCreate) or EFOpenError "ファイル %s は開けません"
    // (other modes), with the name as passed. A failed constructor leaves no open descriptor.
    TFileStream(const std::string& fileName, uint16_t mode);
    // Closes the descriptor after writing out buffered output.
    ~TFileStream() override;

    const char* ClassName() const noexcept override { return "TFileStream"; }

    const std::string& FileName() const noexcept { return FFileName; }

private:
    std::string FFileName;
};

// A stream over a block of memory that it does not own. Write is left to descendants.
class TCustomMemoryStream : public TStream {
public:
    const char* ClassName() const noexcept override { return "TCustomMemoryStream"; }

    // Returns 0 at a negative position or count, or at or past the end.
    int32_t Read(void* buffer, int32_t count) override;
    // Sets the position with no bounds check; an unknown origin leaves it.
    int32_t Seek(int32_t offset, uint16_t origin) override;

    // Sets address and size; the position stays.
    void SetBlock(void* address, int32_t size);

    void* BlockAddress() const noexcept { return FBlockAddress; }
    int32_t BlockSize() const noexcept { return FSize; }
    int32_t Position() const noexcept { return FPosition; }

protected:
    void* FBlockAddress = nullptr;
    int32_t FSize = 0;
    int32_t FPosition = 0;
};

// A growable memory stream that owns its block. Capacity requests are rounded up to a multiple
// of 8192 bytes; failing to grow raises EStreamError "メモリストリームの拡大中にメモリが足りなくなりました".
class TMemoryStream : public TCustomMemoryStream {
public:
    ~TMemoryStream() override;

    const char* ClassName() const noexcept override { return "TMemoryStream"; }

    int32_t Write(const void* buffer, int32_t count) override;
    void ChangeSize(int32_t newSize) override;

    int32_t Capacity() const noexcept { return FCapacity; }
    void SetCapacity(int32_t newCapacity);

protected:
    // Returns the block for the new capacity (null for 0), or null when it cannot be had.
    virtual void* Realloc(int32_t& newCapacity);

private:
    int32_t FCapacity = 0;
};

}  // namespace vdib
