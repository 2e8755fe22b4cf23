// Reading a BMP file or a packed DIB into a new image.
//
// Accepted: the OS/2 core header (1, 4, 8, 24 bits) and the information header (uncompressed
// 1, 4, 8, 24 bits; RLE8; RLE4; 16- and 32-bit bit fields). The picture in memory is always
// uncompressed; RLE input only sets Format.Compressed, so that it is written compressed again.
// Checks run in a fixed order and the first failing one raises; the stream is left where the
// failing step left it. Every read is exact, so a stream that ends early raises EReadError.
#include <algorithm>
#include <memory>

#include "ByteOrder.h"
#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/Messages.h>
#include <VDIBitmap/RLE.h>

namespace vdib {

namespace {

bool BitCountFitsCompression(uint32_t compression, uint16_t bitCount) {
    switch (compression) {
        case BI_RGB: return bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 24;
        case BI_RLE8: return bitCount == 8;
        case BI_RLE4: return bitCount == 4;
        case BI_BITFIELDS: return bitCount == 16 || bitCount == 32;
        default: return false;
    }
}

// Positions and offsets of the format are 32-bit; sums wrap as 32-bit values would.
int32_t Offset32(int64_t base, uint32_t delta) {
    return static_cast<int32_t>(static_cast<uint32_t>(base) + delta);
}

// Reads and drops `count` bytes: the way forward in a stream without positions (a pipe).
void SkipForward(TStream& stream, int64_t count) {
    uint8_t scrap[4096];  // gaps are small; a library caller's stack may be too
    for (int64_t n; count > 0; count -= n) {
        n = std::min<int64_t>(count, sizeof scrap);
        stream.ReadExact(scrap, static_cast<int32_t>(n));
    }
}

// The header readers return how many bytes they read after the header's size field.
uint32_t ReadCoreHeader(TStream& stream, TDIBitmapImage& image) {
    uint8_t core[8];
    stream.ReadExact(core, sizeof core);
    const uint16_t bitCount = GetLE16(core + 6);
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 24)
        Raise<EInvalidGraphic>(msg::InvalidPMBitCount);

    BITMAPINFOHEADER& info = image.Info();
    info = BITMAPINFOHEADER{};
    info.biSize = InfoHeaderSize;
    info.biWidth = GetLE16(core);   // zero-extended: never negative
    info.biHeight = GetLE16(core + 2);
    info.biPlanes = GetLE16(core + 4);
    info.biBitCount = bitCount;
    info.biClrUsed = bitCount <= 8 ? 1u << bitCount : 0;

    uint8_t triples[256 * 3];
    stream.ReadExact(triples, static_cast<int32_t>(info.biClrUsed * 3));
    for (uint32_t i = 0; i < info.biClrUsed; ++i)
        image.ColorTable()[i] = RGBQUAD{triples[i * 3], triples[i * 3 + 1], triples[i * 3 + 2], 0};
    return sizeof core + info.biClrUsed * 3;
}

// Returns the three masks of a bit-field image (zero otherwise).
uint32_t ReadInfoHeader(TStream& stream, TDIBitmapImage& image, bool withFileHeader, uint32_t masks[3]) {
    uint8_t rest[36];
    stream.ReadExact(rest, sizeof rest);
    BITMAPINFOHEADER& info = image.Info();
    info.biSize = InfoHeaderSize;
    info.biWidth = static_cast<int32_t>(GetLE32(rest));
    info.biHeight = static_cast<int32_t>(GetLE32(rest + 4));
    info.biPlanes = GetLE16(rest + 8);
    info.biBitCount = GetLE16(rest + 10);
    info.biCompression = GetLE32(rest + 12);
    info.biSizeImage = GetLE32(rest + 16);
    info.biXPelsPerMeter = static_cast<int32_t>(GetLE32(rest + 20));
    info.biYPelsPerMeter = static_cast<int32_t>(GetLE32(rest + 24));
    info.biClrUsed = GetLE32(rest + 28);
    info.biClrImportant = GetLE32(rest + 32);

    if (info.biCompression > BI_BITFIELDS) Raise<EInvalidGraphic>(msg::UnknownFormat);
    if (!BitCountFitsCompression(info.biCompression, info.biBitCount)) Raise<EInvalidGraphic>(msg::InvalidBitCount);

    if (info.biClrUsed == 0 && info.biBitCount <= 8) info.biClrUsed = 1u << info.biBitCount;

    // A table longer than 256 entries: keep the first 256 and remember where the declared table
    // ends, so that a packed DIB's pixels are found after it.
    int32_t skip = 0;
    const bool bitFields = info.biCompression == BI_BITFIELDS;
    if (info.biClrUsed > 256) {
        skip = Offset32(stream.StreamPosition(), 4 * info.biClrUsed + (bitFields ? 12 : 0));
        info.biClrUsed = 256;
    }
    if (bitFields) {
        uint8_t maskBytes[12];
        stream.ReadExact(maskBytes, sizeof maskBytes);
        for (int i = 0; i < 3; ++i) masks[i] = GetLE32(maskBytes + 4 * i);
    }
    stream.ReadExact(image.ColorTable(), static_cast<int32_t>(info.biClrUsed * 4));
    if (!withFileHeader && skip != 0) stream.Seek(skip, soBeginning);
    return sizeof rest + (bitFields ? 12 : 0) + info.biClrUsed * 4;
}

}  // namespace

TDIBitmapImage* TDIBitmapImage::CreateFromStream(TStream& stream, bool withFileHeader) {
    std::unique_ptr<TDIBitmapImage> image(new TDIBitmapImage());
    const int64_t start = stream.StreamPosition();

    uint32_t fileSize = 0;
    uint32_t pixelOffset = 0;
    if (withFileHeader) {
        uint8_t fileHeader[FileHeaderSize];
        stream.ReadExact(fileHeader, sizeof fileHeader);
        if (GetLE16(fileHeader) != BitmapSignature) Raise<EInvalidGraphic>(msg::NotBitmapFile);
        fileSize = GetLE32(fileHeader + 2);
        pixelOffset = GetLE32(fileHeader + 10);
    }

    uint8_t sizeField[4];
    stream.ReadExact(sizeField, sizeof sizeField);
    uint32_t masks[3] = {0, 0, 0};
    uint32_t headerBytes = 0;
    switch (GetLE32(sizeField)) {
        case CoreHeaderSize: headerBytes = ReadCoreHeader(stream, *image); break;
        case InfoHeaderSize: headerBytes = ReadInfoHeader(stream, *image, withFileHeader, masks); break;
        default: Raise<EInvalidGraphic>(msg::InvalidHeaderSize);
    }

    // The pixels start at bfOffBits. A stream without positions is read on up to there; one
    // cannot go back to pixels placed among the bytes already read, so that is a read error
    // rather than a guess at where they are.
    if (withFileHeader) {
        if (start >= 0) {
            stream.Seek(Offset32(start, pixelOffset), soBeginning);
        } else {
            const int64_t gap = int64_t{pixelOffset} - (FileHeaderSize + sizeof sizeField + headerBytes);
            if (gap < 0) Raise<EReadError>(msg::ReadError);
            SkipForward(stream, gap);
        }
    }

    BITMAPINFOHEADER& info = image->Info();
    if (info.biWidth <= 0 || info.biHeight == 0) Raise<EInvalidGraphic>(msg::InvalidSize);
    // Refuse what the 32-bit fields cannot describe before any pixel block is made.
    const TDIBGeometry geometry = CheckedGeometry(info.biBitCount, info.biWidth, info.biHeight);

    image->Width = info.biWidth;
    image->Height = geometry.Rows;
    image->RowBytes = geometry.RowBytes;
    info.biSizeImage = geometry.ImageBytes;
    image->Format.BitCount = info.biBitCount;

    if (info.biCompression == BI_BITFIELDS) {
        image->Format.RedMask = masks[0];
        image->Format.GreenMask = masks[1];
        image->Format.BlueMask = masks[2];
        for (int i = 0; i < 3; ++i) {
            uint8_t* entry = reinterpret_cast<uint8_t*>(&image->ColorTable()[i]);
            PutLE32(entry, masks[i]);
        }
        info.biClrUsed = 0;
    }
    image->Format.TopDown = info.biHeight < 0;
    // RLE data describes bottom-up rows only. With a top-down header it can hold no pixel (every
    // command but end-of-bitmap fails), so such a file reads as the blank picture it is; marked
    // compressed, it would be written as RLE data with a negative height, a file that no reader,
    // this one included, accepts. Unmarked, it is refused for compression like any top-down image.
    image->Format.Compressed = (info.biCompression == BI_RLE8 || info.biCompression == BI_RLE4) && !image->Format.TopDown;

    if (info.biCompression == BI_RLE8 || info.biCompression == BI_RLE4) {
        // The block is filled from as many bytes of RLE data as the stream has left (none known
        // for a stream without positions).
        image->AllocateBits(static_cast<uint64_t>(std::max<int64_t>(stream.Size() - stream.StreamPosition(), 0)));
        if (image->Bits == nullptr) Raise<EOutOfMemory>(msg::OutOfMemory);
        image->SetupRows();
        if (info.biCompression == BI_RLE8) {
            DecodeRLE8(image->Bits, stream, info);
        } else {
            DecodeRLE4(image->Bits, stream, info);
        }
        info.biCompression = BI_RGB;
    } else {
        image->ReadBits(stream);
        if (image->Bits == nullptr) Raise<EOutOfMemory>(msg::OutOfMemory);
        image->SetupRows();
    }

    if (withFileHeader) stream.Seek(Offset32(start, fileSize), soBeginning);
    return image.release();
}

}  // namespace vdib
