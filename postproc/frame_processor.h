// The per-camera post-processing manager, embedded in the camera device for the device's whole
// life. The capture pin runs every delivered YUY2 frame through ProcessFrame (privacy picture,
// digital zoom and pan, rotation, flips, flicker detection) and offers every sixth to the
// face-detection worker; the filter's stream configuration and the still pin use the effect
// slots.
//
// The class is split by concern, one source file each:
//   frame_processor.cpp          construction, the per-frame pipeline, work buffers, flicker hold
//   frame_processor_face.cpp     the face-detection worker and its hand-off
//   frame_processor_effects.cpp  the effect slots
#pragma once
#include <wdm.h>

#include "postproc/flicker_detector.h"
#include "postproc/flicker_hold.h"
#include "postproc/frame_device.h"

namespace kvz {

class PrivacyImage;

class FrameProcessor {
 public:
  static constexpr LONG kZoomNone = 10;  // ZoomScale: tenths of the magnification
  static constexpr LONG kPanSteps = 16;  // a pan of +-16 moves the window to the frame's edge
  static constexpr ULONG kTagWork = 'Ptmp';
  static constexpr ULONG kTagDecoded = 'DEBF';
  static constexpr ULONG kTagPrivacy = 'pPPR';

  FrameProcessor();
  ~FrameProcessor();
  FrameProcessor(const FrameProcessor&) = delete;
  FrameProcessor& operator=(const FrameProcessor&) = delete;

  // ---- Per-frame pipeline (frame_processor.cpp) ----

  // frame: width x height packed YUY2, modified in place. Returns the buffer that holds the
  // finished frame (frame itself, or a work buffer after a rotation), or null when a work buffer
  // or the privacy picture cannot be had or the size cannot be processed: the caller drops the
  // frame. Capture processing only, PASSIVE_LEVEL, one frame at a time.
  UCHAR* ProcessFrame(FrameDevice* device, UCHAR* frame, LONG width, LONG height);
  // Grows the work buffers to at least size bytes each; never shrinks them. Called only from the
  // capture pin (its probe and its processing), never while ProcessFrame runs.
  NTSTATUS EnsureWorkBuffers(ULONG size);
  VOID FreeWorkBuffers();

  // The capture pin's RUN: the flicker detector is not fed for 20 s from now.
  VOID StartFlickerHold() { flickerHold_.StartHold(); }
  // The power-line value was set to automatic detection: feed at once.
  VOID ReleaseFlickerHold() { flickerHold_.Release(); }
  FlickerDetector* Flicker() { return &flicker_; }

  // ---- Face-detection worker (frame_processor_face.cpp) ----

  // Offers a frame (format 0 YUY2 as ProcessFrame returned it, 1 MJPEG as the camera sent it)
  // to the face-detection worker. One slot: an offer the worker cannot take at once is dropped.
  // Always STATUS_SUCCESS.
  NTSTATUS SubmitFrame(FrameDevice* device, const UCHAR* frame, ULONG length, LONG width,
                       LONG height, LONG format, LONG frameNumber);

  // ---- Effect slots (frame_processor_effects.cpp) ----

 private:
  // ---- Per-frame pipeline ----
  VOID ApplyZoom(UCHAR* frame, LONG width, LONG height, const FrameSettings& settings);
  // Privacy on: the frame becomes the privacy picture (false when it cannot be drawn).
  bool DrawPrivacy(UCHAR* frame, LONG width, LONG height, ULONG frameBytes);
  VOID FreePrivacyImage();

  FlickerDetector flicker_;
  UCHAR* work1_;    // Ptmp
  UCHAR* work2_;    // Ptmp
  UCHAR* decoded_;  // DEBF: the face worker's decoded copy
  ULONG workSize_;
  PrivacyImage* privacy_;  // pPPR, only while privacy is on
  FlickerHold flickerHold_;

  // ---- Face-detection worker ----
  VOID StartWorker();
  VOID StopWorker();
  FrameDevice* device_;  // cached by the first SubmitFrame

  // ---- Effect slots ----
};

}  // namespace kvz
