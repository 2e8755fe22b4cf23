// The BMP reader over any bytes, as a packed DIB (no file header, as on the clipboard). Either it raises one of the
// library's exceptions or it returns an image whose geometry agrees with its header and whose
// pixel block can be walked end to end.
#include <memory>

#include "FuzzSupport.h"
#include "ReaderCheck.h"

namespace vdib::fuzz {

int FuzzReaderPacked(const uint8_t* data, std::size_t size) {
    if (TooLarge(size)) return 0;
    TInputStream stream(data, size);
    std::unique_ptr<TDIBitmapImage> image;
    try {
        image.reset(TDIBitmapImage::CreateFromStream(stream, false));
    } catch (const Exception&) {
        return 0;
    }
    CheckImage(*image);
    return 0;
}

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzReaderPacked(data, size);
}
