// What the filter, the pins and the stream control ask of the camera device itself: the steps
// around a stream's start, stop and resume, alternate-setting selection, frame intervals and
// format entries, the idle timer around streams and tests, and the private test request.
#include <new>

#include <usbdlib.h>

#include "common/system_version.h"
#include "driver/controls/camera_control_handler.h"
#include "driver/device/camera_device.h"
#include "driver/device/camera_device_limits.h"
#include "driver/controls/control_constants.h"
#include "postproc/processor/frame_processor.h"
#include "primitives/driver_memory.h"
#include "primitives/kernel_delay.h"
#include "usb/frame_buffer.h"
#include "usb/idle_manager.h"
#include "usb/interrupt_pipe_reader.h"
#include "usb/stream_transport.h"
#include "usb/test_stream_reader.h"
#include "driver/pins/unit_container.h"
#include "usb/usbd_status.h"

namespace kvz {

VOID CameraDeviceBase::ResetFaceExposure() {
  processor_.FaceExposure()->Reset(this);
  ClearFaceExposure();
}

VOID CameraDeviceBase::ApplyStoredManualExposure() {
  CameraControlHandler* terminal = controls_.GetCameraControlHandler();
  if (terminal && LoadSetting(settings_.autoExposal) == kAutoExposalManual)
    terminal->ApplyManualExposure(LoadSetting(settings_.records[kRecordExposure].current));
}

// The reload may change the stored exposure: a manual one goes to the camera again after it.
VOID CameraDeviceBase::RestoreStoredControls() {
  if (!listedCamera_) settings_.LoadRegistryValues(&controls_);
  ApplyStoredManualExposure();
}

VOID CameraDeviceBase::StartInterruptReader() {
  if (interruptReader_) interruptReader_->Start();
}

// The camera's privacy and the detectors after any stream start, successful or not.
VOID CameraDeviceBase::StreamStarted() {
  if (CameraControlHandler* terminal = controls_.GetCameraControlHandler()) terminal->ApplyPrivacy();
  processor_.FaceDetector()->Reset(this);
  ResetFlickerDetection();
}

// A video stream stopped: no sensor set-up pending, no face work, the settings saved.
VOID CameraDeviceBase::StreamStopped() {
  sensorSetupCountdown_ = 0;
  faceWork_.ClearAll();
  settings_.SaveRegistryValues(1);
  processor_.FaceDetector()->DeviceInterval = kFaceIntervalStopped;
  processor_.FaceDetector()->Reset(this);
  ResetFlickerDetection();
}

// The capture stream resumed after sleep: settings saved and reloaded, the sensor set up again.
VOID CameraDeviceBase::StreamResumed() {
  settings_.SaveRegistryValues(1);
  settings_.LoadRegistryValues(&controls_);
  sensorSetupCountdown_ = 0;
}

UCHAR CameraDeviceBase::ChooseAltSetting(ULONG payloadSize) {
  if (!units_) return 0;
  BandwidthEntry table[kMaxAlternateSettings];
  const ULONG count = units_->CopyBandwidthTable(table);
  if (count == 0) return 0;
  if (usb3_ && IsWindows7OrEarlier()) return table[count - 1].AlternateSetting;
  for (ULONG i = 0; i < count; ++i) {
    if (table[i].BytesPerInterval >= payloadSize) return table[i].AlternateSetting;
  }
  return table[count - 1].AlternateSetting;
}

namespace {

// Copies a selected interface record back over the device's. A paused transport goes on
// resubmitting with the record's pipe handle while the sleep and the resume select another
// setting, so each handle is stored whole.
VOID CopySelectedRecord(PUSBD_INTERFACE_INFORMATION to, const USBD_INTERFACE_INFORMATION* from, ULONG bytes) {
  const ULONG head = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
  const ULONG handle = FIELD_OFFSET(USBD_PIPE_INFORMATION, PipeHandle);
  const ULONG afterHandle = handle + sizeof(USBD_PIPE_HANDLE);
  RtlCopyMemory(to, from, bytes < head ? bytes : head);
  for (ULONG i = 0; i < kMaxInterfacePipes && head + i * sizeof(USBD_PIPE_INFORMATION) < bytes; ++i) {
    ULONG size = bytes - head - i * sizeof(USBD_PIPE_INFORMATION);
    if (size > sizeof(USBD_PIPE_INFORMATION)) size = sizeof(USBD_PIPE_INFORMATION);
    auto* target = reinterpret_cast<PUCHAR>(&to->Pipes[i]);
    const auto* source = reinterpret_cast<const UCHAR*>(&from->Pipes[i]);
    if (size < afterHandle) {
      RtlCopyMemory(target, source, size);
      continue;
    }
    RtlCopyMemory(target, source, handle);
    __atomic_store_n(&to->Pipes[i].PipeHandle, from->Pipes[i].PipeHandle, __ATOMIC_RELEASE);
    RtlCopyMemory(target + afterHandle, source + afterHandle, size - afterHandle);
  }
}

}  // namespace

// The interface record is copied into the request with at most kMaxInterfacePipes pipes, and the
// selected record is copied back only as far as the caller's room and the request reach.
NTSTATUS CameraDeviceBase::SelectAltSetting(PUSBD_INTERFACE_INFORMATION interface, ULONG capacity) {
  if (interface->NumberOfPipes == 0) interface->NumberOfPipes = 1;
  if (interface->NumberOfPipes > kMaxInterfacePipes) return STATUS_INVALID_PARAMETER;
  const ULONG pipes = interface->NumberOfPipes;
  const ULONG recordSize = static_cast<ULONG>(GET_USBD_INTERFACE_SIZE(pipes));
  if (recordSize > capacity) return STATUS_INVALID_PARAMETER;
  const ULONG urbSize = static_cast<ULONG>(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
  PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(DriverPoolType, urbSize, kTagSelectInterface));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, urbSize);
  urb->UrbHeader.Length = static_cast<USHORT>(urbSize);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbSelectInterface.ConfigurationHandle = configurationHandle_;
  const ULONG copied = interface->Length < recordSize ? interface->Length : recordSize;
  RtlCopyMemory(&urb->UrbSelectInterface.Interface, interface, copied);
  urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(recordSize);

  NTSTATUS status = usb_.SubmitUrbSync(urb);
  if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status)) status = UsbdStatusToNtStatus(urb->UrbHeader.Status);
  if (NT_SUCCESS(status)) {
    const ULONG returned = urb->UrbSelectInterface.Interface.Length;
    ULONG back = returned < recordSize ? returned : recordSize;
    if (back > capacity) back = capacity;
    CopySelectedRecord(interface, &urb->UrbSelectInterface.Interface, back);
  }
  ExFreePool(urb);
  return status;
}

ULONG CameraDeviceBase::GetDataRanges(const PKSDATARANGE** ranges, ULONG streamType) {
  *ranges = nullptr;
  return formats_.GetFormatList(ranges, streamType);
}

bool CameraDeviceBase::FindFormatEntry(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height,
                                       ULONG streamType) {
  return formats_.GetFormatEntry(entry, subtype ? subtype : kSubtypeRgb24, width, height, streamType);
}

bool CameraDeviceBase::SetStreamFormat(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height,
                                       ULONG streamType) {
  // The current frame size is the capture stream's (the region set fits the exposure window to
  // it): a still configured while capture runs leaves it alone.
  if (streamType == kStreamCapture) {
    controls_.SetFrameSize(static_cast<LONG>(width), static_cast<LONG>(height));
  }
  return FindFormatEntry(entry, subtype, width, height, streamType);
}

namespace {

bool IsListedInterval(const FrameEntry& entry, ULONGLONG interval) {
  for (LONG i = 0; entry.Intervals && i < entry.IntervalCount; ++i)
    if (entry.Intervals[i] != 0 && entry.Intervals[i] == interval) return true;
  return false;
}

}  // namespace

// The first listed interval equal to the request or, for a request other than 0, above it; else
// the last listed one. Zero intervals are skipped; a frame without intervals keeps a non-zero
// request and gets 30 frames per second otherwise.
ULONG CameraDeviceBase::PickFrameInterval(const FrameEntry& entry, ULONGLONG requested) {
  // A rate rounded to 100-ns units lands one unit above its listed interval (15 fps: 666667 for
  // the listed 666666); such a request names that interval, not the next longer one.
  if (requested > 1 && !IsListedInterval(entry, requested) && IsListedInterval(entry, requested - 1)) --requested;
  ULONG last = 0;
  for (LONG i = 0; entry.Intervals && i < entry.IntervalCount; ++i) {
    const ULONG interval = entry.Intervals[i];
    if (interval == 0) continue;
    if (interval == requested || (requested != 0 && interval > requested)) return interval;
    last = interval;
  }
  if (last) return last;
  if (requested != 0 && requested <= 0xFFFFFFFFull) return static_cast<ULONG>(requested);
  return kDefaultFrameInterval;
}

bool CameraDeviceBase::GetPinDataRange(FrameEntry* entry, ULONG index, ULONG kind) {
  FormatTable* table = kind == kStreamCapture ? formats_.Capture() : formats_.Still();
  return table && table->GetDataRangeFormat(index, entry);
}

VOID CameraDeviceBase::CancelIdleTimer() {
  if (!IsInitialized() || !idleManager_) return;
  idleManager_->Busy();
  if (ReadFlag(powerState_) == PowerDeviceD0) idleManager_->CancelIdleIrp();
  else if (!IsSystemSuspended()) idleManager_->RequestPowerUp();
}

VOID CameraDeviceBase::RestartIdleTimer() {
  if (!IsInitialized() || !idleManager_) return;
  idleManager_->Idle();
}

NTSTATUS CameraDeviceBase::PowerUpAndWait() {
  if (!idleManager_) return STATUS_SUCCESS;
  return idleManager_->PowerUpAndWait();
}

// A camera that was not identified has no vendor unit to ask.
NTSTATUS CameraDeviceBase::GetCurWithRetry() {
  if (!IsChipIdentified()) return STATUS_SUCCESS;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG tries = 0; tries < kGetCurTries; ++tries) {
    UCHAR value = 0;
    status = usb_.GetClassRequest(kRequestGetCur, kVendorSelector1, usb_.VendorUnitIndex(), &value, sizeof(value));
    if (status != STATUS_POWER_STATE_INVALID) return status;
    DelayMilliseconds(kGetCurRetryDelay);
  }
  return status;
}

NTSTATUS CameraDeviceBase::RunTestStream(PULONG result) {
  PAGED_CODE();
  *result = 0;
  if (!GetCaptureRunning()) {
    // The test stream takes the capture stream as its owner: no capture pin acquires it while the
    // test runs, and a pin that holds it in ACQUIRE or PAUSE (negotiated, not streaming) refuses
    // the test, whose end would leave that pin's camera at zero bandwidth.
    if (!streamOwners_.Claim(kStreamCapture, this)) return STATUS_DEVICE_BUSY;
    SetCaptureRunning(1);
    CancelIdleTimer();
    DelayMilliseconds(kTestPassDelay);
    // A bulk camera has no test reader: the test cannot run on it.
    ULONG value = 0;
    testStatus_ = testReader_ ? testReader_->Run(&value) : STATUS_NOT_SUPPORTED;
    if (NT_SUCCESS(testStatus_)) *result = value & 0xFFFF;
    RestartIdleTimer();
    SetCaptureRunning(0);
    streamOwners_.Release(kStreamCapture, this);
    return testStatus_;
  }
  // A capture runs: the camera runs the test beside it; poll its progress.
  for (ULONG pass = 0; pass < kTestPollPasses; ++pass) {
    if (!GetCaptureRunning()) return STATUS_CANCELLED;
    bool finished = false;
    USHORT word = 0;
    NTSTATUS status = ReadTestProgress(&usb_, &lastProgress_, &finished, &word);
    if (!NT_SUCCESS(status)) return status;
    if (finished) {
      testResult_ = word;
      *result = testResult_;
      testStatus_ = STATUS_SUCCESS;
      return STATUS_SUCCESS;
    }
    DelayMilliseconds(kTestPassDelay);
  }
  // The camera never reported a result.
  return STATUS_IO_TIMEOUT;
}

}  // namespace kvz
