#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "GlobalMemory.h"

namespace vdib {
namespace {

TEST(GlobalMemory, BlocksArriveZeroFilledAndKeepTheirAddressAndSize) {
    const std::size_t live = LiveGlobalBlockCount();
    const std::size_t sizes[] = {0, 1, 40, 1072, std::size_t{1} << 20};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        // Dirty the heap first so that a block which is not cleared shows it.
        {
            std::vector<std::uint8_t> dirt(size + 64, 0xA5);
            ASSERT_EQ(dirt.back(), 0xA5);
        }
        const HGLOBAL block = GlobalAlloc(GHND, size);
        ASSERT_NE(block, 0u);
        EXPECT_EQ(GlobalSize(block), size);
        EXPECT_EQ(LiveGlobalBlockCount(), live + 1);

        auto* first = static_cast<std::uint8_t*>(GlobalLock(block));
        ASSERT_NE(first, nullptr);
        for (std::size_t i = 0; i < size; ++i) ASSERT_EQ(first[i], 0) << "byte " << i;
        if (size > 0) std::memset(first, 0x5A, size);
        auto* second = static_cast<std::uint8_t*>(GlobalLock(block));
        EXPECT_EQ(second, first);
        if (size > 0) {
            EXPECT_EQ(second[size - 1], 0x5A);
        }

        EXPECT_TRUE(GlobalUnlock(block));
        EXPECT_FALSE(GlobalUnlock(block));
        EXPECT_EQ(errno, 0) << "the last unlock is no failure";
        EXPECT_EQ(GlobalFree(block), 0u);
        EXPECT_EQ(LiveGlobalBlockCount(), live);
    }
}

TEST(GlobalMemory, LockCountsUpAndDown) {
    const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 16);
    ASSERT_NE(block, 0u);
    EXPECT_EQ(GlobalFlags(block), 0u);
    for (std::uint32_t n = 1; n <= 3; ++n) {
        ASSERT_NE(GlobalLock(block), nullptr);
        EXPECT_EQ(GlobalFlags(block) & GMEM_LOCKCOUNT, n);
    }
    EXPECT_TRUE(GlobalUnlock(block));
    EXPECT_TRUE(GlobalUnlock(block));
    EXPECT_FALSE(GlobalUnlock(block));
    EXPECT_EQ(GlobalFlags(block), 0u);

    errno = 0;
    EXPECT_FALSE(GlobalUnlock(block)) << "unlocking an unlocked block";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(GlobalFlags(block), 0u) << "the count does not go below zero";
    EXPECT_EQ(GlobalFree(block), 0u);
}

TEST(GlobalMemory, ALockedBlockIsNotFreed) {
    const std::size_t live = LiveGlobalBlockCount();
    const HGLOBAL block = GlobalAlloc(GHND, 8);
    auto* address = static_cast<std::uint8_t*>(GlobalLock(block));
    ASSERT_NE(address, nullptr);

    errno = 0;
    EXPECT_EQ(GlobalFree(block), block);
    EXPECT_EQ(errno, EBUSY);
    address[7] = 1;  // still ours: the sanitizer build would catch a freed block here
    EXPECT_EQ(GlobalSize(block), 8u);

    EXPECT_FALSE(GlobalUnlock(block));
    EXPECT_EQ(GlobalFree(block), 0u);
    EXPECT_EQ(LiveGlobalBlockCount(), live);
}

TEST(GlobalMemory, UnknownHandlesAreRefusedEverywhere) {
    const HGLOBAL freed = GlobalAlloc(GHND, 4);
    ASSERT_EQ(GlobalFree(freed), 0u);
    const HGLOBAL live = GlobalAlloc(GHND, 4);
    ASSERT_NE(live, freed) << "handles are not reused";

    for (HGLOBAL unknown : {freed, HGLOBAL{1}, live + 1, HGLOBAL{0x12345678}}) {
        SCOPED_TRACE(unknown);
        errno = 0;
        EXPECT_EQ(GlobalLock(unknown), nullptr);
        EXPECT_EQ(errno, EINVAL);
        errno = 0;
        EXPECT_FALSE(GlobalUnlock(unknown));
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(GlobalSize(unknown), 0u);
        EXPECT_EQ(GlobalFlags(unknown), GMEM_INVALID_HANDLE);
        errno = 0;
        EXPECT_EQ(GlobalFree(unknown), unknown);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(GlobalFree(0), 0u) << "freeing no block does nothing";
    EXPECT_EQ(GlobalFree(live), 0u);
}

TEST(GlobalMemory, AllocationFailures) {
    const std::size_t live = LiveGlobalBlockCount();
    struct Case {
        std::uint32_t Flags;
        std::size_t Size;
        int Errno;
    };
    const Case cases[] = {
        {GHND, GlobalBlockLimit + 1, ENOMEM},
        {GHND, SIZE_MAX, ENOMEM},
        {GHND | 0x0100, 4, EINVAL},  // GMEM_DISCARDABLE: not ours to offer
        {0x2000, 4, EINVAL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Size);
        errno = 0;
        EXPECT_EQ(GlobalAlloc(c.Flags, c.Size), 0u);
        EXPECT_EQ(errno, c.Errno);
    }
    EXPECT_EQ(LiveGlobalBlockCount(), live);
}

}  // namespace
}  // namespace vdib
