#include "driver/capture_pin.h"

#include <new>

#include "driver/capture_filter.h"
#include "driver/device_settings.h"
#include "driver/pin_constants.h"
#include "postproc/pin_conversion.h"
#include "driver/pin_device.h"
#include "jpeg/jpeg_encoder.h"
#include "jpeg/mjpeg_decoder.h"
#include "postproc/image_crop_resize.h"
#include "primitives/aligned_alloc.h"
#include "primitives/driver_memory.h"

namespace kvz {

namespace {

constexpr ULONG kJpegYuy2 = 4;
constexpr ULONG kJpegBytesPerYuy2Pixel = 2;
constexpr ULONG kBusyWaitLimit = 250;

const KSPROPERTY_ITEM kDroppedFramesItems[] = {
    {KSPROPERTY_DROPPEDFRAMES_CURRENT, {GetDroppedFramesProperty}, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
     sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};

const KSPROPERTY_SET kCapturePinSets[] = {
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, kDroppedFramesItems, 0, nullptr},
};

ULONG AlignUp(ULONG value, ULONG unit) { return (value + unit - 1) / unit * unit; }

ULONGLONG Area(ULONG width, ULONG height, ULONG bytes) { return static_cast<ULONGLONG>(width) * height * bytes; }

PKS_FRAME_INFO FrameInfoOf(PKSSTREAM_POINTER pointer) {
  PKSSTREAM_HEADER header = pointer->StreamHeader;
  if (header->Size < sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) return nullptr;
  return reinterpret_cast<PKS_FRAME_INFO>(header + 1);
}

LONGLONG CurrentSystemTime() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

}  // namespace

const KSAUTOMATION_TABLE kCapturePinAutomation = {
    1, sizeof(KSPROPERTY_ITEM), kCapturePinSets, 0, sizeof(KSMETHOD_ITEM), nullptr, 0, sizeof(KSEVENT_ITEM), nullptr,
};

const KSPIN_DISPATCH kCapturePinDispatch = {
    CapturePin::Create,      // Create: the pin object, its format copy and framing
    PinCloseThunk,           // Close: decoder and work buffers
    PinProcessThunk,         // Process: one camera frame into the client's buffer
    nullptr,                 // Reset
    PinSetDataFormat,        // SetDataFormat: format checks, YUY2 width requests
    PinSetDeviceStateThunk,  // SetDeviceState: STOP, ACQUIRE, PAUSE, RUN
    nullptr,                 // Connect
    nullptr,                 // Disconnect
    nullptr,                 // Clock
    nullptr,                 // Allocator
};

CapturePin::CapturePin(PKSPIN pin)
    : CameraPinBase(pin),
      FirstFrameTime(kFirstFrameNone),
      PictureNumber(0),
      DroppedFrames(0),
      FramesDelivered(0),
      CurrentFrame(),
      Decoder(nullptr),
      OutputSubtype(0),
      WorkBuffer1(nullptr),
      WorkBuffer2(nullptr),
      WorkBufferSize1(0),
      WorkBufferSize2(0),
      ReferenceClock(nullptr),
      DropFirstFrame(1),
      ScanRestartInterval(1),
      RestartInterval(0),
      Busy(0),
      RotationOptOut(0),
      EncoderWorkspace(nullptr),
      OrientationCountdown(0),
      Displays(),
      AcquireTimeouts(0),
      CommittedInterval(0) {}

NTSTATUS NTAPI CapturePin::Create(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  auto* block = ExAllocatePoolWithTag(DriverPoolType, sizeof(CapturePin), kTagCapturePin);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, sizeof(CapturePin));
  auto* object = new (block) CapturePin(pin);
  if (!object->Device) {
    ExFreePoolWithTag(block, kTagCapturePin);
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS status = object->CreateCommon(irp);
  if (NT_SUCCESS(status)) {
    PinDevice* device = object->Device;
    if (device->GetCaptureRunning() && device->IsTestRunning()) {
      device->RequestTestStop();
      for (ULONG i = 0; i < kBusyWaitLimit && device->GetCaptureRunning(); ++i) Sleep(kCreateTestPollWait);
    }
  }
  return status;
}

NTSTATUS CapturePin::Close() {
  PAGED_CODE();
  // A Process call still inside its frame must finish before the decoder and buffers go.
  KsPinAcquireProcessingMutex(Pin);
  if (Decoder) delete Decoder;
  Decoder = nullptr;
  if (EncoderWorkspace) {
    EncoderWorkspace->Release();
    prim::FreeAligned(EncoderWorkspace);
  }
  EncoderWorkspace = nullptr;
  if (WorkBuffer1) ExFreePoolWithTag(WorkBuffer1, kTagFrameBuffer);
  if (WorkBuffer2) ExFreePoolWithTag(WorkBuffer2, kTagFrameBuffer);
  WorkBuffer1 = WorkBuffer2 = nullptr;
  WorkBufferSize1 = WorkBufferSize2 = 0;
  KsPinReleaseProcessingMutex(Pin);
  ReleaseReferenceClock();
  if (Device && OwnsStream(kStreamCapture)) {
    Device->SetCaptureRunning(0);
    ReleaseStream(kStreamCapture);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CapturePin::EnsureWorkBuffers(ULONG size) {
  PAGED_CODE();
  PUCHAR* buffers[] = {&WorkBuffer1, &WorkBuffer2};
  ULONG* sizes[] = {&WorkBufferSize1, &WorkBufferSize2};
  for (ULONG i = 0; i < 2; ++i) {
    if (*buffers[i] && *sizes[i] >= size) continue;
    if (*buffers[i]) ExFreePoolWithTag(*buffers[i], kTagFrameBuffer);
    *sizes[i] = size;
    *buffers[i] = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, size, kTagFrameBuffer));
    if (!*buffers[i]) {
      *sizes[i] = 0;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  return STATUS_SUCCESS;
}

PUCHAR CapturePin::ScaleYuy2Frame(const UCHAR* source, ULONG width, ULONG height, ULONG newWidth, ULONG) {
  ConvertYuy2ToRgb24BottomUp(source, WorkBuffer1, width, height);
  ResampleRowsHorizontal(WorkBuffer1, WorkBuffer2, width, height, newWidth);
  ConvertRgb24ToYuy2(WorkBuffer2, WorkBuffer1, newWidth, height);
  return WorkBuffer1;
}

VOID CapturePin::GetDroppedFrames(PKSPROPERTY_DROPPEDFRAMES_CURRENT_S out) const {
  out->PictureNumber = PictureNumber;
  out->DropCount = DroppedFrames;
  out->AverageFrameSize = ConnectionFormat ? ConnectionFormat->bmiHeader.biSizeImage : 0;
}

NTSTATUS CapturePin::BuildProbe(PUCHAR* block, PULONG length) {
  PAGED_CODE();
  auto* probe = static_cast<VideoProbeControl*>(ExAllocatePoolWithTag(DriverPoolType, kVideoProbeLength, kTagVideoProbe));
  if (!probe) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(probe, kVideoProbeLength);
  *block = reinterpret_cast<PUCHAR>(probe);
  *length = kVideoProbeLength;
  // The copy is current: every accepted format change replaced it.
  const KS_BITMAPINFOHEADER& bitmap = ConnectionFormat->bmiHeader;
  OrientationCountdown = 0;
  OutputSubtype = bitmap.biCompression ? bitmap.biCompression : kSubtypeRgb24;
  if (!Device->SetStreamFormat(&CurrentFrame, OutputSubtype, static_cast<ULONG>(bitmap.biWidth),
                               static_cast<ULONG>(bitmap.biHeight), kStreamCapture))
    return STATUS_UNSUCCESSFUL;

  const ULONGLONG offered = Area(CurrentFrame.Width, CurrentFrame.Height, 3);
  const ULONGLONG decoded = Area(AlignUp(CurrentFrame.SourceWidth, 16), AlignUp(CurrentFrame.SourceHeight, 8), 2);
  const ULONGLONG size = offered > decoded ? offered : decoded;
  if (size > kMaxImageBytes) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = Device->EnsureProcessorWorkBuffers(static_cast<ULONG>(offered));
  if (NT_SUCCESS(status)) status = EnsureWorkBuffers(static_cast<ULONG>(size));
  if (!NT_SUCCESS(status)) return status;

  probe->bmHint = 0;
  probe->bFormatIndex = CurrentFrame.FormatIndex;
  probe->bFrameIndex = CurrentFrame.FrameIndex;
  probe->dwFrameInterval = Device->PickFrameInterval(CurrentFrame, static_cast<ULONG>(ConnectionFormat->AvgTimePerFrame));
  probe->wCompQuality = kProbeCompQuality;
  CollectDisplayPaths(&Displays);
  return STATUS_SUCCESS;
}

NTSTATUS CapturePin::CommitProbe(PUCHAR block, ULONG length) {
  PAGED_CODE();
  NTSTATUS status = ProbeCommitControl(kVsProbeControl, kVsCommitControl, block, length);
  if (NT_SUCCESS(status)) {
    const auto* probe = reinterpret_cast<const VideoProbeControl*>(block);
    PayloadSize = probe->dwMaxPayloadTransferSize;
    CommittedInterval = probe->dwFrameInterval;
  }
  return status;
}

VOID CapturePin::ReleaseReferenceClock() {
  if (ReferenceClock) ReferenceClock->Release();
  ReferenceClock = nullptr;
}

NTSTATUS CapturePin::SetDeviceState(KSSTATE to, KSSTATE from) {
  PAGED_CODE();
  if (InterlockedExchange(&Busy, 1)) return STATUS_UNSUCCESSFUL;
  NTSTATUS status = STATUS_SUCCESS;
  switch (to) {
    case KSSTATE_STOP:
      status = Stop(from);
      break;
    case KSSTATE_ACQUIRE:
      status = Acquire(from);
      break;
    case KSSTATE_PAUSE:
      status = Pause(from);
      break;
    case KSSTATE_RUN:
      status = Run();
      break;
  }
  InterlockedExchange(&Busy, 0);
  return status;
}

NTSTATUS CapturePin::Stop(KSSTATE from) {
  // Another client's pin that never acquired the stream must not stop it.
  if (!OwnsStream(kStreamCapture)) {
    ReleaseReferenceClock();
    return STATUS_SUCCESS;
  }
  KsPinAcquireProcessingMutex(Pin);
  if (StreamState != kPinStopped || from == KSSTATE_ACQUIRE) {
    if (NT_SUCCESS(Device->StopStream(kStreamCapture))) {
      StreamState = kPinStopped;
      Device->SetStreamStopFailed(0);
    } else {
      Device->SetStreamStopFailed(1);
    }
  }
  KsPinReleaseProcessingMutex(Pin);
  ReleaseReferenceClock();
  Device->SetCaptureRunning(0);
  ReleaseStream(kStreamCapture);
  Sleep(Device->HasBulkTransport() ? kStopSettleBulk : kStopSettleIsoch);
  return STATUS_SUCCESS;
}

NTSTATUS CapturePin::Acquire(KSSTATE from) {
  if (from != KSSTATE_STOP) return STATUS_SUCCESS;
  // The device streams for one client at a time: look before touching the camera.
  if (!ClaimStream(kStreamCapture)) return STATUS_UNSUCCESSFUL;
  ULONG polls = 0;
  while (Device->GetCaptureRunning() && polls < kAcquirePolls) {
    Sleep(kAcquirePollWait);
    ++polls;
  }
  if (Device->GetCaptureRunning()) ++AcquireTimeouts;
  DropFirstFrame = 1;
  if (Device->GetPowerState() != PowerDeviceD0) Device->PowerUpAndWait();
  if (AcquireTimeouts > 0) Sleep(kAcquireTimeoutWait);
  Device->GetCurWithRetry();

  NTSTATUS status = NegotiateProbe();
  if (!NT_SUCCESS(status)) {
    if (!Device->GetCaptureRunning()) Device->SelectZeroBandwidth();
    status = NegotiateProbe();
  }
  if (NT_SUCCESS(status) && Device->GetCaptureRunning()) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status) && Filter) status = Filter->ConfigureStream(ConnectionFormat, PayloadSize, kStreamCapture);
  if (!NT_SUCCESS(status)) {
    ReleaseStream(kStreamCapture);
    return status;
  }
  if (!NT_SUCCESS(KsPinGetReferenceClockInterface(Pin, &ReferenceClock))) ReferenceClock = nullptr;
  return status;
}

NTSTATUS CapturePin::Pause(KSSTATE from) {
  if (from != KSSTATE_RUN) return STATUS_SUCCESS;
  if (Device->IsochServesOtherPin(Pin)) {
    StreamState = kPinPaused;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = Device->SuspendStream(1);
  if (!NT_SUCCESS(status) && Device->GetPowerState() != PowerDeviceD0) {
    Device->PowerUpAndWait();
    status = Device->SuspendStream(1);
  }
  Device->SetStreamStopFailed(NT_SUCCESS(status) ? 0 : 1);
  StreamState = kPinPaused;
  return STATUS_SUCCESS;
}

NTSTATUS CapturePin::Run() {
  Device->StartFlickerHold();
  Device->SetDisplayOrientation(0);
  RotationOptOut = DecideRotationOptOut(Device->GetSettings(), RotationOptOut);
  Device->MarkCaptureStarted();

  NTSTATUS status = STATUS_SUCCESS;
  if (!Device->GetRestartPending()) {
    if (StreamState == kPinPaused) {
      status = Device->SuspendStream(0);
      if (status == kStatusRestartStream) status = RestartStream();
      if (NT_SUCCESS(status)) {
        StreamState = kPinRunning;
        Device->SetCaptureRunning(1);
      }
      return status;
    }
  } else if (StreamState == kPinPaused) {
    // The first RUN after a system sleep: negotiate and start afresh.
    if (Device->GetPowerState() != PowerDeviceD0) Device->PowerUpAndWait();
    Device->GetCurWithRetry();
    Device->ClearRestartPending();
    KsPinAcquireProcessingMutex(Pin);
    Device->StopStream(kStreamCapture);
    KsPinReleaseProcessingMutex(Pin);
    StreamState = kPinStopped;
    ReleaseReferenceClock();
    status = NegotiateProbe();
    if (!NT_SUCCESS(status)) return status;
    status = Filter ? Filter->ConfigureStream(ConnectionFormat, PayloadSize, kStreamCapture) : STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(KsPinGetReferenceClockInterface(Pin, &ReferenceClock))) ReferenceClock = nullptr;
  }

  FramesDelivered = 0;
  PictureNumber = 0;
  DroppedFrames = 0;
  FirstFrameTime = kFirstFrameNone;
  if (NT_SUCCESS(status) && PayloadSize != 0 && Filter)
    status = Filter->StartStream(Pin, kStreamCapture);
  else
    status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) {
    StreamState = kPinRunning;
    Device->SetCaptureRunning(1);
  }
  return status;
}

NTSTATUS CapturePin::RestartStream() {
  if (!Filter) return STATUS_UNSUCCESSFUL;
  // A bulk transport's pause reset the endpoint, and with it the camera's commit.
  NTSTATUS status = Device->HasBulkTransport() ? NegotiateProbe() : STATUS_SUCCESS;
  // The pause may have given the bandwidth back (zero bandwidth on Windows 10): a transport
  // started on alternate setting 0 has no packets to read.
  if (NT_SUCCESS(status)) status = Device->SelectStreamingAltSetting(PayloadSize);
  if (NT_SUCCESS(status)) status = Filter->StartStream(Pin, kStreamCapture);
  return status;
}

bool CapturePin::NeedsDecode() const {
  if (Device->IsListedCamera()) return false;
  const DeviceSettings* s = Device->GetSettings();
  return LoadSetting(s->hFlip) || LoadSetting(s->vFlip) || Device->GetDisplayOrientation() != 0 ||
         LoadSetting(s->zoomScale) > kNoZoom || LoadSetting(s->records[kRecordPowerLine].current) == 0 ||
         LoadSetting(s->records[kRecordPrivacy].current) != 0 || CurrentFrame.Width != CurrentFrame.SourceWidth ||
         CurrentFrame.Height != CurrentFrame.SourceHeight;
}

bool CapturePin::NeedsPassThrough() const {
  if (Device->IsListedCamera()) return true;
  const DeviceSettings* s = Device->GetSettings();
  return !LoadSetting(s->hFlip) && !LoadSetting(s->vFlip) && Device->GetDisplayOrientation() == 0 &&
         LoadSetting(s->zoomScale) <= kNoZoom && LoadSetting(s->records[kRecordPrivacy].current) == 0 &&
         CurrentFrame.Width == CurrentFrame.SourceWidth && CurrentFrame.Height == CurrentFrame.SourceHeight;
}

bool CapturePin::AcceptFrame() {
  if (DropFirstFrame) return false;
  return !Device->TakeSkipNextFrame();
}

PUCHAR CapturePin::OfferedSizeFrame(PUCHAR frame) {
  const LONG w = CurrentFrame.Width, h = CurrentFrame.Height;
  const LONG sw = CurrentFrame.SourceWidth, sh = CurrentFrame.SourceHeight;
  if (w == sw && h == sh) return frame;
  // A size the format file added: the camera sends a neighbouring size, scaled here first. The
  // caller has grown the work buffers: growing them here would free the frame when it lies in
  // WorkBuffer1, and a pointer into WorkBuffer2 must outlive this call.
  if (WorkBufferSize2 < Area(w, h, 2) || !NT_SUCCESS(ResizeImage(frame, WorkBuffer2, sw, sh, w, h, kSubtypeYuy2)))
    return nullptr;
  return WorkBuffer2;
}

VOID CapturePin::OfferSourceFrame(const UCHAR* frame) {
  const ULONG sw = CurrentFrame.SourceWidth, sh = CurrentFrame.SourceHeight;
  OfferToFaceDetection(frame, static_cast<ULONG>(Area(sw, sh, 2)), static_cast<LONG>(sw), static_cast<LONG>(sh), 0);
}

VOID CapturePin::OfferToFaceDetection(const UCHAR* frame, ULONG length, LONG width, LONG height, LONG mjpeg) {
  if (FramesDelivered % kFaceOfferPeriod == 0)
    Device->SubmitFrame(frame, length, width, height, RotationOptOut, mjpeg, FramesDelivered);
}

ULONG CapturePin::DeliverRgb24(PUCHAR frame, ULONG length, PKSSTREAM_POINTER* pointer) {
  const ULONG w = CurrentFrame.Width, h = CurrentFrame.Height;
  // MJPG offered as RGB24: the camera's picture is decoded first.
  const bool mjpeg = CurrentFrame.SourceCode == kSubtypeMjpg;
  if ((!mjpeg && length != Area(CurrentFrame.SourceWidth, CurrentFrame.SourceHeight, 2)) || !AcceptFrame()) return 0;
  *pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
  const ULONGLONG bytes = Area(w, h, 3);
  if (!*pointer || (*pointer)->OffsetOut.Remaining < bytes) return 0;
  if (!NT_SUCCESS(EnsureWorkBuffers(static_cast<ULONG>(bytes)))) return 0;
  if (mjpeg) {
    ULONG width = 0, height = 0;
    ScanMjpegHeaders(frame, length, &width, &height);
    if (width != CurrentFrame.SourceWidth || height != CurrentFrame.SourceHeight || !DecodeMjpeg(frame, length)) return 0;
    frame = WorkBuffer1;
  }
  OfferSourceFrame(frame);
  PUCHAR source = OfferedSizeFrame(frame);
  PUCHAR data = source ? Device->ProcessFrame(source, static_cast<LONG>(w), static_cast<LONG>(h)) : nullptr;
  if (!data) return 0;
  ConvertYuy2ToRgb24BottomUp(data, (*pointer)->OffsetOut.Data, w, h);
  return static_cast<ULONG>(bytes);
}

ULONG CapturePin::DeliverYuy2(PUCHAR frame, ULONG length, PKSSTREAM_POINTER* pointer) {
  *pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (!*pointer || length != Area(CurrentFrame.SourceWidth, CurrentFrame.SourceHeight, 2) || !AcceptFrame()) return 0;
  ULONG w = CurrentFrame.Width;
  const ULONG h = CurrentFrame.Height;
  PKS_FRAME_INFO info = FrameInfoOf(*pointer);
  if (info && info->lSurfacePitch != 0) {
    // A pitch is a width request like any other: even, positive and bounded.
    const LONG requested = info->lSurfacePitch / 2;
    if (info->lSurfacePitch > 0 && (requested & 1) == 0 && requested <= kMaxFrameSide)
      RequestedWidth = static_cast<ULONG>(requested);
  }
  const ULONG r = RequestedWidth;
  // Everything the frame needs of the work buffers, grown before any pointer into them is
  // taken: a growth frees both.
  ULONGLONG work = w != CurrentFrame.SourceWidth || h != CurrentFrame.SourceHeight ? Area(w, h, 3) : 0;
  if (r != 0 && r != w && Area(r, h, 3) > work) work = Area(r, h, 3);
  if (work != 0 && !NT_SUCCESS(EnsureWorkBuffers(static_cast<ULONG>(work)))) return 0;
  PUCHAR data = OfferedSizeFrame(frame);
  if (!data) return 0;
  if (r != 0 && r != w) {
    if (r > w) {
      data = ScaleYuy2Frame(data, w, h, r, h);
    } else {
      if (!NT_SUCCESS(ResizeImage(data, WorkBuffer1, static_cast<LONG>(w), static_cast<LONG>(h), static_cast<LONG>(r),
                                  static_cast<LONG>(h), kSubtypeYuy2)))
        return 0;
      data = WorkBuffer1;
    }
    w = r;
  }
  const ULONGLONG bytes = Area(w, h, 2);
  if ((*pointer)->OffsetOut.Remaining < bytes) return 0;
  // Before ProcessFrame, which may change the camera's frame in place.
  OfferSourceFrame(frame);
  data = Device->ProcessFrame(data, static_cast<LONG>(w), static_cast<LONG>(h));
  if (!data) return 0;
  RtlCopyMemory((*pointer)->OffsetOut.Data, data, static_cast<SIZE_T>(bytes));
  return static_cast<ULONG>(bytes);
}

VOID CapturePin::ScanMjpegHeaders(const UCHAR* frame, ULONG length, ULONG* width, ULONG* height) {
  *width = *height = 0;
  if (length < 2) return;
  // Each marker's fields are read only when they lie inside the frame.
  if (ScanRestartInterval) {
    for (ULONG i = 0; i + 2 <= length; ++i) {
      if (frame[i] == 0xFF && frame[i + 1] == 0xDD) {
        if (i + 5 < length) RestartInterval = frame[i + 5];
        break;
      }
    }
    ScanRestartInterval = 0;
  }
  for (ULONG i = 0; i + 2 <= length; ++i) {
    if (frame[i] == 0xFF && frame[i + 1] == 0xC0) {
      if (i + 8 < length) {
        *height = static_cast<ULONG>(frame[i + 5]) << 8 | frame[i + 6];
        *width = static_cast<ULONG>(frame[i + 7]) << 8 | frame[i + 8];
      }
      return;
    }
  }
}

bool CapturePin::DecodeMjpeg(const UCHAR* frame, ULONG length) {
  const ULONG sw = CurrentFrame.SourceWidth, sh = CurrentFrame.SourceHeight;
  if (!Decoder) Decoder = new jpeg::MjpegDecoder();
  const ULONGLONG decoded = Area(AlignUp(sw, 16), AlignUp(sh, 8), 2);
  const ULONGLONG offered = Area(CurrentFrame.Width, CurrentFrame.Height, 3);
  if (!Decoder || !NT_SUCCESS(EnsureWorkBuffers(static_cast<ULONG>(decoded > offered ? decoded : offered)))) return false;
  int32_t outWidth = static_cast<int32_t>(sw), outHeight = static_cast<int32_t>(sh);
  return Decoder->Decode(frame, static_cast<int32_t>(length), WorkBuffer1, static_cast<int32_t>(Area(sw, sh, 2)),
                         &outWidth, &outHeight, kJpegYuy2) == 0 &&
         outWidth == static_cast<int32_t>(sw) && outHeight == static_cast<int32_t>(sh);
}

ULONG CapturePin::DeliverMjpeg(PUCHAR frame, ULONG length, PKSSTREAM_POINTER* pointer) {
  if (!AcceptFrame()) return 0;
  ULONG width = 0, height = 0;
  ScanMjpegHeaders(frame, length, &width, &height);
  const ULONG sw = CurrentFrame.SourceWidth, sh = CurrentFrame.SourceHeight;
  if (width != sw || height != sh) return 0;
  const LONG w = CurrentFrame.Width, h = CurrentFrame.Height;

  PUCHAR data = nullptr;
  if (!NeedsDecode()) {
    OfferToFaceDetection(frame, length, static_cast<LONG>(sw), static_cast<LONG>(sh), 1);
  } else {
    if (!DecodeMjpeg(frame, length)) return 0;
    OfferSourceFrame(WorkBuffer1);
    data = OfferedSizeFrame(WorkBuffer1);
    data = data ? Device->ProcessFrame(data, w, h) : nullptr;
    if (!data) return 0;
  }

  *pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (!*pointer) return 0;
  const ULONG room = (*pointer)->OffsetOut.Remaining;
  if (!data || NeedsPassThrough()) {
    if (room < length) return 0;
    RtlCopyMemory((*pointer)->OffsetOut.Data, frame, length);
    return length;
  }
  if (!EncoderWorkspace) {
    EncoderWorkspace = reinterpret_cast<jpeg::JpegEncoder*>(prim::AllocAligned8u(sizeof(jpeg::JpegEncoder)));
    if (!EncoderWorkspace) return 0;
    EncoderWorkspace->Reset();
  }
  int32_t encoded = 0;
  if (jpeg::JpegEncodeFrame(data, kJpegYuy2, kJpegBytesPerYuy2Pixel, (*pointer)->OffsetOut.Data,
                            static_cast<int32_t>(room > 0x7FFFFFFFu ? 0x7FFFFFFFu : room), &encoded, w, h, kEncodeQuality,
                            RestartInterval, kEncodeCpuAuto, EncoderWorkspace) != 0 ||
      encoded <= 0)
    return 0;
  return static_cast<ULONG>(encoded);
}

VOID CapturePin::Complete(PKSSTREAM_POINTER pointer, ULONG used) {
  PKSSTREAM_HEADER header = pointer->StreamHeader;
  // Frames come at the interval the camera committed; the client's may be one the camera does not
  // list (the probe took the nearest listed one), and counting in it would invent or hide drops.
  const LONGLONG interval =
      CommittedInterval != 0 ? static_cast<LONGLONG>(CommittedInterval) : ConnectionFormat->AvgTimePerFrame;
  header->Duration = ConnectionFormat->AvgTimePerFrame;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  LONGLONG time;
  if (ReferenceClock) {
    LONGLONG system = 0;
    time = ReferenceClock->GetCorrelatedTime(&system);
  } else {
    time = CurrentSystemTime();
  }
  if (FirstFrameTime == kFirstFrameNone) FirstFrameTime = time;
  ++FramesDelivered;
  // The frame's number counted from 1 at the nearest whole interval since the first frame.
  if (interval > 0) {
    LONGLONG elapsed = time - FirstFrameTime;
    if (elapsed < 0) elapsed = 0;
    PictureNumber = (elapsed + interval / 2) / interval + 1;
  } else {
    PictureNumber = FramesDelivered;
  }
  DroppedFrames = PictureNumber > FramesDelivered ? PictureNumber - FramesDelivered : 0;

  PKS_FRAME_INFO info = FrameInfoOf(pointer);
  if (info) {
    info->ExtendedHeaderSize = kFrameInfoSize;
    info->PictureNumber = ReferenceClock ? PictureNumber : 0;
    info->DropCount = ReferenceClock ? DroppedFrames : 0;
  }
  header->PresentationTime.Time = ReferenceClock ? time : 0;
  header->OptionsFlags = ReferenceClock ? kOptionsWithClock : kOptionsWithoutClock;
  header->DataUsed = used;
  KsStreamPointerUnlock(pointer, TRUE);
}

NTSTATUS CapturePin::Process() {
  PAGED_CODE();
  LONG* countdown = Device->SensorSetupCountdown();
  if (*countdown == 1) {
    Device->WriteSensorSetup();
    *countdown = kSensorSetupDone;
  } else if (*countdown != kSensorSetupDone) {
    ++*countdown;
  }

  KsPinAcquireProcessingMutex(Pin);
  if (RotationOptOut) {
    Device->SetDisplayOrientation(0);
  } else if (OrientationCountdown < static_cast<LONG>(kOrientationPeriod)) {
    ++OrientationCountdown;
  } else {
    Device->SetDisplayOrientation(LookUpDisplayOrientation(&Displays, LoadSetting(Device->GetSettings()->rotation)));
    OrientationCountdown = 0;
  }

  FrameBuffer* frame = nullptr;
  PUCHAR data = nullptr;
  const ULONG length = Device->TakeFrame(&frame, &data, kStreamCapture);
  if (length == 0) {
    if (frame) Device->ReturnFrame(frame, kStreamCapture);
    KsPinReleaseProcessingMutex(Pin);
    return STATUS_PENDING;
  }

  PKSSTREAM_POINTER pointer = nullptr;
  ULONG used = 0;
  if (OutputSubtype == kSubtypeRgb24)
    used = DeliverRgb24(data, length, &pointer);
  else if (OutputSubtype == kSubtypeYuy2)
    used = DeliverYuy2(data, length, &pointer);
  else
    used = DeliverMjpeg(data, length, &pointer);

  if (used == 0) {
    // The client's buffer stays at the leading edge for the next frame.
    if (pointer) KsStreamPointerUnlock(pointer, FALSE);
    Device->ReturnFrame(frame, kStreamCapture);
    KsPinReleaseProcessingMutex(Pin);
    DropFirstFrame = 0;
    return STATUS_SUCCESS;
  }
  // Everything is copied out: the camera frame goes back before the client hears of it.
  Device->ReturnFrame(frame, kStreamCapture);
  Complete(pointer, used);
  if (Device->IsFlickerRedetectRequested()) Device->ResetFlicker();
  KsPinReleaseProcessingMutex(Pin);
  return STATUS_PENDING;
}

NTSTATUS NTAPI GetDroppedFramesProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  if (request->Id != KSPROPERTY_DROPPEDFRAMES_CURRENT) return STATUS_NOT_SUPPORTED;
  PKSPIN pin = KsGetPinFromIrp(irp);
  auto* object = pin ? static_cast<CapturePin*>(pin->Context) : nullptr;
  if (!object) return STATUS_NOT_SUPPORTED;
  object->GetDroppedFrames(static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(data));
  irp->IoStatus.Information = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
  return STATUS_SUCCESS;
}

}  // namespace kvz
