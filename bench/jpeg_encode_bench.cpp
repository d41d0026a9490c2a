// The encoder's hot primitives per processor build: forward DCT with quantisation and Huffman
// coding per block, down-sampling per row, colour conversion per frame.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "annex_k_tables.h"
#include "bench_support.h"
#include "primitives/jpeg/down_sampling.h"
#include "primitives/jpeg/forward_colour.h"
#include "primitives/jpeg/forward_dct.h"
#include "primitives/jpeg/forward_quant_table.h"
#include "primitives/jpeg/huffman_encode.h"

namespace {

using namespace kvz::prim;

// The luminance table of T.81 Annex K (zigzag order) at quality 95, as the capture pin encodes.
std::vector<uint16_t> Q95Reciprocals() {
  uint8_t raw[64] = {16, 11, 12, 14, 12, 10, 16, 14, 13, 14, 18, 17, 16, 19, 24, 40,
                     26, 24, 22, 22, 24, 49, 35, 37, 29, 40, 58, 51, 61, 60, 57, 51,
                     56, 55, 64, 72, 92, 78, 64, 68, 87, 69, 55, 56, 80, 109, 81, 87,
                     95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
  std::vector<uint16_t> t(64);
  generic::ScaleQuantTable(raw, 95);
  generic::InitForwardQuantTable(raw, t.data());
  return t;
}

// A camera-like picture: smooth gradients with some texture and noise.
std::vector<uint8_t> Picture(int w, int h) {
  std::mt19937 rng(1);
  std::vector<uint8_t> p(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      int v = 128 + (x * 97 / w) - (y * 61 / h) + static_cast<int>(20 * ((x / 7 + y / 5) % 3)) +
              static_cast<int>(rng() % 9) - 4;
      p[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  return p;
}

template <typename Fdct, typename Encode, typename InitTable, typename InitState, typename Down,
          typename ToYcc>
void RegisterBuild(const char* build, Fdct fdct, Encode encode, InitTable initTable,
                   InitState initState, Down down, ToYcc toYcc) {
  const std::string b = build;
  benchmark::RegisterBenchmark(("ForwardDctQuantize8x8/" + b + "/8x8").c_str(), [=](benchmark::State& state) {
    const std::vector<uint8_t> pic = Picture(256, 64);
    const std::vector<uint16_t> table = Q95Reciprocals();
    alignas(16) int16_t block[64];
    int i = 0;
    for (auto _ : state) {
      fdct(pic.data() + ((i >> 5) & 7) * 8 * 256 + (i & 31) * 8, 256, block, table.data());
      benchmark::DoNotOptimize(block);
      ++i;
    }
  });
  benchmark::RegisterBenchmark(("EncodeHuffmanBlock/" + b + "/q95").c_str(), [=](benchmark::State& state) {
    const int w = 512, h = 256, count = (w / 8) * (h / 8);
    const std::vector<uint8_t> pic = Picture(w, h);
    const std::vector<uint16_t> table = Q95Reciprocals();
    std::vector<int16_t> blocks(64 * count);
    for (int n = 0; n < count; ++n)
      generic::ForwardDctQuantize8x8(pic.data() + (n / (w / 8)) * 8 * w + (n % (w / 8)) * 8, w, &blocks[64 * n],
                                     table.data());
    const kvz::test::AnnexKTables& k = kvz::test::StandardHuffmanTables();
    HuffmanEncodeTable dc, ac;
    initTable(k.dcLuminance.bits, k.dcLuminance.values.data(), &dc);
    initTable(k.acLuminance.bits, k.acLuminance.values.data(), &ac);
    HuffmanEncodeState st;
    initState(&st);
    std::vector<uint8_t> out(1 << 20);
    int32_t position = 0, n = 0;
    int16_t predictor = 0;
    int64_t bytes = 0;
    for (auto _ : state) {
      if (position > (1 << 20) - 4096) {
        bytes += position;
        position = 0;
      }
      encode(&blocks[64 * n], out.data(), 1 << 20, &position, &predictor, &dc, &ac, &st, 0);
      n = n + 1 == count ? 0 : n + 1;
    }
    state.SetBytesProcessed(bytes + position);
  });
  for (int length : {640, 1920}) {
    benchmark::RegisterBenchmark(("SampleDownRowH2V1/" + b + "/" + std::to_string(length)).c_str(),
                                 [=](benchmark::State& state) {
                                   kvz::bench::Buffer in(length), out(length);
                                   for (auto _ : state) {
                                     down(in.p, length, out.p);
                                     benchmark::ClobberMemory();
                                   }
                                   state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
                                 });
  }
  kvz::bench::RegisterFrames("RgbToYCbCr", build, 3, 3, [=](uint8_t* in, uint8_t* out, RoiSize roi) {
    const size_t plane = static_cast<size_t>(roi.width) * roi.height;
    uint8_t* planes[3] = {out, out + plane, out + 2 * plane};
    toYcc(in, roi.width * 3, planes, roi.width, roi);
  });
}

#define KVZ_REGISTER(ns)                                                                            \
  RegisterBuild(#ns, &ns::ForwardDctQuantize8x8, &ns::EncodeHuffmanBlock, &ns::InitHuffmanEncodeTable, \
                &ns::InitHuffmanEncodeState, &ns::SampleDownRowH2V1, &ns::RgbToYCbCr);

const int kRegistered = [] {
  KVZ_FOR_EACH_BUILD(KVZ_REGISTER)
  return 0;
}();

}  // namespace
