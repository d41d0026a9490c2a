// The video transport of a camera with an isochronous streaming endpoint: a fixed number of
// isochronous transfers kept in flight, their packets assembled into frames.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <usb.h>

#include "usb/stream_reader_core.h"
#include "usb/transfer_slot.h"
#include "usb/usb_limits.h"
#include "primitives/test_seam.h"

namespace kvz {

class IsochStreamReader final : public StreamReaderCore {
 public:
  // usb3: the device descriptor's bcdUSB is 0x0300 or above.
  IsochStreamReader(PUSBD_INTERFACE_INFORMATION interfaceInfo, ULONG slotCount, ULONG pipeIndex, CCHAR stackSize,
                    UsbDevice* device, bool usb3);
  // Stops streaming first when it still runs.
  ~IsochStreamReader() override;

  NTSTATUS OnTransferComplete(TransferSlot* slot) override;
  // The packet's length (header included) or 0; marks bad on a bad header or a packet with an
  // error status, with or without data.
  ULONG ParsePayloadHeader(const USBD_ISO_PACKET_DESCRIPTOR* packet, const UCHAR* data, ULONG* mark,
                           ULONG* endOfFrame);

  // PASSIVE_LEVEL. Registers the pin; the first video or type-4 registration while stopped (or
  // paused: stopped fully first) starts streaming. Stream type 3 only registers the still pin and
  // makes two still buffers of frameSize. STATUS_UNSUCCESSFUL while running; STATUS_INVALID_PARAMETER
  // for a pipe without bandwidth, no pipe, or 0 or more than 1024 packets; STATUS_INSUFFICIENT_RESOURCES
  // when no transfer could be made.
  NTSTATUS Start(ULONG frameSize, ULONG packetsPerTransfer, ULONG payloadSize, PUSBD_INTERFACE_INFORMATION interfaceInfo,
                 PKSPIN pin, ULONG streamType) override;
  // PASSIVE_LEVEL. Unregisters the pin; with neither a video nor a type-4 pin left, aborts the
  // pipe, waits for every transfer, resets the pipe and frees every frame buffer. The abort's status.
  NTSTATUS Stop(ULONG streamType) override;
  // Paused transfers keep cycling every 5 ms without being read. Refused (STATUS_UNSUCCESSFUL)
  // while stopped or while a type-4 pin is registered.
  NTSTATUS SetTransportPaused(ULONG paused) override;

  // The camera streams on the alternate setting with the payload's bandwidth; a pause leaves
  // the commit alone.
  bool UsesAlternateSettings() const override { return true; }
  bool PauseEndsCommit() const override { return false; }
  ULONG StopSettleDelay() const override { return kIsochStopSettle; }

 private:
  template <class T>
  friend struct TestSeam;

  NTSTATUS AllocTransferSlot(TransferSlot* slot);
  VOID BuildIsochTransferUrb(TransferSlot* slot);
  VOID ResubmitIsochSlot(TransferSlot* slot);
  static KDEFERRED_ROUTINE IsochRetryDpc;
  VOID ArmRetry(TransferSlot* slot);
  VOID WalkPacketsLocked(TransferSlot* slot);
  VOID CheckStreamGapLocked(ULONG startFrame);
  NTSTATUS AbortPipe();
  NTSTATUS ResetPipe();
  VOID FreeTransferSlot(TransferSlot* slot);
  NTSTATUS StopStreaming(bool keepStill);
  NTSTATUS ChooseStride(ULONG packets, ULONG payloadSize);

  ULONG slotCount_;
  ULONG slotBufferSize_;
  ULONG packets_;
  ULONG roundedStride_;
  ULONG stride_;
  bool windows7OrEarlier_;
  bool usb3_;
  bool streamStarted_;    // a transfer of this stream was read: lastStartFrame_ holds
  bool microframes_;      // a packet is a microframe (high speed or faster)
  ULONG lastStartFrame_;  // StartFrame of the last transfer read
  TransferSlot slots_[kMaxIsochSlots];
};

}  // namespace kvz
