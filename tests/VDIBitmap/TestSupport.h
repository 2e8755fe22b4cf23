// Helpers of the codec tests: hex byte strings, headers and pixel blocks, and the straightforward
// per-unit RLE encoder that the fast encoders are checked against.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>

#include <VDIBitmap/DIBImage.h>
#include "support/BmpBytes.h"

namespace vdib::test {

// "03 05 01 07" -> {3, 5, 1, 7}.
inline Bytes Hex(const std::string& text) {
    Bytes bytes;
    std::istringstream in(text);
    for (std::string item; in >> item;) bytes.push_back(static_cast<uint8_t>(std::stoul(item, nullptr, 16)));
    return bytes;
}

inline std::string ToHex(const Bytes& bytes) {
    std::string text;
    for (const uint8_t b : bytes) text += Format(text.empty() ? "%02X" : " %02X", b);
    return text;
}

inline BITMAPINFOHEADER Header(int32_t width, int32_t height, uint16_t bitCount) {
    return {40, width, height, 1, bitCount, 0, 0, 0, 0, 0, 0};
}

// A block of |height| rows whose leading bytes are given row by row; the rest is zero.
inline Bytes Block(int32_t width, int32_t height, uint16_t bitCount, const std::vector<Bytes>& rows) {
    const TDIBGeometry geometry = CheckedGeometry(bitCount, width, height);
    const auto rowBytes = static_cast<std::size_t>(geometry.RowBytes);
    Bytes block(geometry.ImageBytes);
    for (std::size_t r = 0; r < rows.size(); ++r) std::copy(rows[r].begin(), rows[r].end(), block.begin() + r * rowBytes);
    return block;
}

// The encoding rules written plainly, command by command, unit by unit (a pixel in RLE8, a byte
// of two pixels in RLE4; an odd RLE4 row carries its pad pixel along), as the reference for the
// fast encoders. Equal neighbours make a run. Otherwise units without equal neighbours make a
// literal, which gives up its last unit to a run that follows; a literal of one or two units is
// written as runs of one, a longer one as an absolute run padded to even length. No command
// holds more than `maxUnits`; the unit after a full one starts afresh.
inline Bytes ReferenceEncode(const Bytes& block, int32_t width, int32_t height, uint16_t bitCount) {
    const std::size_t perUnit = 8 / bitCount, maxUnits = bitCount == 8 ? 255 : 127;
    const auto units = static_cast<std::size_t>((width * bitCount + 7) / 8);
    Bytes out;
    for (int32_t r = 0; r < height; ++r) {
        const uint8_t* u = block.data() + r * CheckedGeometry(bitCount, width, 1).RowBytes;
        for (std::size_t i = 0, k = 1; i < units; i = k, k = i + 1) {
            const bool run = k < units && u[k] == u[i];
            while (k < units && k - i < maxUnits && (u[k] == u[k - 1]) == run) ++k;
            if (!run && k < units && k - i < maxUnits) --k;  // the last unit joins the run that follows
            if (!run && k - i > 2) {
                out.insert(out.end(), {0, uint8_t((k - i) * perUnit)});
                out.insert(out.end(), u + i, u + k);
                if ((k - i) & 1) out.push_back(0);
            } else if (run) {
                out.insert(out.end(), {uint8_t((k - i) * perUnit), u[i]});
            } else {
                for (std::size_t j = i; j < k; ++j) out.insert(out.end(), {uint8_t(perUnit), u[j]});
            }
        }
        out.insert(out.end(), {0, 0});
    }
    out.insert(out.end(), {0, 1});
    return out;
}

}  // namespace vdib::test
