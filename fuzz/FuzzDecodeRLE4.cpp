// DecodeRLE4 over any bytes (see FuzzDecoder).
#include "FuzzSupport.h"

namespace vdib::fuzz {

int FuzzDecodeRLE4(const uint8_t* data, std::size_t size) { return FuzzDecoder(data, size, 4, DecodeRLE4); }

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzDecodeRLE4(data, size);
}
