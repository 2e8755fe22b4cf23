// The converter as the web page calls it: the file the worker has read in, the compressed file's
// bytes or the report out, and pictures of both for the page to show.
//
// A file our reader takes and can compress as it is gets the command line's conversion (load,
// switch to RLE, save), to the byte. One it reads but cannot compress (16, 24 or 32 bits, a
// top-down picture), or one the page asks for with another bit count, is reduced to 256 or 16
// colours by the library and then compressed. One it refuses as no BMP it reads (another format,
// a newer header, RLE data it will not decode) may be decoded by the browser instead: the worker
// then hands the module the decoded pixels, which are laid over a background and reduced. A file
// it refuses for any other reason (cut short, out of memory) stays refused. Every refusal leaves the
// report the command line would print, also where the page went on.
//
// The worker script reads the results from a record in the module's memory, every field 4 bytes
// wide, in the order of TConversion.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <emscripten.h>

#include "CommandLine.h"
#include "Pictures.h"
#include "WorkerFile.h"
#include <VDIBitmap/ColourReduction.h>
#include <VDIBitmap/RLE.h>
#include <VDIBitmap/VDIBitmap.h>

namespace vdib {

namespace {

// What became of the file.
enum TRoute : int32_t {
    Refused = 0,    // no output; the report says why
    Converted = 1,  // the command line's output
    Reduced = 2,    // reduced by the library, then compressed
    Undecoded = 3,  // our reader refused it as no BMP it reads; the browser may decode it
};

struct TConversion {
    // The input as read: its header (the height negative for rows stored top first), or the size
    // the browser decoded (bit count and compression 0); all 0 when nothing was read.
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t BitCount = 0;
    int32_t Compression = 0;
    int32_t Route = Refused;
    int32_t ColoursFound = 0;  // distinct colours of the input picture
    int32_t Transparent = 0;   // the browser's picture had pixels that are not opaque
    // The output file, or nothing.
    uint8_t* Output = nullptr;
    int32_t OutputSize = 0;
    // The report (UTF-8, CR LF line ends) of the reader's or the compression's refusal, or of the
    // failure that left no output; empty when there was none.
    const char* Report = nullptr;
    int32_t ReportSize = 0;
    // Filled by vdib_web_draw.
    TDrawing InputPicture;
    TDrawing OutputPicture;
};
static_assert(sizeof(TConversion) == 17 * 4, "the worker script reads 17 fields of 4 bytes");

// What the record points into, freed with it.
struct TConversionRecord {
    TConversion Fields;
    std::unique_ptr<TDIBitmap> Input;    // as read or as decoded
    std::unique_ptr<TDIBitmap> Reduced;  // the picture compressed into the output, when it is not the input
    TMemoryStream Output;
    std::string Report;
    std::vector<uint8_t> InputPixels;
    std::vector<uint8_t> OutputPixels;
};

// The library's modules run for as long as the page lives.
void StartLibrary() {
    static TLibraryScope library;
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

// Keeps the report of the failure being handled; the route is the caller's.
void KeepReport(TConversionRecord& record) {
    record.Report = ReportOf(std::current_exception());
    record.Fields.Report = record.Report.data();
    record.Fields.ReportSize = static_cast<int32_t>(record.Report.size());
}

void KeepOutput(TConversionRecord& record, TRoute route) {
    record.Fields.Route = route;
    record.Fields.Output = static_cast<uint8_t*>(record.Output.BlockAddress());
    record.Fields.OutputSize = record.Output.BlockSize();
}

// The record's input reduced to `bitCount` bits and compressed. A failure replaces the report
// with its own, since it is what stopped the page.
void Reduce(TConversionRecord& record, int32_t bitCount, int32_t dither) {
    try {
        record.Reduced = std::make_unique<TDIBitmap>();
        ReduceColours(*record.Input, *record.Reduced, {bitCount, static_cast<TDither>(dither)});
        record.Reduced->SetCompressed(true);
        record.Output.SetSize(0);
        record.Output.SetStreamPosition(0);
        record.Reduced->SaveStream(record.Output);
        KeepOutput(record, Reduced);
    } catch (...) {
        KeepReport(record);
        record.Fields.Route = Refused;
        record.Reduced.reset();
    }
}

}  // namespace

}  // namespace vdib

extern "C" {

// Reads the worker's file of `size` bytes (see WorkerFile.h) and makes the output: the command
// line's when the file can be compressed as it is and `bitCount` is 0 or its own bit count;
// otherwise the picture reduced to `bitCount` bits (8 for 0) with dithering `dither` (a TDither).
// Never null; vdib_web_fields gives the results, vdib_web_release frees them.
EMSCRIPTEN_KEEPALIVE vdib::TConversionRecord* vdib_web_convert(int32_t size, int32_t bitCount, int32_t dither) {
    using namespace vdib;
    StartLibrary();
    const TEncoderThreads oneThread(1);
    auto record = std::make_unique<TConversionRecord>();
    TConversion& fields = record->Fields;
    try {
        TWorkerFileStream stream(size);
        auto input = std::make_unique<TDIBitmap>();
        input->LoadStream(stream);
        record->Input = std::move(input);
    } catch (const EInvalidGraphic&) {  // no BMP our reader reads: the browser may decode it
        KeepReport(*record);
        fields.Route = Undecoded;
        return record.release();
    } catch (...) {
        KeepReport(*record);
        return record.release();
    }

    TDIBitmap& input = *record->Input;
    // The reader keeps RLE input decoded, with the wish to write it compressed again.
    const BITMAPINFOHEADER& info = input.ImageRef().Info();
    fields.Width = info.biWidth;
    fields.Height = info.biHeight;
    fields.BitCount = info.biBitCount;
    fields.Compression = !input.Compressed() ? static_cast<int32_t>(info.biCompression)
                         : info.biBitCount == 8 ? static_cast<int32_t>(BI_RLE8)
                                                : static_cast<int32_t>(BI_RLE4);

    if (bitCount == 0 || bitCount == info.biBitCount) {
        try {
            input.SetCompressed(true);
            input.SaveStream(record->Output);
            KeepOutput(*record, Converted);
        } catch (const EInvalidOperation&) {
            KeepReport(*record);  // and reduce it
        } catch (...) {
            KeepReport(*record);
            return record.release();
        }
        if (fields.Route == Converted) {
            fields.ColoursFound = CountEncodedColours(input.ImageRef(), fields.Output, record->Output.BlockSize());
            return record.release();
        }
    }
    fields.ColoursFound = CountColours(input.ImageRef());
    Reduce(*record, bitCount == 0 ? 8 : bitCount, dither);
    return record.release();
}

// For a file the reader refused as undecoded: a blank top-down picture of `width` × `height`
// pixels, 4 bytes each, for the worker to fill with the browser's RGBA pixels, rows from the top.
// Returns its first byte, or null (the report then says why, and the route is Refused).
EMSCRIPTEN_KEEPALIVE uint8_t* vdib_web_decoded_picture(vdib::TConversionRecord* record, int32_t width, int32_t height) {
    using namespace vdib;
    try {
        const TDIBFormat format{32, 0x00FF0000, 0x0000FF00, 0x000000FF, true, false};
        std::unique_ptr<TDIBitmapImage> image(TDIBitmapImage::CreateBlank(format, width, height));
        uint8_t* bits = image->Bits;
        record->Input = std::make_unique<TDIBitmap>();
        record->Input->ReplaceImage(std::move(image));
        record->Fields.Width = width;
        record->Fields.Height = height;
        return bits;
    } catch (...) {
        KeepReport(*record);
        record->Fields.Route = Refused;
        return nullptr;
    }
}

// Lays the filled picture over `background` (0xRRGGBB), counts its colours and reduces it as
// vdib_web_convert does.
EMSCRIPTEN_KEEPALIVE void vdib_web_reduce_decoded(vdib::TConversionRecord* record, uint32_t background,
                                                  int32_t bitCount, int32_t dither) {
    using namespace vdib;
    const TDIBitmapImage& image = record->Input->ImageRef();
    const auto pixels = static_cast<std::size_t>(image.Width) * static_cast<std::size_t>(image.Height);
    record->Fields.Transparent = CompositeOver(image.Bits, pixels, background);
    record->Fields.ColoursFound = CountColours(image);
    Reduce(*record, bitCount == 0 ? 8 : bitCount, dither);
}

// Makes the module's memory hold `bytes` more than it uses now, and has the system give it every
// page of them, so that the conversion that follows writes into memory that is ready. Called
// while the browser reads the file.
EMSCRIPTEN_KEEPALIVE void vdib_web_prepare(int32_t bytes) {
    constexpr std::size_t Page = 4096;
    auto* block = static_cast<volatile uint8_t*>(std::malloc(static_cast<std::size_t>(bytes)));
    if (block == nullptr) return;
    for (std::size_t at = 0; at < static_cast<std::size_t>(bytes); at += Page) block[at] = 0;
    std::free(const_cast<uint8_t*>(block));
}

EMSCRIPTEN_KEEPALIVE vdib::TConversion* vdib_web_fields(vdib::TConversionRecord* record) { return &record->Fields; }

// Draws the input and the output's picture, each fitted into `limit` pixels, and lets go of both.
// The output's picture is the one compressed into it: the input itself for a conversion, which
// is drawn once for both. A picture that cannot be drawn is left out (null pixels).
EMSCRIPTEN_KEEPALIVE void vdib_web_draw(vdib::TConversionRecord* record, int32_t limit) {
    using namespace vdib;
    TConversion& fields = record->Fields;
    try {
        if (record->Input) Draw(*record->Input, limit, fields.InputPicture, record->InputPixels);
        if (record->Reduced) Draw(*record->Reduced, limit, fields.OutputPicture, record->OutputPixels);
        else if (fields.Route == Converted) fields.OutputPicture = fields.InputPicture;
    } catch (...) {
    }
    record->Input.reset();
    record->Reduced.reset();
}

EMSCRIPTEN_KEEPALIVE void vdib_web_release(vdib::TConversionRecord* record) { delete record; }

// The name the command line gives the output of `input` when none is given: the extension (from
// the last '.' after the last '/', '\' or ':') replaced by "_rle.bmp". Valid until the next call.
EMSCRIPTEN_KEEPALIVE const char* vdib_web_output_name(const char* input) {
    static std::string name;
    name = vdib::ReplaceExtension(input, "", vdib::NextSingleByte) + "_rle.bmp";
    return name.c_str();
}

}  // extern "C"
