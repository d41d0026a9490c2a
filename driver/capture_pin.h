// The video capture pin: its probe, its kernel-streaming states and the delivery of camera frames
// into the client's buffers as YUY2, RGB24 or MJPG.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "driver/camera_pin_base.h"
#include "driver/display_orientation.h"
#include "driver/format_table.h"

namespace kvz {

namespace jpeg {
class MjpegDecoder;
struct JpegEncoder;
}  // namespace jpeg
struct FrameBuffer;

class CapturePin final : public CameraPinBase {
 public:
  static NTSTATUS NTAPI Create(PKSPIN pin, PIRP irp);

  NTSTATUS BuildProbe(PUCHAR* block, PULONG length) override;
  NTSTATUS CommitProbe(PUCHAR block, ULONG length) override;
  NTSTATUS SetDeviceState(KSSTATE to, KSSTATE from) override;
  NTSTATUS Process() override;
  NTSTATUS Close() override;

  NTSTATUS EnsureWorkBuffers(ULONG size);
  // Widens a YUY2 frame (height unchanged) through RGB24; the result is in WorkBuffer1, which
  // with WorkBuffer2 must hold newWidth x height x 3 bytes.
  PUCHAR ScaleYuy2Frame(const UCHAR* source, ULONG width, ULONG height, ULONG newWidth, ULONG newHeight);
  VOID GetDroppedFrames(PKSPROPERTY_DROPPEDFRAMES_CURRENT_S out) const;

 private:
  explicit CapturePin(PKSPIN pin);

  NTSTATUS Stop(KSSTATE from);
  NTSTATUS Acquire(KSSTATE from);
  NTSTATUS Pause(KSSTATE from);
  NTSTATUS Run();
  // RUN after a pause that unregistered the pin: streaming bandwidth again, then a fresh start.
  NTSTATUS RestartStream();
  VOID ReleaseReferenceClock();

  bool NeedsDecode() const;
  bool NeedsPassThrough() const;
  bool AcceptFrame();
  // The camera frame at the size offered to the client; null when it cannot be had.
  PUCHAR OfferedSizeFrame(PUCHAR frame);
  // Each returns the bytes written into the client's buffer, 0 to drop the frame.
  ULONG DeliverRgb24(PUCHAR frame, ULONG length, PKSSTREAM_POINTER* pointer);
  ULONG DeliverYuy2(PUCHAR frame, ULONG length, PKSSTREAM_POINTER* pointer);
  ULONG DeliverMjpeg(PUCHAR frame, ULONG length, PKSSTREAM_POINTER* pointer);
  // Decodes the camera's MJPEG picture into WorkBuffer1 as YUY2 at the camera's size.
  bool DecodeMjpeg(const UCHAR* frame, ULONG length);
  VOID ScanMjpegHeaders(const UCHAR* frame, ULONG length, ULONG* width, ULONG* height);
  VOID Complete(PKSSTREAM_POINTER pointer, ULONG used);
  // Every sixth frame goes to face detection as the camera sent it (before any scaling, zoom,
  // rotation or flip), so that a face window is in the camera's own pixels.
  VOID OfferToFaceDetection(const UCHAR* frame, ULONG length, LONG width, LONG height, LONG mjpeg);
  // The YUY2 frame at the camera's size.
  VOID OfferSourceFrame(const UCHAR* frame);

  LONGLONG FirstFrameTime;
  LONGLONG PictureNumber;
  LONGLONG DroppedFrames;
  LONGLONG FramesDelivered;
  FrameEntry CurrentFrame;
  jpeg::MjpegDecoder* Decoder;
  ULONG OutputSubtype;
  PUCHAR WorkBuffer1;
  PUCHAR WorkBuffer2;
  ULONG WorkBufferSize1;
  ULONG WorkBufferSize2;
  PIKSREFERENCECLOCK ReferenceClock;
  LONG DropFirstFrame;
  LONG ScanRestartInterval;
  LONG RestartInterval;
  volatile LONG Busy;
  LONG RotationOptOut;
  jpeg::JpegEncoder* EncoderWorkspace;
  LONG OrientationCountdown;
  DisplayPaths Displays;
  LONG AcquireTimeouts;
  // The interval the camera committed: the drop count's unit when the format names none.
  ULONG CommittedInterval;
};

extern const KSPIN_DISPATCH kCapturePinDispatch;
extern const KSAUTOMATION_TABLE kCapturePinAutomation;

NTSTATUS NTAPI GetDroppedFramesProperty(PIRP irp, PKSIDENTIFIER request, PVOID data);

}  // namespace kvz
