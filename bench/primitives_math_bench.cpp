// Quantisation arithmetic of the primitives, every processor build side by side on one 8 x 8
// block: MultiplyWordsScaled/<build>/64 (the scaled product at scale 15, as the forward DCT
// quantises) and ReverseDivideWords/<build>/64 (a reciprocal table from quantiser values).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "primitives/build.h"
#include "primitives/divide_words.h"
#include "primitives/multiply_scaled.h"

namespace {

constexpr int kCount = 64;

struct Block {
  Block() {
    for (int i = 0; i < kCount; ++i) {
      reciprocals[i] = static_cast<uint16_t>(0x8000 / (1 + (i * 7) % 99));
      coefficients[i] = static_cast<int16_t>((i * 2654435761u) >> 20) - 2048;
      quantisers[i] = static_cast<uint16_t>(1 + (i * 13) % 255);
    }
  }
  alignas(16) uint16_t reciprocals[kCount];
  alignas(16) int16_t coefficients[kCount];
  alignas(16) int16_t out[kCount];
  alignas(16) uint16_t quantisers[kCount];
  alignas(16) uint16_t table[kCount];
};

void RegisterBuild(const char* build,
                   decltype(&kvz::prim::generic::MultiplyWordsScaled) multiply,
                   decltype(&kvz::prim::generic::ReverseDivideWords) divide) {
  const std::string suffix = std::string("/") + build + "/" + std::to_string(kCount);
  benchmark::RegisterBenchmark(("MultiplyWordsScaled" + suffix).c_str(), [=](benchmark::State& state) {
    Block b;
    for (auto _ : state) {
      benchmark::DoNotOptimize(multiply(b.reciprocals, b.coefficients, b.out, kCount, 15));
      benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kCount);
  });
  benchmark::RegisterBenchmark(("ReverseDivideWords" + suffix).c_str(), [=](benchmark::State& state) {
    Block b;
    for (auto _ : state) {
      for (int i = 0; i < kCount; ++i) b.table[i] = b.quantisers[i];
      benchmark::DoNotOptimize(divide(0x8000, b.table, kCount));
      benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kCount);
  });
}

const bool registered = [] {
#define KVZ_REGISTER_BUILD(ns) \
  RegisterBuild(#ns, &kvz::prim::ns::MultiplyWordsScaled, &kvz::prim::ns::ReverseDivideWords);
  KVZ_FOR_EACH_BUILD(KVZ_REGISTER_BUILD)
#undef KVZ_REGISTER_BUILD
  return true;
}();

}  // namespace
