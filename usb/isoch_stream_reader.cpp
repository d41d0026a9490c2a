#include "usb/isoch_stream_reader.h"

#include "common/system_version.h"
#include "primitives/driver_memory.h"
#include "usb/isoch_transfer.h"
#include "usb/usb_device.h"

namespace kvz {

IsochStreamReader::IsochStreamReader(PUSBD_INTERFACE_INFORMATION interfaceInfo, ULONG slotCount, ULONG pipeIndex,
                                     CCHAR stackSize, UsbDevice* device, bool usb3)
    : StreamReaderCore(interfaceInfo, pipeIndex, stackSize, device),
      slotCount_(slotCount < kMaxIsochSlots ? slotCount : kMaxIsochSlots),
      slotBufferSize_(0),
      packets_(0),
      roundedStride_(0),
      stride_(0),
      windows7OrEarlier_(false),
      usb3_(usb3),
      streamStarted_(false),
      microframes_(false),
      lastStartFrame_(0),
      slots_() {
  for (TransferSlot& slot : slots_) {
    slot.owner = this;
    KeInitializeTimerEx(&slot.retryTimer, SynchronizationTimer);
    KeInitializeDpc(&slot.retryDpc, IsochRetryDpc, &slot);
  }
}

IsochStreamReader::~IsochStreamReader() {
  if (State() != kTransportStopped) StopStreaming(false);
  for (ULONG i = 0; i < slotCount_; ++i)
    if (slots_[i].irp || slots_[i].data || slots_[i].urb) FreeTransferSlot(&slots_[i]);
}

// Windows 7 and earlier give a USB 3 camera's pipe a packet size that does not hold its payload:
// the stride is the payload rounded up to 1024 there. Sizes are worked out in 64 bits; a stride
// of 0 falls back to the pipe's, and none may exceed the largest service interval.
NTSTATUS IsochStreamReader::ChooseStride(ULONG packets, ULONG payloadSize) {
  if (!HasPipe() || packets == 0 || packets > kMaxIsochPackets) return STATUS_INVALID_PARAMETER;
  ULONGLONG stride = PipeMaximumPacketSize();
  roundedStride_ = payloadSize;
  if (windows7OrEarlier_ && usb3_) {
    ULONGLONG rounded = (static_cast<ULONGLONG>(payloadSize) + kUsb3StrideRounding - 1) / kUsb3StrideRounding *
                        kUsb3StrideRounding;
    if (rounded > kMaxIsochStride) rounded = kMaxIsochStride;
    roundedStride_ = static_cast<ULONG>(rounded);
    if (rounded != 0) stride = rounded;
  }
  if (stride > kMaxIsochStride) stride = kMaxIsochStride;
  if (stride == 0) return STATUS_INVALID_PARAMETER;  // alternate setting 0: no bandwidth
  const ULONGLONG size = packets * stride + kIsochSlotSlack;
  if (size > 0xFFFFFFFFULL) return STATUS_INVALID_PARAMETER;
  stride_ = static_cast<ULONG>(stride);
  packets_ = packets;
  slotBufferSize_ = static_cast<ULONG>(size);
  return STATUS_SUCCESS;
}

NTSTATUS IsochStreamReader::Start(ULONG frameSize, ULONG packetsPerTransfer, ULONG payloadSize,
                                  PUSBD_INTERFACE_INFORMATION interfaceInfo, PKSPIN pin, ULONG streamType) {
  PAGED_CODE();
  windows7OrEarlier_ = IsWindows7OrEarlier();
  if (streamType == kStreamStill) {
    RegisterPin(streamType, pin);
    MakeFrameBuffers(kStillFrameBuffers, frameSize, kStillFree);
    return STATUS_SUCCESS;
  }
  const bool both = RegisterPin(streamType, pin);
  if (streamType != kStreamCapture) MakeFrameBuffers(kStillFrameBuffers, frameSize, kStillFree);
  if (both) return STATUS_SUCCESS;
  if (State() == kTransportRunning) return STATUS_UNSUCCESSFUL;

  // A paused transport still has its transfers cycling: it is stopped fully before it starts again.
  if (State() == kTransportPaused) StopStreaming(true);

  PUSBD_INTERFACE_INFORMATION previousInfo = interfaceInfo_;
  interfaceInfo_ = interfaceInfo;
  NTSTATUS status = ChooseStride(packetsPerTransfer, payloadSize);
  if (!NT_SUCCESS(status)) {
    interfaceInfo_ = previousInfo;
    return status;
  }
  ResetTransferCount();
  streamStarted_ = false;
  MakeFrameBuffers(kIsochFrameBuffersPerSlot * slotCount_, frameSize, kVideoFree);
  KIRQL irql = LockStream();
  BeginAfterStreamCutLocked();
  SetState(kTransportRunning);
  UnlockStream(irql);

  // Only complete slots are sent; each is counted before it is sent, since a transfer may
  // complete inside the call.
  ULONG sent = 0;
  for (ULONG i = 0; i < slotCount_; ++i) {
    TransferSlot* slot = &slots_[i];
    if (!NT_SUCCESS(AllocTransferSlot(slot))) continue;
    CountTransferIn();
    device_->IoCallMyDriver(slot->irp);
    ++sent;
  }
  if (sent == 0) {
    SetState(kTransportStopped);
    FreeFrameBuffers(true);
    irql = LockStream();
    KeepStreamCutLocked();
    UnlockStream(irql);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS IsochStreamReader::AllocTransferSlot(TransferSlot* slot) {
  const NTSTATUS status = AllocIsochSlot(this, slot, slotBufferSize_, packets_);
  if (NT_SUCCESS(status)) BuildIsochTransferUrb(slot);
  return status;
}

VOID IsochStreamReader::BuildIsochTransferUrb(TransferSlot* slot) {
  BuildIsochTransfer(slot, PipeHandle(), packets_, stride_);
}

VOID IsochStreamReader::FreeTransferSlot(TransferSlot* slot) {
  FreeSlotResources(slot);
  CountTransferOut();
}

VOID IsochStreamReader::ArmRetry(TransferSlot* slot) {
  LARGE_INTEGER due;
  due.QuadPart = kIsochRetryDelay;
  KeSetTimer(&slot->retryTimer, due, &slot->retryDpc);
}

VOID NTAPI IsochStreamReader::IsochRetryDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* slot = static_cast<TransferSlot*>(context);
  static_cast<IsochStreamReader*>(slot->owner)->ResubmitIsochSlot(slot);
}

VOID IsochStreamReader::ResubmitIsochSlot(TransferSlot* slot) {
  if (State() == kTransportStopped) {
    FreeTransferSlot(slot);
    return;
  }
  ReuseUrbIrp(slot->irp, slot->urb, slot);
  BuildIsochTransferUrb(slot);
  device_->IoCallMyDriver(slot->irp);
}

NTSTATUS IsochStreamReader::OnTransferComplete(TransferSlot* slot) {
  const NTSTATUS status = slot->irp->IoStatus.Status;
  KIRQL irql = LockStream();
  const TransportState state = State();
  if (state == kTransportPaused || (state == kTransportRunning && status != STATUS_NO_SUCH_DEVICE && !NT_SUCCESS(status))) {
    UnlockStream(irql);
    ArmRetry(slot);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (state == kTransportStopped || status == STATUS_NO_SUCH_DEVICE) {
    UnlockStream(irql);
    FreeTransferSlot(slot);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  WalkPacketsLocked(slot);
  UnlockStream(irql);
  ResubmitIsochSlot(slot);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Transfers sent as soon as possible follow each other on the bus while it keeps up; one that
// starts later than where the one before it ended missed the (micro)frames between, and what
// the camera sent in them is lost. StartFrame counts 1 ms frames: a transfer spans its packet
// count of them at full speed and an eighth of it at high and SuperSpeed, the only step of
// that size, from which the bus's unit is learnt.
VOID IsochStreamReader::CheckStreamGapLocked(ULONG startFrame) {
  if (streamStarted_) {
    const ULONG step = startFrame - lastStartFrame_;
    if (packets_ % 8 == 0 && step == packets_ / 8) microframes_ = true;
    if (step != (microframes_ ? packets_ / 8 : packets_)) MarkLossLocked();
  }
  streamStarted_ = true;
  lastStartFrame_ = startFrame;
}

// The bus's packet length is trusted only as far as the packet's stride and the buffer go.
VOID IsochStreamReader::WalkPacketsLocked(TransferSlot* slot) {
  const struct _URB_ISOCH_TRANSFER& t = slot->urb->UrbIsochronousTransfer;
  CheckStreamGapLocked(t.StartFrame);
  const ULONG packets = t.NumberOfPackets < packets_ ? t.NumberOfPackets : packets_;
  for (ULONG i = 0; i < packets; ++i) {
    USBD_ISO_PACKET_DESCRIPTOR packet = t.IsoPacket[i];
    packet.Offset = i * stride_;
    const ULONG room = slot->dataSize - packet.Offset;
    if (packet.Length > stride_) packet.Length = stride_;
    if (packet.Length > room) packet.Length = room;
    const UCHAR* data = slot->data + packet.Offset;
    ULONG mark = 0;
    ULONG endOfFrame = 0;
    const ULONG length = ParsePayloadHeader(&packet, data, &mark, &endOfFrame);
    AssemblePayloadLocked(data, length, mark, endOfFrame);
  }
}

ULONG IsochStreamReader::ParsePayloadHeader(const USBD_ISO_PACKET_DESCRIPTOR* packet, const UCHAR* data, ULONG* mark,
                                            ULONG* endOfFrame) {
  // A packet the bus did not fill (late, not accessed) or received damaged: its payload, and
  // perhaps the frame's end or the next frame's beginning, is lost.
  if (USBD_ERROR(packet->Status)) {
    *mark |= kSlotMarkBad;
    return 0;
  }
  return CheckPayloadHeader(data, packet->Length, mark, endOfFrame);
}

NTSTATUS IsochStreamReader::Stop(ULONG streamType) {
  PAGED_CODE();
  UnregisterPin(streamType);
  if (streamType == kStreamStill) {
    FreeStillBuffers();
    return STATUS_SUCCESS;
  }
  const bool stillPin = RegisteredPin(kStreamStill) != nullptr;
  if (streamType != kStreamCapture && !stillPin) FreeList(kStillFree);
  if (State() == kTransportStopped || StreamingPinLeft()) return STATUS_SUCCESS;
  // A still pin left registered keeps its buffers for the stream's next start.
  return StopStreaming(stillPin);
}

NTSTATUS IsochStreamReader::StopStreaming(bool keepStill) {
  KIRQL irql = LockStream();
  SetState(kTransportStopped);
  UnlockStream(irql);
  const NTSTATUS status = AbortPipe();
  DrainTransfers(0);
  ResetPipe();
  FreeFrameBuffers(keepStill);
  // The pipe reset leaves the camera streaming on the alternate setting selected.
  irql = LockStream();
  KeepStreamCutLocked();
  UnlockStream(irql);
  return status;
}

NTSTATUS IsochStreamReader::SetTransportPaused(ULONG paused) {
  TransportState previous;
  return ChangePause(paused, &previous);
}

NTSTATUS IsochStreamReader::AbortPipe() { return PipeRequest(URB_FUNCTION_ABORT_PIPE, kTagPipeRequest); }

NTSTATUS IsochStreamReader::ResetPipe() {
  return PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, kTagPipeRequest);
}

}  // namespace kvz
