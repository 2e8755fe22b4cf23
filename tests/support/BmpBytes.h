// BMP files built byte by byte, and the tests' one stream.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include <VDIBitmap/Streams.h>

namespace vdib::test {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, uint16_t v) { b.insert(b.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}); }
inline void Put32(Bytes& b, uint32_t v) { Put16(b, static_cast<uint16_t>(v)), Put16(b, static_cast<uint16_t>(v >> 16)); }
inline uint32_t Get32(const Bytes& b, std::size_t at) {
    return b.at(at) | b.at(at + 1) << 8 | b.at(at + 2) << 16 | static_cast<uint32_t>(b.at(at + 3)) << 24;
}

// One BMP file. The defaults describe a consistent 8-bit file; tests change a field to make it
// malformed. headerSize 12 gives an OS/2 core header with 16-bit fields and 3-byte colours.
struct InfoBmp {
    int32_t width = 4;
    int32_t height = 2;
    uint16_t bitCount = 8;
    uint32_t compression = 0;      // 3: masks F800/07E0/001F follow the header
    uint32_t clrUsed = 0;
    uint32_t tableEntries = 256;   // colour entries present: blue i, green 3i, red 255-i
    Bytes pixels;                  // as stored (raw rows or RLE)
    uint32_t headerSize = 40;
    bool withFileHeader = true;
    int64_t offBits = -1;          // -1: right after the colour table
    uint16_t signature = 0x4D42;

    Bytes Build() const {
        Bytes h;
        Put32(h, headerSize);
        if (headerSize == 12) {
            for (uint32_t v : {uint32_t(width), uint32_t(height), 1u, uint32_t(bitCount)}) Put16(h, uint16_t(v));
        } else {
            Put32(h, uint32_t(width)), Put32(h, uint32_t(height)), Put16(h, 1), Put16(h, bitCount);
            for (uint32_t v : {compression, uint32_t(pixels.size()), 2835u, 2835u, clrUsed, 0u}) Put32(h, v);
            h.resize(std::max<std::size_t>(h.size(), headerSize));
            if (compression == 3)
                for (uint32_t m : {0xF800u, 0x07E0u, 0x001Fu}) Put32(h, m);
        }
        for (uint32_t i = 0; i < tableEntries; ++i) {
            h.insert(h.end(), {uint8_t(i), uint8_t(i * 3), uint8_t(255 - i)});
            if (headerSize != 12) h.push_back(0);
        }
        Bytes file;
        if (withFileHeader) {
            Put16(file, signature);
            Put32(file, uint32_t(14 + h.size() + pixels.size()));
            Put32(file, 0);
            Put32(file, offBits >= 0 ? uint32_t(offBits) : uint32_t(14 + h.size()));
        }
        file.insert(file.end(), h.begin(), h.end());
        file.insert(file.end(), pixels.begin(), pixels.end());
        return file;
    }
};

// A memory stream holding `bytes`, positioned at 0, that takes at most Room more bytes (-1: any
// number) and then refuses the rest as a full disk would. Its seeks can fail (-1, nothing moves):
// every one as on a pipe, or all but the question for the position.
class TTestStream : public TMemoryStream {
public:
    explicit TTestStream(const Bytes& bytes = {}, int32_t room = -1) {
        WriteExact(bytes.data(), static_cast<int32_t>(bytes.size()));
        Seek(0, soBeginning);
        Room = room;
    }
    int32_t Write(const void* buffer, int32_t count) override {
        if (Room >= 0) count = std::clamp(count, 0, Room), Room -= count;
        return TMemoryStream::Write(buffer, count);
    }
    int32_t Seek(int32_t offset, uint16_t origin) override {
        if (Seeks == None || (Seeks == TellOnly && (offset != 0 || origin != soCurrent))) return -1;
        return TMemoryStream::Seek(offset, origin);
    }
    Bytes Data() const {
        const auto* p = static_cast<const uint8_t*>(BlockAddress());
        return Bytes(p, p + BlockSize());
    }
    int32_t Room = -1;
    enum { All, TellOnly, None } Seeks = All;
};

}  // namespace vdib::test
