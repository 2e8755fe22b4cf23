// The size of a DIB's pixel block, worked out once with every 32-bit check, for the image store,
// the codecs, the writer and the drawing code alike.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

namespace vdib {

// The pixel block of a DIB: Rows stored rows of RowBytes bytes each, ImageBytes in all.
struct TDIBGeometry {
    std::int32_t RowBytes;
    std::int32_t Rows;
    std::uint32_t ImageBytes;
};

// The pixel block of `width` pixels by |height| rows (a negative height stores the top row
// first) at `bitCount` bits per pixel: each row ((bitCount × width + 31) div 32) × 4 bytes,
// padded to a multiple of 4. Worked out in 64 bits, and empty when the bit count or the width is
// negative, or when the bits of a row (with the 31 of the rounding), the row count or the whole
// block does not fit a 32-bit signed value: the header fields, the stream positions and the
// arithmetic of every consumer of the block are 32-bit, and a size that wrapped there would
// describe a block smaller than the rows that are walked.
constexpr std::optional<TDIBGeometry> DIBGeometry(std::int32_t bitCount, std::int32_t width,
                                                  std::int32_t height) noexcept {
    constexpr std::int64_t Max = std::numeric_limits<std::int32_t>::max();
    const std::int64_t rows = height < 0 ? -std::int64_t{height} : std::int64_t{height};
    const std::int64_t rowBits = std::int64_t{bitCount} * width;
    if (bitCount < 0 || width < 0 || rowBits > Max - 31 || rows > Max) return std::nullopt;
    const std::int64_t rowBytes = (rowBits + 31) / 32 * 4;
    if (rowBytes * rows > Max) return std::nullopt;
    return TDIBGeometry{static_cast<std::int32_t>(rowBytes), static_cast<std::int32_t>(rows),
                        static_cast<std::uint32_t>(rowBytes * rows)};
}

}  // namespace vdib
