// The isochronous stream reader against the simulated camera: frames reassembled exactly,
// damaged frames discarded and counted, stills, retries, pause, stop and removal.
#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"
#include "kvz/system_testing.h"
#include "support/stream_bench.h"

namespace kvz::usbtest {
namespace {

using kvz::kernel::kMillisecond;
using kvz::kernel::kSecond;
using kvz::kernel::Now;

constexpr uint8_t kYuy2 = 1;
constexpr uint8_t kMjpeg = 2;
constexpr uint8_t kYuy2Small = 3;  // 160 x 120
constexpr uint32_t k30Fps = 333333;
constexpr ULONG kSmallFrame = 160 * 120 * 2;
constexpr uint8_t kLargestAlternate = 5;

class IsochReaderTest : public StreamBench {
 protected:
  void SetUp() override {
    StreamBench::SetUp();
    BootStreaming(simcam::HighSpeedIsochCamera(DriverGuids()));
  }
  // Commits the small YUY2 frame, selects bandwidth and starts the reader for the capture pin.
  NTSTATUS StartSmall(ULONG packets = 32) {
    Commit(kYuy2, kYuy2Small, k30Fps);
    EXPECT_EQ(STATUS_SUCCESS, SelectAlternate(kLargestAlternate));
    MakeIsoch();
    return isoch_->Start(kSmallFrame, packets, 3072, Interface(), Pin(kStreamTypeVideo), kStreamTypeVideo);
  }
};

TEST_F(IsochReaderTest, ReassemblesTheCamerasYuy2FramesExactly) {
  ASSERT_EQ(STATUS_SUCCESS, StartSmall());
  ASSERT_TRUE(WaitFrames(kStreamTypeVideo, 6));
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamTypeVideo));
  EXPECT_EQ(0, isoch_->TransfersInFlight());
  const auto frames = Frames(kStreamTypeVideo);
  ASSERT_GE(frames.size(), 6u);
  for (const Frame& f : frames) EXPECT_TRUE(IsCameraYuy2Frame(f, 160, 120)) << f.size();
  printf("frames %zu delivered %lu\n", frames.size(), (unsigned long)isoch_->Counters().delivered);
  EXPECT_EQ(0u, isoch_->Counters().discarded);
}

}  // namespace
}  // namespace kvz::usbtest
