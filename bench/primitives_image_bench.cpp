// Colour conversions and the in-place mirror, every processor build side by side on camera frame
// sizes: <Primitive>/<build>/<W>x<H>. The mirror turns the frame upside down (axis 0), as the
// codec's RGB24-to-I420 conversion does.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <new>
#include <string>

#include "primitives/colour_convert.h"
#include "primitives/mirror.h"

namespace {

using kvz::prim::RoiSize;

struct Buffer {
  explicit Buffer(size_t n) : p(static_cast<uint8_t*>(::operator new(n, std::align_val_t(64)))) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  }
  ~Buffer() { ::operator delete(p, std::align_val_t(64)); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  uint8_t* p;
};

struct Sizes {
  int32_t w, h;
};
constexpr Sizes kSizes[] = {{640, 480}, {1920, 1080}};

// run(in, out, size) over frames of 4 bytes a pixel in and out; bytes counted per pixel.
template <typename Run>
void Register(const std::string& primitive, const char* build, int bytesPerPixel, Run run) {
  for (const Sizes& s : kSizes) {
    const std::string name = primitive + "/" + build + "/" + std::to_string(s.w) + "x" + std::to_string(s.h);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
      const size_t frame = static_cast<size_t>(s.w) * s.h;
      Buffer in(frame * 4), out(frame * 4);
      for (auto _ : state) {
        run(in.p, out.p, RoiSize{s.w, s.h});
        benchmark::ClobberMemory();
      }
      state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame) * bytesPerPixel);
    });
  }
}

#define KVZ_REGISTER_IMAGE_BUILD(ns)                                                               \
  {                                                                                                \
    namespace p = kvz::prim::ns;                                                                   \
    Register("YuvToRgb", #ns, 3, [](uint8_t* in, uint8_t* out, RoiSize r) {                        \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                \
      const uint8_t* planes[3] = {in, in + plane, in + 2 * plane};                                 \
      p::YuvToRgb(planes, r.width, out, 3 * r.width, r);                                           \
    });                                                                                            \
    Register("Yuy2ToPlanar422", #ns, 2, [](uint8_t* in, uint8_t* out, RoiSize r) {                 \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                \
      uint8_t* planes[3] = {out, out + plane, out + plane + plane / 2};                            \
      const int32_t steps[3] = {r.width, r.width / 2, r.width / 2};                                \
      p::Yuy2ToPlanar422(in, 2 * r.width, planes, steps, r);                                       \
    });                                                                                            \
    Register("RgbToYuv420", #ns, 3, [](uint8_t* in, uint8_t* out, RoiSize r) {                     \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                \
      uint8_t* planes[3] = {out, out + plane, out + plane + plane / 4};                            \
      const int32_t steps[3] = {r.width, r.width / 2, r.width / 2};                                \
      p::RgbToYuv420(in, 3 * r.width, planes, steps, r);                                           \
    });                                                                                            \
    Register("MirrorImage8uC3InPlace", #ns, 3, [](uint8_t* in, uint8_t*, RoiSize r) {              \
      p::MirrorImage8uC3InPlace(in, 3 * r.width, r, 0);                                            \
    });                                                                                            \
  }

const int kRegistered = [] {
  KVZ_FOR_EACH_BUILD(KVZ_REGISTER_IMAGE_BUILD)
  return 0;
}();

}  // namespace
