#include "Conversion.h"

#include <memory>

#include <VDIBitmap/DIBitmap.h>

namespace vdib {

// The input is closed before the output is created, so the same name may be given twice; the
// output is written only after the load and the switch to compressed have succeeded, and
// SaveFile replaces it only once it is complete.
void RunConversion(const std::string& inputFileName, const std::string& outputFileName) {
    std::unique_ptr<TDIBitmap> bitmap(new TDIBitmap());
    bitmap->LoadFile(inputFileName);
    bitmap->SetCompressed(true);
    bitmap->SaveFile(outputFileName);
}

}  // namespace vdib
