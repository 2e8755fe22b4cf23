// Global memory blocks, the system's container for data handed between owners (the clipboard's
// packed DIBs): a handle names a block that is locked to get its address.
//
// On Windows these are the kernel's own calls and flags. Elsewhere a small layer stands in with
// the same contract: every block is movable and zero-filled, and a failing call leaves its error
// for os::LastError(). A null handle is refused ("unknown" below); a freed one may not be used
// again, as with the system's handles.
#pragma once

#include <cstddef>
#include <cstdint>

#include <VDIBitmap/Platform.h>

namespace vdib {

#if defined(_WIN32)

using ::GlobalAlloc;
using ::GlobalFlags;
using ::GlobalFree;
using ::GlobalLock;
using ::GlobalSize;
using ::GlobalUnlock;

#else

inline constexpr std::uint32_t GMEM_FIXED = 0x0000;
inline constexpr std::uint32_t GMEM_MOVEABLE = 0x0002;
inline constexpr std::uint32_t GMEM_ZEROINIT = 0x0040;
inline constexpr std::uint32_t GHND = GMEM_MOVEABLE | GMEM_ZEROINIT;

// The largest block handed out: what a 32-bit process could hold, and what the library's 32-bit
// sizes can describe.
inline constexpr std::size_t GlobalBlockLimit = 0x7FFFFFFF;

// GlobalFlags: the lock count in the low byte, or GMEM_INVALID_HANDLE.
inline constexpr std::uint32_t GMEM_LOCKCOUNT = 0x00FF;
inline constexpr std::uint32_t GMEM_INVALID_HANDLE = 0x8000;

// A block of `size` bytes, always zero-filled whatever the flags (every block is movable and
// reached through GlobalLock). Flags other than GMEM_MOVEABLE and GMEM_ZEROINIT are refused.
// Size 0 is allowed: an empty block whose lock still gives a non-null address, at which no byte
// may be touched. 0 above 2^31 - 1 bytes (what the library's 32-bit sizes can describe) or out of
// memory.
HGLOBAL GlobalAlloc(std::uint32_t flags, std::size_t size);
// The block's address, which stays the same for the block's life; adds one to its lock count.
// Null for an unknown handle.
void* GlobalLock(HGLOBAL block);
// Takes one from the lock count. True while the block stays locked; false when this unlock
// released it (error 0), or for an unlocked block or unknown handle.
bool GlobalUnlock(HGLOBAL block);
// The size given to GlobalAlloc; 0 for an unknown handle as well as for an empty block.
std::size_t GlobalSize(HGLOBAL block);
// The lock count (at most GMEM_LOCKCOUNT shown), or GMEM_INVALID_HANDLE for an unknown handle.
std::uint32_t GlobalFlags(HGLOBAL block);
// 0 when the block was freed; the handle itself when it is still locked. A locked
// block is refused rather than freed under its users' feet. Handle 0 is a no-op that returns 0.
HGLOBAL GlobalFree(HGLOBAL block);

// Blocks alive (for leak checks in tests).
std::size_t LiveGlobalBlockCount();

#endif

}  // namespace vdib
