// Region copy, packing and sample conversion, every processor build side by side on camera
// frame sizes: <Primitive>/<build>/<W>x<H>.
#include <cstdint>
#include <string>

#include "bench_support.h"
#include "primitives/region_copy.h"

namespace {

using kvz::prim::RoiSize;

template <typename Run>
void Register(const std::string& primitive, const char* build, int bytesPerPixel, Run run) {
  kvz::bench::RegisterFrames(primitive, build, bytesPerPixel, 4 * 2, run);
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
