// What the capture filter and its pins ask of post-processing, and the camera device's frame
// processor bound to its device as the pins see it. The pins hold a PinProcessing; they reach
// post-processing through nothing else.
#pragma once
#include <wdm.h>

#include "postproc/base/frame_device.h"
#include "postproc/processor/frame_processor.h"

namespace kvz {

class PinProcessing {
 public:
  // Every sixth delivered capture frame is offered to face detection.
  static constexpr LONGLONG kFaceOfferPeriod = 6;

  // The capture pin's probe grows the frame processor's work buffers to size bytes each.
  virtual NTSTATUS EnsureWorkBuffers(ULONG size) = 0;
  // YUY2 width x height; the frame to deliver, or null (drop).
  virtual PUCHAR ProcessFrame(PUCHAR frame, LONG width, LONG height) = 0;
  // Whether this frame's settings need the camera's picture or keep it (MJPEG's decode and
  // pass-through).
  virtual PictureUse ReadPictureUse() = 0;
  // Offers a camera frame as it came (layout kPixelYuy2 or kPixelMjpeg) to face detection.
  virtual VOID SubmitFrame(const UCHAR* frame, ULONG length, LONG width, LONG height, LONG layout,
                           LONGLONG count) = 0;
  // The filter's stream configuration: the effects' formats.
  virtual NTSTATUS SetFormats(ULONG subtype, LONG sourceWidth, LONG sourceHeight, LONG width, LONG height) = 0;
  // The still pin: the effects with its own stream's formats on frame (YUY2, frameBytes of room,
  // at least a picture of each size); success means frame holds the picture at width x height.
  virtual NTSTATUS RunStillEffects(PUCHAR frame, ULONG frameBytes, ULONG subtype, LONG sourceWidth,
                                   LONG sourceHeight, LONG width, LONG height) = 0;
  // The capture pin's RUN: no flicker feed for the hold's time.
  virtual VOID StartFlickerHold() = 0;
  virtual bool IsFlickerRedetectRequested() = 0;
  // Restarts flicker detection from the capture pin.
  virtual VOID ResetFlicker() = 0;

 protected:
  PinProcessing() = default;
  ~PinProcessing() = default;
};

// The device's frame processor for its pins: each call is the processor's own, with the device
// as the FrameDevice that the processor's frame calls take.
class DevicePinProcessing final : public PinProcessing {
 public:
  DevicePinProcessing(FrameProcessor* processor, FrameDevice* device) : processor_(processor), device_(device) {}
  DevicePinProcessing(const DevicePinProcessing&) = delete;
  DevicePinProcessing& operator=(const DevicePinProcessing&) = delete;

  NTSTATUS EnsureWorkBuffers(ULONG size) override { return processor_->EnsureWorkBuffers(size); }
  PUCHAR ProcessFrame(PUCHAR frame, LONG width, LONG height) override {
    return processor_->ProcessFrame(device_, frame, width, height);
  }
  PictureUse ReadPictureUse() override { return processor_->ReadPictureUse(device_); }
  VOID SubmitFrame(const UCHAR* frame, ULONG length, LONG width, LONG height, LONG layout, LONGLONG count) override {
    processor_->SubmitFrame(device_, frame, length, width, height, layout, static_cast<LONG>(count));
  }
  NTSTATUS SetFormats(ULONG subtype, LONG sourceWidth, LONG sourceHeight, LONG width, LONG height) override {
    return processor_->SetFormats(subtype, sourceWidth, sourceHeight, width, height);
  }
  NTSTATUS RunStillEffects(PUCHAR frame, ULONG frameBytes, ULONG subtype, LONG sourceWidth, LONG sourceHeight,
                           LONG width, LONG height) override {
    return processor_->RunStillEffects(frame, frameBytes, subtype, sourceWidth, sourceHeight, width, height);
  }
  VOID StartFlickerHold() override { processor_->StartFlickerHold(); }
  bool IsFlickerRedetectRequested() override { return processor_->Flicker()->IsRedetectRequested() != 0; }
  VOID ResetFlicker() override {
    processor_->Flicker()->Reset(device_->Services(), static_cast<UCHAR>(device_->Identity().chipFamily), 1);
  }

 private:
  FrameProcessor* processor_;
  FrameDevice* device_;
};

}  // namespace kvz
