// DecodeRLE8 over any bytes (see FuzzDecoder).
#include "FuzzSupport.h"

namespace vdib::fuzz {

int FuzzDecodeRLE8(const uint8_t* data, std::size_t size) { return FuzzDecoder(data, size, 8, DecodeRLE8); }

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzDecodeRLE8(data, size);
}
