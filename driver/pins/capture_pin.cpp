#include "driver/pins/capture_pin.h"

#include "driver/pins/capture_filter.h"
#include "driver/controls/control_property_data.h"
#include "driver/pins/pin_constants.h"
#include "driver/pins/pin_device.h"
#include "postproc/processor/frame_processor_pins.h"
#include "primitives/driver_memory.h"
#include "primitives/pool_object.h"
#include "primitives/kernel_delay.h"

namespace kvz {

namespace {

constexpr ULONG kBusyWaitLimit = 250;

const KSPROPERTY_ITEM kDroppedFramesItems[] = {
    {KSPROPERTY_DROPPEDFRAMES_CURRENT, {GetDroppedFramesProperty}, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
     sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), {nullptr}, nullptr, 0, nullptr, nullptr, 0},
};

const KSPROPERTY_SET kCapturePinSets[] = {
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, kDroppedFramesItems, 0, nullptr},
};

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
      Converter(Processing),
      Leading(nullptr),
      ReferenceClock(nullptr),
      DropFirstFrame(1),
      Busy(0),
      Orientation(),
      AcquireTimeouts(0),
      CommittedInterval(0) {}

NTSTATUS NTAPI CapturePin::Create(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  auto* object = PoolNew<CapturePin>(kTagCapturePin, pin);
  if (!object) return STATUS_INSUFFICIENT_RESOURCES;
  if (!object->Device) {
    PoolDelete(object, kTagCapturePin);
    return STATUS_UNSUCCESSFUL;
  }
  NTSTATUS status = object->CreateCommon(irp);
  if (NT_SUCCESS(status)) {
    PinDevice* device = object->Device;
    if (device->GetCaptureRunning() && device->IsTestRunning()) {
      device->RequestTestStop();
      for (ULONG i = 0; i < kBusyWaitLimit && device->GetCaptureRunning(); ++i) DelayMilliseconds(kCreateTestPollWait);
    }
  }
  return status;
}

VOID CapturePin::Destroy() {
  CapturePin* self = this;
  PoolDelete(self, kTagCapturePin);
}

NTSTATUS CapturePin::Close() {
  PAGED_CODE();
  // The resume after sleep may still hold this pin (it waits for the processing mutex or the stream
  // lock, and finds the pin no longer served once it has them).
  if (Device) Device->GetStreamOwnership()->WaitUntilUnheld(Pin);
  // A Process call still inside its frame must finish before the converter's buffers go.
  KsPinAcquireProcessingMutex(Pin);
  Converter.Release();
  if (Device && OwnsStream(kStreamCapture)) Device->SetCaptureOrientation(nullptr);
  KsPinReleaseProcessingMutex(Pin);
  ReleaseReferenceClock();
  if (Device && OwnsStream(kStreamCapture)) {
    Device->SetCaptureRunning(0);
    ReleaseStream(kStreamCapture);
  }
  return STATUS_SUCCESS;
}

VOID CapturePin::GetDroppedFrames(PKSPROPERTY_DROPPEDFRAMES_CURRENT_S out) {
  // Process writes the counts under the processing mutex; a 64-bit read beside it could tear.
  KsPinAcquireProcessingMutex(Pin);
  out->PictureNumber = PictureNumber;
  out->DropCount = DroppedFrames;
  KsPinReleaseProcessingMutex(Pin);
  out->AverageFrameSize = ConnectionFormat ? ConnectionFormat->bmiHeader.biSizeImage : 0;
}

VOID CapturePin::ResumeAfterSleep() {
  PAGED_CODE();
  KsPinAcquireProcessingMutex(Pin);
  Device->Streams()->ResumeCaptureStream(Pin);
  KsPinReleaseProcessingMutex(Pin);
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
  Orientation.Countdown = 0;
  const ULONG subtype = bitmap.biCompression ? bitmap.biCompression : kSubtypeRgb24;
  if (!Device->SetStreamFormat(&CurrentFrame, subtype, static_cast<ULONG>(bitmap.biWidth),
                               static_cast<ULONG>(bitmap.biHeight), kStreamCapture))
    return STATUS_UNSUCCESSFUL;

  const ConversionFormats formats = {CurrentFrame.SourceCode, CurrentFrame.SourceWidth, CurrentFrame.SourceHeight,
                                     subtype,                 CurrentFrame.Width,       CurrentFrame.Height,
                                     Device->Identity().listedCamera};
  NTSTATUS status = Converter.SetFormats(formats);
  if (!NT_SUCCESS(status)) return status;
  status = Processing->EnsureWorkBuffers(static_cast<ULONG>(Area(CurrentFrame.Width, CurrentFrame.Height, 3)));
  if (NT_SUCCESS(status)) status = Converter.PrepareWorkBuffers();
  if (!NT_SUCCESS(status)) return status;

  probe->bmHint = 0;
  probe->bFormatIndex = CurrentFrame.FormatIndex;
  probe->bFrameIndex = CurrentFrame.FrameIndex;
  probe->dwFrameInterval = Device->PickFrameInterval(CurrentFrame, static_cast<ULONG>(ConnectionFormat->AvgTimePerFrame));
  probe->wCompQuality = kProbeCompQuality;
  CollectDisplayPaths(&Orientation.Displays);
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
    if (NT_SUCCESS(Device->Streams()->StopStream(kStreamCapture))) {
      StreamState = kPinStopped;
      Device->SetStreamStopFailed(0);
    } else {
      Device->SetStreamStopFailed(1);
    }
  }
  Device->SetCaptureOrientation(nullptr);
  KsPinReleaseProcessingMutex(Pin);
  ReleaseReferenceClock();
  Device->SetCaptureRunning(0);
  ReleaseStream(kStreamCapture);
  DelayMilliseconds(Device->Streams()->StopSettleDelay());
  return STATUS_SUCCESS;
}

NTSTATUS CapturePin::Acquire(KSSTATE from) {
  if (from != KSSTATE_STOP) return STATUS_SUCCESS;
  // The device streams for one client at a time: look before touching the camera.
  if (!ClaimStream(kStreamCapture)) return STATUS_UNSUCCESSFUL;
  ULONG polls = 0;
  while (Device->GetCaptureRunning() && polls < kAcquirePolls) {
    DelayMilliseconds(kAcquirePollWait);
    ++polls;
  }
  if (Device->GetCaptureRunning()) ++AcquireTimeouts;
  DropFirstFrame = 1;
  if (Device->GetPowerState() != PowerDeviceD0) Device->PowerUpAndWait();
  if (AcquireTimeouts > 0) DelayMilliseconds(kAcquireTimeoutWait);
  Device->GetCurWithRetry();

  NTSTATUS status = NegotiateProbe();
  if (!NT_SUCCESS(status)) {
    if (!Device->GetCaptureRunning()) Device->Streams()->SelectZeroBandwidth();
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
  if (Device->Streams()->TransportServesOtherPin(Pin)) {
    StreamState = kPinPaused;
    return STATUS_SUCCESS;
  }
  NTSTATUS status = Device->Streams()->SuspendStream(1);
  if (!NT_SUCCESS(status) && Device->GetPowerState() != PowerDeviceD0) {
    Device->PowerUpAndWait();
    status = Device->Streams()->SuspendStream(1);
  }
  Device->SetStreamStopFailed(NT_SUCCESS(status) ? 0 : 1);
  StreamState = kPinPaused;
  return STATUS_SUCCESS;
}

NTSTATUS CapturePin::Run() {
  Processing->StartFlickerHold();
  Device->SetDisplayOrientation(0);
  Orientation.OptOut = DecideRotationOptOut(Device->GetSettings(), Orientation.OptOut);
  Device->SetCaptureOrientation(&Orientation);
  Device->SetFaceWorkFlags(kFaceWorkDetect);

  NTSTATUS status = STATUS_SUCCESS;
  if (!Device->GetRestartPending()) {
    if (StreamState == kPinPaused) {
      status = Device->Streams()->SuspendStream(0);
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
    Device->Streams()->StopStream(kStreamCapture);
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
  NTSTATUS status = Device->Streams()->PauseEndsCommit() ? NegotiateProbe() : STATUS_SUCCESS;
  // The pause may have given the bandwidth back (zero bandwidth on Windows 10): a transport
  // started on alternate setting 0 has no packets to read.
  if (NT_SUCCESS(status)) status = Device->Streams()->SelectStreamingAltSetting(PayloadSize);
  if (NT_SUCCESS(status)) status = Filter->StartStream(Pin, kStreamCapture);
  return status;
}

bool CapturePin::AcceptFrame() {
  if (DropFirstFrame) return false;
  return !Device->Streams()->TakeSkipNextFrame();
}

bool CapturePin::LockClientBuffer(PUCHAR* data, ULONG* room) {
  Leading = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (!Leading) return false;
  *data = static_cast<PUCHAR>(Leading->OffsetOut.Data);
  *room = Leading->OffsetOut.Remaining;
  return true;
}

ULONG CapturePin::WidthRequest() {
  PKS_FRAME_INFO info = Leading ? FrameInfoOf(Leading) : nullptr;
  if (info && info->lSurfacePitch > 0) {
    // A pitch is a width request like any other (even, positive and bounded), made for the
    // buffer that carries it: kept for later buffers, it would outlast this run and size frames
    // past the format a client sizes its buffers from.
    const LONG requested = info->lSurfacePitch / 2;
    if (requested > 0 && (requested & 1) == 0 && requested <= kMaxFrameSide) return static_cast<ULONG>(requested);
  }
  return RequestedWidth;
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
  KsPinAcquireProcessingMutex(Pin);
  Device->StepCaptureStream();
  FrameBuffer* frame = nullptr;
  PUCHAR data = nullptr;
  const ULONG length = Device->Streams()->TakeFrame(&frame, &data, kStreamCapture);
  if (length == 0) {
    if (frame) Device->Streams()->ReturnFrame(frame, kStreamCapture);
    KsPinReleaseProcessingMutex(Pin);
    return STATUS_PENDING;
  }

  Leading = nullptr;
  const ULONG used = Converter.Convert(data, length, FramesDelivered, this);
  PKSSTREAM_POINTER pointer = Leading;
  Leading = nullptr;

  if (used == 0) {
    // The client's buffer stays at the leading edge for the next frame.
    if (pointer) KsStreamPointerUnlock(pointer, FALSE);
    Device->Streams()->ReturnFrame(frame, kStreamCapture);
    KsPinReleaseProcessingMutex(Pin);
    DropFirstFrame = 0;
    return STATUS_SUCCESS;
  }
  // Everything is copied out: the camera frame goes back before the client hears of it.
  Device->Streams()->ReturnFrame(frame, kStreamCapture);
  Complete(pointer, used);
  if (Processing->IsFlickerRedetectRequested()) Processing->ResetFlicker();
  KsPinReleaseProcessingMutex(Pin);
  return STATUS_PENDING;
}

NTSTATUS NTAPI GetDroppedFramesProperty(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PAGED_CODE();
  if (request->Id != KSPROPERTY_DROPPEDFRAMES_CURRENT) return STATUS_NOT_SUPPORTED;
  PKSPIN pin = KsGetPinFromIrp(irp);
  auto* object = pin ? static_cast<CapturePin*>(pin->Context) : nullptr;
  if (!object) return STATUS_NOT_SUPPORTED;
  StartGetAnswer(irp, request, data);
  object->GetDroppedFrames(static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(data));
  irp->IoStatus.Information = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
  return STATUS_SUCCESS;
}

}  // namespace kvz
