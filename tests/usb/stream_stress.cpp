// The stream readers under the bus's stress mode and ThreadSanitizer: the streaming pipe's
// completions on one bus thread while control requests complete on the other, both pins taking
// and giving back frames on the class driver's two queue threads, stills triggered and the
// transport paused and resumed from a third thread. Registered with CTest only in the tsan
// build (label "stress"); run by hand.
#include <gtest/gtest.h>

#include <atomic>

#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "support/stream_bench.h"

namespace kvz::usbtest {
namespace {

using kvz::kernel::kMillisecond;

constexpr uint8_t kYuy2 = 1;
constexpr uint8_t kYuy2Small = 3;    // 160 x 120
constexpr uint8_t kStillMedium = 2;  // 320 x 240
constexpr uint32_t k30Fps = 333333;

class StreamStress : public StreamBench {
 protected:
  void SetUp() override {
    StreamBench::SetUp();
    portOptions.twoCompletionThreads = true;
  }
  // Control traffic on the default pipe until stopped.
  void Hammer(std::atomic<bool>& stop, std::atomic<int>& requests) {
    while (!stop) {
      UCHAR value[2] = {};
      if (NT_SUCCESS(Usb()->GetClassRequest(kRequestGetCur, PU_BRIGHTNESS_CONTROL << 8, 0x0200, value, 2))) ++requests;
    }
  }
  // A frame cut by a pause is discarded, and a still takes four frame times at this bandwidth:
  // the pauses leave room for whole frames and one still at a time.
  template <class Reader>
  void PauseAndResume(Reader* reader) {
    for (int i = 0; i < 8; ++i) {
      if (i % 2 == 0) TriggerStill();
      Sleep(220 * kMillisecond);
      ASSERT_EQ(STATUS_SUCCESS, reader->SetTransportPaused(1));
      Sleep(15 * kMillisecond);
      ASSERT_EQ(STATUS_SUCCESS, reader->SetTransportPaused(0));
    }
  }
  // Pauses, stills and control traffic at once, then the stop and the frames' check.
  template <class Reader>
  void Run(Reader* reader) {
    std::atomic<bool> stop{false};
    std::atomic<int> requests{0};
    kvz::kernel::KernelThread hammer("control hammer", [&] { Hammer(stop, requests); });
    PauseAndResume(reader);
    stop = true;
    hammer.Join();
    EXPECT_EQ(STATUS_SUCCESS, reader->Stop(kStreamStill));
    EXPECT_EQ(STATUS_SUCCESS, reader->Stop(kStreamCapture));
    EXPECT_GT(requests.load(), 50);
    CheckFrames();
  }
  void CheckFrames() {
    const std::vector<Frame> video = Frames(kStreamCapture);
    const std::vector<Frame> stills = Frames(kStreamStill);
    EXPECT_GT(video.size(), 10u);
    EXPECT_GE(stills.size(), 1u);
    for (const Frame& f : video) EXPECT_TRUE(IsCameraYuy2Frame(f, 160, 120));
    for (const Frame& f : stills) EXPECT_TRUE(IsCameraYuy2Frame(f, 320, 240));
  }
};

TEST_F(StreamStress, IsochronousReaderWithStillsPausesAndControlTraffic) {
  BootStreaming(simcam::HighSpeedIsochCamera(DriverGuids()));
  const UVC_VIDEO_PROBE_COMMIT c = Commit(kYuy2, kYuy2Small, k30Fps);
  ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(5));
  ASSERT_EQ(STATUS_SUCCESS, CommitStill(kYuy2, kStillMedium));
  MakeIsoch();
  ASSERT_EQ(STATUS_SUCCESS, isoch_->Start(c.dwMaxVideoFrameSize, 32, c.dwMaxPayloadTransferSize, Interface(),
                                          Pin(kStreamCapture), kStreamCapture));
  ASSERT_EQ(STATUS_SUCCESS, isoch_->Start(320 * 240 * 2, 0, 0, nullptr, Pin(kStreamStill), kStreamStill));
  Run(isoch_);
}

TEST_F(StreamStress, BulkReaderWithStillsPausesAndControlTraffic) {
  BootStreaming(simcam::BulkCamera(DriverGuids()));
  const UVC_VIDEO_PROBE_COMMIT c = Commit(kYuy2, kYuy2Small, k30Fps);
  ASSERT_EQ(STATUS_SUCCESS, CommitStill(kYuy2, kStillMedium));
  MakeBulk();
  ASSERT_EQ(STATUS_SUCCESS, bulk_->Start(c.dwMaxVideoFrameSize, c.dwMaxPayloadTransferSize, Interface(),
                                         Pin(kStreamCapture), kStreamCapture));
  ASSERT_EQ(STATUS_SUCCESS, bulk_->Start(320 * 240 * 2, 0, nullptr, Pin(kStreamStill), kStreamStill));
  Run(bulk_);
}

}  // namespace
}  // namespace kvz::usbtest
