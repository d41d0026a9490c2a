#include "support/effect_pictures.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"
#include "kvz/system_testing.h"
#include "postproc/effects/effect_factory.h"
#include "support/guarded_buffer.h"

namespace kvz::test {
namespace {

std::array<uint8_t, 3> PatternColour(int x, int y, int w, int h) {  // blue, green, red
  int b = w > 1 ? x * 255 / (w - 1) : 128;
  int g = h > 1 ? y * 255 / (h - 1) : 128;
  int r = (x + y) * 255 / (w + h);
  const int side = w < h ? w : h;
  const int radius = side / 6 > 1 ? side / 6 : 1;
  const int cx[3] = {w / 4, w / 2, 3 * w / 4}, cy[3] = {h / 3, h / 2, 2 * h / 3};
  const std::array<uint8_t, 3> disc[3] = {{40, 40, 230}, {60, 220, 60}, {230, 90, 30}};
  for (int k = 0; k < 3; ++k)
    if ((x - cx[k]) * (x - cx[k]) + (y - cy[k]) * (y - cy[k]) <= radius * radius) return disc[k];
  if (y > 5 * h / 6) return ((x / 3) & 1) ? std::array<uint8_t, 3>{250, 250, 250} : std::array<uint8_t, 3>{10, 10, 10};
  if (x < w / 5 && y < h / 5) {
    if (((x / 4) + (y / 4)) & 1) return {0, 220, 240};
    return {0, 0, 0};
  }
  return {static_cast<uint8_t>(b), static_cast<uint8_t>(g), static_cast<uint8_t>(r)};
}

void Put32(std::vector<uint8_t>& v, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

size_t FrameBytes(LONG formatCode, LONG width, LONG height) {
  const size_t pixels = static_cast<size_t>(width) * height;
  switch (formatCode) {
    case kPixelRgb24: return pixels * 3;
    case kPixelYuy2: return pixels * 2;
    case kPixelI420: return pixels * 3 / 2;
    default: return 0;
  }
}

std::vector<uint8_t> EffectTestPattern(LONG formatCode, LONG width, LONG height) {
  std::vector<uint8_t> f(FrameBytes(formatCode, width, height));
  const int w = width, h = height;
  if (formatCode == kPixelRgb24) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const auto c = PatternColour(x, y, w, h);
        uint8_t* p = &f[(static_cast<size_t>(h - 1 - y) * w + x) * 3];  // bottom-up
        p[0] = c[0], p[1] = c[1], p[2] = c[2];
      }
    return f;
  }
  // I420 (top-down) by the BT.601 studio-range equations; chroma from each block's first pixel.
  const int cw = w / 2, ch = h / 2;
  uint8_t* u = f.data() + static_cast<size_t>(w) * h;
  uint8_t* v = u + static_cast<size_t>(cw) * ch;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const auto c = PatternColour(x, y, w, h);
      const int b = c[0], g = c[1], r = c[2];
      f[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
      if ((x & 1) == 0 && (y & 1) == 0 && x / 2 < cw && y / 2 < ch) {
        u[(y / 2) * cw + x / 2] = static_cast<uint8_t>(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
        v[(y / 2) * cw + x / 2] = static_cast<uint8_t>(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
      }
    }
  return f;
}

std::vector<uint8_t> BmpHeader(int32_t width, int32_t height, uint16_t bitCount, uint32_t pixelOffset) {
  std::vector<uint8_t> h(54, 0);
  h[0] = 'B', h[1] = 'M';
  const uint32_t rowBytes = ((static_cast<uint32_t>(width) * bitCount / 8) + 3) & ~3u;
  const uint32_t imageBytes = rowBytes * static_cast<uint32_t>(height < 0 ? -height : height);
  Put32(h, 2, pixelOffset + imageBytes);
  Put32(h, 10, pixelOffset);
  Put32(h, 14, 40);
  Put32(h, 18, static_cast<uint32_t>(width));
  Put32(h, 22, static_cast<uint32_t>(height));
  h[26] = 1;
  h[28] = static_cast<uint8_t>(bitCount);
  Put32(h, 34, imageBytes);
  return h;
}

std::vector<uint8_t> MakeOverlayBmp(const std::function<std::array<uint8_t, 3>(int x, int y)>& colour) {
  std::vector<uint8_t> file = BmpHeader(640, 480, 24, 54);
  file.resize(54 + 640 * 480 * 3);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) {
      const auto c = colour(x, y);
      uint8_t* p = &file[54 + (static_cast<size_t>(479 - y) * 640 + x) * 3];
      p[0] = c[0], p[1] = c[1], p[2] = c[2];
    }
  return file;
}

std::vector<uint8_t> FramePicture(bool withLens) {
  return MakeOverlayBmp([withLens](int x, int y) -> std::array<uint8_t, 3> {
    if (withLens) {
      // The magnifier's lens sits over its window: 2 x 188 wide from column 165 and 37 rows
      // below the top of the picture.
      const int dx = x - (165 + 188), dy = y - (37 + 188);
      if (dx * dx + dy * dy < 150 * 150) return {254, 0, 0};
      if (dx * dx + dy * dy < 165 * 165) return {40, 40, 40};
    }
    if (x >= 48 && x < 592 && y >= 40 && y < 440) return {255, 0, 0};
    // A border of diagonal stripes in two colours.
    return ((x + y) / 16) & 1 ? std::array<uint8_t, 3>{30, 140, 220} : std::array<uint8_t, 3>{200, 60, 120};
  });
}

std::vector<uint8_t> CanvasTexture() {
  std::vector<uint8_t> file = BmpHeader(100, 100, 8, 1078);
  file.resize(1078 + 100 * 100);
  for (int i = 0; i < 256; ++i) file[54 + 4 * i] = file[55 + 4 * i] = file[56 + 4 * i] = static_cast<uint8_t>(i);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x) file[1078 + y * 100 + x] = static_cast<uint8_t>(((x * 7 + y * 13) % 23) + (x % 5 == 0 ? 20 : 0));
  return file;
}

SystemRootPictures::SystemRootPictures() {
  std::string pattern = ::testing::TempDir() + "kvz_effects_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  folder_ = mkdtemp(name.data());
  const auto frame = FramePicture(false);
  for (const char* n : {"ZQGarland.bmp", "ZQCalendar.bmp", "ZQPCard.bmp", "ZQSnipe.bmp", "ZQNews.bmp",
                        "ZQMagazine.bmp", "ZQWanted.bmp", "ZQCCTV.bmp", "ZQSpring.bmp"})
    Write(n, frame);
  Write("ZQMagnifier.bmp", FramePicture(true));
  Write("canvastexture.bmp", CanvasTexture());
  kernel::SetSystemRootFolder(folder_);
}

SystemRootPictures::~SystemRootPictures() {
  kernel::SetSystemRootFolder("");
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void SystemRootPictures::Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
  std::ofstream out(folder_ + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void SystemRootPictures::Remove(const std::string& name) const { std::remove((folder_ + "/" + name).c_str()); }

EffectRun RunEffect(LONG id, LONG formatCode, LONG width, LONG height, const std::vector<uint8_t>& input, int frames) {
  EffectRun run;
  const size_t bytes = FrameBytes(formatCode, width, height);
  GuardedBuffer frame(bytes), work(bytes);
  ZQEffect* effect = NewCatalogueEffect(id);
  if (!effect) {
    run.setFormat = STATUS_UNSUCCESSFUL;
    return run;
  }
  const EffectFormat format = {formatCode, width, height};
  run.setFormat = effect->SetFormat(&format, work.data(), static_cast<LONG>(bytes), nullptr);
  for (int i = 0; i < frames; ++i) {
    std::copy(input.begin(), input.end(), frame.data());
    run.lastDo = effect->Do(frame.data());
  }
  DeleteEffect(effect);
  run.frame.assign(frame.data(), frame.data() + bytes);
  run.guardsIntact = frame.GuardsIntact() && work.GuardsIntact();
  return run;
}

const std::vector<GoldenCase>& GoldenCases() {
  static const std::vector<GoldenCase> cases = [] {
    struct Effect {
      LONG id;
      LONG format;
      int frames;
      const char* name;
    };
    const Effect effects[] = {
        {770, kPixelRgb24, 1, "blur"},      {770, kPixelI420, 1, "blur"},
        {773, kPixelI420, 1, "solarize"},   {774, kPixelRgb24, 1, "emboss"},
        {774, kPixelI420, 1, "emboss"},     {775, kPixelRgb24, 1, "mosaic"},
        {775, kPixelI420, 1, "mosaic"},     {779, kPixelRgb24, 1, "sketch"},
        {779, kPixelI420, 1, "sketch"},     {781, kPixelRgb24, 1, "diffuse"},
        {781, kPixelI420, 1, "diffuse"},    {782, kPixelRgb24, 20, "wave-columns"},
        {782, kPixelRgb24, 80, "wave-rows"}, {783, kPixelRgb24, 49, "tiles"},
        {784, kPixelRgb24, 1, "canvas"},    {786, kPixelRgb24, 1, "glass"},
        {787, kPixelRgb24, 1, "fisheye"},   {788, kPixelRgb24, 1, "pagecurl"},
        {789, kPixelRgb24, 1, "frame"},     {792, kPixelRgb24, 1, "snipe"},
        {793, kPixelRgb24, 1, "news"},      {796, kPixelRgb24, 1, "cctv"},
        {797, kPixelRgb24, 1, "magnifier"},
    };
    const LONG sizes[][2] = {{120, 90}, {37, 23}};
    std::vector<GoldenCase> all;
    // Tiles has no grid for frames under 157 x 118; it is shown on its smallest grid and on
    // the one a 320 x 180 frame falls back to.
    const LONG tileSizes[][2] = {{160, 120}, {320, 180}};
    for (int k = 0; k < 2; ++k)
      for (const Effect& e : effects) {
        const LONG* s = e.id == 783 ? tileSizes[k] : sizes[k];
        all.push_back({e.id, e.format, s[0], s[1], e.frames, e.name});
      }
    return all;
  }();
  return cases;
}

std::string GoldenName(const GoldenCase& c) {
  return std::to_string(c.id) + "-" + c.name + (c.format == kPixelI420 ? "-i420-" : "-rgb24-") +
         std::to_string(c.width) + "x" + std::to_string(c.height);
}

void SweepInitAllocations(LONG id, LONG format, const std::vector<ULONG>& tags) {
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE(::testing::Message() << id << " allocation " << n);
    std::unique_ptr<ZQEffect, void (*)(ZQEffect*)> effect(NewCatalogueEffect(id),
                                                          [](ZQEffect* e) { DeleteEffect(e); });
    std::vector<uint8_t> work(FrameBytes(format, 32, 24)), frame(work.size(), 9);
    const EffectFormat effectFormat = {format, 32, 24};
    const uint64_t before = kernel::PoolAllocationAttempts();
    kernel::FailNthAllocation(n);
    const NTSTATUS status = effect->SetFormat(&effectFormat, work.data(), static_cast<LONG>(work.size()), nullptr);
    kernel::ClearPoolFaults();
    if (kernel::PoolAllocationAttempts() - before < n) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      return;
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(effect->Do(frame.data()), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(frame, std::vector<uint8_t>(work.size(), 9));
    effect.reset();
    for (ULONG tag : tags) EXPECT_EQ(kernel::PoolStatsForTag(tag).liveBlocks, 0u) << kernel::TagToString(tag);
  }
}

uint64_t Fnv1a64(const std::vector<uint8_t>& bytes) {
  uint64_t h = 1469598103934665603ull;
  for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

}  // namespace kvz::test
