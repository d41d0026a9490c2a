// The effect slots under ThreadSanitizer: the filter's stream configuration re-formats,
// creates, retires and replaces effects while the still pin runs them and deletes the retired
// ones. Registered with CTest only in the tsan build (label "stress"); run by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_factory.h"
#include "postproc/effects/zq_effect.h"
#include "postproc/base/frame_format.h"
#include "postproc/processor/frame_processor.h"
#include "support/guarded_buffer.h"

namespace kvz {
namespace {

TEST(EffectSlotsStress, ConfigurationAndStillsAtOnceWithoutRaces) {
  struct Config {
    LONG inW, inH, outW, outH;
  };
  const Config configs[] = {{64, 48, 32, 24}, {64, 48, 64, 48}, {96, 72, 128, 96}, {32, 24, 96, 72}, {96, 72, 96, 72}};
  size_t largest = 0;
  for (const Config& c : configs) {
    largest = std::max({largest, static_cast<size_t>(c.inW) * c.inH * 2, static_cast<size_t>(c.outW) * c.outH * 2});
  }
  FrameProcessor processor;
  std::atomic<bool> stop{false};
  std::atomic<int> stills{0};
  test::GuardedBuffer still(largest, 0x40);
  kernel::KernelThread stillPin("still pin", [&] {
    while (!stop) {
      // Every other still comes with its own formats, as the still pin's do.
      if (stills % 2 == 0) {
        processor.RunEffects(still.data());
      } else {
        processor.RunStillEffects(still.data(), static_cast<ULONG>(largest), kSubtypeYuy2, 96, 72, 128, 96);
      }
      ++stills;
    }
  });
  for (int i = 0; i < 3000 || stills < 1000; ++i) {
    const Config& c = configs[i % 5];
    processor.SetFormats(kSubtypeYuy2, c.inW, c.inH, c.outW, c.outH);
    if (i % 3 == 0) processor.SelectEffect(kEffectDigitalZoom);
    if (i % 7 == 0) processor.SelectEffect(kEffectDigitalZoomAlt);
    if (i % 11 == 0) processor.ClearEffect(0);
  }
  stop = true;
  stillPin.Join();
  EXPECT_GE(stills.load(), 1000);
  EXPECT_TRUE(still.GuardsIntact());
}

// Two cameras' face tracks search at once: each has its own grids and pictures, so each gives
// what it gives alone.
TEST(EffectSlotsStress, TwoFaceTracksSearchAtOnceAsTheyDoAlone) {
  const LONG W = 320, H = 240;
  const size_t bytes = static_cast<size_t>(W) * H * 3;
  std::vector<uint8_t> scene(bytes);
  for (LONG y = 0; y < H; ++y) {
    for (LONG x = 0; x < W; ++x) {
      const LONG dx = x - 180, dy = y - 100;
      const bool face = dx * dx * 36 * 36 + dy * dy * 30 * 30 <= 30 * 30 * 36 * 36;
      uint8_t* p = &scene[(static_cast<size_t>(H - 1 - y) * W + x) * 3];
      p[0] = face ? 130 : 60;
      p[1] = face ? 160 : 30;
      p[2] = face ? 220 : 20;
    }
  }
  auto track = [&](int frames) {
    ZQEffect* effect = NewCatalogueEffect(kEffectFaceTrack);
    std::vector<uint8_t> work(bytes), frame(bytes);
    const EffectFormat format = {kPixelRgb24, W, H};
    EXPECT_EQ(STATUS_SUCCESS, effect->SetFormat(&format, work.data(), static_cast<LONG>(bytes), nullptr));
    for (int i = 0; i < frames; ++i) {
      frame = scene;
      effect->Do(frame.data());
    }
    DeleteEffect(effect);
    return frame;
  };
  const std::vector<uint8_t> alone = track(30);
  std::vector<uint8_t> first, second;
  {
    kernel::KernelThread a("camera a", [&] { first = track(30); });
    kernel::KernelThread b("camera b", [&] { second = track(30); });
  }
  EXPECT_EQ(alone, first);
  EXPECT_EQ(alone, second);
}

}  // namespace
}  // namespace kvz
