#include "driver/pins/still_pin.h"

#include "driver/pins/capture_filter.h"
#include "driver/pins/pin_constants.h"
#include "driver/pins/pin_device.h"
#include "postproc/processor/frame_processor_pins.h"
#include "primitives/driver_memory.h"
#include "primitives/pool_object.h"
#include "usb/usb_device.h"

namespace kvz {

const KSPIN_DISPATCH kStillPinDispatch = {
    StillPin::Create,        // Create: the pin object, its format copy and framing
    PinCloseThunk,           // Close: still buffer, still button off
    PinProcessThunk,         // Process: one still frame into the client's buffer
    nullptr,                 // Reset
    PinSetDataFormat,        // SetDataFormat
    PinSetDeviceStateThunk,  // SetDeviceState
    nullptr,                 // Connect
    nullptr,                 // Disconnect
    nullptr,                 // Clock
    nullptr,                 // Allocator
};

StillPin::StillPin(PKSPIN pin)
    : CameraPinBase(pin),
      CurrentFrame(),
      OutputSubtype(0),
      Converter(Processing),
      CountedOpen(false) {}

NTSTATUS NTAPI StillPin::Create(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  auto* object = PoolNew<StillPin>(kTagStillPin, pin);
  if (!object) return STATUS_INSUFFICIENT_RESOURCES;
  if (!object->Device) {
    PoolDelete(object, kTagStillPin);
    return STATUS_UNSUCCESSFUL;
  }
  const NTSTATUS status = object->CreateCommon(irp);
  // A button press now triggers a still. Counted only once created: a failed create may have
  // freed the object, and no close follows it.
  if (NT_SUCCESS(status)) {
    object->Device->GetUsbDevice()->AddStillPin();
    object->CountedOpen = true;
  }
  return status;
}

VOID StillPin::Destroy() {
  StillPin* self = this;
  PoolDelete(self, kTagStillPin);
}

NTSTATUS StillPin::Close() {
  PAGED_CODE();
  KsPinAcquireProcessingMutex(Pin);
  Converter.Release();
  KsPinReleaseProcessingMutex(Pin);
  if (Device) {
    if (CountedOpen) Device->GetUsbDevice()->RemoveStillPin();
    CountedOpen = false;
    ReleaseStream(kStreamStill);
  }
  return STATUS_SUCCESS;
}

NTSTATUS StillPin::BuildProbe(PUCHAR* block, PULONG length) {
  PAGED_CODE();
  auto* probe = static_cast<StillProbeControl*>(ExAllocatePoolWithTag(DriverPoolType, kStillProbeLength, kTagStillProbe));
  if (!probe) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(probe, kStillProbeLength);
  *block = reinterpret_cast<PUCHAR>(probe);
  *length = kStillProbeLength;
  const KS_BITMAPINFOHEADER& bitmap = ConnectionFormat->bmiHeader;
  OutputSubtype = bitmap.biCompression ? bitmap.biCompression : kSubtypeRgb24;
  const bool found = Device->SetStreamFormat(&CurrentFrame, OutputSubtype, static_cast<ULONG>(bitmap.biWidth),
                                             static_cast<ULONG>(bitmap.biHeight), kStreamStill);
  // The converter follows the frame entry as it stands, found or not, as Process reads it.
  Converter.SetFormats({CurrentFrame.SourceCode, CurrentFrame.SourceWidth, CurrentFrame.SourceHeight, OutputSubtype,
                        CurrentFrame.Width, CurrentFrame.Height, false});
  if (!found) return STATUS_UNSUCCESSFUL;
  probe->bFormatIndex = CurrentFrame.FormatIndex;
  probe->bFrameIndex = CurrentFrame.FrameIndex;
  return STATUS_SUCCESS;
}

NTSTATUS StillPin::CommitProbe(PUCHAR block, ULONG length) {
  PAGED_CODE();
  NTSTATUS status = ProbeCommitControl(kVsStillProbeControl, kVsStillCommitControl, block, length);
  if (NT_SUCCESS(status)) PayloadSize = reinterpret_cast<const StillProbeControl*>(block)->dwMaxPayloadTransferSize;
  return status;
}

NTSTATUS StillPin::SetDeviceState(KSSTATE to, KSSTATE from) {
  PAGED_CODE();
  NTSTATUS status = STATUS_SUCCESS;
  switch (to) {
    case KSSTATE_STOP:
      // Only the pin that holds the still stream stops it.
      if (OwnsStream(kStreamStill)) {
        if (StreamState != kPinStopped) {
          KsPinAcquireProcessingMutex(Pin);
          Device->Streams()->StopStream(kStreamStill);
          KsPinReleaseProcessingMutex(Pin);
        }
        StreamState = kPinStopped;
        ReleaseStream(kStreamStill);
      }
      break;
    case KSSTATE_ACQUIRE:
      if (from != KSSTATE_STOP) break;
      if (!ClaimStream(kStreamStill)) return STATUS_UNSUCCESSFUL;
      status = NegotiateProbe();
      if (NT_SUCCESS(status)) status = Filter ? Filter->ConfigureStream(ConnectionFormat, PayloadSize, kStreamStill)
                                              : STATUS_UNSUCCESSFUL;
      if (!NT_SUCCESS(status)) ReleaseStream(kStreamStill);
      break;
    case KSSTATE_PAUSE:
      if (from == KSSTATE_RUN) StreamState = kPinPaused;
      break;
    case KSSTATE_RUN:
      if (StreamState == kPinPaused) {
        KsPinAcquireProcessingMutex(Pin);
        Device->Streams()->StopStream(kStreamStill);
        KsPinReleaseProcessingMutex(Pin);
        if (NT_SUCCESS(NegotiateProbe()) && Filter) Filter->ConfigureStream(ConnectionFormat, PayloadSize, kStreamStill);
      }
      status = PayloadSize != 0 && Filter ? Filter->StartStream(Pin, kStreamStill) : STATUS_UNSUCCESSFUL;
      if (NT_SUCCESS(status)) StreamState = kPinRunning;
      break;
  }
  return status;
}

NTSTATUS StillPin::Process() {
  PAGED_CODE();
  KsPinAcquireProcessingMutex(Pin);
  FrameBuffer* frame = nullptr;
  PUCHAR data = nullptr;
  const ULONG length = Device->Streams()->TakeFrame(&frame, &data, kStreamStill);
  if (length == 0) {
    if (frame) Device->Streams()->ReturnFrame(frame, kStreamStill);
    KsPinReleaseProcessingMutex(Pin);
    return STATUS_PENDING;
  }

  PKSSTREAM_POINTER pointer = nullptr;
  ULONG used = 0;
  bool deliver = false;
  if (OutputSubtype == kSubtypeRgb24 || OutputSubtype == kSubtypeYuy2) {
    PUCHAR picture = Converter.Convert(data, length);
    if (picture) {
      pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
      deliver = pointer != nullptr;
    }
    if (deliver) {
      // A still larger than the client's buffer is cut to it.
      const ULONGLONG bytes = static_cast<ULONGLONG>(CurrentFrame.Width) * CurrentFrame.Height *
                              (OutputSubtype == kSubtypeRgb24 ? 3 : 2);
      used = pointer->OffsetOut.Remaining < bytes ? pointer->OffsetOut.Remaining : static_cast<ULONG>(bytes);
      RtlCopyMemory(pointer->OffsetOut.Data, picture, used);
    }
  } else {
    pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
    deliver = pointer != nullptr;
    if (deliver) {
      // A still that does not fit is delivered empty.
      used = pointer->OffsetOut.Remaining < length ? 0 : length;
      RtlCopyMemory(pointer->OffsetOut.Data, data, used);
    }
  }

  if (!deliver) {
    Device->Streams()->ReturnFrame(frame, kStreamStill);
    KsPinReleaseProcessingMutex(Pin);
    return STATUS_SUCCESS;
  }
  PKSSTREAM_HEADER header = pointer->StreamHeader;
  header->Duration = ConnectionFormat->AvgTimePerFrame;
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  header->PresentationTime.Time = 0;
  header->OptionsFlags = kStillOptions;
  header->DataUsed = used;
  Device->Streams()->ReturnFrame(frame, kStreamStill);
  KsStreamPointerUnlock(pointer, TRUE);
  KsPinReleaseProcessingMutex(Pin);
  return STATUS_PENDING;
}

}  // namespace kvz
