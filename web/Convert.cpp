// The converter as the web page calls it: bytes of a BMP file in, the compressed file's bytes or
// the converter's report out, and pictures of both files for the page to show. The conversion is
// the command line's (load, switch to RLE, save); only the streams are in memory.
//
// The worker script reads the results from a record in the module's memory, every field 4 bytes
// wide, in the order of TConversion.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <emscripten.h>

#include "CommandLine.h"
#include <VDIBitmap/DeviceContext.h>
#include <VDIBitmap/RLE.h>
#include <VDIBitmap/VDIBitmap.h>

namespace vdib {

namespace {

// The file's bytes, positioned as the command line's file stream positions the file: a seek to
// before the start (a bfOffBits that wraps below 0) fails and leaves the position where it was,
// where the memory stream's own seek would go there. Positions stay within 32 bits.
class TFileBytesStream : public TMemoryScanStream {
public:
    using TMemoryScanStream::TMemoryScanStream;

    int32_t Seek(int32_t offset, uint16_t origin) override {
        if (origin > soEnd) return -1;
        const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : FSize;
        const int64_t target = base + offset;
        if (target < 0 || target > INT32_MAX) return -1;
        FPosition = static_cast<int32_t>(target);
        return FPosition;
    }
};

struct TPicture {
    uint8_t* Pixels = nullptr;  // RGBA, 4 bytes a pixel, rows from the top; null without a picture
    int32_t Width = 0;
    int32_t Height = 0;
};

struct TConversion {
    // The input's header as read (the height negative for rows stored top first); all 0 when the
    // reader refused it.
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t BitCount = 0;
    int32_t Compression = 0;
    // The output file, or the report (UTF-8, CR LF line ends) when there is none.
    uint8_t* Output = nullptr;
    int32_t OutputSize = 0;
    const char* Report = nullptr;
    int32_t ReportSize = 0;
    // Filled by vdib_web_draw.
    TPicture InputPicture;
    TPicture OutputPicture;
};
static_assert(sizeof(TConversion) == 14 * 4, "the worker script reads 14 fields of 4 bytes");

// What the record points into, freed with it.
struct TConversionRecord {
    TConversion Fields;
    std::unique_ptr<TDIBitmap> Picture;  // as read; its pixels are the output's too
    TMemoryStream Output;
    std::string Report;
    std::vector<uint8_t> InputPixels;
    std::vector<uint8_t> OutputPixels;
};

// The library's modules run for as long as the page lives; the encoders stay on the one thread.
void StartLibrary() {
    static TLibraryScope library;
    SetEncoderThreadCount(1);
}

// The picture scaled to fit `limit` pixels on its longer side (never enlarged), drawn on a white
// surface by the library's own drawing.
void Draw(TDIBitmap& bitmap, int32_t limit, TPicture& picture, std::vector<uint8_t>& pixels) {
    const int32_t width = bitmap.Width(), height = bitmap.Height();
    if (width <= 0 || height <= 0) return;
    const double scale = std::min(1.0, static_cast<double>(limit) / std::max(width, height));
    const auto drawnWidth = std::max<int32_t>(1, static_cast<int32_t>(width * scale + 0.5));
    const auto drawnHeight = std::max<int32_t>(1, static_cast<int32_t>(height * scale + 0.5));
    TSurfaceCanvas canvas(drawnWidth, drawnHeight);
    bitmap.PaintOn(canvas, {0, 0, drawnWidth, drawnHeight});
    const std::uint32_t* bits = SurfaceBits(canvas.DeviceContext());
    if (bits == nullptr) return;
    const std::size_t count = static_cast<std::size_t>(drawnWidth) * static_cast<std::size_t>(drawnHeight);
    pixels.resize(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
        pixels[4 * i] = static_cast<uint8_t>(bits[i] >> 16);
        pixels[4 * i + 1] = static_cast<uint8_t>(bits[i] >> 8);
        pixels[4 * i + 2] = static_cast<uint8_t>(bits[i]);
        pixels[4 * i + 3] = 255;
    }
    picture = {pixels.data(), drawnWidth, drawnHeight};
}

// The report of a failure, as the command line's process frame would print it.
std::string ReportOf(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& e) {
        return ExceptionReport(e);
    } catch (const std::bad_alloc&) {
        return ExceptionReport(EOutOfMemory(msg::OutOfMemory));
    } catch (const std::exception& e) {
        return ExceptionReport(Exception(e.what()));
    } catch (...) {
        return ExceptionReport(EExternalException(msg::ExternalException));
    }
}

}  // namespace

}  // namespace vdib

extern "C" {

// Converts the BMP file of `size` bytes at `input` (the caller's; not kept), as the command line
// does. Never null; vdib_web_fields gives the results, vdib_web_release frees them.
EMSCRIPTEN_KEEPALIVE vdib::TConversionRecord* vdib_web_convert(const uint8_t* input, int32_t size) {
    using namespace vdib;
    StartLibrary();
    auto record = std::make_unique<TConversionRecord>();
    TConversion& fields = record->Fields;
    try {
        TFileBytesStream stream(const_cast<uint8_t*>(input), size);
        record->Picture = std::make_unique<TDIBitmap>();
        TDIBitmap& picture = *record->Picture;
        picture.LoadStream(stream);
        // The reader keeps RLE input decoded, with the wish to write it compressed again.
        const BITMAPINFOHEADER& info = picture.ImageRef().Info();
        fields.Width = info.biWidth;
        fields.Height = info.biHeight;
        fields.BitCount = info.biBitCount;
        fields.Compression = !picture.Compressed() ? static_cast<int32_t>(info.biCompression)
                             : info.biBitCount == 8 ? static_cast<int32_t>(BI_RLE8)
                                                    : static_cast<int32_t>(BI_RLE4);

        picture.SetCompressed(true);
        picture.SaveStream(record->Output);
        fields.Output = static_cast<uint8_t*>(record->Output.BlockAddress());
        fields.OutputSize = record->Output.BlockSize();
    } catch (...) {
        record->Report = ReportOf(std::current_exception());
        fields.Report = record->Report.data();
        fields.ReportSize = static_cast<int32_t>(record->Report.size());
    }
    return record.release();
}

EMSCRIPTEN_KEEPALIVE vdib::TConversion* vdib_web_fields(vdib::TConversionRecord* record) { return &record->Fields; }

// Draws the input, and the output as read back from its bytes, each fitted into `limit` pixels.
// A picture that cannot be drawn is left out (null pixels).
EMSCRIPTEN_KEEPALIVE void vdib_web_draw(vdib::TConversionRecord* record, int32_t limit) {
    using namespace vdib;
    TConversion& fields = record->Fields;
    try {
        if (record->Picture) Draw(*record->Picture, limit, fields.InputPicture, record->InputPixels);
        if (fields.Output != nullptr) {
            TMemoryScanStream stream(fields.Output, fields.OutputSize);
            TDIBitmap output;
            output.LoadStream(stream);
            Draw(output, limit, fields.OutputPicture, record->OutputPixels);
        }
    } catch (...) {
    }
}

EMSCRIPTEN_KEEPALIVE void vdib_web_release(vdib::TConversionRecord* record) { delete record; }

// The name the command line gives the output of `input` when none is given: the extension (from
// the last '.' after the last '\' or ':') replaced by "_rle.bmp". Valid until the next call.
EMSCRIPTEN_KEEPALIVE const char* vdib_web_output_name(const char* input) {
    static std::string name;
    name = vdib::ReplaceExtension(input, "", vdib::NextSingleByte) + "_rle.bmp";
    return name.c_str();
}

}  // extern "C"
