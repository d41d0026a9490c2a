// The effect slots under ThreadSanitizer: the filter's stream configuration re-formats,
// creates, retires and replaces effects while the still pin runs them and deletes the retired
// ones. Registered with CTest only in the tsan build (label "stress"); run by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "postproc/effect_catalogue.h"
#include "postproc/frame_format.h"
#include "postproc/frame_processor.h"
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
      processor.RunEffects(still.data());
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

}  // namespace
}  // namespace kvz
