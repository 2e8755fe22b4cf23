// The clipboard, where packed DIBs (clipboard format CF_DIB) are handed between programs in
// global memory blocks.
//
// On Windows these are the system's own calls. Elsewhere a clipboard of this process stands in
// with the same contract: it is opened by one owner at a time; EmptyClipboard frees the blocks it
// holds; a block given to SetClipboardData belongs to the clipboard from then on (GlobalFree it
// no more); GetClipboardData hands out the clipboard's own block, to be read while the clipboard
// is open and never freed by the reader.
#pragma once

#include <cstdint>

#include <VDIBitmap/GlobalMemory.h>
#include <VDIBitmap/Platform.h>

namespace vdib {

#if defined(_WIN32)

using ::CloseClipboard;
using ::EmptyClipboard;
using ::GetClipboardData;
using ::IsClipboardFormatAvailable;
using ::OpenClipboard;
using ::SetClipboardData;

#else

// The clipboard format of a packed DIB: information header, colour table or masks, pixels.
inline constexpr std::uint16_t CF_DIB = 8;

// Opens the clipboard for `owner` (0 for this process); false while it is open already.
bool OpenClipboard(HWND owner);
bool CloseClipboard();
// Frees every block the clipboard holds; false when the clipboard is not open.
bool EmptyClipboard();
// Puts `data` on the clipboard under `format`, replacing (and freeing) a block held under it;
// returns `data`, or 0 when the clipboard is not open or `data` is no global block.
HGLOBAL SetClipboardData(unsigned format, HGLOBAL data);
// The block held under `format`; 0 when there is none or the clipboard is not open.
HGLOBAL GetClipboardData(unsigned format);
bool IsClipboardFormatAvailable(unsigned format);

#endif

}  // namespace vdib
