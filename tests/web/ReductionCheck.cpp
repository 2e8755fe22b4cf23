// The rows of tests/data/reduction.tsv in WebAssembly: each reduction's outcome, golden hash
// included, must be the one the table gives, as in the native and Windows builds. Prints each
// difference and a closing count; exit code 1 when any row differs.
//
// Usage: node reduction_check.cjs tests/data/reduction.tsv
#include <fstream>
#include <iostream>
#include <utility>
#include <vector>

#include "support/Reduction.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: reduction_check TABLE\n";
        return 2;
    }
    std::ifstream table(argv[1]);
    int passed = 0, failed = 0;
    bool heading = true;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        for (std::size_t at = 0, tab; at <= line.size(); at = tab + 1) {
            tab = std::min(line.find('\t', at), line.size());
            f.push_back(line.substr(at, tab - at));
        }
        if (std::exchange(heading, false) || f.size() != 5) continue;
        const std::string outcome = vdib::test::ReductionOutcome(f[1], std::stoi(f[2]), vdib::test::DitherOf(f[3]));
        if (outcome == f[4]) {
            ++passed;
        } else {
            ++failed;
            std::cout << f[0] << ": " << outcome << "\n  expected " << f[4] << "\n";
        }
    }
    std::cout << passed << " passed, " << failed << " failed\n";
    return failed == 0 && passed > 0 ? 0 : 1;
}
