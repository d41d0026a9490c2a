// The per-camera post-processing manager, embedded in the camera device for the device's whole
// life. The capture pin runs every delivered YUY2 frame through ProcessFrame (privacy picture,
// flicker detection, digital zoom and pan, rotation, flips) and offers every sixth frame, as the
// camera sent it, to the face-detection worker; the filter's stream configuration and the still
// pin use the effect slots.
//
// The class is split by concern, one source file each:
//   frame_processor.cpp          construction, the per-frame pipeline, work buffers, flicker hold
//   frame_processor_face.cpp     the face-detection worker and its hand-off
//   frame_processor_effects.cpp  the effect slots
#pragma once
#include <wdm.h>

#include "face/face_detect.h"
#include "face/face_exposure_control.h"
#include "common/face_services.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/flicker/flicker_control.h"
#include "postproc/flicker/flicker_detector.h"
#include "postproc/flicker/flicker_hold.h"
#include "postproc/base/frame_device.h"
#include "postproc/base/frame_format.h"

namespace kvz {

namespace jpeg {
class MjpegDecoder;
}
class PrivacyImage;
class ZQEffect;

// What a frame's settings do to the camera's picture, asked before it is decoded (MJPEG): needed,
// something reads or changes it; kept, nothing changes it, so it is delivered as the camera sent it.
// Automatic power-line detection needs the picture but keeps it: such a frame is decoded so that
// the flicker detector may be fed, then passed through.
struct PictureUse {
  bool needed;
  bool kept;
};

class FrameProcessor final : public FlickerControl {
 public:
  static constexpr LONG kPanSteps = 16;  // a pan of +-16 moves the window to the frame's edge
  static constexpr ULONG kTagWork = 'Ptmp';
  static constexpr ULONG kTagDecoded = 'DEBF';    // the face worker's decoded MJPEG frame
  static constexpr ULONG kTagSubmitted = 'STBF';  // the frame offered to the face worker
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
  // The picture's use under one snapshot of the device's settings (the one ProcessFrame will take
  // may differ by a client's change meanwhile).
  PictureUse ReadPictureUse(FrameDevice* device) const;
  static PictureUse PictureUseOf(const FrameSettings& settings, LONG displayOrientation);
  // Grows the work buffers to at least size bytes each; never shrinks them. Called only from the
  // capture pin (its probe and its processing), never while ProcessFrame runs.
  NTSTATUS EnsureWorkBuffers(ULONG size);
  VOID FreeWorkBuffers();

  // The capture pin's RUN: the flicker detector is not fed for 20 s from now.
  VOID StartFlickerHold() { flickerHold_.StartHold(); }
  // FlickerControl (the property sets). The power-line value was set to automatic detection:
  // feed at once.
  VOID ReleaseFlickerHold() override { flickerHold_.Release(); }
  ULONG FlickerState() override { return flicker_.State(); }
  VOID RequestFlickerRedetect() override { flicker_.RequestRedetect(); }
  FlickerDetector* Flicker() { return &flicker_; }

  // ---- Face-detection worker (frame_processor_face.cpp) ----

  // Offers a frame as the camera sent it, before ProcessFrame transforms it, to the
  // face-detection worker: layout kPixelYuy2, packed YUY2 of exactly width x height x 2 bytes,
  // or kPixelMjpeg, MJPEG whose header gives width x height; any other layout is not taken.
  // The frame is copied; the caller may change it at once.
  // One slot: an offer the worker cannot take at once is dropped, as is any frame while face
  // work is off, flicker detection is measuring, or the device has no face services. Always
  // STATUS_SUCCESS. Capture processing, PASSIVE_LEVEL, one caller at a time.
  NTSTATUS SubmitFrame(FrameDevice* device, const UCHAR* frame, ULONG length, LONG width,
                       LONG height, LONG layout, LONG frameNumber);
  // For the device: stream start and stop reset them, the region property and the face
  // detector's windows go to the exposure.
  FaceDetect* FaceDetector() { return &faceDetect_; }
  FaceExposureControl* FaceExposure() { return &faceExposure_; }

  // ---- Effect slots (frame_processor_effects.cpp) ----
  // Six slots of catalogue effects, an identifier in slot (identifier >> 8) & 0xFF; slot 5 holds
  // the scaling effect. One lock (effectsLock_) covers the slots, the retired list, the effect
  // buffer and the formats, and is held while the still pin runs the effects, so no effect is
  // re-formatted, retired or deleted while it runs. PASSIVE_LEVEL.

  // The capture filter's stream configuration: the stream's subtype, the camera frame's size
  // and the size offered to the application. Re-configures the effects of slots 0 to 4, sizes
  // the effect buffer, then selects the scaling effect when the sizes differ or clears it when
  // they are equal. Returns the last failed effect configuration (the effect is cleared), the
  // scaling effect's selection failure, STATUS_INSUFFICIENT_RESOURCES when the effect buffer
  // cannot be had (every effect is retired), STATUS_INVALID_PARAMETER for sizes outside
  // 1 ... 16384 (likewise), else STATUS_SUCCESS.
  NTSTATUS SetFormats(ULONG subtype, LONG inWidth, LONG inHeight, LONG outWidth, LONG outHeight);
  // Fills the identifier's slot (slot 0 clears instead) and gives the effect the current
  // formats and the effect buffer; an effect that does not take them is retired and its status
  // returned. STATUS_INVALID_PARAMETER for a slot above 5, STATUS_UNSUCCESSFUL when the effect
  // cannot be created.
  NTSTATUS SelectEffect(LONG id);
  // Retires the effect of the identifier's slot; id 0 first retires those of slots 0 to 4.
  NTSTATUS ClearEffect(LONG id);
  // The still pin: runs each active effect of slots 0 to 5 on frame in place, stopping at the
  // first failure, then deletes the retired effects. Returns the last Do status (0 if none).
  NTSTATUS RunEffects(UCHAR* frame);
  // The still pin: SetFormats with its own stream's formats and RunEffects, under one hold of the
  // effects lock. frame holds the YUY2 picture of the input size and room for frameBytes, at
  // least one picture of each size (STATUS_BUFFER_TOO_SMALL otherwise, nothing runs). Success
  // means frame holds the picture at the output size: when the sizes differ and the scaling
  // effect is not in service, STATUS_UNSUCCESSFUL and nothing runs.
  NTSTATUS RunStillEffects(UCHAR* frame, ULONG frameBytes, ULONG subtype, LONG inWidth, LONG inHeight,
                           LONG outWidth, LONG outHeight);
  static VOID SetFormatInfo(EffectFormat* format, ULONG subtype, LONG width, LONG height);
  // A new effect for the identifier, or null (unknown identifier, no memory).
  static VOID CreateEffect(LONG id, ZQEffect** effect);

 private:
  // ---- Per-frame pipeline ----
  VOID ApplyZoom(UCHAR* frame, LONG width, LONG height, const FrameSettings& settings);
  // Privacy on: the frame becomes the privacy picture (false when it cannot be drawn).
  bool DrawPrivacy(UCHAR* frame, LONG width, LONG height, ULONG frameBytes);
  VOID FreePrivacyImage();

  // Constructed in this order: the face detector, the flicker detector, the face exposure.
  FaceDetect faceDetect_;
  FlickerDetector flicker_;
  FaceExposureControl faceExposure_;
  UCHAR* work1_;  // Ptmp
  UCHAR* work2_;  // Ptmp
  ULONG workSize_;
  bool flickerFed_;  // the last processed frame went to the flicker detector
  PrivacyImage* privacy_;  // pPPR, only while privacy is on
  FlickerHold flickerHold_;

  // ---- Face-detection worker ----
  // The hand-off has one slot; whoever moves it out of free owns the submitted-frame fields
  // until it moves it on (free -> filling by the submitter, pending -> working by the worker).
  enum : LONG { kSlotFree, kSlotFilling, kSlotPending, kSlotWorking, kSlotClosed };

  VOID StartWorker();
  // Ends the worker and waits for it, also while it is inside a search.
  VOID StopWorker();
  static VOID NTAPI FaceDetectThread(PVOID context);
  VOID WorkerLoop();
  bool StopRequested();
  // The worker's step on the frame in the slot: decode, search, exposure.
  VOID DetectFaces();
  // The submitted MJPEG frame as YUY2 of its submitted size in decoded_, or null.
  const UCHAR* DecodeSubmitted();
  bool FlickerMeasuring() const;
  VOID FreeWorkerBuffers();

  FrameDevice* device_;               // cached by the first SubmitFrame
  FaceDeviceServices* faceServices_;  // the device's, cached with it
  jpeg::MjpegDecoder* decoder_;       // ClCP, the worker's, made on the first MJPEG frame
  UCHAR* decoded_;                    // DEBF, the worker's
  ULONG decodedSize_;
  UCHAR* submitted_;                  // STBF, grows to the largest offer
  ULONG submittedCapacity_;
  ULONG submittedLength_;
  LONG submittedLayout_;              // kPixelYuy2 or kPixelMjpeg; kPixelNone before the first
  LONG submittedWidth_;
  LONG submittedHeight_;
  LONG submittedNumber_;
  KEVENT wake_;                       // synchronisation event: an offer or a stop
  PVOID workerThread_;                // referenced thread object
  volatile LONG stop_;
  volatile LONG slot_;

  // ---- Effect slots ----
  VOID InitEffectSlots();
  VOID DeleteEffects();
  VOID LockEffects();
  VOID UnlockEffects();
  NTSTATUS SetFormatsLocked(ULONG subtype, LONG inWidth, LONG inHeight, LONG outWidth, LONG outHeight);
  NTSTATUS RunEffectsLocked(UCHAR* frame);
  NTSTATUS SelectEffectLocked(LONG id);
  NTSTATUS ClearEffectLocked(LONG id);
  VOID RetireAllEffectsLocked();
  // flag 0 retires: the effect waits in the retired list (or, with the list full, is deleted at
  // once: no effect runs while the lock is held). The active flag becomes flag.
  VOID DestroyEffect(ZQEffect* effect, LONG flag);
  // Empties the slot, marks its effect detached and deletes it.
  VOID DetachEffect(ZQEffect** slot);
  ZQEffect* effects_[kEffectSlotCount];
  ZQEffect* retired_[kEffectSlotCount];
  UCHAR* effectBuffer_;  // SpeT, lent to every effect
  ULONG effectBufferSize_;
  EffectFormat inputFormat_;
  EffectFormat outputFormat_;
  KMUTEX effectsLock_;
};

}  // namespace kvz
