// A camera streaming into a stream reader, driven the way the device drives it: a filter with a
// capture pin (stream type 1) and a still pin (stream type 3) whose process routines take each
// announced frame from the reader, keep a copy and give it back; probe/commit and the
// alternate setting by hand; the reader started and stopped by the test.
#pragma once

#include <mutex>
#include <vector>

#include "ks_client.h"
#include "usb/bulk_stream_reader.h"
#include "usb/isoch_stream_reader.h"
#include "usb_bench.h"

namespace kvz::usbtest {

using Frame = std::vector<uint8_t>;

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

  IsochStreamReader* isoch_ = nullptr;
  BulkStreamReader* bulk_ = nullptr;

 private:
  void HoldFrames(ULONG streamType, bool hold);
  void ClosePins();
  std::unique_ptr<ksclient::KsFilterClient> filter_;
  std::unique_ptr<ksclient::KsPinClient> capture_;
  std::unique_ptr<ksclient::KsPinClient> still_;
};

// How the device ends the capture stream before it starts it again (none: it keeps running).
enum class CaptureRestart { kNone, kPause, kStop };

inline const char* CaptureRestartName(const ::testing::TestParamInfo<CaptureRestart>& info) {
  return info.param == CaptureRestart::kNone ? "WhileCaptureRuns"
         : info.param == CaptureRestart::kPause ? "AfterCapturePauseAndRun"
                                                : "AfterCaptureStopAndRun";
}

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

}  // namespace kvz::usbtest
