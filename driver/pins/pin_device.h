// What the capture filter and its data pins need of the camera device: formats, its stream
// control (PinStreamControl: the transport and its frames), post-processing, and the few device
// flags the pins share with the power callback and the private test. The camera device implements it; the KS device's
// Context reaches it through CameraDeviceControls::GetPinDevice. All calls at PASSIVE_LEVEL
// unless said.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "common/face_services.h"
#include "driver/controls/camera_device_controls.h"
#include "driver/pins/format_table.h"
#include "postproc/base/camera_identity.h"
#include "usb/frame_buffer.h"
#include "usb/stream_bandwidth.h"

namespace kvz {

class UsbDevice;
struct CaptureOrientation;
class DeviceSettings;
class UnitContainer;
class PinProcessing;

// The filter's bridge pin; the streaming pins' types (kStreamCapture, kStreamStill, kStreamThird)
// are the transport's (usb/frame_buffer.h).
constexpr ULONG kStreamBridge = 2;

// One owner per stream type and device, whichever filter instance its pin belongs to: a second
// client's pin can neither negotiate over nor stop the first one's stream. The private test takes
// the capture stream as an owner too (its token is no pin), so a test and a capture pin exclude
// each other. The device embeds one.
class StreamOwnership {
 public:
  StreamOwnership();
  // True when the stream had no owner or already belongs to owner.
  bool Claim(ULONG streamType, PVOID owner);
  bool Owns(ULONG streamType, PVOID owner) const;
  // Only the owner gives the stream up.
  VOID Release(ULONG streamType, PVOID owner);
  // A pin that owns the stream, held for a caller outside the pin's own requests (the resume
  // after system sleep): the pin's close waits until Unhold. One hold at a time; false when the
  // pin does not own the stream or another hold is out.
  bool Hold(ULONG streamType, PKSPIN pin);
  VOID Unhold(PKSPIN pin);
  // The pin's close: returns once no hold on pin is out.
  VOID WaitUntilUnheld(PKSPIN pin);

 private:
  static constexpr ULONG kSlots = 5;
  PVOID volatile owners_[kSlots];
  PVOID volatile held_;
  KEVENT unheld_;  // signalled while nothing is held
};

// The device's stream control, which the device hands its filter and pins: the transport's
// start, pause and stop, its frames, and the streaming interface's bandwidth.
class PinStreamControl : public StreamBandwidth {
 public:
  virtual NTSTATUS StartStream(ULONG payloadSize, ULONG frameSize, PKSPIN pin, ULONG streamType) = 0;
  // pause 1 pauses the transport; 0 returns kStatusRestartStream when it has to start afresh.
  virtual NTSTATUS SuspendStream(ULONG pause) = 0;
  virtual NTSTATUS StopStream(ULONG streamType) = 0;
  // The transport's: a pause makes the camera forget its commit (a restart commits again), and
  // the time the camera is given after a stream stop.
  virtual bool PauseEndsCommit() = 0;
  virtual ULONG StopSettleDelay() = 0;
  // True when the transport serves a capture pin other than this one.
  virtual bool TransportServesOtherPin(PKSPIN pin) = 0;
  // The resume after system sleep's stream steps for the running capture pin (which holds its
  // processing mutex): commit again, configure, resume the transport. Nothing when pin is no
  // longer the one the transport serves.
  virtual VOID ResumeCaptureStream(PKSPIN pin) = 0;
  // Frames: the newest finished frame of a stream type, its data and usable length (0: none);
  // each taken frame goes back exactly once.
  virtual ULONG TakeFrame(FrameBuffer** frame, PUCHAR* data, ULONG streamType) = 0;
  virtual VOID ReturnFrame(FrameBuffer* frame, ULONG streamType) = 0;
  // True once when a resume asked to drop the next frame.
  virtual bool TakeSkipNextFrame() = 0;

 protected:
  PinStreamControl() = default;
  ~PinStreamControl() = default;
};

// Its face work flags: the capture pin's RUN sets kFaceWorkDetect.
class PinDevice : public FaceWorkHost, public CameraDeviceCore, public CameraIdentitySource {
 public:
  virtual StreamOwnership* GetStreamOwnership() = 0;

  // Power and idle: 1 = D0. CancelIdleTimer marks the device busy and brings it to D0;
  // RestartIdleTimer undoes one CancelIdleTimer.
  virtual ULONG GetPowerState() = 0;
  virtual VOID CancelIdleTimer() = 0;
  virtual VOID RestartIdleTimer() = 0;
  virtual NTSTATUS PowerUpAndWait() = 0;

  // Filter instances: OpenFilterInstance counts one in (STATUS_DEVICE_BUSY while a stop is
  // pending), CloseFilterInstance counts it out; the device refuses a stop while any is open.
  virtual NTSTATUS OpenFilterInstance() = 0;
  virtual VOID CloseFilterInstance() = 0;

  // Formats. GetDataRanges: the built ranges of a pin's table (capture 1, still 3).
  // FindFormatEntry looks a frame up without side effects; SetStreamFormat also records a
  // capture stream's width x height as the device's current frame size.
  virtual ULONG GetDataRanges(const PKSDATARANGE** ranges, ULONG streamType) = 0;
  virtual bool FindFormatEntry(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG streamType) = 0;
  virtual bool SetStreamFormat(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG streamType) = 0;
  // The first listed interval equal to the request or, for a request other than 0, above it; else
  // the last listed one.
  virtual ULONG PickFrameInterval(const FrameEntry& entry, ULONGLONG requested) = 0;
  // The frame entry a built data range stands for; kind 1 the capture table, else the still one.
  virtual bool GetPinDataRange(FrameEntry* entry, ULONG index, ULONG kind) = 0;

  // The device's stream control, for the device's life.
  virtual PinStreamControl* Streams() = 0;
  virtual NTSTATUS GetCurWithRetry() = 0;

  // The capture stream's device work, at each processing call of the capture pin (under its
  // processing mutex, before it takes a frame): the sensor set-up at the second call after a
  // stream start, and the capture orientation poll.
  virtual VOID StepCaptureStream() = 0;

  // Flags shared with the power callback and the private test.
  virtual LONG GetCaptureRunning() = 0;
  virtual VOID SetCaptureRunning(LONG running) = 0;
  virtual LONG GetRestartPending() = 0;
  virtual VOID ClearRestartPending() = 0;
  virtual VOID SetStreamStopFailed(LONG failed) = 0;
  virtual VOID SetDisplayOrientation(LONG quarterTurns) = 0;
  // The running capture pin's orientation poll (its RUN), stepped by StepCaptureStream;
  // null withdraws it (its STOP and close).
  virtual VOID SetCaptureOrientation(CaptureOrientation* orientation) = 0;
  virtual bool IsTestRunning() = 0;
  virtual VOID RequestTestStop() = 0;

  // The device's post-processing (postproc/processor/frame_processor_pins.h), for the device's life.
  virtual PinProcessing* Processing() = 0;

 protected:
  PinDevice() = default;
  ~PinDevice() = default;
};

// SuspendStream(0) on a camera with a transport: the stream must be started afresh.
constexpr NTSTATUS kStatusRestartStream = static_cast<NTSTATUS>(0x80001234L);

}  // namespace kvz
