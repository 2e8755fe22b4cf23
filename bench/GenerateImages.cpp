// Writes the benchmark pictures as uncompressed bottom-up BMP files into a folder:
//   screen8.bmp  dither8.bmp  dithered8.bmp  noise8.bmp  photo8.bmp  photo4.bmp
// Usage: GenerateImages FOLDER [WIDTH HEIGHT]   (default 8192 x 8192)
// The same arguments always give the same files.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ImageContent.h"

namespace {

using vdib::bench::TContent;

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 2; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

bool WriteBmp(const std::string& path, TContent content, int32_t width, int32_t height) {
    const int32_t bitCount = vdib::bench::BitCountOf(content);
    const std::vector<uint8_t> table = vdib::bench::MakeColorTable(content);
    const std::vector<uint8_t> pixels = vdib::bench::MakePixels(content, width, height);
    const auto offBits = static_cast<uint32_t>(14 + 40 + table.size());

    std::vector<uint8_t> header;
    Put16(header, 0x4D42);
    Put32(header, static_cast<uint32_t>(offBits + pixels.size()));
    Put32(header, 0);
    Put32(header, offBits);
    Put32(header, 40);
    Put32(header, static_cast<uint32_t>(width));
    Put32(header, static_cast<uint32_t>(height));
    Put16(header, 1);
    Put16(header, static_cast<uint32_t>(bitCount));
    Put32(header, 0);  // BI_RGB
    Put32(header, static_cast<uint32_t>(pixels.size()));
    Put32(header, 2835);
    Put32(header, 2835);
    Put32(header, static_cast<uint32_t>(table.size() / 4));
    Put32(header, 0);
    header.insert(header.end(), table.begin(), table.end());

    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(header.data(), 1, header.size(), file) == header.size() &&
                         std::fwrite(pixels.data(), 1, pixels.size(), file) == pixels.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: %s FOLDER [WIDTH HEIGHT]\n", argv[0]);
        return 2;
    }
    const std::string folder = argv[1];
    const int32_t width = argc == 4 ? std::atoi(argv[2]) : 8192;
    const int32_t height = argc == 4 ? std::atoi(argv[3]) : 8192;
    if (width <= 0 || height <= 0 || width > 65536 || height > 65536) {
        std::fprintf(stderr, "width and height must lie in 1..65536\n");
        return 2;
    }
    const struct {
        const char* name;
        TContent content;
    } kinds[] = {{"screen8.bmp", TContent::Screen},
                 {"dither8.bmp", TContent::Dither},
                 {"dithered8.bmp", TContent::DitheredPhoto},
                 {"noise8.bmp", TContent::Noise},
                 {"photo8.bmp", TContent::Photo8},
                 {"photo4.bmp", TContent::Photo4}};
    for (const auto& kind : kinds) {
        const std::string path = folder + "/" + kind.name;
        if (!WriteBmp(path, kind.content, width, height)) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
