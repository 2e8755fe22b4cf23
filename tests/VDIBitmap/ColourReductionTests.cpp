// Colour reduction: every row of tests/data/reduction.tsv, the same table that the WebAssembly
// build checks (tests/web/ReductionCheck.cpp), so the golden hashes hold on every platform.
#include "support/Files.h"
#include "support/Reduction.h"

namespace vdib::test {
namespace {

TEST(ColourReduction, EachRowOfTheTable) {
    for (const auto& row : ReadTable("reduction.tsv", 5))  // case, picture, bits, dither, outcome
        EXPECT_EQ(ReductionOutcome(row[1], std::stoi(row[2]), DitherOf(row[3])), row[4]) << row[0] << ": " << row[1];
}

}  // namespace
}  // namespace vdib::test
