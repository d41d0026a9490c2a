#include "usb/bulk_stream_reader.h"

#include "primitives/driver_memory.h"
#include "primitives/kernel_delay.h"
#include "usb/isoch_transfer.h"
#include "usb/usb_device.h"

namespace kvz {

BulkStreamReader::BulkStreamReader(PUSBD_INTERFACE_INFORMATION interfaceInfo, ULONG pipeIndex, CCHAR stackSize,
                                   UsbDevice* device)
    : StreamReaderCore(interfaceInfo, pipeIndex, stackSize, device),
      transferSize_(0),
      slots_(),
      slotState_(),
      resetPending_(false),
      resetQueued_(false),
      resetWorkItem_(nullptr),
      lastResetTime_(0) {
  KeInitializeEvent(&resetIdle_, NotificationEvent, TRUE);
  for (TransferSlot& slot : slots_) {
    slot.owner = this;
    KeInitializeTimerEx(&slot.retryTimer, SynchronizationTimer);
    KeInitializeDpc(&slot.retryDpc, BulkRetryDpc, &slot);
  }
}

BulkStreamReader::~BulkStreamReader() {
  if (State() != kTransportStopped) StopStreaming(false);
  for (TransferSlot& slot : slots_)
    if (slot.irp || slot.data || slot.urb) FreeTransferSlot(&slot);
  if (resetWorkItem_) IoFreeWorkItem(resetWorkItem_);
}

NTSTATUS BulkStreamReader::Start(ULONG frameSize, ULONG payloadSize, PUSBD_INTERFACE_INFORMATION interfaceInfo,
                                 PKSPIN pin, ULONG streamType) {
  PAGED_CODE();
  if (streamType == kStreamStill) {
    RegisterPin(streamType, pin);
    MakeFrameBuffers(kStillFrameBuffers, frameSize, kStillFree);
    return STATUS_SUCCESS;
  }
  if (RegisterPin(streamType, pin)) return STATUS_SUCCESS;
  if (State() == kTransportRunning) return STATUS_UNSUCCESSFUL;
  if (device_->IsRemoved()) return STATUS_NO_SUCH_DEVICE;
  // A payload size of 0 would make transfers that can carry nothing.
  if (payloadSize == 0 || !interfaceInfo || pipeIndex_ >= interfaceInfo->NumberOfPipes) return STATUS_INVALID_PARAMETER;
  if (KeReadStateEvent(&resetIdle_) == 0) return STATUS_DEVICE_BUSY;
  if (State() == kTransportPaused) StopStreaming(true);

  interfaceInfo_ = interfaceInfo;
  ResetTransferCount();
  // Taken at start so a halted endpoint always finds its reset work item. An I/O work item: its
  // device reference keeps the driver loaded until the worker has returned, after a stop's wait.
  PDEVICE_OBJECT fdo = device_->KsDevice() ? device_->KsDevice()->FunctionalDeviceObject : nullptr;
  if (!fdo) return STATUS_INVALID_DEVICE_STATE;
  resetWorkItem_ = IoAllocateWorkItem(fdo);
  if (!resetWorkItem_) return STATUS_INSUFFICIENT_RESOURCES;
  MakeFrameBuffers(kBulkVideoFrameBuffers, frameSize, kVideoFree);
  transferSize_ = payloadSize;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  lastResetTime_ = now.QuadPart;
  KIRQL irql = LockStream();
  SetState(kTransportRunning);
  resetPending_ = false;
  resetQueued_ = false;
  UnlockStream(irql);

  if (SendFreeSlots() == 0) {
    SetState(kTransportStopped);
    FreeFrameBuffers(true);
    IoFreeWorkItem(resetWorkItem_);
    resetWorkItem_ = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

ULONG BulkStreamReader::SendFreeSlots() {
  ULONG sent = 0;
  for (TransferSlot& slot : slots_) {
    KIRQL irql = LockStream();
    const bool take = SlotStateOf(&slot) == kSlotFree && State() != kTransportStopped;
    if (take) SlotStateOf(&slot) = kSlotInFlight;
    UnlockStream(irql);
    if (!take) continue;
    if (!NT_SUCCESS(AllocTransferSlot(&slot, transferSize_))) {
      irql = LockStream();
      SlotStateOf(&slot) = kSlotFree;
      UnlockStream(irql);
      continue;
    }
    // Counted before it is sent: it may complete inside the call.
    CountTransferIn();
    ReuseUrbIrp(slot.irp, slot.urb, &slot);
    FillTransferUrb(&slot);
    device_->IoCallMyDriver(slot.irp);
    ++sent;
  }
  return sent;
}

NTSTATUS BulkStreamReader::AllocTransferSlot(TransferSlot* slot, ULONG transferSize) {
  slot->owner = this;
  slot->data = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, transferSize, kTagTransferData));
  slot->urb = static_cast<PURB>(
      ExAllocatePoolWithTag(DriverPoolType, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagTransferUrb));
  if (slot->data && slot->urb) {
    RtlZeroMemory(slot->data, transferSize);
    slot->dataSize = transferSize;
    FillTransferUrb(slot);
    slot->irp = AllocateUrbIrp(slot->urb, slot);
  }
  if (!slot->irp) {
    FreeSlotResources(slot);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

VOID BulkStreamReader::FillTransferUrb(TransferSlot* slot) {
  RtlZeroMemory(slot->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  struct _URB_BULK_OR_INTERRUPT_TRANSFER& t = slot->urb->UrbBulkOrInterruptTransfer;
  t.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
  t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  t.PipeHandle = PipeHandle();
  t.TransferBufferLength = slot->dataSize;
  t.TransferBuffer = slot->data;
  t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
}

VOID BulkStreamReader::FreeTransferSlotLocked(TransferSlot* slot) {
  FreeSlotResources(slot);
  SlotStateOf(slot) = kSlotFree;
  CountTransferOut();
}

VOID BulkStreamReader::FreeTransferSlot(TransferSlot* slot) {
  KIRQL irql = LockStream();
  FreeTransferSlotLocked(slot);
  UnlockStream(irql);
}

NTSTATUS BulkStreamReader::SubmitDpc(TransferSlot* slot) {
  KIRQL irql = LockStream();
  if (State() == kTransportStopped) {
    FreeTransferSlotLocked(slot);
    UnlockStream(irql);
    return STATUS_UNSUCCESSFUL;
  }
  SlotStateOf(slot) = kSlotInFlight;
  UnlockStream(irql);
  ReuseUrbIrp(slot->irp, slot->urb, slot);
  FillTransferUrb(slot);
  const NTSTATUS status = device_->IoCallMyDriver(slot->irp);
  if (!NT_SUCCESS(status)) DbgPrint("IoCallMyDriver in SubmitDpc return: %X", status);
  return status;
}

VOID NTAPI BulkStreamReader::BulkRetryDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* slot = static_cast<TransferSlot*>(context);
  static_cast<BulkStreamReader*>(slot->owner)->SubmitDpc(slot);
}

NTSTATUS BulkStreamReader::OnTransferComplete(TransferSlot* slot) {
  const NTSTATUS status = slot->irp->IoStatus.Status;
  const USBD_STATUS usbdStatus = slot->urb->UrbHeader.Status;
  KIRQL irql = LockStream();
  if (State() != kTransportRunning || status == STATUS_NO_SUCH_DEVICE) {
    FreeTransferSlotLocked(slot);
    UnlockStream(irql);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (resetPending_) {
    MarkLossLocked();  // what it carried is never read
    SlotStateOf(slot) = kSlotHeld;  // the reset worker sends it again
    UnlockStream(irql);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  // A transfer that failed may have lost a payload, with the frame's end or the next one's
  // beginning in it.
  if (USBD_ERROR(usbdStatus) || !NT_SUCCESS(status) || status == STATUS_PENDING) MarkLossLocked();
  if (usbdStatus == USBD_STATUS_ENDPOINT_HALTED) {
    resetPending_ = true;
    SlotStateOf(slot) = kSlotHeld;
    // A worker still busy with the previous halt resets the pipe once more; its work item is
    // never queued twice.
    if (!resetQueued_) {
      resetQueued_ = true;
      KeClearEvent(&resetIdle_);
      IoQueueWorkItem(resetWorkItem_, ResetPipeWorkItem, DelayedWorkQueue, this);
    }
    UnlockStream(irql);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (USBD_ERROR(usbdStatus) || !NT_SUCCESS(status) || status == STATUS_PENDING) {
    SlotStateOf(slot) = kSlotRetryArmed;
    UnlockStream(irql);
    LARGE_INTEGER due;
    due.QuadPart = kBulkRetryDelay;
    KeSetTimer(&slot->retryTimer, due, &slot->retryDpc);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  ULONG delivered = slot->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (delivered > slot->dataSize) delivered = slot->dataSize;
  ULONG mark = 0;
  ULONG endOfFrame = 0;
  const ULONG length = ParsePayloadHeader(delivered, slot->data, &mark, &endOfFrame);
  AssemblePayloadLocked(slot->data, length, mark, endOfFrame);
  UnlockStream(irql);
  SubmitDpc(slot);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG BulkStreamReader::ParsePayloadHeader(ULONG length, const UCHAR* data, ULONG* mark, ULONG* endOfFrame) {
  return CheckPayloadHeader(data, length, mark, endOfFrame);
}

VOID NTAPI BulkStreamReader::ResetPipeWorkItem(PDEVICE_OBJECT, PVOID parameter) {
  static_cast<BulkStreamReader*>(parameter)->ResetPipeWorker();
}

// A halted endpoint: abort, let the bus settle, reset (spaced at least 250 ms from the previous
// reset or the start), then send the held transfers again; once more when the pipe halted again
// meanwhile.
VOID BulkStreamReader::ResetPipeWorker() {
  PAGED_CODE();
  for (;;) {
    PipeRequest(URB_FUNCTION_ABORT_PIPE, kTagHaltPipeRequest);
    DelayMilliseconds(kHaltAbortSettle);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart - lastResetTime_ < kHaltResetSpacing) DelayMilliseconds(kHaltResetExtraWait);
    lastResetTime_ = now.QuadPart;
    PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kTagHaltPipeRequest);
    KIRQL irql = LockStream();
    resetPending_ = false;
    UnlockStream(irql);
    DelayMilliseconds(kHaltResubmitDelay);
    for (TransferSlot& slot : slots_) {
      irql = LockStream();
      const bool held = SlotStateOf(&slot) == kSlotHeld && State() != kTransportStopped;
      if (held) SlotStateOf(&slot) = kSlotInFlight;
      UnlockStream(irql);
      if (held) SubmitDpc(&slot);
    }
    irql = LockStream();
    if (!resetPending_ || State() == kTransportStopped) {
      resetQueued_ = false;
      // Last touch of the reader but the lock's release: a waiting stop may free it after.
      KeSetEvent(&resetIdle_, IO_NO_INCREMENT, FALSE);
      UnlockStream(irql);
      return;
    }
    UnlockStream(irql);
  }
}

NTSTATUS BulkStreamReader::Stop(ULONG streamType) {
  PAGED_CODE();
  const bool none = UnregisterPin(streamType);
  if (streamType == kStreamStill) {
    FreeStillBuffers();
    return STATUS_SUCCESS;
  }
  if (State() == kTransportStopped || !none) return STATUS_SUCCESS;
  // A still pin left registered keeps its buffers for the stream's next start.
  return StopStreaming(RegisteredPin(kStreamStill) != nullptr);
}

NTSTATUS BulkStreamReader::StopStreaming(bool keepStill) {
  KIRQL irql = LockStream();
  SetState(kTransportStopped);
  UnlockStream(irql);
  KeWaitForSingleObject(&resetIdle_, Executive, KernelMode, FALSE, nullptr);
  irql = LockStream();
  for (TransferSlot& slot : slots_)
    if (SlotStateOf(&slot) == kSlotHeld) FreeTransferSlotLocked(&slot);
  UnlockStream(irql);
  DrainTransfers(kBulkDrainLimit);
  const NTSTATUS status = AbortAndResetPipe();
  FreeFrameBuffers(keepStill);
  if (resetWorkItem_) IoFreeWorkItem(resetWorkItem_);
  resetWorkItem_ = nullptr;
  return status;
}

NTSTATUS BulkStreamReader::AbortAndResetPipe() {
  PipeRequest(URB_FUNCTION_ABORT_PIPE, kTagPipeRequest);
  return PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kTagPipeRequest);
}

// Paused transfers are freed as they complete, so resuming makes and sends them again.
NTSTATUS BulkStreamReader::SetTransportPaused(ULONG paused) {
  PAGED_CODE();
  TransportState previous;
  const NTSTATUS status = ChangePause(paused, &previous);
  if (NT_SUCCESS(status) && !paused && previous == kTransportPaused) SendFreeSlots();
  return status;
}

}  // namespace kvz
