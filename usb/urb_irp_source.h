// The owner of asynchronous transfer IRPs: allocates and re-arms them and forwards each
// completion to the reader that owns the transfer.
#pragma once
#include <wdm.h>
#include <usb.h>

#include "usb/transfer_slot.h"

namespace kvz {

class UrbIrpSource {
 public:
  explicit UrbIrpSource(CCHAR stackSize) : stackSize_(stackSize) {}
  // Runs in the bus's completion context (up to DISPATCH_LEVEL).
  virtual NTSTATUS OnTransferComplete(TransferSlot* slot) = 0;

  // Null when the IRP cannot be allocated.
  PIRP AllocateUrbIrp(PURB urb, TransferSlot* slot);
  // Re-arms a completed IRP for the next submission.
  VOID ReuseUrbIrp(PIRP irp, PURB urb, TransferSlot* slot);
  static NTSTATUS NTAPI OnUrbIrpComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);

 protected:
  ~UrbIrpSource() = default;

 private:
  VOID ArmNextStackLocation(PIRP irp, PURB urb, TransferSlot* slot);

  CCHAR stackSize_;
};

}  // namespace kvz
