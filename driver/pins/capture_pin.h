// The video capture pin: its probe, its kernel-streaming states and the delivery of camera frames
// into the client's buffers as YUY2, RGB24 or MJPG.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "driver/pins/camera_pin_base.h"
#include "driver/pins/display_orientation.h"
#include "driver/pins/format_table.h"
#include "postproc/convert/frame_converter.h"

namespace kvz {

struct FrameBuffer;

// The pin keeps the stream: its states, buffers, headers, times and counts. The conversion of
// each camera frame into the client's buffer is its FrameConverter's, which calls down into the
// pin's post-processing and asks the pin (as its FrameConverterHost) only for what the pin alone
// knows: frame acceptance, the client's buffer, the width request.
class CapturePin final : public CameraPinBase, private FrameConverterHost {
 public:
  static NTSTATUS NTAPI Create(PKSPIN pin, PIRP irp);

  NTSTATUS BuildProbe(PUCHAR* block, PULONG length) override;
  NTSTATUS CommitProbe(PUCHAR block, ULONG length) override;
  NTSTATUS SetDeviceState(KSSTATE to, KSSTATE from) override;
  NTSTATUS Process() override;
  NTSTATUS Close() override;
  VOID Destroy() override;

  VOID GetDroppedFrames(PKSPROPERTY_DROPPEDFRAMES_CURRENT_S out);
  // The resume after system sleep commits this running pin's stream again: under its processing
  // mutex, since the renegotiation rewrites what Process reads, then the device's stream steps.
  VOID ResumeAfterSleep();

 private:
  explicit CapturePin(PKSPIN pin);
  template <class T, class... Args>
  friend T* PoolNew(ULONG tag, Args... args);

  NTSTATUS Stop(KSSTATE from);
  NTSTATUS Acquire(KSSTATE from);
  NTSTATUS Pause(KSSTATE from);
  NTSTATUS Run();
  // RUN after a pause that unregistered the pin: streaming bandwidth again, then a fresh start.
  NTSTATUS RestartStream();
  VOID ReleaseReferenceClock();

  VOID Complete(PKSSTREAM_POINTER pointer, ULONG used);

  // FrameConverterHost: what a frame's conversion asks of the pin.
  bool AcceptFrame() override;
  // The leading edge's buffer, locked; kept in Leading until Process completes or unlocks it.
  bool LockClientBuffer(PUCHAR* data, ULONG* room) override;
  // The locked buffer's surface pitch when it is a valid width request (for that buffer only),
  // else the format's width request.
  ULONG WidthRequest() override;

  LONGLONG FirstFrameTime;
  LONGLONG PictureNumber;
  LONGLONG DroppedFrames;
  LONGLONG FramesDelivered;
  FrameEntry CurrentFrame;
  FrameConverter Converter;
  PKSSTREAM_POINTER Leading;
  PIKSREFERENCECLOCK ReferenceClock;
  LONG DropFirstFrame;
  volatile LONG Busy;
  // The orientation poll the device steps while this pin runs.
  CaptureOrientation Orientation;
  LONG AcquireTimeouts;
  // The interval the camera committed: the drop count's unit when the format names none.
  ULONG CommittedInterval;
};

extern const KSPIN_DISPATCH kCapturePinDispatch;
extern const KSAUTOMATION_TABLE kCapturePinAutomation;

NTSTATUS NTAPI GetDroppedFramesProperty(PIRP irp, PKSIDENTIFIER request, PVOID data);

}  // namespace kvz
