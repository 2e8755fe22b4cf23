// Colour reduction of whatever picture the BMP reader accepts (file mode), into 8 bits with
// RLE-aware dithering and into 4 bits with full dithering: the result keeps the size, has at
// most 256 or 16 colours and no index past them, and keeps every colour where they fit.
#include "support/Reduction.h"

#include "FuzzSupport.h"

namespace vdib::fuzz {

int FuzzReduction(const uint8_t* data, std::size_t size) {
    if (TooLarge(size)) return 0;
    TInputStream stream(data, size);
    TDIBitmap source;
    try {
        source.LoadStream(stream);
    } catch (const Exception&) {
        return 0;
    }
    // Large pictures add time, not cases.
    if (source.IsBlank() || int64_t{source.Width()} * source.Height() > (1 << 18)) return 0;
    for (const auto& [bits, dither] : {std::pair{8, TDither::RLEAware}, std::pair{4, TDither::Full}}) {
        TDIBitmap target;
        ReduceColours(source, target, TColourReduction{bits, dither});
        bool exact = false;
        const std::string broken = vdib::test::BrokenRules(source, target, bits, exact);
        if (!broken.empty()) std::fprintf(stderr, "%d bits%s\n", bits, broken.c_str());
        FUZZ_CHECK(broken.empty());
    }
    return 0;
}

}  // namespace vdib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    return vdib::fuzz::FuzzReduction(data, size);
}
