// Building BMP files byte by byte for tests, and small stream helpers.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "Streams.h"

namespace vdib::test {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8)); }
inline uint32_t Get32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) | (static_cast<uint32_t>(b.at(at + 1)) << 8) |
           (static_cast<uint32_t>(b.at(at + 2)) << 16) | (static_cast<uint32_t>(b.at(at + 3)) << 24);
}
inline void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

// The layout of one BMP file with an information header. Fields left at their defaults
// describe a consistent file; tests change one of them to make it malformed.
struct InfoBmp {
    int32_t width = 4;
    int32_t height = 2;
    uint16_t bitCount = 8;
    uint32_t compression = 0;
    uint32_t clrUsed = 0;
    uint32_t tableEntries = 256;  // colour entries actually present in the file
    uint32_t masks[3] = {0xF800, 0x07E0, 0x001F};
    Bytes pixels;                  // pixel data as stored (raw rows or RLE)
    uint32_t headerSize = 40;
    bool withFileHeader = true;
    int64_t offBits = -1;          // -1: right after the colour table
    int64_t fileSize = -1;         // -1: the real size
    uint16_t signature = 0x4D42;
    Bytes trailing;                // bytes after the pixel data

    Bytes Build() const {
        Bytes header;
        Put32(header, headerSize);
        Put32(header, static_cast<uint32_t>(width));
        Put32(header, static_cast<uint32_t>(height));
        Put16(header, 1);
        Put16(header, bitCount);
        Put32(header, compression);
        Put32(header, static_cast<uint32_t>(pixels.size()));
        Put32(header, 2835);
        Put32(header, 2835);
        Put32(header, clrUsed);
        Put32(header, 0);
        while (header.size() < headerSize) header.push_back(0);
        if (compression == 3)
            for (uint32_t m : masks) Put32(header, m);
        for (uint32_t i = 0; i < tableEntries; ++i) {
            header.push_back(static_cast<uint8_t>(i));        // blue
            header.push_back(static_cast<uint8_t>(i * 3));    // green
            header.push_back(static_cast<uint8_t>(255 - i));  // red
            header.push_back(0);
        }
        Bytes file;
        if (withFileHeader) {
            const uint32_t off = offBits >= 0 ? static_cast<uint32_t>(offBits) : static_cast<uint32_t>(14 + header.size());
            const uint32_t size = fileSize >= 0 ? static_cast<uint32_t>(fileSize)
                                                : static_cast<uint32_t>(14 + header.size() + pixels.size());
            Put16(file, signature);
            Put32(file, size);
            Put32(file, 0);
            Put32(file, off);
        }
        Append(file, header);
        Append(file, pixels);
        Append(file, trailing);
        return file;
    }
};

// An OS/2 core-header file.
inline Bytes CoreBmp(uint16_t width, uint16_t height, uint16_t bitCount, const Bytes& pixels) {
    Bytes header;
    Put32(header, 12);
    Put16(header, width);
    Put16(header, height);
    Put16(header, 1);
    Put16(header, bitCount);
    const uint32_t entries = bitCount <= 8 ? 1u << bitCount : 0;
    for (uint32_t i = 0; i < entries; ++i) {
        header.push_back(static_cast<uint8_t>(i));
        header.push_back(static_cast<uint8_t>(i + 1));
        header.push_back(static_cast<uint8_t>(i + 2));
    }
    Bytes file;
    Put16(file, 0x4D42);
    Put32(file, static_cast<uint32_t>(14 + header.size() + pixels.size()));
    Put32(file, 0);
    Put32(file, static_cast<uint32_t>(14 + header.size()));
    Append(file, header);
    Append(file, pixels);
    return file;
}

// A memory stream holding `bytes`, positioned at 0.
inline void Fill(TMemoryStream& stream, const Bytes& bytes) {
    stream.WriteExact(bytes.data(), static_cast<int32_t>(bytes.size()));
    stream.Seek(0, soBeginning);
}

inline Bytes Contents(TMemoryStream& stream) {
    const auto* p = static_cast<const uint8_t*>(stream.BlockAddress());
    return Bytes(p, p + stream.BlockSize());
}

}  // namespace vdib::test
