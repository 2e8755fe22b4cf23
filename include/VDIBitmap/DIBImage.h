// The shared image record: header and colour table in the platform's DIB layout, pixel format,
// geometry and pixel block.
#pragma once

#include <cstddef>
#include <cstdint>

#include <VDIBitmap/DIBGeometry.h>
#include <VDIBitmap/Graphics.h>
#include <VDIBitmap/Platform.h>
#include <VDIBitmap/Streams.h>

namespace vdib {

// The pixel format, copied whole.
struct TDIBFormat {
    int32_t BitCount = 0;     // 1, 4, 8, 24, or 16 / 32 with masks
    uint32_t RedMask = 0;
    uint32_t GreenMask = 0;
    uint32_t BlueMask = 0;
    bool TopDown = false;     // the first stored row is the top row of the picture
    bool Compressed = false;  // written with RLE pixel data
};

// RLE pixel data holds 8- or 4-bit rows, bottom row first. EInvalidOperation for another format:
// "4, 8 ビットカラー以外は圧縮できない" for a bit count other than 4 and 8 (tested first), "Top-Down
// DIB は圧縮できない" for a top-down picture.
void CheckCompressible(const TDIBFormat& format);

// The pixel block of `width` pixels by |height| rows at `bitCount` bits per pixel, as
// DIBGeometry works it out: rows of ((bitCount * width + 31) div 32) * 4 bytes. EInvalidGraphic
// "Invalid Size" for a negative bit count or width, and for a row or a block whose size does not
// fit the 32-bit fields that describe it.
TDIBGeometry CheckedGeometry(int32_t bitCount, int32_t width, int32_t height);

class TDIBitmapImage : public TSharedImage {
public:
    using TColorTable = RGBQUAD[256];

    // The header and the colour table are one BITMAPINFO block (InfoBlock): the header directly
    // followed by the colours, or by the three masks of a bit-field image in entries 0-2, as the
    // platform's drawing call and a BMP file lay them out.
    BITMAPINFOHEADER& Info() noexcept { return FInfoBlock.bmiHeader; }
    const BITMAPINFOHEADER& Info() const noexcept { return FInfoBlock.bmiHeader; }
    TColorTable& ColorTable() noexcept { return FInfoBlock.bmiColors; }
    const TColorTable& ColorTable() const noexcept { return FInfoBlock.bmiColors; }
    const BITMAPINFO* InfoBlock() const noexcept { return &FInfoBlock; }

    TDIBFormat Format{};
    int32_t Width = 0;
    int32_t Height = 0;           // always the absolute value
    HPALETTE PaletteHandle = 0;   // owned
    HANDLE MappingHandle = 0;     // owned
    uint8_t* Bits = nullptr;      // owned view of the mapping; null when there is no pixel block
    int32_t RowBytes = 0;
    uint8_t* FirstRow = nullptr;  // bottom row of the picture (null without pixel block)
    int32_t RowStep = 0;          // from one picture row to the one above

    // A blank image with a zero-filled pixel block (none when empty), no colours; masks in
    // ColorTable[0..2] for 16 and 32 bits. Reference count 0.
    // EInvalidGraphic "Invalid Size" for a negative width or height or a size that does not fit
    // 32-bit arithmetic; EOutOfMemory "Out of memory" when the block cannot be mapped.
    static TDIBitmapImage* CreateBlank(const TDIBFormat& format, int32_t width, int32_t height);
    // Reads a BMP file (withFileHeader) or a packed DIB from the stream's position.
    static TDIBitmapImage* CreateFromStream(TStream& stream, bool withFileHeader);

    ~TDIBitmapImage() override;

    // Maps a zero-filled block of Info().biSizeImage bytes into Bits. `fillBytes` is how many
    // bytes of data are about to fill it (0: none); when they could plausibly fill all of it, the
    // block is asked for in huge pages, which are cheaper to fill but cost 2 MiB each wherever
    // they are touched.
    void AllocateBits(uint64_t fillBytes = 0);
    // Reads the next Info().biSizeImage bytes of the stream into a block of AllocateBits.
    // EReadError when the stream ends first; a stream with positions that holds too few bytes
    // raises it before the block is made, and is left at its end as the read would leave it.
    void ReadBits(TStream& stream);
    // FirstRow and RowStep from Bits, RowBytes and the orientation.
    void SetupRows();
    // Lays the source over this image at the bottom-left corner and copies the overlap: the
    // smaller row size of the two in bytes (row padding included), of the smaller height.
    void CopyRowsFrom(const TDIBitmapImage& source);
    // Sets to 0 the bits of each row past the first `pictureBits` (the row padding among them).
    void ClearRowsPast(int64_t pictureBits);
    bool IsEmpty() const noexcept { return Width == 0 || Height == 0; }
    // The logical palette made from the colour table (once), 0 without colours.
    HPALETTE GetPaletteHandle();
    // Takes up to 256 entries of the palette as colour table and owns the palette; 0 clears
    // the colour count.
    void SetPaletteHandle(HPALETTE palette);
    // Writes a BMP file (withFileHeader) or a packed DIB; RLE pixel data when Compressed. A
    // stream that cannot seek gets the same bytes in order. Ends with stream.Flush(), so a
    // stream that cannot store the bytes raises EWriteError here.
    void WriteToStream(TStream& stream, bool withFileHeader) const;
    // The same with RLE pixel data or plain pixels as `compressed` says, whatever the flag. RLE
    // pixel data for a format that has none is refused as CheckCompressible says, before
    // anything is written.
    void WriteToStream(TStream& stream, bool withFileHeader, bool compressed) const;
    // Bytes of the header block that WriteToStream writes: the header, then the colour table
    // (a full one for 1, 4 or 8 bits without colours) or the masks and colours.
    uint32_t HeaderBlockLength() const noexcept;

    // Start of stored row `row` (0 = first row of the block); only for rows inside the block.
    uint8_t* StoredRow(int32_t row) const noexcept {
        return Bits + static_cast<std::size_t>(row) * static_cast<std::size_t>(RowBytes);
    }
    // Start of picture row `row` counted from the bottom; only for rows inside the block.
    uint8_t* PictureRow(int32_t row) const noexcept {
        return StoredRow(Format.TopDown ? Height - 1 - row : row);
    }

    uint32_t ColorCount() const noexcept { return Info().biClrUsed; }
    // Where the colours start in ColorTable: after the three masks of a bit-field image, as in
    // the BITMAPINFO layout, so that giving such an image a palette keeps its masks.
    uint32_t FirstColorEntry() const noexcept { return Info().biCompression == BI_BITFIELDS ? 3 : 0; }

protected:
    TDIBitmapImage() = default;
    void ReleaseHandles() override {}

private:
    BITMAPINFO FInfoBlock{};
};

}  // namespace vdib
