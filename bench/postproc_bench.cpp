// Frame geometry of post-processing on YUY2 frames: quarter and half turns, mirroring and
// flipping, digital zoom, nearest and bilinear resizing, the privacy picture (first rendering
// and the per-frame copy) and one flicker-detector step, each next to a memcpy of the same frame
// in the same run (the physical floor). Names: <Operation>/<width>x<height>.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "postproc/geometry/bilinear_resample.h"
#include "postproc/flicker/flicker_detector.h"
#include "postproc/base/frame_format.h"
#include "postproc/geometry/frame_rotation.h"
#include "postproc/geometry/image_crop_resize.h"
#include "postproc/effects/privacy_image.h"

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

void Memcpy(benchmark::State& state, FrameSize size) {
  const auto src = TestFrame(size.width, size.height);
  std::vector<uint8_t> dst(src.size());
  for (auto _ : state) {
    memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(src.size()));
}

void MirrorFlip(benchmark::State& state, FrameSize size, LONG mirror, LONG flip) {
  auto frame = TestFrame(size.width, size.height);
  std::vector<uint8_t> scratch(frame.size());
  for (auto _ : state) {
    kvz::MirrorFlipYuy2Frame(frame.data(), scratch.data(), mirror, flip, size.width, size.height);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

// The frame processor's digital zoom at 2x: the centre window cropped, then resized back.
void Zoom(benchmark::State& state, FrameSize size) {
  const auto src = TestFrame(size.width, size.height);
  std::vector<uint8_t> crop(src.size()), dst(src.size());
  const LONG w = size.width, h = size.height, cw = w / 2, ch = h / 2;
  for (auto _ : state) {
    kvz::CropImage(src.data(), crop.data(), w, h, cw, ch, (w - cw) / 2 & ~1, (h - ch) / 2,
                   kvz::kPixelYuy2);
    kvz::ResizeImage(crop.data(), dst.data(), cw, ch, w, h, kvz::kPixelYuy2);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(src.size()));
}

void NearestResize(benchmark::State& state, FrameSize from, FrameSize to) {
  const auto src = TestFrame(from.width, from.height);
  std::vector<uint8_t> dst(static_cast<size_t>(to.width) * to.height * 2);
  for (auto _ : state) {
    kvz::ResizeImage(src.data(), dst.data(), from.width, from.height, to.width, to.height,
                     kvz::kPixelYuy2);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(dst.size()));
}

void BilinearUpscale(benchmark::State& state, FrameSize from, FrameSize to) {
  auto src = TestFrame(from.width, from.height);
  std::vector<uint8_t> dst(static_cast<size_t>(to.width) * to.height * 2);
  const kvz::ResampleImage in{src.data(), from.width * 2, static_cast<LONG>(from.width),
                              static_cast<LONG>(from.height)};
  const kvz::ResampleImage out{dst.data(), to.width * 2, static_cast<LONG>(to.width),
                               static_cast<LONG>(to.height)};
  for (auto _ : state) {
    kvz::ResizeYuy2Bilinear(&out, &in);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(dst.size()));
}

// One measuring step of the flicker detector (sampling its grids from a frame).
void FlickerStep(benchmark::State& state, FrameSize size) {
  const auto frame = TestFrame(size.width, size.height);
  kvz::FlickerDetector detector;
  detector.AllocBuffers();
  LONG frames = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        detector.AnalyzeBanding(frame.data(), 2, size.width, size.height, 2));
    if (++frames == 21) {  // stay in the collecting steps: a restart clears the collection
      detector.Reset(nullptr, 0, 0);
      detector.ProcessFrame(nullptr, frame.data(), 2, size.width, size.height, 0, nullptr);
      frames = 0;
    }
  }
  detector.FreeBuffers();
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
  for (auto _ : state) {
    kvz::PrivacyImage image;
    image.Draw(frame.data(), size.width, size.height, 2);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

void PrivacyPicture(benchmark::State& state, FrameSize size) {
  auto frame = TestFrame(size.width, size.height);
  kvz::PrivacyImage image;
  image.Draw(frame.data(), size.width, size.height, 2);
  for (auto _ : state) {
    image.Draw(frame.data(), size.width, size.height, 2);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}

std::string Name(const char* operation, FrameSize s) {
  return std::string(operation) + "/" + std::to_string(s.width) + "x" + std::to_string(s.height);
}

const bool registered = [] {
  for (const auto& s : kSizes) {
    benchmark::RegisterBenchmark(Name("Memcpy", s).c_str(), Memcpy, s);
    benchmark::RegisterBenchmark(Name("RotateQuarterTurn", s).c_str(), Rotate, s, 1);
    benchmark::RegisterBenchmark(Name("RotateThreeQuarterTurn", s).c_str(), Rotate, s, 3);
    benchmark::RegisterBenchmark(Name("RotateHalfTurn", s).c_str(), Rotate, s, 2);
    benchmark::RegisterBenchmark(Name("MirrorYuy2", s).c_str(), MirrorFlip, s, 1, 0);
    benchmark::RegisterBenchmark(Name("FlipYuy2", s).c_str(), MirrorFlip, s, 0, 1);
    benchmark::RegisterBenchmark(Name("MirrorFlipYuy2", s).c_str(), MirrorFlip, s, 1, 1);
    benchmark::RegisterBenchmark(Name("ZoomYuy2", s).c_str(), Zoom, s);
    benchmark::RegisterBenchmark(Name("ResizeImageSameSizeYuy2", s).c_str(), NearestResize, s, s);
    benchmark::RegisterBenchmark(Name("ResizeImageHalfYuy2", s).c_str(), NearestResize, s,
                                 FrameSize{s.width / 2, s.height / 2});
    benchmark::RegisterBenchmark(Name("FlickerAnalysisStep", s).c_str(), FlickerStep, s);
    benchmark::RegisterBenchmark(Name("BilinearResizeYuy2Half", s).c_str(), BilinearResize, s);
    benchmark::RegisterBenchmark(Name("PrivacyPictureRender", s).c_str(), PrivacyRender, s);
    benchmark::RegisterBenchmark(Name("PrivacyPictureCopy", s).c_str(), PrivacyPicture, s);
  }
  benchmark::RegisterBenchmark("BilinearUpscaleYuy2/1280x720to1920x1080", BilinearUpscale,
                               FrameSize{1280, 720}, FrameSize{1920, 1080});
  benchmark::RegisterBenchmark("ResizeImageUpscaleYuy2/1280x720to1920x1080", NearestResize,
                               FrameSize{1280, 720}, FrameSize{1920, 1080});
  return true;
}();

}  // namespace
