// Throughput of the RLE8 and RLE4 encoders (on one thread, and on every processor the process may
// use: "Encode/...threads:0") and decoders over memory streams, in bytes of uncompressed pixel
// block per second. Each kind of content is made once per process
// (2048 x 2048 pixels); the streams are sized by a first pass, so the timed passes measure the
// codec, not the allocator.
#include <benchmark/benchmark.h>

#include <map>
#include <utility>
#include <vector>

#include <VDIBitmap/DIBImage.h>
#include "ImageContent.h"
#include <VDIBitmap/RLE.h>

namespace {

using vdib::bench::TContent;

constexpr int32_t Side = 2048;

// An 8-bit picture reduced to its low nibbles, packed two to a byte: the same layout of flat
// and busy areas for the 4-bit codec.
std::vector<uint8_t> PackNibbles(const std::vector<uint8_t>& pixels8) {
    const int64_t rowBytes8 = vdib::bench::RowBytesOf(Side, 8);
    const int64_t rowBytes4 = vdib::bench::RowBytesOf(Side, 4);
    std::vector<uint8_t> packed(static_cast<size_t>(rowBytes4 * Side), 0);
    for (int64_t y = 0; y < Side; ++y) {
        for (int64_t x = 0; x < Side; x += 2) {
            const uint8_t* p = &pixels8[static_cast<size_t>(y * rowBytes8 + x)];
            packed[static_cast<size_t>(y * rowBytes4 + x / 2)] = static_cast<uint8_t>((p[0] & 15) << 4 | (p[1] & 15));
        }
    }
    return packed;
}

struct TPicture {
    int32_t BitCount;
    std::vector<uint8_t> Pixels;
    vdib::BITMAPINFOHEADER Header{};
};

const TPicture& Picture(TContent content, int32_t bitCount) {
    static std::map<std::pair<TContent, int32_t>, TPicture> made;
    auto [it, inserted] = made.try_emplace({content, bitCount});
    TPicture& picture = it->second;
    if (inserted) {
        picture.BitCount = bitCount;
        picture.Pixels = vdib::bench::MakePixels(content, Side, Side);
        if (bitCount == 4 && vdib::bench::BitCountOf(content) == 8) picture.Pixels = PackNibbles(picture.Pixels);
        picture.Header.biSize = 40;
        picture.Header.biWidth = Side;
        picture.Header.biHeight = Side;
        picture.Header.biPlanes = 1;
        picture.Header.biBitCount = static_cast<uint16_t>(bitCount);
    }
    return picture;
}

void Encode(const TPicture& picture, vdib::TStream& stream) {
    stream.Seek(0, vdib::soBeginning);
    if (picture.BitCount == 8) {
        vdib::EncodeRLE8(stream, picture.Pixels.data(), picture.Header);
    } else {
        vdib::EncodeRLE4(stream, picture.Pixels.data(), picture.Header);
    }
}

void Decode(const TPicture& picture, vdib::TStream& stream, uint8_t* bits) {
    stream.Seek(0, vdib::soBeginning);
    if (picture.BitCount == 8) {
        vdib::DecodeRLE8(bits, stream, picture.Header);
    } else {
        vdib::DecodeRLE4(bits, stream, picture.Header);
    }
}

// state.range(0): the encoder's thread count (0: every processor).
void BM_Encode(benchmark::State& state, TContent content, int32_t bitCount) {
    const TPicture& picture = Picture(content, bitCount);
    vdib::SetEncoderThreadCount(static_cast<int32_t>(state.range(0)));
    vdib::TMemoryStream stream;
    Encode(picture, stream);
    for (auto _ : state) {
        Encode(picture, stream);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(picture.Pixels.size()));
    state.counters["ratio"] = static_cast<double>(stream.BlockSize()) / static_cast<double>(picture.Pixels.size());
    vdib::SetEncoderThreadCount(0);
}

void BM_Decode(benchmark::State& state, TContent content, int32_t bitCount) {
    const TPicture& picture = Picture(content, bitCount);
    vdib::TMemoryStream stream;
    Encode(picture, stream);
    std::vector<uint8_t> bits(picture.Pixels.size(), 0);
    for (auto _ : state) {
        Decode(picture, stream, bits.data());
        benchmark::DoNotOptimize(bits.data());
        benchmark::ClobberMemory();
    }
    if (bits != picture.Pixels) state.SkipWithError("decoded pixels differ from the picture");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(picture.Pixels.size()));
}

#define VDIB_CODEC_BENCHMARK(Codec, Kind, Bits)                                                               \
    BENCHMARK_CAPTURE(BM_Encode, Codec##_##Kind, TContent::Kind, Bits)->ArgName("threads")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_Decode, Codec##_##Kind, TContent::Kind, Bits)->Unit(benchmark::kMillisecond);
#define VDIB_CODEC_BENCHMARKS(Kind) VDIB_CODEC_BENCHMARK(RLE8, Kind, 8) VDIB_CODEC_BENCHMARK(RLE4, Kind, 4)

VDIB_CODEC_BENCHMARKS(Screen)
VDIB_CODEC_BENCHMARKS(Dither)
VDIB_CODEC_BENCHMARKS(DitheredPhoto)
VDIB_CODEC_BENCHMARKS(Noise)
VDIB_CODEC_BENCHMARK(RLE8, Photo8, 8)
VDIB_CODEC_BENCHMARK(RLE4, Photo4, 4)

}  // namespace

BENCHMARK_MAIN();
