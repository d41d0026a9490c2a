// The status interrupt reader: keeps one interrupt IN transfer pending on the video control
// interface's status endpoint and hands every packet to the device (the still button).
#pragma once
#include <wdm.h>
#include <usb.h>

#include "usb/transfer_slot.h"
#include "usb/urb_irp_source.h"

namespace kvz {

class UsbDevice;

class InterruptPipeReader final : public UrbIrpSource {
 public:
  // interfaceInfo is the video control interface's record; it must outlive the reader.
  InterruptPipeReader(CCHAR stackSize, ULONG pipeIndex, PUSBD_INTERFACE_INFORMATION interfaceInfo, UsbDevice* device);
  ~InterruptPipeReader();
  InterruptPipeReader(const InterruptPipeReader&) = delete;
  InterruptPipeReader& operator=(const InterruptPipeReader&) = delete;

  // PASSIVE_LEVEL. STATUS_SUCCESS at once while running; STATUS_INVALID_PARAMETER for a pipe that
  // is not an interrupt pipe, STATUS_UNSUCCESSFUL at DISPATCH_LEVEL, STATUS_NO_SUCH_DEVICE once
  // removed, STATUS_INSUFFICIENT_RESOURCES.
  NTSTATUS Start();
  // PASSIVE_LEVEL: cancels the pending transfer and returns once it has been freed.
  VOID CancelInterruptIrp();
  bool IsRunning() const;

  NTSTATUS OnTransferComplete(TransferSlot* slot) override;

 private:
  struct Resources {
    PIRP irp;
    PUCHAR data;
    PURB urb;
    PUCHAR copy;
  };

  NTSTATUS SubmitInterruptIrp();
  NTSTATUS AllocInterruptIrp();
  VOID BuildTransferUrb();
  NTSTATUS SendTransfer();
  VOID DropSender();
  VOID TakeResourcesLocked(Resources* taken);
  VOID FreeInterruptIrp(const Resources& taken);

  // Signalled while no transfer exists; notification, so every waiter sees it.
  KEVENT completionEvent_;
  UsbDevice* device_;
  ULONG maxPacketSize_;
  TransferSlot slot_;
  PUCHAR copy_;
  ULONG copySize_;
  ULONG pipeIndex_;
  PUSBD_INTERFACE_INFORMATION interfaceInfo_;
  volatile LONG running_;
  // Guards the transfer's ownership: the stopping flag, the threads holding the IRP outside the
  // bus (sending or cancelling), whether it came back for good, and whether the bus has it.
  KSPIN_LOCK lock_;
  LONG stopping_;
  LONG senders_;
  LONG retired_;
  LONG withBus_;
};

}  // namespace kvz
