// Reading a converter's input and output back through the library and comparing them as
// pictures: size, orientation, bit count, colours and every pixel (row padding excepted).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include <VDIBitmap/DIBImage.h>

namespace vdib::test {

inline std::unique_ptr<TDIBitmapImage> ReadPicture(const std::filesystem::path& path) {
    TFileStream stream(path.string(), ModeOpenReadDenyWrite);
    return std::unique_ptr<TDIBitmapImage>(TDIBitmapImage::CreateFromStream(stream, true));
}

inline void ExpectSamePicture(const TDIBitmapImage& expected, const TDIBitmapImage& actual) {
    ASSERT_EQ(actual.Width, expected.Width);
    ASSERT_EQ(actual.Height, expected.Height);
    ASSERT_EQ(actual.Format.BitCount, expected.Format.BitCount);
    EXPECT_EQ(actual.Format.TopDown, expected.Format.TopDown);
    ASSERT_EQ(actual.ColorCount(), expected.ColorCount());
    EXPECT_EQ(std::memcmp(actual.ColorTable(), expected.ColorTable(), 4 * expected.ColorCount()), 0);
    const int64_t bits = int64_t{expected.Format.BitCount} * expected.Width;
    const auto whole = static_cast<std::size_t>(bits / 8);
    const auto lastMask = static_cast<uint8_t>(0xFF00 >> (bits % 8));
    for (int32_t row = 0; row < expected.Height; ++row) {
        const uint8_t* e = expected.PictureRow(row);
        const uint8_t* a = actual.PictureRow(row);
        ASSERT_EQ(std::memcmp(a, e, whole), 0) << "picture row " << row;
        if (lastMask != 0) {
            ASSERT_EQ(a[whole] & lastMask, e[whole] & lastMask) << "picture row " << row;
        }
    }
}

}  // namespace vdib::test
