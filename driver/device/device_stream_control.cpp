// The device's stream control: start, suspend, stop and resume on the camera's transport, the
// streaming interface's alternate setting, and frames lent to the pins.
#include "driver/device/device_stream_control.h"

#include "common/system_version.h"
#include "driver/device/camera_device.h"
#include "driver/device/camera_device_limits.h"
#include "driver/pins/camera_pin_base.h"
#include "driver/pins/capture_filter.h"
#include "primitives/kernel_delay.h"
#include "primitives/pool_object.h"
#include "usb/bulk_stream_reader.h"
#include "usb/frame_buffer.h"
#include "usb/isoch_stream_reader.h"
#include "usb/stream_transport.h"

namespace kvz {

DeviceStreamControl::DeviceStreamControl(CameraDeviceBase* device) : device_(device), zeroBandwidth_(1) {
  KeInitializeMutex(&streamLock_, 0);
}

// The transport is chosen here, once, by the streaming endpoint; nothing else asks which it is.
NTSTATUS DeviceStreamControl::CreateTransport(bool bulk, CCHAR stackSize, UsbDevice* usb, bool usb3) {
  if (bulk)
    transport_ = PoolNew<BulkStreamReader>(kTagStreamReader, &streamingInterface_, 0UL, stackSize, usb);
  else
    transport_ = PoolNew<IsochStreamReader>(kTagStreamReader, &streamingInterface_, kIsochTransferSlots, 0UL, stackSize,
                                            usb, usb3);
  return transport_ ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID DeviceStreamControl::Release() {
  PoolDelete(transport_, kTagStreamReader);
  InterlockedExchange(&zeroBandwidth_, 1);
}

// The still pin only registers on the running transport; the other streams start it, then the
// camera gets its stored controls back and the detectors start afresh.
NTSTATUS DeviceStreamControl::StartStream(ULONG payloadSize, ULONG frameSize, PKSPIN pin, ULONG streamType) {
  PAGED_CODE();
  StreamLockScope hold(&streamLock_);
  device_->ResetFaceExposure();
  device_->ApplyStoredManualExposure();
  if (streamType == kStreamStill)
    return transport_ ? transport_->Start(frameSize, 0, 0, nullptr, pin, kStreamStill) : STATUS_UNSUCCESSFUL;
  const ULONG payload = CommittedPayload(payloadSize, streamType);
  if (!payload) return STATUS_UNSUCCESSFUL;
  const NTSTATUS status = StartTransport(payload, frameSize, pin, streamType);
  if (NT_SUCCESS(status) && streamType == kStreamCapture) device_->StartInterruptReader();
  // The second of the video and type-4 pins finds the camera's controls already restored.
  if (!TransportServesVideoAndType4()) device_->RestoreStoredControls();
  device_->StreamStarted();
  return status;
}

// A transport never starts with a payload of 0: a restart after PAUSE comes without one, and the
// stream's last committed size stands in for it.
ULONG DeviceStreamControl::CommittedPayload(ULONG payloadSize, ULONG streamType) {
  const ULONG slot = streamType < ARRAYSIZE(lastPayloadSize_) ? streamType : 0;
  if (payloadSize) lastPayloadSize_[slot] = payloadSize;
  return lastPayloadSize_[slot];
}

NTSTATUS DeviceStreamControl::StartTransport(ULONG payload, ULONG frameSize, PKSPIN pin, ULONG streamType) {
  if (!transport_) return STATUS_UNSUCCESSFUL;
  const ULONG packets = longIsochTransfers_ ? kLongIsochPackets : kShortIsochPackets;
  return transport_->Start(frameSize, packets, payload, &streamingInterface_, pin, streamType);
}

bool DeviceStreamControl::TransportServesVideoAndType4() {
  return transport_ && transport_->VideoPin() && transport_->Type4Pin();
}

bool DeviceStreamControl::TransportHasStreamingPin() {
  return transport_ && (transport_->VideoPin() || transport_->Type4Pin());
}

NTSTATUS DeviceStreamControl::SuspendStream(ULONG pause) {
  PAGED_CODE();
  StreamLockScope hold(&streamLock_);
  if (!transport_) return STATUS_SUCCESS;
  if (!pause) return kStatusRestartStream;
  NTSTATUS status = transport_->SetTransportPaused(pause);
  if (NT_SUCCESS(status)) status = transport_->Stop(kStreamCapture);
  // Windows 10 takes the bandwidth back at a pause (on a bulk camera only the mark is set).
  if (NT_SUCCESS(status) && GetWindowsVersionCode() == kWindows10 && !TransportHasStreamingPin())
    return SelectZeroBandwidth();
  return status;
}

NTSTATUS DeviceStreamControl::StopStream(ULONG streamType) {
  PAGED_CODE();
  StreamLockScope hold(&streamLock_);
  NTSTATUS status = transport_ ? transport_->Stop(streamType) : STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(status) || streamType == kStreamStill) return status;
  // On a bulk camera only the mark is set, and the status stays a success.
  if (!TransportHasStreamingPin()) status = SelectZeroBandwidth();
  device_->StreamStopped();
  return status;
}

// A bulk streaming interface has alternate setting 0 only, selected with the configuration; the
// camera starts streaming at the commit, which comes before this, and a SET_INTERFACE would end
// that stream again. Bulk streams are stopped by the transport's pipe reset instead.
NTSTATUS DeviceStreamControl::SelectStreamingAltSetting(ULONG payloadSize) {
  PAGED_CODE();
  StreamLockScope hold(&streamLock_);
  if (!ReadFlag(zeroBandwidth_)) return STATUS_SUCCESS;
  if (!transport_ || !transport_->UsesAlternateSettings()) {
    InterlockedExchange(&zeroBandwidth_, 0);
    return STATUS_SUCCESS;
  }
  streamingInterface_.AlternateSetting = device_->ChooseAltSetting(payloadSize);
  const NTSTATUS status = device_->SelectAltSetting(&streamingInterface_, sizeof(streamingInterfaceBytes_));
  InterlockedExchange(&zeroBandwidth_, 0);
  if (NT_SUCCESS(status)) transport_->AlternateSettingSelected();
  if (!NT_SUCCESS(status)) {
    SelectZeroBandwidth();
    return status;
  }
  return status;
}

NTSTATUS DeviceStreamControl::SelectZeroBandwidth() {
  StreamLockScope hold(&streamLock_);
  if (ReadFlag(zeroBandwidth_)) return STATUS_SUCCESS;
  if (transport_ && !transport_->UsesAlternateSettings()) {
    InterlockedExchange(&zeroBandwidth_, 1);
    return STATUS_SUCCESS;
  }
  streamingInterface_.AlternateSetting = 0;
  const NTSTATUS status = device_->SelectAltSetting(&streamingInterface_, sizeof(streamingInterfaceBytes_));
  if (NT_SUCCESS(status)) InterlockedExchange(&zeroBandwidth_, 1);
  if (NT_SUCCESS(status) && transport_) transport_->AlternateSettingSelected();
  return status;
}

VOID DeviceStreamControl::ClearZeroBandwidthMark() { InterlockedExchange(&zeroBandwidth_, 0); }

bool DeviceStreamControl::IsUsb3() { return device_->usb3_ != 0; }

bool DeviceStreamControl::TransportServesOtherPin(PKSPIN pin) {
  PKSPIN video = transport_ ? transport_->VideoPin() : nullptr;
  return video && video != pin;
}

bool DeviceStreamControl::PauseEndsCommit() { return transport_ && transport_->PauseEndsCommit(); }

ULONG DeviceStreamControl::StopSettleDelay() {
  return transport_ ? transport_->StopSettleDelay() : kIsochStopSettle;
}

ULONG DeviceStreamControl::TakeFrame(FrameBuffer** frame, PUCHAR* data, ULONG streamType) {
  *frame = nullptr;
  if (data) *data = nullptr;
  FrameBuffer* taken = transport_ ? transport_->TakeReadyFrame(streamType) : nullptr;
  if (!taken) return 0;
  *frame = taken;
  if (data) *data = taken->data;
  return UsableFrameLength(taken);
}

VOID DeviceStreamControl::ReturnFrame(FrameBuffer* frame, ULONG streamType) {
  if (frame && transport_) transport_->ReturnFrameBuffer(frame, streamType);
}

VOID DeviceStreamControl::PauseForSleep() {
  StreamLockScope hold(&streamLock_);
  if (transport_) transport_->SetTransportPaused(1);
  SelectZeroBandwidth();
}

bool DeviceStreamControl::ResumesInPlace() { return transport_ && transport_->UsesAlternateSettings(); }

PKSPIN DeviceStreamControl::HoldServedCapturePin(StreamOwnership* owners) {
  StreamLockScope hold(&streamLock_);
  PKSPIN pin = transport_->VideoPin();
  if (pin && !owners->Hold(kStreamCapture, pin)) pin = nullptr;
  return pin;
}

// Commits the running capture pin's stream again and resumes the transport; the pin holds its
// processing mutex. A pin the transport no longer serves (stopped or paused meanwhile) is left
// alone.
VOID DeviceStreamControl::ResumeCaptureStream(PKSPIN pin) {
  StreamLockScope hold(&streamLock_);
  // One retry count for both steps: a suspended answer waits 100 ms and repeats, 11 times at most.
  ULONG retries = 0;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto* capture = static_cast<CameraPinBase*>(pin->Context);
  for (;;) {
    if (!transport_ || transport_->VideoPin() != pin) return;
    status = STATUS_SUCCESS;
    if (!ReadFlag(zeroBandwidth_)) {
      status = SelectZeroBandwidth();
      if (NT_SUCCESS(status)) DelayMilliseconds(kResumeSettleDelay);
    }
    if (status != STATUS_POWER_STATE_INVALID) status = capture->NegotiateProbe();
    if (status != STATUS_POWER_STATE_INVALID || retries >= kResumeRetries) break;
    ++retries;
    DelayMilliseconds(kResumeRetryDelay);
  }
  if (!NT_SUCCESS(status)) return;
  InterlockedExchange(&zeroBandwidth_, 1);
  CaptureFilter* filter = CaptureFilterFromPin(pin);
  status = filter ? filter->ConfigureStream(capture->GetConnectionFormat(), capture->GetPayloadSize(), kStreamCapture)
                  : STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) {
    device_->StreamResumed();
    InterlockedExchange(&skipNextFrame_, 1);
    transport_->SetTransportPaused(0);
  }
}

}  // namespace kvz
