// A program on the process frame that writes `count` bytes (argument 2) at `position` (argument
// 1) through a fixed-block stream over a 10-byte block holding A0..A9. A module's finalisation
// prints the block, so the tests see that finalisations run and what reached the block; a
// destructor that prints shows whether the interrupted operation was cleaned up.
#include <cstdlib>
#include <iterator>
#include <string>

#include <VDIBitmap/MemoryScanStream.h>
#include <VDIBitmap/System.h>

using namespace vdib;

namespace {

int Position = 0, Count = 0;
uint8_t Block[10] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};

struct TCleanup {
    ~TCleanup() { WriteLine("cleanup"); }
};

void MainSequence() {
    const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    TCleanup cleanup;
    TMemoryScanStream stream(Block, sizeof Block);
    stream.Seek(Position, soBeginning);
    const int32_t written = stream.Write(data, Count);
    WriteLine(Format("wrote %d, at %d", written, static_cast<int>(stream.StreamPosition())));
}

void ShowBlock() {
    std::string text = "block";
    for (const uint8_t b : Block) text += Format(" %02X", b);
    WriteLine(text);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) Position = std::atoi(argv[1]), Count = std::atoi(argv[2]);
    const TModule modules[] = {SystemModule, {"Block", nullptr, ShowBlock}};
    RunProgram(argc, argv, modules, std::size(modules), MainSequence);
}
