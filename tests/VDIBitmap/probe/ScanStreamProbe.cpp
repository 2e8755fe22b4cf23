// A program on the process frame that writes through a fixed-block stream over a 10-byte block
// holding A0..A9, one way for each mode (argument 1), each ending past the block. A module's
// finalisation prints the block, so the tests see both that finalisations run and what reached
// the block; a destructor that prints shows whether the interrupted operation was cleaned up.
#include <iterator>
#include <string>

#include "MemoryScanStream.h"
#include "System.h"

using namespace vdib;

namespace {

std::string Mode;
uint8_t Block[10] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};
const uint8_t Data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

void ShowBlock() {
    std::string text = "block";
    for (const uint8_t b : Block) text += Format(" %02X", b);
    WriteLine(text);
}

struct TCleanup {
    ~TCleanup() { WriteLine("cleanup"); }
};

void MainSequence() {
    TCleanup cleanup;
    TMemoryScanStream stream(Block, sizeof Block);
    if (Mode == "full") {
        const int32_t written = stream.Write(Data, 10);
        WriteLine(Format("wrote %d, at %d", written, static_cast<int>(stream.StreamPosition())));
        stream.Write(Data, 1);
    } else if (Mode == "straddle") {
        stream.Seek(8, soBeginning);
        stream.Write(Data, 4);
    } else if (Mode == "beyond") {
        stream.Seek(12, soBeginning);
        stream.Write(Data, 0);
    } else if (Mode == "before") {
        stream.Seek(-1, soBeginning);
        stream.Write(Data, 1);
    }
    WriteLine("returned");
}

}  // namespace

int main(int argc, char** argv) {
    Mode = argc > 1 ? argv[1] : "";
    const TModule modules[] = {SystemModule, {"Block", nullptr, ShowBlock}};
    RunProgram(argc, argv, modules, std::size(modules), MainSequence);
}
