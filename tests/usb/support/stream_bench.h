// A camera streaming into a stream reader, driven the way the device drives it: a filter with a
// capture pin (stream type 1) and a still pin (stream type 3) whose process routines take each
// announced frame from the reader, keep a copy and give it back; probe/commit and the
// alternate setting by hand; the reader started and stopped by the test.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "ks_client.h"
#include "kvz/kernel_testing.h"
#include "usb/bulk_stream_reader.h"
#include "usb/isoch_stream_reader.h"
#include "usb/usb_limits.h"
#include "usb_bench.h"

namespace kvz::usbtest {

using Frame = std::vector<uint8_t>;

// How the device ends the capture stream before it starts it again (none: it keeps running).
enum class CaptureRestart { kNone, kPause, kStop };

inline const char* CaptureRestartName(const ::testing::TestParamInfo<CaptureRestart>& info) {
  return info.param == CaptureRestart::kNone ? "WhileCaptureRuns"
         : info.param == CaptureRestart::kPause ? "AfterCapturePauseAndRun"
                                                : "AfterCaptureStopAndRun";
}

class StreamBench : public UsbBench {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Boots the camera, opens the filter and brings both pins to RUN.
  void BootStreaming(simcam::CameraProfile profile, simcam::CameraOptions options = {});
  // Probe and commit of a format and frame index; the committed block.
  UVC_VIDEO_PROBE_COMMIT Commit(uint8_t format, uint8_t frame, uint32_t interval);
  // Still probe and commit, then the trigger.
  NTSTATUS CommitStill(uint8_t format, uint8_t frame);
  NTSTATUS TriggerStill();
  NTSTATUS SelectAlternate(uint8_t alternate);

  IsochStreamReader* MakeIsoch(ULONG slots = 5);
  BulkStreamReader* MakeBulk();
  // Stops nothing: the destructor runs (it stops a reader that still streams).
  void DestroyReader();

  PKSPIN Pin(ULONG streamType) const;
  // While held, the capture (still) pin keeps the frames it takes; releasing gives them all back.
  void HoldVideoFrames(bool hold) { HoldFrames(kStreamCapture, hold); }
  void HoldStillFrames(bool hold) { HoldFrames(kStreamStill, hold); }
  void ReleaseOneHeldFrame();  // a capture frame
  // Waits (kernel time) until the pin of the stream type has taken `count` frames in all.
  bool WaitFrames(ULONG streamType, size_t count, int64_t timeout100ns = 30 * 10000000LL);
  std::vector<Frame> Frames(ULONG streamType);
  void Sleep(int64_t duration100ns);
  // The streaming interface record the device keeps (selected alternate setting).
  PUSBD_INTERFACE_INFORMATION Interface() const { return Device()->streamingInterface; }
  // With a 320 x 240 still pin registered beside a running 160 x 120 capture stream: the capture
  // stream restarts as `how` says while the still pin holds a still (`stopped` runs while the
  // transport is stopped, `restart` starts the capture stream again), then a still triggered
  // afterwards reaches the still pin. Its buffers stay across the restart and go with its stop.
  template <class Reader>
  void StillsAcrossACaptureRestart(Reader* reader, CaptureRestart how, const std::function<void()>& stopped,
                                   const std::function<void()>& restart);

  IsochStreamReader* isoch_ = nullptr;
  BulkStreamReader* bulk_ = nullptr;

 private:
  void HoldFrames(ULONG streamType, bool hold);
  void ClosePins();
  std::unique_ptr<ksclient::KsFilterClient> filter_;
  std::unique_ptr<ksclient::KsPinClient> capture_;
  std::unique_ptr<ksclient::KsPinClient> still_;
};

// Frame faults of the camera: a header fault on every payload, 1000 bytes too many, no end of
// frame, payload N (or the end-of-frame payload) lost on the bus, headers without data.
inline simcam::FrameFault HeaderFault(simcam::HeaderFault h) {
  simcam::FrameFault f;
  f.header = h;
  return f;
}
inline simcam::FrameFault OversizeFault() {
  simcam::FrameFault f;
  f.sizeDelta = 1000;
  return f;
}
inline simcam::FrameFault LostEofFault() {
  simcam::FrameFault f;
  f.lostEndOfFrame = true;
  return f;
}
inline simcam::FrameFault LostPayloadFault(int32_t index) {
  simcam::FrameFault f;
  f.lostPayload = index;
  return f;
}
inline simcam::FrameFault LostLastPayloadFault() {
  simcam::FrameFault f;
  f.lostLastPayload = true;
  return f;
}
inline simcam::FrameFault HeaderOnlyFrameFault() {
  simcam::FrameFault f;
  f.sizeDelta = -(1 << 30);
  return f;
}

// YUY2 frames as the camera makes them: true when the frame is exactly the camera's picture of
// the frame number it carries.
bool IsCameraYuy2Frame(const Frame& frame, uint16_t width, uint16_t height);
// libjpeg-turbo decodes it completely at this size, and the frame holds nothing after the picture.
bool DecodesAsJpeg(const Frame& frame, uint16_t width, uint16_t height);

template <class Reader>
void StreamBench::StillsAcrossACaptureRestart(Reader* reader, CaptureRestart how, const std::function<void()>& stopped,
                                              const std::function<void()>& restart) {
  ASSERT_TRUE(WaitFrames(kStreamCapture, 2));
  const size_t buffers = kernel::PoolStatsForTag(kTagFrameData).liveBlocks;
  size_t stills = 1;
  if (how != CaptureRestart::kNone) {
    // The still pin holds a still across the restart and gives it back while the transport is
    // stopped.
    HoldStillFrames(true);
    ASSERT_EQ(STATUS_SUCCESS, TriggerStill());
    ASSERT_TRUE(WaitFrames(kStreamStill, 1));
    // As the device pauses the capture stream: the transport paused, then the capture pin stopped.
    if (how == CaptureRestart::kPause) {
      ASSERT_EQ(STATUS_SUCCESS, reader->SetTransportPaused(1));
    }
    ASSERT_EQ(STATUS_SUCCESS, reader->Stop(kStreamCapture));
    ASSERT_EQ(kTransportStopped, reader->State());
    stopped();
    if (HasFatalFailure()) return;
    HoldStillFrames(false);
    restart();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(WaitFrames(kStreamCapture, Frames(kStreamCapture).size() + 2));
    EXPECT_EQ(buffers, kernel::PoolStatsForTag(kTagFrameData).liveBlocks) << "frame buffers";
    stills = 2;
  }
  ASSERT_EQ(STATUS_SUCCESS, TriggerStill());
  ASSERT_TRUE(WaitFrames(kStreamStill, stills));
  ASSERT_TRUE(WaitFrames(kStreamCapture, Frames(kStreamCapture).size() + 2));
  EXPECT_EQ(STATUS_SUCCESS, reader->Stop(kStreamStill));
  // The still pin's buffers go with it.
  EXPECT_EQ(buffers - kStillFrameBuffers, kernel::PoolStatsForTag(kTagFrameData).liveBlocks);
  EXPECT_EQ(STATUS_SUCCESS, reader->Stop(kStreamCapture));
  ASSERT_EQ(stills, Frames(kStreamStill).size());
  for (const Frame& f : Frames(kStreamStill)) EXPECT_TRUE(IsCameraYuy2Frame(f, 320, 240));
  for (const Frame& f : Frames(kStreamCapture)) EXPECT_TRUE(IsCameraYuy2Frame(f, 160, 120));
}

}  // namespace kvz::usbtest
