// The conversion run: loads one BMP file, switches it to RLE compression and saves it.
#pragma once

#include <string>

namespace vdib {

// Converts `inputFileName` into an RLE8- or RLE4-compressed BMP file `outputFileName`.
// Every failure leaves as an exception; no output is written for an input that cannot be
// compressed.
void RunConversion(const std::string& inputFileName, const std::string& outputFileName);

}  // namespace vdib
