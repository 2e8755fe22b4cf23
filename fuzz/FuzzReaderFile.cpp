// The BMP reader over any bytes, as a whole file (file mode).
#include "ReaderCheck.h"

namespace vdib::fuzz {

int FuzzReaderFile(const uint8_t* data, std::size_t size) { return FuzzReader(data, size, true); }

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzReaderFile(data, size);
}
