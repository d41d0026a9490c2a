#include "driver/still_pin.h"

#include <new>

#include "driver/capture_filter.h"
#include "driver/pin_constants.h"
#include "driver/pin_conversion.h"
#include "driver/pin_device.h"
#include "primitives/driver_memory.h"
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
    : CameraPinBase(pin), CurrentFrame(), OutputSubtype(0), StillBuffer(nullptr), StillBufferSize(0) {}

NTSTATUS NTAPI StillPin::Create(PKSPIN pin, PIRP irp) {
  PAGED_CODE();
  auto* block = ExAllocatePoolWithTag(DriverPoolType, sizeof(StillPin), kTagStillPin);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(block, sizeof(StillPin));
  auto* object = new (block) StillPin(pin);
  if (!object->Device) {
    ExFreePoolWithTag(block, kTagStillPin);
    return STATUS_UNSUCCESSFUL;
  }
  // A button press now triggers a still.
  object->Device->GetUsbDevice()->SetStillPinOpen(1);
  return object->CreateCommon(irp);
}

NTSTATUS StillPin::Close() {
  PAGED_CODE();
  KsPinAcquireProcessingMutex(Pin);
  if (StillBuffer) ExFreePoolWithTag(StillBuffer, kTagFrameBuffer);
  StillBuffer = nullptr;
  StillBufferSize = 0;
  KsPinReleaseProcessingMutex(Pin);
  if (Device) {
    Device->GetUsbDevice()->SetStillPinOpen(0);
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
  if (!Device->SetStreamFormat(&CurrentFrame, OutputSubtype, static_cast<ULONG>(bitmap.biWidth),
                               static_cast<ULONG>(bitmap.biHeight), kStreamStill))
    return STATUS_UNSUCCESSFUL;
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
          Device->StopStream(kStreamStill);
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
        Device->StopStream(kStreamStill);
        KsPinReleaseProcessingMutex(Pin);
        if (NT_SUCCESS(NegotiateProbe()) && Filter) Filter->ConfigureStream(ConnectionFormat, PayloadSize, kStreamStill);
      }
      status = PayloadSize != 0 && Filter ? Filter->StartStream(Pin, kStreamStill) : STATUS_UNSUCCESSFUL;
      if (NT_SUCCESS(status)) StreamState = kPinRunning;
      break;
  }
  return status;
}

bool StillPin::EnsureStillBuffer(ULONG size) {
  if (StillBuffer && static_cast<ULONG>(StillBufferSize) == size) return true;
  if (StillBuffer) ExFreePoolWithTag(StillBuffer, kTagFrameBuffer);
  StillBufferSize = 0;
  StillBuffer = size <= 0x7FFFFFFFu ? static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, size, kTagFrameBuffer)) : nullptr;
  if (StillBuffer) StillBufferSize = static_cast<LONG>(size);
  return StillBuffer != nullptr;
}

NTSTATUS StillPin::Process() {
  PAGED_CODE();
  KsPinAcquireProcessingMutex(Pin);
  FrameBuffer* frame = nullptr;
  PUCHAR data = nullptr;
  const ULONG length = Device->TakeFrame(&frame, &data, kStreamStill);
  if (length == 0) {
    if (frame) Device->ReturnFrame(frame, kStreamStill);
    KsPinReleaseProcessingMutex(Pin);
    return STATUS_PENDING;
  }

  const ULONGLONG w = CurrentFrame.Width, h = CurrentFrame.Height;
  const ULONGLONG cameraBytes = static_cast<ULONGLONG>(CurrentFrame.SourceWidth) * CurrentFrame.SourceHeight * 2;
  PKSSTREAM_POINTER pointer = nullptr;
  ULONG used = 0;
  bool deliver = false;
  if (OutputSubtype == kSubtypeRgb24 || OutputSubtype == kSubtypeYuy2) {
    const bool rgb = OutputSubtype == kSubtypeRgb24;
    const ULONGLONG size = w * h * (rgb ? 3 : 2);
    // The effects need the camera frame at the offered size; a still is delivered only then.
    deliver = length == cameraBytes && w * h * 2 == cameraBytes && size <= kMaxImageBytes &&
              EnsureStillBuffer(static_cast<ULONG>(size));
    if (deliver) {
      if (rgb) {
        ConvertYuy2ToRgb24(data, StillBuffer, static_cast<ULONG>(w), static_cast<ULONG>(h));
      } else {
        RtlCopyMemory(StillBuffer, data, length);
        // The effects hold the formats of the stream configured last; they run on a still only
        // with the still's own, and never while the capture stream owns them.
        if (!Device->GetCaptureRunning() &&
            NT_SUCCESS(Device->SetProcessorFormats(OutputSubtype, CurrentFrame.SourceWidth, CurrentFrame.SourceHeight,
                                                   CurrentFrame.Width, CurrentFrame.Height)))
          Device->RunEffects(StillBuffer);
      }
      pointer = KsPinGetLeadingEdgeStreamPointer(Pin, KSSTREAM_POINTER_STATE_LOCKED);
      deliver = pointer != nullptr;
    }
    if (deliver) {
      used = static_cast<ULONG>(size);
      if (pointer->OffsetOut.Remaining < used) used = pointer->OffsetOut.Remaining;
      RtlCopyMemory(pointer->OffsetOut.Data, StillBuffer, used);
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
    Device->ReturnFrame(frame, kStreamStill);
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
  Device->ReturnFrame(frame, kStreamStill);
  KsStreamPointerUnlock(pointer, TRUE);
  KsPinReleaseProcessingMutex(Pin);
  return STATUS_PENDING;
}

}  // namespace kvz
