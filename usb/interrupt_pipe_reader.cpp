#include "usb/interrupt_pipe_reader.h"

#include "primitives/driver_memory.h"
#include "usb/usb_device.h"
#include "usb/usb_limits.h"

namespace kvz {

InterruptPipeReader::InterruptPipeReader(CCHAR stackSize, ULONG pipeIndex, PUSBD_INTERFACE_INFORMATION interfaceInfo,
                                         UsbDevice* device)
    : UrbIrpSource(stackSize),
      device_(device),
      maxPacketSize_(0),
      slot_(),
      copy_(nullptr),
      copySize_(0),
      pipeIndex_(pipeIndex),
      interfaceInfo_(interfaceInfo),
      running_(0),
      stopping_(0),
      senders_(0),
      retired_(0),
      withBus_(0) {
  KeInitializeEvent(&completionEvent_, NotificationEvent, TRUE);
  KeInitializeSpinLock(&lock_);
  slot_.owner = this;
}

InterruptPipeReader::~InterruptPipeReader() {
  CancelInterruptIrp();
  if (copy_) {
    ExFreePoolWithTag(copy_, kTagInterruptCopy);
    copy_ = nullptr;
  }
}

bool InterruptPipeReader::IsRunning() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&running_), 0, 0) != 0;
}

NTSTATUS InterruptPipeReader::Start() {
  if (IsRunning()) return STATUS_SUCCESS;
  const bool hasPipe = interfaceInfo_ && pipeIndex_ < interfaceInfo_->NumberOfPipes;
  const USBD_PIPE_INFORMATION* pipe = hasPipe ? &interfaceInfo_->Pipes[pipeIndex_] : nullptr;
  if (!pipe || pipe->PipeType != UsbdPipeTypeInterrupt || pipe->MaximumPacketSize == 0)
    return STATUS_INVALID_PARAMETER;
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return STATUS_UNSUCCESSFUL;

  // A transfer that ended by itself may still be being freed.
  KeWaitForSingleObject(&completionEvent_, Executive, KernelMode, FALSE, nullptr);

  copySize_ = pipe->MaximumPacketSize;
  copy_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, copySize_, kTagInterruptCopy));
  if (!copy_) return STATUS_INSUFFICIENT_RESOURCES;
  // Bytes past a short packet must never be stale data of an earlier one.
  RtlZeroMemory(copy_, copySize_);
  return SubmitInterruptIrp();
}

NTSTATUS InterruptPipeReader::AllocInterruptIrp() {
  maxPacketSize_ = interfaceInfo_->Pipes[pipeIndex_].MaximumPacketSize;
  slot_.data = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, maxPacketSize_, kTagInterruptData));
  if (!slot_.data) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(slot_.data, maxPacketSize_);
  slot_.dataSize = maxPacketSize_;
  slot_.urb = static_cast<PURB>(
      ExAllocatePoolWithTag(DriverPoolType, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagInterruptUrb));
  if (!slot_.urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(slot_.urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  slot_.irp = AllocateUrbIrp(slot_.urb, &slot_);
  return slot_.irp ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// Sends the first transfer; anything that fails before it went out is freed here.
NTSTATUS InterruptPipeReader::SubmitInterruptIrp() {
  NTSTATUS status = device_->IsRemoved() ? STATUS_NO_SUCH_DEVICE : AllocInterruptIrp();
  KIRQL irql;
  if (!NT_SUCCESS(status)) {
    Resources taken;
    KeAcquireSpinLock(&lock_, &irql);
    TakeResourcesLocked(&taken);
    KeReleaseSpinLock(&lock_, irql);
    FreeInterruptIrp(taken);
    return status;
  }
  KeClearEvent(&completionEvent_);
  KeAcquireSpinLock(&lock_, &irql);
  stopping_ = 0;
  retired_ = 0;
  withBus_ = 0;
  senders_ = 1;
  InterlockedExchange(&running_, 1);
  KeReleaseSpinLock(&lock_, irql);
  // A transfer the bus refused at once has been freed by its completion.
  status = SendTransfer();
  return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

VOID InterruptPipeReader::BuildTransferUrb() {
  auto& transfer = slot_.urb->UrbBulkOrInterruptTransfer;
  RtlZeroMemory(&transfer, sizeof(transfer));
  transfer.Hdr.Length = sizeof(transfer);
  transfer.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  transfer.PipeHandle = interfaceInfo_->Pipes[pipeIndex_].PipeHandle;
  transfer.TransferBufferLength = maxPacketSize_;
  transfer.TransferBuffer = slot_.data;
  transfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
}

// The caller holds a sender reference, which this drops.
NTSTATUS InterruptPipeReader::SendTransfer() {
  PIRP irp = slot_.irp;
  BuildTransferUrb();
  ReuseUrbIrp(irp, slot_.urb, &slot_);
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  withBus_ = 1;
  KeReleaseSpinLock(&lock_, irql);
  const NTSTATUS status = device_->IoCallMyDriver(irp);
  KeAcquireSpinLock(&lock_, &irql);
  const bool cancel = stopping_ && !retired_;
  KeReleaseSpinLock(&lock_, irql);
  // A cancel that came before the IRP was re-armed was wiped by the re-arming.
  if (cancel) IoCancelIrp(irp);
  DropSender();
  return status;
}

VOID InterruptPipeReader::DropSender() {
  Resources taken;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  --senders_;
  const bool free = retired_ && senders_ == 0 && slot_.irp;
  if (free) TakeResourcesLocked(&taken);
  KeReleaseSpinLock(&lock_, irql);
  if (free) FreeInterruptIrp(taken);
}

VOID InterruptPipeReader::TakeResourcesLocked(Resources* taken) {
  taken->irp = slot_.irp;
  taken->data = slot_.data;
  taken->urb = slot_.urb;
  taken->copy = copy_;
  slot_.irp = nullptr;
  slot_.data = nullptr;
  slot_.urb = nullptr;
  copy_ = nullptr;
  InterlockedExchange(&running_, 0);
}

VOID InterruptPipeReader::FreeInterruptIrp(const Resources& taken) {
  if (taken.irp) IoFreeIrp(taken.irp);
  if (taken.data) ExFreePoolWithTag(taken.data, kTagInterruptData);
  if (taken.urb) ExFreePoolWithTag(taken.urb, kTagInterruptUrb);
  if (taken.copy) ExFreePoolWithTag(taken.copy, kTagInterruptCopy);
  KeSetEvent(&completionEvent_, IO_NO_INCREMENT, FALSE);
}

NTSTATUS InterruptPipeReader::OnTransferComplete(TransferSlot* slot) {
  const NTSTATUS status = slot->irp->IoStatus.Status;
  // A pending status here is no result: the transfer is not ours to send again.
  const bool failed = !NT_SUCCESS(status) || status == STATUS_PENDING || USBD_ERROR(slot->urb->UrbHeader.Status);
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  withBus_ = 0;
  if (failed || stopping_) {
    retired_ = 1;
    Resources taken;
    const bool free = senders_ == 0;
    if (free) TakeResourcesLocked(&taken);
    KeReleaseSpinLock(&lock_, irql);
    if (free) FreeInterruptIrp(taken);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  ++senders_;
  KeReleaseSpinLock(&lock_, irql);

  ULONG length = slot->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  if (length > maxPacketSize_) length = maxPacketSize_;
  if (length > copySize_) length = copySize_;
  RtlCopyMemory(copy_, slot->data, length);
  device_->OnStatusInterrupt(copy_, length);
  SendTransfer();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID InterruptPipeReader::CancelInterruptIrp() {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  stopping_ = 1;
  // An IRP the completion holds is not cancelled here: the completion sees the flag, or its
  // resubmission cancels again.
  PIRP irp = (withBus_ && !retired_ && slot_.irp) ? slot_.irp : nullptr;
  if (irp) ++senders_;
  KeReleaseSpinLock(&lock_, irql);
  if (irp) {
    IoCancelIrp(irp);
    DropSender();
  }
  KeWaitForSingleObject(&completionEvent_, Executive, KernelMode, FALSE, nullptr);
}

}  // namespace kvz
