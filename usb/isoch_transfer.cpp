#include "usb/isoch_transfer.h"

#include "primitives/driver_memory.h"
#include "usb/usb_limits.h"

namespace kvz {

ULONG IsochUrbSize(ULONG packets) {
  return static_cast<ULONG>(sizeof(struct _URB_ISOCH_TRANSFER) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
}

NTSTATUS AllocIsochSlot(UrbIrpSource* owner, TransferSlot* slot, ULONG bufferSize, ULONG packets) {
  const ULONG urbSize = IsochUrbSize(packets);
  slot->owner = owner;
  slot->data = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, bufferSize, kTagTransferData));
  slot->urb = static_cast<PURB>(ExAllocatePoolWithTag(DriverPoolType, urbSize, kTagTransferUrb));
  if (slot->data && slot->urb) {
    RtlZeroMemory(slot->data, bufferSize);
    RtlZeroMemory(slot->urb, urbSize);
    slot->dataSize = bufferSize;
    slot->irp = owner->AllocateUrbIrp(slot->urb, slot);
    if (slot->irp) return STATUS_SUCCESS;
  }
  FreeSlotResources(slot);
  return STATUS_INSUFFICIENT_RESOURCES;
}

VOID BuildIsochTransfer(TransferSlot* slot, USBD_PIPE_HANDLE pipe, ULONG packets, ULONG stride) {
  const ULONG size = IsochUrbSize(packets);
  RtlZeroMemory(slot->urb, size);
  struct _URB_ISOCH_TRANSFER& t = slot->urb->UrbIsochronousTransfer;
  t.Hdr.Length = static_cast<USHORT>(size);
  t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  t.PipeHandle = pipe;
  t.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  t.TransferBuffer = slot->data;
  t.TransferBufferLength = packets * stride;
  t.NumberOfPackets = packets;
  for (ULONG i = 0; i < packets; ++i) t.IsoPacket[i].Offset = i * stride;
}

VOID FreeSlotResources(TransferSlot* slot) {
  if (slot->irp) IoFreeIrp(slot->irp);
  if (slot->data) ExFreePoolWithTag(slot->data, kTagTransferData);
  if (slot->urb) ExFreePoolWithTag(slot->urb, kTagTransferUrb);
  slot->irp = nullptr;
  slot->data = nullptr;
  slot->urb = nullptr;
  slot->dataSize = 0;
}

}  // namespace kvz
