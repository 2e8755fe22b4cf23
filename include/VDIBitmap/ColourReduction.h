// Colour reduction: any picture the library holds, made into an 8-bit (at most 256 colours) or
// 4-bit (at most 16 colours) picture that RLE8 or RLE4 can compress.
#pragma once

#include <VDIBitmap/DIBitmap.h>

namespace vdib {

// How error diffusion is used where the palette cannot hold every colour.
enum class TDither {
    None,      // every pixel takes its nearest palette colour
    RLEAware,  // diffused where it buys visible quality; flat and smooth areas stay free of noise,
               // so that the compressed file stays small
    Full,      // diffused over the whole picture
};

struct TColourReduction {
    int BitCount = 8;  // 8 or 4
    TDither Dither = TDither::RLEAware;
};

// Makes `target` a bottom-up, uncompressed picture of the source's size with `how.BitCount` bits
// and a colour table of at most 256 (8 bits) or 16 (4 bits) entries, ready for SetCompressed(true).
// A source with no more distinct colours than that is reduced without loss: every pixel keeps its
// exact colour, the table holds those colours in ascending order (0xRRGGBB), and `how.Dither`
// plays no part. Otherwise the palette is made from the picture's own colours (Wu's
// variance-minimising cuts refined by k-means, under a distance that weighs green most) and each
// pixel takes its exactly nearest entry, the error diffused as `how.Dither` says.
//
// The source may be of any layout the library reads (1 to 32 bits, bit fields, top-down, loaded
// from RLE data) and is not changed; its colours are those the library draws (a bit-field
// channel scaled to 0..255 and rounded; a palette index past the table black). The result keeps
// its resolution fields. The bytes of the result depend on the source and `how` alone: integer
// arithmetic throughout, the same on every platform, build and thread count. The work goes row
// by row: besides the source and the result it takes a few rows' worth and at most about 10 MiB.
//
// EInvalidOperation for a bit count other than 4 and 8 (checked first), EInvalidGraphic for an
// empty source; in both cases, and on any other failure, `target` stays as it was and is not
// notified. On success `target` is notified once. `source` and `target` may be the same graphic.
void ReduceColours(const TDIBitmap& source, TDIBitmap& target, const TColourReduction& how);

}  // namespace vdib
