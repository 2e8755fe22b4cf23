// RLE8 and RLE4 pixel data of bottom-up 8-bit and 4-bit bitmaps.
#pragma once

#include <cstdint>

#include <VDIBitmap/DIBImage.h>
#include <VDIBitmap/Streams.h>

namespace vdib {

// The codecs take the block's rows from CheckedGeometry (8 or 4 bits, biWidth, biHeight), and
// raise its EInvalidGraphic "Invalid Size", before any byte moves, for a header that describes
// no block.

// Decode into a zero-filled block, bounded by the header's biWidth and biHeight as stored (a
// negative height leaves no row to write into). Pixels no command reaches stay 0.
// EInvalidGraphic "Bad RLE Data" for data that leaves the picture; EReadError when the stream
// ends before end-of-bitmap.
void DecodeRLE8(uint8_t* bits, TStream& stream, const BITMAPINFOHEADER& header);
void DecodeRLE4(uint8_t* bits, TStream& stream, const BITMAPINFOHEADER& header);

// Encode every row of the block (|biHeight| rows of biWidth pixels), each ended by an
// end-of-line, then an end-of-bitmap.
void EncodeRLE8(TStream& stream, const uint8_t* bits, const BITMAPINFOHEADER& header);
void EncodeRLE4(TStream& stream, const uint8_t* bits, const BITMAPINFOHEADER& header);

// How many threads the encoders use, for the whole process: 0, the default, for as many as the
// process may run on (UsableProcessorCount, at most 8); 1 encodes on the calling thread alone and
// starts none. The bytes written are the same for every count. Safe to call from any thread; an
// encoder already running keeps the count it started with.
void SetEncoderThreadCount(unsigned count) noexcept;

// The count for the encoders that the thread which makes it runs, while it lives, over the
// process's: as above, with 0 for the process's count again. The other threads keep theirs.
// Settings nest; each ends in its own thread, the innermost first, as a local variable does.
class TEncoderThreads {
public:
    explicit TEncoderThreads(unsigned count) noexcept;
    ~TEncoderThreads();
    TEncoderThreads(const TEncoderThreads&) = delete;
    TEncoderThreads& operator=(const TEncoderThreads&) = delete;

private:
    unsigned FPrevious;
};

// The count that the next encoder run on this thread starts with (never 0).
unsigned EncoderThreadCount() noexcept;

// Count, value with the plain write (its result ignored).
void WriteRLEPair(TStream& stream, uint8_t count, uint8_t value);
// 00 00 and 00 01 with the exact write (EWriteError when short).
void WriteRLEEndOfLine(TStream& stream);
void WriteRLEEndOfBitmap(TStream& stream);

}  // namespace vdib
