#include "usb/test_stream_reader.h"

#include <uvc.h>

#include "common/sensor_register.h"
#include "common/system_version.h"
#include "primitives/kernel_delay.h"
#include "usb/isoch_transfer.h"
#include "usb/usb_device.h"

namespace kvz {

TestStreamReader::TestStreamReader(PUSBD_INTERFACE_INFORMATION interfaceInfo, ULONG, ULONG pipeIndex,
                                   CCHAR stackSize, UsbDevice* device, TestStreamHost* host)
    : UrbIrpSource(stackSize),
      device_(device),
      host_(host),
      slotCount_(kTestSlotCount),
      slotBufferSize_(0),
      pipeIndex_(pipeIndex),
      packetsPerTransfer_(kTestPacketsPerTransfer),
      stopFlag_(1),
      slots_(),
      interfaceInfo_(interfaceInfo),
      inFlight_(0),
      roundedStride_(0),
      stride_(0),
      payloadSize_(0),
      windows7OrEarlier_(0),
      lastProgress_(0),
      result_(0) {
  KeInitializeEvent(&allReturned_, SynchronizationEvent, FALSE);
  KeInitializeEvent(&dataEvent_, NotificationEvent, FALSE);
  for (TransferSlot& slot : slots_) {
    slot.owner = this;
    KeInitializeTimerEx(&slot.retryTimer, SynchronizationTimer);
    KeInitializeDpc(&slot.retryDpc, TestRetryDpc, &slot);
  }
}

TestStreamReader::~TestStreamReader() {
  if (InterlockedCompareExchange(&inFlight_, 0, 0) > 0) Stop();
  for (ULONG i = 0; i < slotCount_; ++i) FreeSlotResources(&slots_[i]);
}

bool TestStreamReader::Stopping() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&stopFlag_), 0, 0) != 0;
}

VOID TestStreamReader::RequestStop() { InterlockedExchange(&stopFlag_, 1); }

NTSTATUS TestStreamReader::Run(PULONG result) {
  PAGED_CODE();
  InterlockedExchange(&stopFlag_, 0);
  KeClearEvent(&allReturned_);
  KeClearEvent(&dataEvent_);

  NTSTATUS status = ArmTestRegister();
  if (NT_SUCCESS(status)) status = NegotiateTestFormat();
  if (NT_SUCCESS(status)) status = host_->SelectStreamingAltSetting(payloadSize_);
  if (!NT_SUCCESS(status)) {
    InterlockedExchange(&stopFlag_, 1);
    return status;
  }

  status = Start(payloadSize_);
  if (NT_SUCCESS(status)) {
    LARGE_INTEGER wait;
    wait.QuadPart = kTestDataWait;
    if (KeWaitForSingleObject(&dataEvent_, Executive, KernelMode, FALSE, &wait) == STATUS_TIMEOUT) {
      status = STATUS_TIMEOUT;
    } else {
      DelayMilliseconds(kTestSettleDelay);
      status = PollTestResult(result);
    }
  }
  Stop();

  // Alternate setting 0 is selected twice: the second selection goes out although the first
  // already marked it selected.
  host_->SelectZeroBandwidth();
  DelayMilliseconds(kTestZeroBandwidthDelay);
  host_->ClearZeroBandwidthMark();
  host_->SelectZeroBandwidth();
  return status;
}

NTSTATUS TestStreamReader::ArmTestRegister() {
  return WriteSensorRegister(device_->Services(), kTestRegisterArm, 1);
}

NTSTATUS TestStreamReader::NegotiateTestFormat() {
  UVC_VIDEO_PROBE_COMMIT block = {};
  block.bFormatIndex = 1;
  block.bFrameIndex = 1;
  block.dwFrameInterval = kTestFrameInterval;
  block.wCompQuality = kTestCompQuality;
  NTSTATUS status = ProbeCommit(reinterpret_cast<PUCHAR>(&block));
  if (NT_SUCCESS(status)) payloadSize_ = block.dwMaxPayloadTransferSize;
  return status;
}

NTSTATUS TestStreamReader::ProbeCommit(PUCHAR block) {
  const ULONG length = sizeof(UVC_VIDEO_PROBE_COMMIT);
  NTSTATUS status =
      device_->SetClassRequest(kRequestSetCur, kProbeControlValue, device_->StreamingIndex(), block, length);
  if (NT_SUCCESS(status))
    status = device_->GetClassRequest(kRequestGetCur, kProbeControlValue, device_->StreamingIndex(), block, length);
  if (NT_SUCCESS(status))
    status = device_->SetClassRequest(kRequestSetCur, kCommitControlValue, device_->StreamingIndex(), block, length);
  return status;
}

NTSTATUS ReadTestProgress(UsbDevice* device, USHORT* lastProgress, bool* finished, USHORT* value) {
  *finished = false;
  CameraServices* services = device->Services();
  UCHAR done = 0;
  NTSTATUS status = ReadSensorRegister(services, kTestRegisterDone, &done);
  if (!NT_SUCCESS(status)) return status;
  UCHAR high = 0;
  UCHAR low = 0;
  if (!NT_SUCCESS(ReadSensorRegister(services, kTestRegisterProgressHigh, &high)) ||
      !NT_SUCCESS(ReadSensorRegister(services, kTestRegisterProgressLow, &low)))
    return STATUS_SUCCESS;
  const USHORT progress = static_cast<USHORT>(high << 8 | low);
  if (progress == *lastProgress) return STATUS_SUCCESS;
  *lastProgress = progress;
  if (done != 1) return STATUS_SUCCESS;
  *finished = true;
  return device->GetClassRequest(kRequestGetCur, kTestResultSelector, device->TestUnitIndex(), value,
                                 sizeof(*value));
}

NTSTATUS TestStreamReader::PollTestResult(PULONG result) {
  NTSTATUS status = STATUS_IO_TIMEOUT;
  bool found = false;
  for (ULONG attempt = 0; attempt < kTestPollAttempts && !Stopping(); ++attempt) {
    bool finished = false;
    USHORT value = 0;
    status = ReadTestProgress(device_, &lastProgress_, &finished, &value);
    if (!NT_SUCCESS(status)) break;
    if (finished) {
      result_ = value;
      *result = result_;
      found = true;
      break;
    }
    status = STATUS_IO_TIMEOUT;
    DelayMilliseconds(kTestPollDelay);
  }
  if (!found && status == STATUS_IO_TIMEOUT) *result = 0;
  return Stopping() ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS TestStreamReader::Start(ULONG payloadSize) {
  windows7OrEarlier_ = IsWindows7OrEarlier() ? 1 : 0;
  roundedStride_ = payloadSize < kTestStrideLimit ? payloadSize : kTestLargeStride;
  if (!interfaceInfo_ || pipeIndex_ >= interfaceInfo_->NumberOfPipes) return STATUS_INVALID_PARAMETER;
  const USBD_PIPE_INFORMATION& pipe = interfaceInfo_->Pipes[pipeIndex_];
  stride_ = (windows7OrEarlier_ && host_->IsUsb3()) ? roundedStride_ : pipe.MaximumPacketSize;
  if (stride_ == 0) return STATUS_INVALID_PARAMETER;
  slotBufferSize_ = packetsPerTransfer_ * stride_ + kIsochSlotSlack;

  InterlockedExchange(&inFlight_, 0);
  KeClearEvent(&allReturned_);
  ULONG sent = 0;
  for (ULONG i = 0; i < slotCount_; ++i) {
    TransferSlot* slot = &slots_[i];
    if (!NT_SUCCESS(AllocTransferSlot(slot))) continue;
    BuildIsochUrb(slot);
    // Counted before it goes: a transfer the bus fails at once completes inside the call.
    InterlockedIncrement(&inFlight_);
    device_->IoCallMyDriver(slot->irp);
    ++sent;
  }
  return sent ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS TestStreamReader::AllocTransferSlot(TransferSlot* slot) {
  return AllocIsochSlot(this, slot, slotBufferSize_, packetsPerTransfer_);
}

VOID TestStreamReader::BuildIsochUrb(TransferSlot* slot) {
  BuildIsochTransfer(slot, interfaceInfo_->Pipes[pipeIndex_].PipeHandle, packetsPerTransfer_, stride_);
}

VOID TestStreamReader::Stop() {
  PAGED_CODE();
  InterlockedExchange(&stopFlag_, 1);
  if (InterlockedCompareExchange(&inFlight_, 0, 0) > 0) {
    LARGE_INTEGER grace;
    grace.QuadPart = kTestStopGrace;
    // A camera that holds its transfers gets them back only by an abort of the pipe.
    if (KeWaitForSingleObject(&allReturned_, Executive, KernelMode, FALSE, &grace) == STATUS_TIMEOUT) {
      struct _URB_PIPE_REQUEST abort = {};
      abort.Hdr.Length = sizeof(abort);
      abort.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
      abort.PipeHandle = interfaceInfo_->Pipes[pipeIndex_].PipeHandle;
      device_->SubmitUrbSync(reinterpret_cast<PURB>(&abort));
      KeWaitForSingleObject(&allReturned_, Executive, KernelMode, FALSE, nullptr);
    }
  }
  // The last slot may have been freed by a retry DPC that has not returned yet.
  KeFlushQueuedDpcs();
}

NTSTATUS TestStreamReader::OnTransferComplete(TransferSlot* slot) {
  KeSetEvent(&dataEvent_, IO_NO_INCREMENT, FALSE);
  const NTSTATUS status = slot->irp->IoStatus.Status;
  if (status == STATUS_NO_SUCH_DEVICE) InterlockedExchange(&stopFlag_, 1);
  if (Stopping()) {
    FreeTransferSlot(slot);
  } else if (!NT_SUCCESS(status) || status == STATUS_PENDING) {
    LARGE_INTEGER due;
    due.QuadPart = kTestRetryDelay;
    KeSetTimer(&slot->retryTimer, due, &slot->retryDpc);
  } else {
    ResubmitTestTransfer(slot);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID NTAPI TestStreamReader::TestRetryDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* slot = static_cast<TransferSlot*>(context);
  static_cast<TestStreamReader*>(slot->owner)->ResubmitTestTransfer(slot);
}

VOID TestStreamReader::ResubmitTestTransfer(TransferSlot* slot) {
  if (Stopping()) {
    FreeTransferSlot(slot);
    return;
  }
  ReuseUrbIrp(slot->irp, slot->urb, slot);
  BuildIsochUrb(slot);
  device_->IoCallMyDriver(slot->irp);
}

VOID TestStreamReader::FreeTransferSlot(TransferSlot* slot) {
  FreeSlotResources(slot);
  if (InterlockedDecrement(&inFlight_) <= 0) KeSetEvent(&allReturned_, IO_NO_INCREMENT, FALSE);
}

}  // namespace kvz
