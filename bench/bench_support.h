// Frame buffers and per-build registration shared by the primitives benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "primitives/primitive_types.h"

namespace kvz::bench {

// 64-byte aligned, filled with a non-repeating byte pattern, freed with the benchmark.
struct Buffer {
  explicit Buffer(size_t n) : p(static_cast<uint8_t*>(::operator new(n, std::align_val_t(64)))), size(n) {
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(i * 131 + (i >> 9));
  }
  ~Buffer() { ::operator delete(p, std::align_val_t(64)); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  uint8_t* p;
  size_t size;
};

struct FrameSize {
  int32_t w, h;
};
constexpr FrameSize kFrameSizes[] = {{640, 480}, {1920, 1080}};

// Registers <primitive>/<build>/<W>x<H> for every camera frame size; run(in, out, size) gets
// buffers of bufferBytesPerPixel bytes a pixel, and bytesPerPixel bytes a pixel are counted.
template <typename Run>
void RegisterFrames(const std::string& primitive, const char* build, int bytesPerPixel, size_t bufferBytesPerPixel,
                    Run run) {
  for (const FrameSize& s : kFrameSizes) {
    const std::string name = primitive + "/" + build + "/" + std::to_string(s.w) + "x" + std::to_string(s.h);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
      const size_t frame = static_cast<size_t>(s.w) * s.h;
      Buffer in(frame * bufferBytesPerPixel), out(frame * bufferBytesPerPixel);
      for (auto _ : state) {
        run(in.p, out.p, prim::RoiSize{s.w, s.h});
        benchmark::ClobberMemory();
      }
      state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame) * bytesPerPixel);
    });
  }
}

}  // namespace kvz::bench
