// Colour reduction of a BMP file, timed: reads the picture, reduces it with the library's
// ReduceColours as many times as asked, writes the reduced picture (uncompressed, or RLE with
// "rle") and prints the fastest reduction's time in seconds, then the processor time of that run
// (which other processes on a busy machine inflate less). The times cover the reduction alone,
// not the file's reading or writing. bench/reduction runs it on photos.
//
// Usage: ReduceImage INPUT OUTPUT BITS(4|8) DITHER(none|rle|full) [RUNS] [rle]
#include <VDIBitmap/ColourReduction.h>
#include <VDIBitmap/VDIBitmap.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: %s INPUT OUTPUT BITS(4|8) DITHER(none|rle|full) [RUNS] [rle]\n", argv[0]);
        return 2;
    }
    try {
        const vdib::TLibraryScope library;
        vdib::TDIBitmap picture, reduced;
        picture.LoadFile(argv[1]);
        vdib::TColourReduction how;
        how.BitCount = std::atoi(argv[3]);
        const std::string dither = argv[4];
        how.Dither = dither == "none" ? vdib::TDither::None : dither == "full" ? vdib::TDither::Full : vdib::TDither::RLEAware;
        const int runs = argc > 5 ? std::max(1, std::atoi(argv[5])) : 1;
        double best = 1e30, bestProcessor = 0;
        for (int run = 0; run < runs; ++run) {
            const auto start = std::chrono::steady_clock::now();
            const std::clock_t processor = std::clock();
            vdib::ReduceColours(picture, reduced, how);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (took.count() < best) best = took.count(), bestProcessor = double(std::clock() - processor) / CLOCKS_PER_SEC;
        }
        if (argc > 6 && std::strcmp(argv[6], "rle") == 0) reduced.SetCompressed(true);
        reduced.SaveFile(argv[2]);
        std::printf("%.4f %.4f\n", best, bestProcessor);
        return 0;
    } catch (const vdib::Exception& e) {
        std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.Message().c_str());
        return 1;
    }
}
