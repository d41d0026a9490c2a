// Region copy, packing and sample conversion, every processor build side by side on camera
// frame sizes: <Primitive>/<build>/<W>x<H>.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "primitives/region_copy.h"

namespace {

using kvz::prim::RoiSize;

// 64-byte aligned, filled, freed at exit of the benchmark.
struct Buffer {
  explicit Buffer(size_t n) : p(static_cast<uint8_t*>(::operator new(n, std::align_val_t(64)))), size(n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  }
  ~Buffer() { ::operator delete(p, std::align_val_t(64)); }
  uint8_t* p;
  size_t size;
};

struct Sizes {
  int32_t w, h;
};
constexpr Sizes kSizes[] = {{640, 480}, {1920, 1080}};

template <typename Run>
void Register(const std::string& primitive, const char* build, int bytesPerPixel, Run run) {
  for (const Sizes& s : kSizes) {
    const std::string name = primitive + "/" + build + "/" + std::to_string(s.w) + "x" + std::to_string(s.h);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
      const size_t frame = static_cast<size_t>(s.w) * s.h;
      Buffer in(frame * 4 * 2), out(frame * 4 * 2);
      for (auto _ : state) {
        run(in.p, out.p, RoiSize{s.w, s.h});
        benchmark::ClobberMemory();
      }
      state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame) * bytesPerPixel);
    });
  }
}

#define KVZ_REGISTER_BUILD(ns)                                                                            \
  {                                                                                                       \
    namespace p = kvz::prim::ns;                                                                          \
    Register("CopyImage8u", #ns, 1, [](uint8_t* in, uint8_t* out, RoiSize r) {                            \
      p::CopyImage8u(in, r.width, out, r.width, r);                                                       \
    });                                                                                                   \
    Register("InterleavePlanes8uP3C3", #ns, 3, [](uint8_t* in, uint8_t* out, RoiSize r) {                 \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                       \
      const uint8_t* planes[3] = {in, in + plane, in + 2 * plane};                                        \
      p::InterleavePlanes8uP3C3(planes, r.width, out, 3 * r.width, r);                                    \
    });                                                                                                   \
    Register("SplitPixels8uC3P3", #ns, 3, [](uint8_t* in, uint8_t* out, RoiSize r) {                      \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                       \
      uint8_t* planes[3] = {out, out + plane, out + 2 * plane};                                           \
      p::SplitPixels8uC3P3(in, 3 * r.width, planes, r.width, r);                                          \
    });                                                                                                   \
    Register("ConvertBytesToWords", #ns, 1, [](uint8_t* in, uint8_t* out, RoiSize r) {                    \
      p::ConvertBytesToWords(in, r.width, reinterpret_cast<int16_t*>(out), 2 * r.width, r);               \
    });                                                                                                   \
    Register("ConvertWordsToBytes", #ns, 1, [](uint8_t* in, uint8_t* out, RoiSize r) {                    \
      p::ConvertWordsToBytes(reinterpret_cast<const int16_t*>(in), 2 * r.width, out, r.width, r);         \
    });                                                                                                   \
  }

const int kRegistered = [] {
  KVZ_FOR_EACH_BUILD(KVZ_REGISTER_BUILD)
  return 0;
}();

}  // namespace
