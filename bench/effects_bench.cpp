// Catalogue effects on RGB24 frames: Effect/<identifier>/<width>x<height>. Every iteration
// restores the input picture (one memcpy of the frame, counted) and runs the effect's Do, so
// effects that look at the picture (the face track) see the same scene each time. Add an
// effect with one RegisterEffect line in RegisterEffects.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "kvz/kernel_testing.h"
#include "kvz/system_testing.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_factory.h"
#include "postproc/effects/effect_zoom.h"
#include "postproc/effects/zq_effect.h"

namespace {

using kvz::EffectFormat;
using kvz::ZQEffect;

// A bottom-up RGB24 scene: a textured background and a skin-coloured ellipse right of centre,
// so the face track finds a face and the pixel effects see varied values.
std::vector<uint8_t> Scene(LONG width, LONG height) {
  std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 3);
  const double cx = width * 0.5625, cy = height * 0.4167, ax = width * 0.094, ay = height * 0.15;
  uint32_t noise = 2463534242u;
  for (LONG y = 0; y < height; ++y) {
    uint8_t* row = frame.data() + static_cast<size_t>(height - 1 - y) * width * 3;
    for (LONG x = 0; x < width; ++x) {
      noise ^= noise << 13;
      noise ^= noise >> 17;
      noise ^= noise << 5;
      const double dx = (x - cx) / ax, dy = (y - cy) / ay;
      const bool face = dx * dx + dy * dy <= 1.0;
      const uint8_t grain = static_cast<uint8_t>(noise & 7);
      row[3 * x] = static_cast<uint8_t>((face ? 130 : 60 + (x & 31)) + grain);
      row[3 * x + 1] = static_cast<uint8_t>((face ? 160 : 30 + (y & 31)) + grain);
      row[3 * x + 2] = static_cast<uint8_t>((face ? 220 : 20) + grain);
    }
  }
  return frame;
}

void InstallPictures();

struct EffectSetup {
  LONG outputWidth = 0;  // the scaling effect's output size; 0: the frame's own
  LONG outputHeight = 0;
  std::function<void(ZQEffect*)> configure;
};

void RunEffect(benchmark::State& state, LONG identifier, LONG width, LONG height, const EffectSetup& setup) {
  kvz::kernel::KernelThreadScope thread("bench");
  InstallPictures();
  ZQEffect* effect = kvz::NewCatalogueEffect(identifier);
  if (!effect) {
    state.SkipWithError("no such effect");
    return;
  }
  const EffectFormat input = {kvz::kPixelRgb24, width, height};
  const EffectFormat output = {kvz::kPixelRgb24, setup.outputWidth ? setup.outputWidth : width,
                               setup.outputHeight ? setup.outputHeight : height};
  const size_t inBytes = static_cast<size_t>(width) * height * 3;
  const size_t outBytes = static_cast<size_t>(output.width) * output.height * 3;
  std::vector<uint8_t> work(inBytes), frame(inBytes > outBytes ? inBytes : outBytes);
  const std::vector<uint8_t> scene = Scene(width, height);
  if (effect->SetFormat(&input, work.data(), static_cast<LONG>(work.size()), &output) < 0) {
    state.SkipWithError("SetFormat failed");
    kvz::DeleteEffect(effect);
    return;
  }
  if (setup.configure) setup.configure(effect);
  for (auto _ : state) {
    std::memcpy(frame.data(), scene.data(), inBytes);
    const NTSTATUS status = effect->Do(frame.data());
    benchmark::DoNotOptimize(status);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(inBytes));
  kvz::DeleteEffect(effect);
}

void RegisterEffect(LONG identifier, LONG width, LONG height, EffectSetup setup = {}) {
  const std::string name =
      "Effect/" + std::to_string(identifier) + "/" + std::to_string(width) + "x" + std::to_string(height);
  benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
    RunEffect(state, identifier, width, height, setup);
  })->Unit(benchmark::kMicrosecond);
}

// The picture effects read 640 x 480 pictures and the canvas its texture from the system root:
// a folder of stand-in pictures (a blue window in a border, the magnifier's lens), made at the
// first run (the stand-in's own statics are not ready while benchmarks register).
void InstallPictures() {
  static std::string folder;
  if (!folder.empty()) return;
  char name[] = "/tmp/kvz_effects_bench_XXXXXX";
  if (!mkdtemp(name)) return;
  folder = name;
  auto put32 = [](std::vector<uint8_t>& f, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  auto header = [&](uint32_t width, uint32_t height, uint8_t bits, uint32_t offset, size_t bytes) {
    std::vector<uint8_t> f(bytes, 0);
    f[0] = 'B', f[1] = 'M';
    put32(f, 2, static_cast<uint32_t>(bytes));
    put32(f, 10, offset);
    put32(f, 14, 40);
    put32(f, 18, width);
    put32(f, 22, height);
    f[26] = 1;
    f[28] = bits;
    return f;
  };
  auto write = [&](const char* file, const std::vector<uint8_t>& bytes) {
    std::ofstream(folder + "/" + file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                              static_cast<std::streamsize>(bytes.size()));
  };
  for (bool lens : {false, true}) {
    std::vector<uint8_t> bmp = header(640, 480, 24, 54, 54 + 640 * 480 * 3);
    for (int y = 0; y < 480; ++y)
      for (int x = 0; x < 640; ++x) {
        uint8_t* p = &bmp[54 + (static_cast<size_t>(y) * 640 + x) * 3];
        const int dx = x - 353, dy = y - 254;
        const bool window = x >= 48 && x < 592 && y >= 40 && y < 440;
        if (lens && dx * dx + dy * dy < 150 * 150) {
          p[0] = 254;
        } else if (window) {
          p[0] = 255;
        } else {
          p[0] = 200, p[1] = static_cast<uint8_t>(x), p[2] = static_cast<uint8_t>(y);
        }
      }
    if (lens) {
      write("ZQMagnifier.bmp", bmp);
      continue;
    }
    for (const char* file : {"ZQGarland.bmp", "ZQCalendar.bmp", "ZQPCard.bmp", "ZQSnipe.bmp", "ZQNews.bmp",
                             "ZQMagazine.bmp", "ZQWanted.bmp", "ZQCCTV.bmp", "ZQSpring.bmp"})
      write(file, bmp);
  }
  std::vector<uint8_t> texture = header(100, 100, 8, 1078, 1078 + 100 * 100);
  for (size_t i = 1078; i < texture.size(); ++i) texture[i] = static_cast<uint8_t>((i * 7) % 29);
  write("canvastexture.bmp", texture);
  kvz::kernel::SetSystemRootFolder(folder);
}

int RegisterEffects() {
  // The still pin's case: a 1280 x 720 camera frame delivered as a 640 x 480 still.
  RegisterEffect(kvz::kEffectScale, 1280, 720, {640, 480, nullptr});
  RegisterEffect(kvz::kEffectDigitalZoom, 1280, 720,
                 {0, 0, [](ZQEffect* e) { e->SetParam(kvz::kZoomParamZoom, 200); }});
  RegisterEffect(kvz::kEffectFaceTrack, 1280, 720);
  RegisterEffect(kvz::kEffectDigitalZoomAlt, 1280, 720, {0, 0, [](ZQEffect* e) {
                   e->SetParam(kvz::kZoomParamZoom, 150);
                   e->SetParam(kvz::kZoomParamPan, 3);
                   e->SetParam(kvz::kZoomParamTilt, -2);
                 }});
  for (LONG id = kvz::kEffectOrientationFirst; id <= kvz::kEffectOrientationLast; ++id) RegisterEffect(id, 1280, 720);
  for (LONG id = kvz::kEffectPixelFirst; id <= kvz::kEffectPictureLast; ++id)
    if (id != kvz::kEffectPixelMissing) RegisterEffect(id, 1280, 720);
  return 0;
}

const int kRegistered = RegisterEffects();

}  // namespace
