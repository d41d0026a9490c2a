// Isochronous IN transfers as the readers build them: packets a stride apart, sent as soon as
// possible; the slack past the last packet is never part of the transfer.
#pragma once
#include <wdm.h>
#include <usb.h>

#include "usb/transfer_slot.h"
#include "usb/urb_irp_source.h"

namespace kvz {

ULONG IsochUrbSize(ULONG packets);
// The slot's data buffer (zeroed), request block and IRP, owned by `owner`; on a failure
// nothing is kept and STATUS_INSUFFICIENT_RESOURCES returned.
NTSTATUS AllocIsochSlot(UrbIrpSource* owner, TransferSlot* slot, ULONG bufferSize, ULONG packets);
VOID BuildIsochTransfer(TransferSlot* slot, USBD_PIPE_HANDLE pipe, ULONG packets, ULONG stride);
// Frees what the slot holds and clears its pointers.
VOID FreeSlotResources(TransferSlot* slot);

}  // namespace kvz
