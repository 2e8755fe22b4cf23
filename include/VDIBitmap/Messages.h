// The library's message texts, exactly as its exceptions carry them. The Japanese texts are held
// as UTF-8, this platform's code page; the runtime's own texts are in SysUtils.h.
#pragma once

namespace vdib::msg {

// The BMP reader, all EInvalidGraphic.
inline constexpr const char* NotBitmapFile = "Is not Bitmap File.";
inline constexpr const char* InvalidHeaderSize = "Invalid Bitmap Header Size";
inline constexpr const char* InvalidPMBitCount = "Invalid PM BitCount";
inline constexpr const char* InvalidBitCount = "Invalid BitCout";
inline constexpr const char* UnknownFormat = "Unknown Bitmap Format";
// A size that is 0, negative, or too large for the 32-bit fields (also the image store's).
inline constexpr const char* InvalidSize = "Invalid Size";
// The RLE8 and RLE4 decoders.
inline constexpr const char* BadRLEData = "Bad RLE Data";
// The clipboard exchange.
inline constexpr const char* InvalidClipboardFormat = "Invalid Clipboard Format or No Data";
// Compression refused, EInvalidOperation.
inline constexpr const char* CannotCompressBitCount = "4, 8 ビットカラー以外は圧縮できない";
inline constexpr const char* CannotCompressTopDown = "Top-Down DIB は圧縮できない";
// Colour reduction refused: EInvalidOperation for the bit count, EInvalidGraphic for the picture.
inline constexpr const char* ReductionBitCount = "Colours can be reduced to 4 or 8 bits only";
inline constexpr const char* ReductionEmpty = "An empty picture has no colours to reduce";

}  // namespace vdib::msg
