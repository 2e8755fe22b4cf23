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
    static const TModule ProgramModule = {"bmp2rle", nullptr, [] {}};
    // Started in this order, finalised in reverse.
    const TModule modules[] = {SystemModule, ClassesModule, GraphicsModule, VDIBitmapModule, ProgramModule};
    RunProgram(argc, argv, modules, std::size(modules), MainSequence);
}
