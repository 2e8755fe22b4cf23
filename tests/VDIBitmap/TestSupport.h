// Helpers shared by the library's tests: a stream over a byte vector, hex byte strings and the
// straightforward per-unit RLE encoder that the fast encoders are checked against.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "DIBImage.h"
#include "RLE.h"
#include "Streams.h"

namespace vdib::test {

using Bytes = std::vector<uint8_t>;

// A stream over a growable byte vector. WriteLimit caps the total number of bytes it accepts
// (a stream that stops taking bytes); -1 for none.
class TVectorStream : public TStream {
public:
    TVectorStream() = default;
    explicit TVectorStream(Bytes data) : Data(std::move(data)) {}

    Bytes Data;
    int64_t Position = 0;
    int64_t WriteLimit = -1;
    int64_t Accepted = 0;

    int32_t Read(void* buffer, int32_t count) override {
        if (count <= 0 || Position >= static_cast<int64_t>(Data.size())) return 0;
        const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(Data.size()) - Position);
        std::memcpy(buffer, Data.data() + Position, static_cast<std::size_t>(n));
        Position += n;
        return static_cast<int32_t>(n);
    }

    int32_t Write(const void* buffer, int32_t count) override {
        int64_t n = count;
        if (WriteLimit >= 0) n = std::max<int64_t>(0, std::min(n, WriteLimit - Accepted));
        if (n <= 0) return 0;
        if (Position + n > static_cast<int64_t>(Data.size())) Data.resize(static_cast<std::size_t>(Position + n));
        std::memcpy(Data.data() + Position, buffer, static_cast<std::size_t>(n));
        Position += n;
        Accepted += n;
        return static_cast<int32_t>(n);
    }

    int32_t Seek(int32_t offset, uint16_t origin) override {
        switch (origin) {
            case soBeginning: Position = offset; break;
            case soCurrent: Position += offset; break;
            case soEnd: Position = static_cast<int64_t>(Data.size()) + offset; break;
        }
        return static_cast<int32_t>(Position);
    }
};

// "03 05 01 07" -> {3, 5, 1, 7}.
inline Bytes Hex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    std::string item;
    while (in >> item) bytes.push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 16)));
    return bytes;
}

inline std::string ToHex(const Bytes& bytes) {
    std::string text;
    static const char digits[] = "0123456789ABCDEF";
    for (const uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes Repeat(uint8_t value, std::size_t n) { return Bytes(n, value); }

inline Bytes Iota(uint8_t first, std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

inline BITMAPINFOHEADER Header(int32_t width, int32_t height, uint16_t bitCount) {
    BITMAPINFOHEADER header{};
    header.biSize = 40;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = bitCount;
    return header;
}

// A pixel block of |height| rows whose leading bytes are given row by row (block order); the
// rest of each row is zero.
inline Bytes Block(int32_t width, int32_t height, uint16_t bitCount, const std::vector<Bytes>& rows) {
    const int32_t rowBytes = RowBytesFor(bitCount, width);
    Bytes block(static_cast<std::size_t>(rowBytes) * static_cast<std::size_t>(std::abs(height)));
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::copy(rows[r].begin(), rows[r].end(), block.begin() + static_cast<std::ptrdiff_t>(r * rowBytes));
    }
    return block;
}

// The encoder's state machine stepped once per unit (pixel for RLE8, byte for RLE4), writing
// each command straight to the stream as it is decided. The reference for the fast encoders.
inline void ReferenceEncode(TStream& stream, const uint8_t* bits, const BITMAPINFOHEADER& header, int maxUnits,
                            int pixelsPerUnit) {
    enum { esEmpty, esSingle, esRun, esLiteral };
    const int64_t width = header.biWidth;
    const int64_t units = pixelsPerUnit == 1 ? width : (width + 1) / 2;
    const int64_t rows = std::abs(static_cast<int64_t>(header.biHeight));
    const int64_t rowBytes = (width * (8 / pixelsPerUnit) + 31) / 32 * 4;
    uint8_t buffer[256];
    auto flushLiteral = [&](int n) {
        if (n <= 2) {
            for (int i = 0; i < n; ++i) WriteRLEPair(stream, static_cast<uint8_t>(pixelsPerUnit), buffer[i]);
            return;
        }
        const uint8_t head[2] = {0, static_cast<uint8_t>(n * pixelsPerUnit)};
        stream.Write(head, 1);
        stream.Write(head + 1, 1);
        stream.Write(buffer, n);
        if (n & 1) stream.Write(head, 1);
    };
    for (int64_t r = 0; r < rows; ++r) {
        int state = esEmpty;
        int count = 0;
        for (int64_t i = 0; i < units; ++i) {
            const uint8_t u = bits[r * rowBytes + i];
            switch (state) {
                case esEmpty: buffer[0] = u, count = 1, state = esSingle; break;
                case esSingle:
                    if (u == buffer[0]) {
                        count = 2, state = esRun;
                    } else {
                        buffer[1] = u, count = 2, state = esLiteral;
                    }
                    break;
                case esRun:
                    if (count < maxUnits && u == buffer[0]) {
                        ++count;
                    } else {
                        WriteRLEPair(stream, static_cast<uint8_t>(count * pixelsPerUnit), buffer[0]);
                        buffer[0] = u, count = 1, state = esSingle;
                    }
                    break;
                case esLiteral:
                    if (count < maxUnits && u != buffer[count - 1]) {
                        buffer[count++] = u;
                    } else if (count == maxUnits) {
                        flushLiteral(maxUnits);
                        buffer[0] = u, count = 1, state = esSingle;
                    } else {
                        flushLiteral(count - 1);
                        buffer[0] = u, count = 2, state = esRun;
                    }
                    break;
            }
        }
        if (state == esLiteral) {
            flushLiteral(count);
        } else if (state != esEmpty) {
            WriteRLEPair(stream, static_cast<uint8_t>(count * pixelsPerUnit), buffer[0]);
        }
        WriteRLEEndOfLine(stream);
    }
    WriteRLEEndOfBitmap(stream);
}

}  // namespace vdib::test
