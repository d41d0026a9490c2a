// Frame geometry of post-processing on YUY2 frames: quarter and half turns, mirroring,
// bilinear resize to half size, and the privacy picture (first rendering and the per-frame
// copy). Names: <Operation>/<width>x<height>.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "postproc/bilinear_resample.h"
#include "postproc/frame_rotation.h"
#include "postproc/privacy_image.h"

namespace {

struct FrameSize {
  ULONG width, height;
};

const FrameSize kSizes[] = {{1920, 1080}, {640, 480}};

std::vector<uint8_t> TestFrame(ULONG w, ULONG h) {
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 2);
  uint32_t s = 12345;
  for (auto& b : f) {
    s = s * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(s >> 24);
  }
  return f;
}

void Rotate(benchmark::State& state, FrameSize size, LONG rotation) {
  const auto src = TestFrame(size.width, size.height);
  std::vector<uint8_t> dst(src.size()), scratch(src.size());
  for (auto _ : state) {
    kvz::RotateYuy2Frame(dst.data(), src.data(), scratch.data(), rotation, size.width, size.height);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(src.size()));
}

void Mirror(benchmark::State& state, FrameSize size) {
  auto frame = TestFrame(size.width, size.height);
  std::vector<uint8_t> scratch(frame.size());
  for (auto _ : state) {
    kvz::MirrorFlipYuy2Frame(frame.data(), scratch.data(), 1, 0, size.width, size.height);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

void BilinearResize(benchmark::State& state, FrameSize size) {
  auto src = TestFrame(size.width, size.height);
  const LONG dw = size.width / 2, dh = size.height / 2;
  std::vector<uint8_t> dst(static_cast<size_t>(dw) * dh * 2);
  const kvz::ResampleImage in{src.data(), size.width * 2, static_cast<LONG>(size.width),
                              static_cast<LONG>(size.height)};
  const kvz::ResampleImage out{dst.data(), static_cast<ULONG>(dw * 2), dw, dh};
  for (auto _ : state) {
    kvz::ResizeYuy2Bilinear(&out, &in);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(dst.size()));
}

void PrivacyRender(benchmark::State& state, FrameSize size) {
  auto frame = TestFrame(size.width, size.height);
  std::vector<uint8_t> buffer(frame.size());
  for (auto _ : state) {
    kvz::PrivacyImage image;
    image.Draw(frame.data(), size.width, size.height, 2, buffer.data());
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

void PrivacyPicture(benchmark::State& state, FrameSize size) {
  auto frame = TestFrame(size.width, size.height);
  std::vector<uint8_t> buffer(frame.size());
  kvz::PrivacyImage image;
  image.Draw(frame.data(), size.width, size.height, 2, buffer.data());
  for (auto _ : state) {
    image.Draw(frame.data(), size.width, size.height, 2, buffer.data());
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

std::string Name(const char* operation, FrameSize s) {
  return std::string(operation) + "/" + std::to_string(s.width) + "x" + std::to_string(s.height);
}

const bool registered = [] {
  for (const auto& s : kSizes) {
    benchmark::RegisterBenchmark(Name("RotateQuarterTurn", s).c_str(), Rotate, s, 1);
    benchmark::RegisterBenchmark(Name("RotateHalfTurn", s).c_str(), Rotate, s, 2);
    benchmark::RegisterBenchmark(Name("MirrorYuy2", s).c_str(), Mirror, s);
    benchmark::RegisterBenchmark(Name("BilinearResizeYuy2Half", s).c_str(), BilinearResize, s);
    benchmark::RegisterBenchmark(Name("PrivacyPictureRender", s).c_str(), PrivacyRender, s);
    benchmark::RegisterBenchmark(Name("PrivacyPictureCopy", s).c_str(), PrivacyPicture, s);
  }
  return true;
}();

}  // namespace
