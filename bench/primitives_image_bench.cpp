// Colour conversions and the in-place mirror, every processor build side by side on camera frame
// sizes: <Primitive>/<build>/<W>x<H>. The mirror turns the frame upside down (axis 0), as the
// codec's RGB24-to-I420 conversion does; Axis1 and Axis2 reverse the rows, and both.
#include <cstdint>
#include <string>

#include "bench_support.h"
#include "primitives/colour_convert.h"
#include "primitives/mirror.h"

namespace {

using kvz::prim::RoiSize;

// run(in, out, size) over frames of 4 bytes a pixel in and out; bytes counted per pixel.
template <typename Run>
void Register(const std::string& primitive, const char* build, int bytesPerPixel, Run run) {
  kvz::bench::RegisterFrames(primitive, build, bytesPerPixel, 4, run);
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
    Register("MirrorImage8uC3InPlaceAxis1", #ns, 3, [](uint8_t* in, uint8_t*, RoiSize r) {         \
      p::MirrorImage8uC3InPlace(in, 3 * r.width, r, 1);                                            \
    });                                                                                            \
    Register("MirrorImage8uC3InPlaceAxis2", #ns, 3, [](uint8_t* in, uint8_t*, RoiSize r) {         \
      p::MirrorImage8uC3InPlace(in, 3 * r.width, r, 2);                                            \
    });                                                                                            \
  }

const int kRegistered = [] {
  KVZ_FOR_EACH_BUILD(KVZ_REGISTER_IMAGE_BUILD)
  return 0;
}();

}  // namespace
