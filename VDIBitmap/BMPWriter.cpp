// Writing an image as a BMP file or a packed DIB.
//
// The header block is the image's Info followed by its colour table (or the three masks of a
// bit-field image) as they lie in memory. A compressed image is written with RLE8 or RLE4 pixel
// data: the header block goes out first as a placeholder and is rewritten once the encoder has
// run and the size of the encoded data is known. A stream that cannot tell its position (a pipe)
// cannot be taken back to the placeholder either; there the encoder first runs into a counter,
// and the headers go out with their final values before the pixel data: the same bytes, in
// order, without holding the encoded picture in memory. The image itself is never changed, and
// the stream is flushed at the end, so a failure to store the bytes is raised to the caller.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ByteOrder.h"
#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/RLE.h>

namespace vdib {

namespace {

void WriteFileHeader(TStream& stream, uint32_t fileSize, uint32_t pixelOffset) {
    uint8_t header[FileHeaderSize] = {};
    PutLE16(header, BitmapSignature);
    PutLE32(header + 2, fileSize);
    PutLE32(header + 10, pixelOffset);
    stream.WriteExact(header, sizeof header);
}

// The header block as it goes to the stream: the information header, then the colours or masks.
struct THeaderBlock {
    uint8_t Bytes[InfoHeaderSize + 4 * 256 + 12];
    uint32_t Length;

    void SetCompression(uint32_t compression, uint32_t sizeImage) {
        PutLE32(Bytes + 16, compression);
        PutLE32(Bytes + 20, sizeImage);
    }
};

// Takes every byte and keeps none, only their count.
class TCountingStream : public TStream {
public:
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void*, int32_t count) override {
        if (count <= 0) return 0;
        FCount += count;
        return count;
    }
    int64_t Count() const noexcept { return FCount; }

private:
    int64_t FCount = 0;
};

// Writes the RLE pixel data of the image; returns the compression code of what it wrote.
uint32_t EncodePixels(TStream& stream, const TDIBitmapImage& image) {
    uint32_t compression = image.Info().biCompression;
    if (image.Info().biBitCount == 4) {
        EncodeRLE4(stream, image.Bits, image.Info());
        compression = BI_RLE4;
    } else if (image.Info().biBitCount == 8) {
        EncodeRLE8(stream, image.Bits, image.Info());
        compression = BI_RLE8;
    }
    return compression;
}

void WritePlainPixels(TStream& stream, const TDIBitmapImage& image) {
    stream.WriteExact(image.Bits, static_cast<int32_t>(image.Info().biSizeImage));
}

// Goes back to a position written before; anywhere else the patch would overwrite pixel data.
// Positions are the stream's own 64-bit ones, so a file written far into a large stream is
// patched where it stands.
void SeekBack(TStream& stream, int64_t position) {
    if (stream.Seek64(position, soBeginning) != position) Raise<EWriteError>(msg::WriteError);
}

// The size of encoded pixel data, checked against the 32-bit fields that must hold it (the
// image size, and the file size with the `headerBytes` before the pixels): data they cannot
// describe is refused rather than given headers that tell a wrong size.
uint32_t CheckedEncodedSize(int64_t size, uint32_t headerBytes) {
    if (size < 0 || size > int64_t{UINT32_MAX} - headerBytes) Raise<EWriteError>(msg::WriteError);
    return static_cast<uint32_t>(size);
}

THeaderBlock MakeHeaderBlock(const TDIBitmapImage& image) {
    const BITMAPINFOHEADER& info = image.Info();
    THeaderBlock block{};
    uint8_t* p = block.Bytes;
    PutLE32(p, info.biSize);
    PutLE32(p + 4, static_cast<uint32_t>(info.biWidth));
    PutLE32(p + 8, static_cast<uint32_t>(info.biHeight));
    PutLE16(p + 12, info.biPlanes);
    PutLE16(p + 14, info.biBitCount);
    PutLE32(p + 16, info.biCompression);
    PutLE32(p + 20, info.biSizeImage);
    PutLE32(p + 24, static_cast<uint32_t>(info.biXPelsPerMeter));
    PutLE32(p + 28, static_cast<uint32_t>(info.biYPelsPerMeter));
    PutLE32(p + 32, info.biClrUsed);
    PutLE32(p + 36, info.biClrImportant);
    // Masks live in entries 0-2 and the colours after them, so they are one run of entries.
    block.Length = image.HeaderBlockLength();
    std::memcpy(p + InfoHeaderSize, image.ColorTable(), block.Length - InfoHeaderSize);
    return block;
}

}  // namespace

// An image of 1, 4 or 8 bits without colours still gets a full table (2^bits entries) with
// biClrUsed 0, because every reader takes a count of 0 to mean the full table and would look for
// the pixels after it.
uint32_t TDIBitmapImage::HeaderBlockLength() const noexcept {
    const BITMAPINFOHEADER& info = Info();
    uint32_t entries = info.biClrUsed;
    if (entries == 0 && (info.biBitCount == 1 || info.biBitCount == 4 || info.biBitCount == 8))
        entries = 1u << info.biBitCount;
    entries = std::min(entries, 256 - FirstColorEntry());  // the table in memory holds no more
    return InfoHeaderSize + 4 * entries + (info.biCompression == BI_BITFIELDS ? 12 : 0);
}

void TDIBitmapImage::WriteToStream(TStream& stream, bool withFileHeader) const {
    WriteToStream(stream, withFileHeader, Format.Compressed);
}

void TDIBitmapImage::WriteToStream(TStream& stream, bool withFileHeader, bool compressed) const {
    if (compressed) CheckCompressible(Format);
    THeaderBlock block = MakeHeaderBlock(*this);
    const uint32_t length = block.Length;

    const uint32_t headerBytes = (withFileHeader ? FileHeaderSize : 0) + length;
    const int64_t start = stream.StreamPosition();
    if (compressed && start < 0) {
        TCountingStream counter;
        const uint32_t compression = EncodePixels(counter, *this);
        const uint32_t encodedSize = CheckedEncodedSize(counter.Count(), headerBytes);
        block.SetCompression(compression, encodedSize);
        if (withFileHeader) WriteFileHeader(stream, FileHeaderSize + length + encodedSize, FileHeaderSize + length);
        stream.WriteExact(block.Bytes, static_cast<int32_t>(length));
        EncodePixels(stream, *this);
        stream.Flush();
        return;
    }

    if (withFileHeader) WriteFileHeader(stream, FileHeaderSize + length + Info().biSizeImage, FileHeaderSize + length);

    if (!compressed) {
        stream.WriteExact(block.Bytes, static_cast<int32_t>(length));
        if (Info().biSizeImage != 0) WritePlainPixels(stream, *this);
        stream.Flush();
        return;
    }

    const int64_t headerPosition = stream.StreamPosition();
    stream.WriteExact(block.Bytes, static_cast<int32_t>(length));
    const int64_t pixelPosition = stream.StreamPosition();
    const uint32_t compression = EncodePixels(stream, *this);
    const int64_t endPosition = stream.StreamPosition();
    const uint32_t encodedSize = CheckedEncodedSize(endPosition - pixelPosition, headerBytes);
    block.SetCompression(compression, encodedSize);

    if (withFileHeader) {
        SeekBack(stream, start);
        WriteFileHeader(stream, FileHeaderSize + length + encodedSize, FileHeaderSize + length);
    }
    SeekBack(stream, headerPosition);
    stream.WriteExact(block.Bytes, static_cast<int32_t>(length));
    SeekBack(stream, endPosition);
    stream.Flush();
}

}  // namespace vdib
