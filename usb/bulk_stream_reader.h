// The video transport of a camera with a bulk streaming endpoint: eight bulk transfers of one
// payload each kept in flight, a halted endpoint reset on a work item, a stop that gives up
// waiting for transfers after half a second.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <usb.h>

#include "usb/stream_reader_core.h"
#include "usb/transfer_slot.h"
#include "usb/usb_limits.h"

namespace kvz {

class BulkStreamReader final : public StreamReaderCore {
 public:
  BulkStreamReader(PUSBD_INTERFACE_INFORMATION interfaceInfo, ULONG pipeIndex, CCHAR stackSize, UsbDevice* device);
  // Stops streaming first when it still runs; frees the transfers and frame buffers.
  ~BulkStreamReader() override;

  NTSTATUS OnTransferComplete(TransferSlot* slot) override;
  // length: the bytes the transfer delivered. The payload's length or 0, as for a packet.
  ULONG ParsePayloadHeader(ULONG length, const UCHAR* data, ULONG* mark, ULONG* endOfFrame);

  // PASSIVE_LEVEL. As the isochronous reader's, with one payload per transfer: payloadSize is
  // each transfer's size and must not be 0 (STATUS_INVALID_PARAMETER). STATUS_NO_SUCH_DEVICE
  // once the device is removed; STATUS_DEVICE_BUSY while a pipe reset still runs. Stream type 4
  // makes no buffers.
  NTSTATUS Start(ULONG frameSize, ULONG payloadSize, PUSBD_INTERFACE_INFORMATION interfaceInfo, PKSPIN pin,
                 ULONG streamType);
  // The transport's start: a bulk transfer carries one payload, whatever the packet count.
  NTSTATUS Start(ULONG frameSize, ULONG, ULONG payloadSize, PUSBD_INTERFACE_INFORMATION interfaceInfo, PKSPIN pin,
                 ULONG streamType) override {
    return Start(frameSize, payloadSize, interfaceInfo, pin, streamType);
  }
  // PASSIVE_LEVEL. With neither a video nor a type-4 pin left: waits for a running pipe reset,
  // waits at most 0.5 s for the transfers, aborts and resets the pipe, frees the frame buffers.
  // The reset's status.
  NTSTATUS Stop(ULONG streamType) override;
  // Paused transfers are freed as they complete; resuming makes and sends them again.
  // PASSIVE_LEVEL.
  NTSTATUS SetTransportPaused(ULONG paused) override;

  // Alternate setting 0 only: the camera streams from the commit on, and the pipe reset of a
  // pause or stop makes it forget that commit.
  bool UsesAlternateSettings() const override { return false; }
  bool PauseEndsCommit() const override { return true; }
  ULONG StopSettleDelay() const override { return kBulkStopSettle; }

 private:
  enum SlotState : LONG { kSlotFree, kSlotInFlight, kSlotRetryArmed, kSlotHeld };

  NTSTATUS AllocTransferSlot(TransferSlot* slot, ULONG transferSize);
  VOID FillTransferUrb(TransferSlot* slot);
  NTSTATUS SubmitDpc(TransferSlot* slot);
  static KDEFERRED_ROUTINE BulkRetryDpc;
  static IO_WORKITEM_ROUTINE ResetPipeWorkItem;
  VOID ResetPipeWorker();
  VOID FreeTransferSlot(TransferSlot* slot);
  VOID FreeTransferSlotLocked(TransferSlot* slot);
  // Makes and sends every free slot; the count sent.
  ULONG SendFreeSlots();
  NTSTATUS StopStreaming(bool keepStill);
  NTSTATUS AbortAndResetPipe();
  LONG& SlotStateOf(TransferSlot* slot) { return slotState_[slot - slots_]; }

  ULONG transferSize_;
  TransferSlot slots_[kBulkSlots];
  LONG slotState_[kBulkSlots];  // under the stream lock
  bool resetPending_;           // under the stream lock
  bool resetQueued_;            // the reset worker is queued or running; under the stream lock
  PIO_WORKITEM resetWorkItem_;
  KEVENT resetIdle_;            // signalled while no reset worker is queued or running
  LONGLONG lastResetTime_;
};

}  // namespace kvz
