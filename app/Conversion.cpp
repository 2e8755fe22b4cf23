#include "Conversion.h"

#include "SysUtils.h"

namespace vdib {

// Stands in until the image library can load and compress pictures.
void RunConversion(const std::string& inputFileName, const std::string& outputFileName) {
    Raise<EInvalidOperation>(Format("conversion of %s to %s is not available yet", inputFileName.c_str(),
                                    outputFileName.c_str()));
}

}  // namespace vdib
