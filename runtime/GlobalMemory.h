// Global memory blocks, the platform's container for data handed between owners (the
// clipboard's packed DIBs): a handle names a zero-filled block that is locked to get its address.
//
// Handles are opaque non-zero values and are never reused, so a freed handle stays unknown.
// A failing call sets errno: EINVAL for an unknown handle or flag, ENOMEM when the block cannot
// be had, EBUSY for freeing a locked block. One thread only; there is no lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include <VDIBitmap/Platform.h>

namespace vdib {

inline constexpr std::uint32_t GMEM_FIXED = 0x0000;
inline constexpr std::uint32_t GMEM_MOVEABLE = 0x0002;
inline constexpr std::uint32_t GMEM_ZEROINIT = 0x0040;
inline constexpr std::uint32_t GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

// GlobalFlags: the lock count in the low byte, or GMEM_INVALID_HANDLE.
inline constexpr std::uint32_t GMEM_LOCKCOUNT = 0x00FF;
inline constexpr std::uint32_t GMEM_INVALID_HANDLE = 0x8000;

// The largest block handed out: what a 32-bit process could hold, and what the library's
// 32-bit sizes can describe.
inline constexpr std::size_t GlobalBlockLimit = 0x7FFFFFFF;

// A block of `size` bytes, always zero-filled whatever the flags (every block is movable and
// reached through GlobalLock). Flags other than GMEM_MOVEABLE and GMEM_ZEROINIT are refused
// (EINVAL). Size 0 is allowed: an empty block whose lock still gives a non-null address, at
// which no byte may be touched. 0 with ENOMEM above GlobalBlockLimit or out of memory.
HGLOBAL GlobalAlloc(std::uint32_t flags, std::size_t size);
// The block's address, which stays the same for the block's life; adds one to its lock count.
// Null for an unknown handle.
void* GlobalLock(HGLOBAL block);
// Takes one from the lock count. True while the block stays locked; false when this unlock
// released it (errno 0), or for an unlocked block or unknown handle (EINVAL).
bool GlobalUnlock(HGLOBAL block);
// The size given to GlobalAlloc; 0 for an unknown handle (EINVAL) as well as for an empty block.
std::size_t GlobalSize(HGLOBAL block);
// The lock count (at most GMEM_LOCKCOUNT shown), or GMEM_INVALID_HANDLE for an unknown handle.
std::uint32_t GlobalFlags(HGLOBAL block);
// 0 when the block was freed; the handle itself when not: unknown (EINVAL), or still locked
// (EBUSY). A locked block is refused rather than freed under its users' feet: an address
// handed out by GlobalLock stays valid until its unlock. Handle 0 is a no-op that returns 0,
// like freeing a null pointer.
HGLOBAL GlobalFree(HGLOBAL block);

// Blocks alive (for leak checks in tests).
std::size_t LiveGlobalBlockCount();

}  // namespace vdib
