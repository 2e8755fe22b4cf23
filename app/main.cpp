// bmp2rle: converts a BMP file into an RLE-compressed BMP file.
//
//   bmp2rle input.bmp [output.bmp]
//
// Without an output name the output goes beside the input, named like it with its extension
// replaced by "_rle.bmp". Every failure reaches the top level as an exception: it is reported
// on standard output and the program exits with code 1.
#include <iterator>

#include "CommandLine.h"
#include "Conversion.h"
#include <VDIBitmap/DIBitmap.h>
#include <VDIBitmap/Graphics.h>
#include <VDIBitmap/Streams.h>
#include <VDIBitmap/System.h>

namespace vdib {

std::string InputFileName;
std::string OutputFileName;

namespace {

constexpr const char* UsageLine = "Please, give a bitmap file name.";

void MainSequence() {
    InputFileName = GetCommandArgument(1);
    if (InputFileName.empty()) {
        WriteLine(UsageLine);
        IOCheck();
        return;
    }
    OutputFileName = GetCommandArgument(2);
    if (OutputFileName.empty()) OutputFileName = ReplaceExtension(InputFileName, "") + "_rle.bmp";
    RunConversion(InputFileName, OutputFileName);
}

}  // namespace

}  // namespace vdib

int main(int argc, char** argv) {
    using namespace vdib;
    // The library's modules, then the program's own; started in this order, finalised in reverse.
    TModule modules[std::size(LibraryModules) + 1];
    for (std::size_t i = 0; i < std::size(LibraryModules); ++i) modules[i] = *LibraryModules[i];
    modules[std::size(LibraryModules)] = {"bmp2rle", nullptr, [] {}};
    RunProgram(argc, argv, modules, std::size(modules), MainSequence);
}
