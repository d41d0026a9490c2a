#include "usb/urb_irp_source.h"

#include <usbioctl.h>

namespace kvz {

VOID UrbIrpSource::ArmNextStackLocation(PIRP irp, PURB urb, TransferSlot* slot) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, OnUrbIrpComplete, slot, TRUE, TRUE, TRUE);
}

PIRP UrbIrpSource::AllocateUrbIrp(PURB urb, TransferSlot* slot) {
  PIRP irp = IoAllocateIrp(stackSize_, FALSE);
  if (!irp) return nullptr;
  IoInitializeIrp(irp, IoSizeOfIrp(stackSize_), stackSize_);
  ArmNextStackLocation(irp, urb, slot);
  return irp;
}

VOID UrbIrpSource::ReuseUrbIrp(PIRP irp, PURB urb, TransferSlot* slot) {
  irp->Cancel = FALSE;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoSetCancelRoutine(irp, nullptr);
  ArmNextStackLocation(irp, urb, slot);
  slot->mark = 0;
  slot->endOfFrame = 0;
}

NTSTATUS NTAPI UrbIrpSource::OnUrbIrpComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* slot = static_cast<TransferSlot*>(context);
  return slot->owner->OnTransferComplete(slot);
}

}  // namespace kvz
