// The BMP reader over any bytes, as a packed DIB (no file header, as on the clipboard).
#include "ReaderCheck.h"

namespace vdib::fuzz {

int FuzzReaderPacked(const uint8_t* data, std::size_t size) { return FuzzReader(data, size, false); }

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzReaderPacked(data, size);
}
