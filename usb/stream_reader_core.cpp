#include "usb/stream_reader_core.h"

#include "primitives/driver_memory.h"
#include "usb/transfer_slot.h"
#include "usb/usb_device.h"
#include "usb/usb_limits.h"

namespace kvz {

StreamReaderCore::StreamReaderCore(PUSBD_INTERFACE_INFORMATION interfaceInfo, ULONG pipeIndex, CCHAR stackSize,
                                   UsbDevice* device)
    : UrbIrpSource(stackSize),
      device_(device),
      interfaceInfo_(interfaceInfo),
      pipeIndex_(pipeIndex),
      streamLock_(0),
      videoPin_(nullptr),
      stillPin_(nullptr),
      type4Pin_(nullptr),
      state_(kTransportStopped),
      inFlight_(0),
      stopTime_(0),
      drainLimit_(0),
      frame_(nullptr),
      kind_(kStreamCapture),
      frameMark_(0),
      frameOpen_(false),
      frameHadData_(false),
      frameFidKnown_(false),
      frameFid_(0),
      lossPending_(false),
      streamCut_(false),
      counters_() {
  KeInitializeSpinLock(&streamLock_);
  for (ULONG i = 0; i < kFrameListCount; ++i) {
    InitializeListHead(&lists_[i]);
    KeInitializeSpinLock(&listLocks_[i]);
  }
  KeInitializeEvent(&stopEvent_, SynchronizationEvent, FALSE);
  KeInitializeTimerEx(&drainTimer_, SynchronizationTimer);
  KeInitializeDpc(&drainDpc_, DrainDpc, this);
}

StreamReaderCore::~StreamReaderCore() { FreeFrameBuffers(); }

KIRQL StreamReaderCore::LockStream() {
  KIRQL irql;
  KeAcquireSpinLock(&streamLock_, &irql);
  return irql;
}

VOID StreamReaderCore::UnlockStream(KIRQL irql) { KeReleaseSpinLock(&streamLock_, irql); }

TransportState StreamReaderCore::State() const {
  return static_cast<TransportState>(InterlockedCompareExchange(const_cast<volatile LONG*>(&state_), 0, 0));
}

VOID StreamReaderCore::SetState(TransportState state) { InterlockedExchange(&state_, state); }

LONG StreamReaderCore::TransfersInFlight() const {
  return InterlockedCompareExchange(const_cast<volatile LONG*>(&inFlight_), 0, 0);
}

PKSPIN StreamReaderCore::RegisteredPin(ULONG streamType) {
  KIRQL irql = LockStream();
  PKSPIN pin = streamType == kStreamCapture ? videoPin_ : streamType == kStreamStill ? stillPin_ : type4Pin_;
  UnlockStream(irql);
  return pin;
}

StreamCounters StreamReaderCore::Counters() {
  KIRQL irql = LockStream();
  StreamCounters c = counters_;
  UnlockStream(irql);
  return c;
}

bool StreamReaderCore::RegisterPin(ULONG streamType, PKSPIN pin) {
  KIRQL irql = LockStream();
  if (streamType == kStreamCapture) {
    videoPin_ = pin;
  } else if (streamType == kStreamStill) {
    stillPin_ = pin;
  } else {
    type4Pin_ = pin;
  }
  const bool both = videoPin_ && type4Pin_;
  UnlockStream(irql);
  return both;
}

bool StreamReaderCore::UnregisterPin(ULONG streamType) {
  KIRQL irql = LockStream();
  if (streamType == kStreamCapture) {
    videoPin_ = nullptr;
  } else if (streamType == kStreamStill) {
    stillPin_ = nullptr;
  } else {
    type4Pin_ = nullptr;
  }
  const bool none = !videoPin_ && !type4Pin_;
  UnlockStream(irql);
  return none;
}

bool StreamReaderCore::StreamingPinLeft() {
  KIRQL irql = LockStream();
  const bool left = videoPin_ || type4Pin_;
  UnlockStream(irql);
  return left;
}

NTSTATUS StreamReaderCore::ChangePause(ULONG paused, TransportState* previous) {
  KIRQL irql = LockStream();
  *previous = State();
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  if (!type4Pin_ && *previous != kTransportStopped) {
    SetState(paused ? kTransportPaused : kTransportRunning);
    // What arrives while paused is never read: the frame in progress gets a gap, and one that
    // starts meanwhile lacks its beginning.
    if (paused && *previous == kTransportRunning) MarkLossLocked();
    status = STATUS_SUCCESS;
  }
  UnlockStream(irql);
  return status;
}

bool StreamReaderCore::HasPipe() const {
  return interfaceInfo_ && pipeIndex_ < interfaceInfo_->NumberOfPipes;
}

// The device selects another alternate setting into the record (system sleep and resume) while a
// paused transport resubmits its transfers: the handle is read whole, as the device stores it.
USBD_PIPE_HANDLE StreamReaderCore::PipeHandle() const {
  return __atomic_load_n(&interfaceInfo_->Pipes[pipeIndex_].PipeHandle, __ATOMIC_ACQUIRE);
}

ULONG StreamReaderCore::PipeMaximumPacketSize() const { return interfaceInfo_->Pipes[pipeIndex_].MaximumPacketSize; }

// ---- Frame buffers ----------------------------------------------------------------------------

ULONG StreamReaderCore::MakeFrameBuffers(ULONG count, ULONG frameSize, FrameList list) {
  ULONG made = 0;
  if (frameSize == 0) return 0;
  for (ULONG i = 0; i < count; ++i) {
    auto* frame = static_cast<FrameBuffer*>(ExAllocatePoolWithTag(DriverPoolType, sizeof(FrameBuffer), kTagFrameRecord));
    if (!frame) continue;
    RtlZeroMemory(frame, sizeof(*frame));
    frame->data = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, frameSize, kTagFrameData));
    if (!frame->data) {
      ExFreePoolWithTag(frame, kTagFrameRecord);
      continue;
    }
    frame->capacity = frameSize;
    ExInterlockedInsertTailList(&lists_[list], &frame->links, &listLocks_[list]);
    ++made;
  }
  return made;
}

VOID StreamReaderCore::FreeFrame(FrameBuffer* frame) {
  ExFreePoolWithTag(frame->data, kTagFrameData);
  ExFreePoolWithTag(frame, kTagFrameRecord);
}

VOID StreamReaderCore::FreeList(FrameList list) {
  while (PLIST_ENTRY e = ExInterlockedRemoveHeadList(&lists_[list], &listLocks_[list]))
    FreeFrame(CONTAINING_RECORD(e, FrameBuffer, links));
}

VOID StreamReaderCore::FreeFrameBuffers(bool keepStill) {
  FreeList(kVideoFree);
  if (!keepStill) FreeList(kStillFree);
  FreeList(kVideoReady);
  if (!keepStill) FreeList(kStillReady);
  FreeList(kType4Ready);
  KIRQL irql = LockStream();
  FrameBuffer* frame = frame_;
  // A still cut by the stop gives its buffer back to the still pin that stays.
  if (frame && keepStill && kind_ != kStreamCapture) {
    RecycleLocked(frame, kind_);
    frame = nullptr;
  }
  frame_ = nullptr;
  frameOpen_ = false;
  frameMark_ = 0;
  frameHadData_ = false;
  frameFidKnown_ = false;
  lossPending_ = false;
  UnlockStream(irql);
  if (frame) FreeFrame(frame);
}

VOID StreamReaderCore::FreeStillBuffers() {
  if (RegisteredPin(kStreamThird)) return;
  FreeList(kStillFree);
  FreeList(kStillReady);
}

FrameBuffer* StreamReaderCore::TakeFree(ULONG kind) {
  const FrameList list = kind == kStreamStill ? kStillFree : kVideoFree;
  PLIST_ENTRY e = ExInterlockedRemoveHeadList(&lists_[list], &listLocks_[list]);
  return e ? CONTAINING_RECORD(e, FrameBuffer, links) : nullptr;
}

VOID StreamReaderCore::RecycleLocked(FrameBuffer* frame, ULONG kind) {
  frame->filled = 0;
  const FrameList list = kind == kStreamCapture ? kVideoFree : kStillFree;
  // The buffer given back last is taken first, while its lines may still be in the cache.
  ExInterlockedInsertHeadList(&lists_[list], &frame->links, &listLocks_[list]);
}

// The state is read and the buffer listed under the stream lock, so a stop that frees the lists
// cannot miss a buffer given back at the same moment. A stopped transport keeps the buffers of a
// still pin that stays registered.
VOID StreamReaderCore::ReturnFrameBuffer(FrameBuffer* frame, ULONG kind) {
  if (!frame) return;
  KIRQL irql = LockStream();
  const bool keep = State() != kTransportStopped || (kind != kStreamCapture && stillPin_);
  if (keep) RecycleLocked(frame, kind);
  UnlockStream(irql);
  if (!keep) FreeFrame(frame);
}

FrameBuffer* StreamReaderCore::TakeReadyFrame(ULONG streamType) {
  if (streamType == kStreamCapture) {
    FrameBuffer* newest = nullptr;
    while (PLIST_ENTRY e = ExInterlockedRemoveHeadList(&lists_[kVideoReady], &listLocks_[kVideoReady])) {
      if (newest) ReturnFrameBuffer(newest, kStreamCapture);
      newest = CONTAINING_RECORD(e, FrameBuffer, links);
    }
    return newest;
  }
  const FrameList list = streamType == kStreamStill ? kStillReady : kType4Ready;
  PLIST_ENTRY e = ExInterlockedRemoveHeadList(&lists_[list], &listLocks_[list]);
  return e ? CONTAINING_RECORD(e, FrameBuffer, links) : nullptr;
}

// ---- Assembly -----------------------------------------------------------------------------------

ULONG StreamReaderCore::CheckPayloadHeader(const UCHAR* data, ULONG length, ULONG* mark, ULONG* endOfFrame) {
  if (length == 0) return 0;
  // A payload shorter than the header has no header to read.
  if (length < kPayloadHeaderLength || data[0] != kPayloadHeaderLength ||
      (data[1] & kRequiredHeaderBits) != kRequiredHeaderBits) {
    *mark |= kSlotMarkBad;
    return 0;
  }
  const UCHAR info = data[1];
  if (info & 0x20) *mark |= kSlotMarkStill;   // still image
  if (info & 0x40) *mark |= kSlotMarkBad;     // error
  if (info & 0x02) *endOfFrame = 1;           // end of frame
  if (info & 0x01) *mark |= kSlotMarkFid;     // frame ID
  return length;
}

NTSTATUS StreamReaderCore::AppendPayload(const UCHAR* packet, FrameBuffer* frame, ULONG length) {
  if (length <= kPayloadHeaderLength) return STATUS_SUCCESS;
  const ULONG n = length - kPayloadHeaderLength;
  if (n > frame->capacity - frame->filled) return STATUS_UNSUCCESSFUL;
  RtlCopyMemory(frame->data + frame->filled, packet + kPayloadHeaderLength, n);
  frame->filled += n;
  return STATUS_SUCCESS;
}

VOID StreamReaderCore::OpenFrameLocked(ULONG kind, bool takeBuffer) {
  frameOpen_ = true;
  frameMark_ = 0;
  frameHadData_ = false;
  frameFidKnown_ = false;
  kind_ = kind;
  frame_ = takeBuffer ? TakeFree(kind) : nullptr;
}

VOID StreamReaderCore::CloseFrameLocked() {
  frame_ = nullptr;
  frameOpen_ = false;
  frameMark_ = 0;
  frameHadData_ = false;
  frameFidKnown_ = false;
}

VOID StreamReaderCore::MarkLossLocked() {
  // No buffer for a frame that is bad from its start.
  if (!frameOpen_) OpenFrameLocked(kStreamCapture, false);
  frameMark_ |= kSlotMarkBad;
  lossPending_ = true;
}

VOID StreamReaderCore::BeginAfterStreamCutLocked() {
  if (streamCut_) MarkLossLocked();
  streamCut_ = false;
}

VOID StreamReaderCore::AlternateSettingSelected() {
  KIRQL irql = LockStream();
  streamCut_ = false;
  UnlockStream(irql);
}

// A frame ended by the next one's frame ID lost its end. Header-only payloads between frames
// make one that holds nothing and lost nothing: it is not counted.
VOID StreamReaderCore::DiscardIncompleteFrameLocked() {
  if (frameHadData_ || (frameMark_ & kSlotMarkBad)) ++counters_.discarded;
  if (frame_) RecycleLocked(frame_, kind_);
  CloseFrameLocked();
}

VOID StreamReaderCore::AssemblePayloadLocked(const UCHAR* data, ULONG length, ULONG mark, ULONG endOfFrame) {
  if (length == 0) {
    // Nothing readable: an empty packet, or one whose bytes were lost or cannot be trusted.
    if (mark & kSlotMarkBad) {
      MarkLossLocked();
    } else if (!frameOpen_) {
      OpenFrameLocked(kStreamCapture, true);
    }
    return;
  }
  const bool still = (mark & kSlotMarkStill) != 0;
  const UCHAR fid = (mark & kSlotMarkFid) ? 1 : 0;
  bool beginsAfterLoss = false;
  if (frameOpen_ && frameFidKnown_ && fid != frameFid_) {
    beginsAfterLoss = lossPending_;
    DiscardIncompleteFrameLocked();
  }
  lossPending_ = false;
  if (!frameOpen_) {
    OpenFrameLocked(still ? kStreamStill : kStreamCapture, true);
  } else if (still && kind_ != kStreamStill) {
    // A still image that begins inside a frame: what the video frame held is not part of it.
    if (frame_) RecycleLocked(frame_, kind_);
    kind_ = kStreamStill;
    frame_ = TakeFree(kind_);
    if (frameHadData_) frameMark_ |= kSlotMarkBad;
  }
  if (!frameFidKnown_) {
    frameFidKnown_ = true;
    frameFid_ = fid;
  }
  if (beginsAfterLoss) frameMark_ |= kSlotMarkBad;
  frameMark_ |= mark & (kSlotMarkBad | kSlotMarkStill);
  if (length > kPayloadHeaderLength) frameHadData_ = true;
  // A payload that does not fit would leave a gap or a cut frame: the frame is damaged.
  if (frame_ && !NT_SUCCESS(AppendPayload(data, frame_, length))) frameMark_ |= kSlotMarkBad;
  if (endOfFrame) {
    FinishFrameLocked();
    CloseFrameLocked();
  }
}

VOID StreamReaderCore::FinishFrameLocked() {
  FrameBuffer* frame = frame_;
  if (!frame) {
    if (frameMark_ & kSlotMarkBad) {
      ++counters_.discarded;
    } else {
      ++counters_.dropped;
    }
    return;
  }
  if ((frameMark_ & kSlotMarkBad) || frame->filled == 0) {
    ++counters_.discarded;
    RecycleLocked(frame, kind_);
    return;
  }
  FrameList list = kVideoReady;
  PKSPIN pin = videoPin_;
  if (kind_ == kStreamStill) {
    list = stillPin_ ? kStillReady : kType4Ready;
    pin = stillPin_ ? stillPin_ : type4Pin_;
  }
  if (!pin) {
    RecycleLocked(frame, kind_);
    return;
  }
  ++counters_.delivered;
  ExInterlockedInsertTailList(&lists_[list], &frame->links, &listLocks_[list]);
  KsPinAttemptProcessing(pin, FALSE);
}

VOID StreamReaderCore::ResetTransferCount() {
  InterlockedExchange(&inFlight_, 0);
  KeClearEvent(&stopEvent_);
}

// ---- Stop drain --------------------------------------------------------------------------------

VOID StreamReaderCore::DrainTransfers(LONGLONG limit) {
  PAGED_CODE();
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  stopTime_ = now.QuadPart;
  drainLimit_ = limit;
  LARGE_INTEGER due;
  due.QuadPart = kDrainFirstCheck;
  KeSetTimer(&drainTimer_, due, &drainDpc_);
  KeWaitForSingleObject(&stopEvent_, Executive, KernelMode, FALSE, nullptr);
  // No retry or drain DPC of this reader may still be running once the caller goes on.
  KeFlushQueuedDpcs();
}

VOID NTAPI StreamReaderCore::DrainDpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<StreamReaderCore*>(context)->CheckDrained();
}

VOID StreamReaderCore::CheckDrained() {
  if (TransfersInFlight() <= 0) {
    KeSetEvent(&stopEvent_, IO_NO_INCREMENT, FALSE);
    return;
  }
  if (drainLimit_ > 0) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart - stopTime_ > drainLimit_) {
      InterlockedExchange(&inFlight_, 0);
      KeSetEvent(&stopEvent_, IO_NO_INCREMENT, FALSE);
      return;
    }
  }
  LARGE_INTEGER due;
  due.QuadPart = kDrainRecheck;
  KeSetTimer(&drainTimer_, due, &drainDpc_);
}

NTSTATUS StreamReaderCore::PipeRequest(USHORT function, ULONG tag) {
  PAGED_CODE();
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(DriverPoolType, sizeof(struct _URB_PIPE_REQUEST), tag));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
  urb->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
  urb->UrbPipeRequest.Hdr.Function = function;
  urb->UrbPipeRequest.PipeHandle = PipeHandle();
  const NTSTATUS status = device_->SubmitUrbSync(urb);
  ExFreePoolWithTag(urb, tag);
  return status;
}

}  // namespace kvz
