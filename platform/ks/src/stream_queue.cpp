// A pin's queue of client read buffers, its stream pointers, and the processing of the pin:
// Process runs at PASSIVE_LEVEL on the class driver's work queue, one call at a time per pin,
// again after STATUS_SUCCESS and only on the next trigger after STATUS_PENDING.
#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "ks_objects.h"
#include "ksmedia.h"
#include "kvz/worker_queue.h"

namespace kvz::ks {
namespace {

kvz::kernel::WorkQueue& ProcessingQueue() {
  // Lives for the whole process: pins come and go with the tests.
  static auto* queue = new kvz::kernel::WorkQueue("ks-processing", 2);
  return *queue;
}

// Stream pointers the minidriver may still use. A completed frame's memory is kept back for a
// while so that a stale pointer is recognised rather than mistaken for a new frame at the same
// address.
std::mutex g_framesLock;
std::unordered_set<const KSSTREAM_POINTER*>& LivePointers() {
  static auto* live = new std::unordered_set<const KSSTREAM_POINTER*>();
  return *live;
}
std::deque<Frame*>& RetiredFrames() {
  static auto* retired = new std::deque<Frame*>();
  return *retired;
}
constexpr size_t kRetiredFrames = 64;

Frame* NewFrame() {
  auto* frame = new Frame();
  std::lock_guard<std::mutex> hold(g_framesLock);
  LivePointers().insert(&frame->pointer);
  return frame;
}

void RetireFrame(Frame* frame) {
  Frame* old = nullptr;
  {
    std::lock_guard<std::mutex> hold(g_framesLock);
    LivePointers().erase(&frame->pointer);
    RetiredFrames().push_back(frame);
    if (RetiredFrames().size() > kRetiredFrames) {
      old = RetiredFrames().front();
      RetiredFrames().pop_front();
    }
  }
  delete old;
}

bool IsLivePointer(const KSSTREAM_POINTER* pointer) {
  std::lock_guard<std::mutex> hold(g_framesLock);
  return LivePointers().count(pointer) != 0;
}

// The caller has won the IRP from its cancel routine (see ClaimFromCanceller) or is the cancel
// routine, and has taken the frame from the queue.
void CompleteFrame(Frame* frame, NTSTATUS status) {
  PIRP irp = frame->irp;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information =
      NT_SUCCESS(status) ? IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength : 0;
  RetireFrame(frame);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Removes frame from the queue under the pin's lock; true when it was there.
bool TakeFromQueue(Pin* p, Frame* frame) {
  auto it = std::find(p->queue.begin(), p->queue.end(), frame);
  if (it == p->queue.end()) return false;
  p->queue.erase(it);
  return true;
}

// Under the pin's lock, for a completer other than the cancel routine: true when it may complete
// the frame. It may when it clears the cancel routine first, or when the cancel routine has run
// and left the frame to whoever unlocks it. Otherwise IoCancelIrp holds the routine and may be
// using the IRP: the frame stays queued, skipped as cancelled, and the routine completes it.
bool ClaimFromCanceller(Frame* frame) {
  if (frame->cancelled) return true;
  if (IoSetCancelRoutine(frame->irp, nullptr)) return true;
  frame->awaitingCancel = TRUE;
  return false;
}

VOID NTAPI CancelFrame(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  auto* frame = static_cast<Frame*>(irp->Tail.Overlay.DriverContext[0]);
  auto* p = static_cast<Pin*>(irp->Tail.Overlay.DriverContext[1]);
  KIRQL irql;
  KeAcquireSpinLock(&p->lock, &irql);
  bool complete = false;
  if (std::find(p->queue.begin(), p->queue.end(), frame) != p->queue.end()) {
    if (frame->locked) {
      frame->cancelled = TRUE;  // the minidriver holds it: completed when it lets go
    } else {
      TakeFromQueue(p, frame);
      complete = true;
    }
  }
  KeReleaseSpinLock(&p->lock, irql);
  if (complete) CompleteFrame(frame, STATUS_CANCELLED);
}

// Under the pin's lock: whether Process may be called now.
bool CanProcessLocked(Pin* p) {
  KSPIN* pub = p->Public();
  if (p->closing || p->stateChangePending) return false;
  bool runOnly = (p->Flags() & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) != 0;
  if (runOnly ? pub->DeviceState != KSSTATE_RUN : pub->DeviceState < KSSTATE_PAUSE) return false;
  if (p->Flags() & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING) return true;
  for (Frame* f : p->queue) {
    if (!f->cancelled && !f->awaitingCancel) return true;
  }
  return false;
}

void RunProcessing(Pin* p) {
  KIRQL irql;
  KeAcquireSpinLock(&p->lock, &irql);
  p->processingQueued = false;
  p->processingRunning = true;
  p->processingRetrigger = false;
  KeReleaseSpinLock(&p->lock, irql);

  KSPIN* pub = p->Public();
  PFNKSPIN process = pub->Descriptor->Dispatch ? pub->Descriptor->Dispatch->Process : nullptr;
  for (;;) {
    // The state the call starts in holds until it returns (see SetDeviceStateOf).
    KeAcquireSpinLock(&p->lock, &irql);
    bool go = process && CanProcessLocked(p);
    if (go) {
      p->inProcess = true;
      KeClearEvent(&p->processReturned);
    }
    KeReleaseSpinLock(&p->lock, irql);
    if (!go) break;
    NTSTATUS status = process(pub);
    KeAcquireSpinLock(&p->lock, &irql);
    p->inProcess = false;
    KeSetEvent(&p->processReturned, IO_NO_INCREMENT, FALSE);
    KeReleaseSpinLock(&p->lock, irql);
    if (status == STATUS_SUCCESS) continue;
    KeAcquireSpinLock(&p->lock, &irql);
    bool again = p->processingRetrigger && !p->closing;
    p->processingRetrigger = false;
    KeReleaseSpinLock(&p->lock, irql);
    if (!again) break;
  }

  bool requeue = false;
  KeAcquireSpinLock(&p->lock, &irql);
  p->processingRunning = false;
  if (p->processingRetrigger && !p->closing) {
    p->processingRetrigger = false;
    p->processingQueued = true;
    requeue = true;
  } else {
    KeSetEvent(&p->processingIdle, IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&p->lock, irql);
  if (requeue) ProcessingQueue().Queue([p] { RunProcessing(p); }, "KS pin processing");
}

}  // namespace

void DiscardFrame(Frame* frame) { RetireFrame(frame); }

void TriggerProcessing(Pin* p, bool inCaller) {
  bool queue = false;
  KIRQL irql;
  KeAcquireSpinLock(&p->lock, &irql);
  if (!p->closing) {
    if (p->processingRunning) {
      p->processingRetrigger = true;
    } else if (!p->processingQueued) {
      p->processingQueued = true;
      KeClearEvent(&p->processingIdle);
      queue = true;
    }
  }
  KeReleaseSpinLock(&p->lock, irql);
  if (!queue) return;
  if (inCaller)
    RunProcessing(p);
  else
    ProcessingQueue().Queue([p] { RunProcessing(p); }, "KS pin processing");
}

void SetDeviceStateOf(Pin* p, KSSTATE state) {
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&p->lock, &irql);
    if (!p->inProcess) {
      p->Public()->DeviceState = state;
      p->clock->SetState(state, static_cast<LONGLONG>(KeQueryInterruptTime()));
      p->stateChangePending = false;
      KeReleaseSpinLock(&p->lock, irql);
      return;
    }
    // No further call starts until the state is recorded; the state change triggers anew.
    p->stateChangePending = true;
    KeReleaseSpinLock(&p->lock, irql);
    KeWaitForSingleObject(&p->processReturned, Executive, KernelMode, FALSE, nullptr);
  }
}

void WaitProcessingIdle(Pin* p) {
  KeWaitForSingleObject(&p->processingIdle, Executive, KernelMode, FALSE, nullptr);
}

void FlushQueue(Pin* p, NTSTATUS status) {
  for (;;) {
    std::deque<Frame*> frames;
    KIRQL irql;
    KeAcquireSpinLock(&p->lock, &irql);
    for (auto it = p->queue.begin(); it != p->queue.end();) {
      if (ClaimFromCanceller(*it)) {
        frames.push_back(*it);
        it = p->queue.erase(it);
      } else {
        ++it;
      }
    }
    const bool cancelling = !p->queue.empty();
    KeReleaseSpinLock(&p->lock, irql);
    for (Frame* f : frames) CompleteFrame(f, status);
    if (!cancelling) return;
    // Cancel routines already called complete the rest; the pin must outlive them.
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}

NTSTATUS QueueReadStream(Pin* p, PIRP irp) {
  KSPIN* pub = p->Public();
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (pub->DataFlow != KSPIN_DATAFLOW_OUT) return STATUS_INVALID_DEVICE_REQUEST;
  if (pub->DeviceState == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* header = static_cast<PKSSTREAM_HEADER>(irp->UserBuffer);
  if (!header || length < sizeof(KSSTREAM_HEADER) || header->Size < sizeof(KSSTREAM_HEADER) || header->Size > length)
    return STATUS_INVALID_BUFFER_SIZE;
  if (header->FrameExtent && !header->Data) return STATUS_INVALID_USER_BUFFER;
  // The minidriver writes its extended header (KS_FRAME_INFO for video) after the header.
  if (pub->StreamHeaderSize) {
    ULONG required = pub->StreamHeaderSize;
    // Video pins ask for the 64-bit size everywhere; no header is longer than the frame info needs.
    const ULONG video = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    if (required > video) required = video;
    if (header->Size < required) return STATUS_INVALID_BUFFER_SIZE;
  }

  Frame* frame = NewFrame();
  frame->irp = irp;
  frame->header = header;
  frame->pointer.Pin = pub;
  frame->pointer.StreamHeader = header;
  frame->pointer.OffsetOut.Data = static_cast<PUCHAR>(header->Data);
  frame->pointer.OffsetOut.Count = header->FrameExtent;
  frame->pointer.OffsetOut.Remaining = header->FrameExtent;
  frame->pointer.Offset = &frame->pointer.OffsetOut;
  irp->Tail.Overlay.DriverContext[0] = frame;
  irp->Tail.Overlay.DriverContext[1] = p;

  KIRQL irql;
  KeAcquireSpinLock(&p->lock, &irql);
  if (p->closing) {
    KeReleaseSpinLock(&p->lock, irql);
    RetireFrame(frame);
    return STATUS_CANCELLED;
  }
  IoSetCancelRoutine(irp, CancelFrame);
  if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr)) {
    KeReleaseSpinLock(&p->lock, irql);
    RetireFrame(frame);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(irp);
  bool wasEmpty = p->queue.empty();
  p->queue.push_back(frame);
  KeReleaseSpinLock(&p->lock, irql);

  ULONG flags = p->Flags();
  if (!(flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) &&
      (wasEmpty || (flags & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL)))
    TriggerProcessing(p);
  return STATUS_PENDING;
}

}  // namespace kvz::ks

using namespace kvz::ks;

extern "C" PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state) {
  Pin* p = LivePin(pin, "KsPinGetLeadingEdgeStreamPointer");
  KIRQL irql;
  KeAcquireSpinLock(&p->lock, &irql);
  Frame* leading = nullptr;
  for (Frame* f : p->queue) {
    if (!f->cancelled && !f->awaitingCancel) {
      leading = f;
      break;
    }
  }
  if (leading && state == KSSTREAM_POINTER_STATE_LOCKED) {
    if (leading->locked) {
      KeReleaseSpinLock(&p->lock, irql);
      KsBugCheck("KsPinGetLeadingEdgeStreamPointer locks stream pointer %p, which is already locked",
                 static_cast<void*>(&leading->pointer));
    }
    leading->locked = TRUE;
  }
  KeReleaseSpinLock(&p->lock, irql);
  return leading ? &leading->pointer : nullptr;
}

extern "C" VOID NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER pointer, BOOLEAN eject) {
  if (!IsLivePointer(pointer))
    KsBugCheck("KsStreamPointerUnlock of stream pointer %p, which is stale or no stream pointer",
               static_cast<void*>(pointer));
  Pin* p = LivePin(pointer->Pin, "KsStreamPointerUnlock");
  Frame* frame = CONTAINING_RECORD(pointer, Frame, pointer);
  KIRQL irql;
  KeAcquireSpinLock(&p->lock, &irql);
  if (!frame->locked) {
    KeReleaseSpinLock(&p->lock, irql);
    KsBugCheck("KsStreamPointerUnlock of stream pointer %p, which is not locked", static_cast<void*>(pointer));
  }
  frame->locked = FALSE;
  const bool complete = (frame->cancelled || (eject && ClaimFromCanceller(frame))) && TakeFromQueue(p, frame);
  NTSTATUS status = eject ? STATUS_SUCCESS : STATUS_CANCELLED;
  KeReleaseSpinLock(&p->lock, irql);
  if (complete) CompleteFrame(frame, status);
}

// Without KSPIN_FLAG_ASYNCHRONOUS_PROCESSING a request at PASSIVE_LEVEL may run Process at once in
// the caller's thread, as the class driver does; callers must be ready for that.
extern "C" VOID NTAPI KsPinAttemptProcessing(PKSPIN pin, BOOLEAN asynchronous) {
  Pin* p = LivePin(pin, "KsPinAttemptProcessing");
  const bool inCaller = !asynchronous && KeGetCurrentIrql() == PASSIVE_LEVEL &&
                        !(p->Flags() & KSPIN_FLAG_ASYNCHRONOUS_PROCESSING);
  TriggerProcessing(p, inCaller);
}

extern "C" VOID NTAPI KsPinAcquireProcessingMutex(PKSPIN pin) {
  Pin* p = LivePin(pin, "KsPinAcquireProcessingMutex");
  KeWaitForSingleObject(&p->processingMutex, Executive, KernelMode, FALSE, nullptr);
}

extern "C" VOID NTAPI KsPinReleaseProcessingMutex(PKSPIN pin) {
  Pin* p = LivePin(pin, "KsPinReleaseProcessingMutex");
  KeReleaseMutex(&p->processingMutex, FALSE);
}
