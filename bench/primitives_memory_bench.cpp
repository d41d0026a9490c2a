// Byte copies and fills against the C library, the 16-bit and four-channel splits and
// interleaves, Yuv420ToBgr, the resize modes and misaligned buffers, every processor build side
// by side: <Primitive>/<build>/<size>. The C library's memcpy and memset run as build "libc".
#include <cstdint>
#include <cstring>
#include <string>

#include "bench_support.h"
#include "primitives/colour_convert.h"
#include "primitives/region_copy.h"
#include "primitives/resize.h"
#include "primitives/vector_ops.h"

namespace {

using kvz::bench::Buffer;
using kvz::prim::RoiSize;

struct ByteSize {
  const char* name;
  size_t bytes;
};
constexpr ByteSize kByteSizes[] = {
    {"64KiB", size_t{64} << 10}, {"256KiB", size_t{256} << 10}, {"1MiB", size_t{1} << 20}, {"8MiB", size_t{8} << 20}, {"64MiB", size_t{64} << 20}};

// run(in, out, bytes) over buffers of each byte size, each shifted by the given offsets from
// 64-byte alignment; the name's size gets the offsets appended when they are not zero.
template <typename Run>
void RegisterBytes(const std::string& primitive, const char* build, size_t inOffset, size_t outOffset, Run run) {
  for (const ByteSize& s : kByteSizes) {
    std::string name = primitive + "/" + build + "/" + s.name;
    if (inOffset != 0 || outOffset != 0) name += "+" + std::to_string(inOffset) + "+" + std::to_string(outOffset);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
      Buffer in(s.bytes + 64), out(s.bytes + 64);
      for (auto _ : state) {
        run(in.p + inOffset, out.p + outOffset, s.bytes);
        benchmark::ClobberMemory();
      }
      state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.bytes));
    });
  }
}

// The misaligned offsets: source one byte past alignment, destination three (never congruent).
constexpr size_t kInSkew = 1;
constexpr size_t kOutSkew = 3;

void RegisterLibc() {
  for (size_t skew : {size_t{0}, size_t{1}}) {
    RegisterBytes("CopyBytes", "libc", skew * kInSkew, skew * kOutSkew,
                  [](uint8_t* in, uint8_t* out, size_t n) { std::memcpy(out, in, n); });
    RegisterBytes("ZeroBytes", "libc", 0, skew * kOutSkew, [](uint8_t*, uint8_t* out, size_t n) {
      std::memset(out, 0, n);
    });
  }
}

// Frames registered with 8 buffer bytes a pixel: room for four 16-bit channels.
template <typename Run>
void RegisterFrame(const std::string& primitive, const char* build, int bytesPerPixel, Run run) {
  kvz::bench::RegisterFrames(primitive, build, bytesPerPixel, 8, run);
}

// Resize of a packed 4:2:2 frame by factor in both directions; bytes counted are the source's.
void RegisterResize(const char* build, const char* modeName, int32_t mode, double factor,
                    kvz::prim::PrimitiveStatus (*resize)(const uint8_t*, RoiSize, int32_t, kvz::prim::ResizeRect*,
                                                         uint8_t*, int32_t, RoiSize, double, double, int32_t)) {
  for (const kvz::bench::FrameSize& s : kvz::bench::kFrameSizes) {
    const RoiSize src{s.w, s.h};
    const RoiSize dst{static_cast<int32_t>(s.w * factor), static_cast<int32_t>(s.h * factor)};
    const std::string name = std::string("ResizeImage8uC4") + modeName + "/" + build + "/" + std::to_string(s.w) +
                             "x" + std::to_string(s.h) + "to" + std::to_string(dst.width) + "x" +
                             std::to_string(dst.height);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
      Buffer in(static_cast<size_t>(src.width) * src.height * 2),
          out(static_cast<size_t>(dst.width) * dst.height * 2);
      kvz::prim::ResizeRect probe{0, 0, src.width, src.height};
      if (resize(in.p, src, 2 * src.width, &probe, out.p, 2 * dst.width, dst, factor, factor, mode) != 0) {
        state.SkipWithError("resize refused the arguments");
        return;
      }
      for (auto _ : state) {
        kvz::prim::ResizeRect rect{0, 0, src.width, src.height};
        resize(in.p, src, 2 * src.width, &rect, out.p, 2 * dst.width, dst, factor, factor, mode);
        benchmark::ClobberMemory();
      }
      state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * src.width * src.height * 2);
    });
  }
}

#define KVZ_REGISTER_MEMORY_BUILD(ns)                                                                         \
  {                                                                                                           \
    namespace p = kvz::prim::ns;                                                                              \
    for (size_t skew : {size_t{0}, size_t{1}}) {                                                              \
      RegisterBytes("CopyBytes", #ns, skew * kInSkew, skew * kOutSkew, [](uint8_t* in, uint8_t* out, size_t n) { \
        p::CopyBytes(in, out, static_cast<int32_t>(n));                                                       \
      });                                                                                                     \
      RegisterBytes("ZeroBytes", #ns, 0, skew * kOutSkew, [](uint8_t*, uint8_t* out, size_t n) {              \
        p::ZeroBytes(out, static_cast<int32_t>(n));                                                           \
      });                                                                                                     \
    }                                                                                                         \
    RegisterFrame("SplitPixels16sC3P3", #ns, 6, [](uint8_t* in, uint8_t* out, RoiSize r) {                    \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                           \
      int16_t* o = reinterpret_cast<int16_t*>(out);                                                           \
      int16_t* planes[3] = {o, o + plane, o + 2 * plane};                                                     \
      p::SplitPixels16sC3P3(reinterpret_cast<const int16_t*>(in), 6 * r.width, planes, 2 * r.width, r);       \
    });                                                                                                       \
    RegisterFrame("SplitPixels16sC4P4", #ns, 8, [](uint8_t* in, uint8_t* out, RoiSize r) {                    \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                           \
      int16_t* o = reinterpret_cast<int16_t*>(out);                                                           \
      int16_t* planes[4] = {o, o + plane, o + 2 * plane, o + 3 * plane};                                      \
      p::SplitPixels16sC4P4(reinterpret_cast<const int16_t*>(in), 8 * r.width, planes, 2 * r.width, r);       \
    });                                                                                                       \
    RegisterFrame("SplitPixels8uC4P4", #ns, 4, [](uint8_t* in, uint8_t* out, RoiSize r) {                     \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                           \
      uint8_t* planes[4] = {out, out + plane, out + 2 * plane, out + 3 * plane};                              \
      p::SplitPixels8uC4P4(in, 4 * r.width, planes, r.width, r);                                              \
    });                                                                                                       \
    RegisterFrame("InterleavePlanes8uP4C4", #ns, 4, [](uint8_t* in, uint8_t* out, RoiSize r) {                \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                           \
      const uint8_t* planes[4] = {in, in + plane, in + 2 * plane, in + 3 * plane};                            \
      p::InterleavePlanes8uP4C4(planes, r.width, out, 4 * r.width, r);                                        \
    });                                                                                                       \
    RegisterFrame("Yuv420ToBgr", #ns, 3, [](uint8_t* in, uint8_t* out, RoiSize r) {                           \
      const size_t plane = static_cast<size_t>(r.width) * r.height;                                           \
      const uint8_t* planes[3] = {in, in + plane, in + plane + plane / 4};                                    \
      const int32_t steps[3] = {r.width, r.width / 2, r.width / 2};                                           \
      p::Yuv420ToBgr(planes, steps, out, 3 * r.width, r);                                                     \
    });                                                                                                       \
    /* Every row starts one byte past alignment, in and out. */                                               \
    RegisterFrame("CopyImage8uMisaligned", #ns, 1, [](uint8_t* in, uint8_t* out, RoiSize r) {                 \
      p::CopyImage8u(in + 1, r.width + 1, out + 1, r.width + 1, RoiSize{r.width - 1, r.height});              \
    });                                                                                                       \
    RegisterResize(#ns, "Nearest", kvz::prim::kResizeNearest, 0.5, p::ResizeImage8uC4);                       \
    RegisterResize(#ns, "Linear", kvz::prim::kResizeLinear, 0.5, p::ResizeImage8uC4);                         \
    RegisterResize(#ns, "Linear", kvz::prim::kResizeLinear, 2.0, p::ResizeImage8uC4);                         \
    RegisterResize(#ns, "Cubic", kvz::prim::kResizeCubic, 0.5, p::ResizeImage8uC4);                           \
    RegisterResize(#ns, "Super", kvz::prim::kResizeSuper, 0.5, p::ResizeImage8uC4);                           \
    RegisterResize(#ns, "Super", kvz::prim::kResizeSuper, 0.75, p::ResizeImage8uC4);                          \
  }

const int kRegistered = [] {
  RegisterLibc();
  KVZ_FOR_EACH_BUILD(KVZ_REGISTER_MEMORY_BUILD)
  return 0;
}();

}  // namespace
