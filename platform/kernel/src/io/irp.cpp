// IRPs: allocation, sending, completion, cancellation, and the I/O manager's end of threaded
// IRPs. The rules a verifier checks stop the test: an IRP completed twice, freed while a lower
// driver owns it, completed with its cancel routine set, or sent past its last stack location.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "io/io_manager.h"
#include "ke/scheduler.h"
#include "ke/irql_check.h"
#include "kvz/io_testing.h"
#include "kvz/kernel_testing.h"

namespace kvz::kernel::io {
namespace {

constexpr ULONG kIrpTag = ' prI';
constexpr size_t kFreedMemory = 4096;

enum class State { Owned, InFlight, Completing };

// One IofCallDriver of the IRP: what the dispatch routine returned and what the completion found
// at its stack location, compared once both are known.
struct Frame {
  uint64_t id;
  CHAR location;
  PDEVICE_OBJECT device;
  bool markedAtCall = false;  // a caller that skipped its location marked it already
  bool returned = false;
  NTSTATUS returnedStatus = STATUS_SUCCESS;
  bool passed = false;  // the completion walked past this location
  bool pendingMarked = false;
  NTSTATUS completedStatus = STATUS_SUCCESS;
};

struct Record {
  State state = State::Owned;
  uint64_t serial = 0;
  bool threaded = false;
  ThreadedIrpExtras extras;
  int holds = 0;                     // the I/O manager's own (a client's cancel)
  std::vector<PETHREAD> cancellers;  // threads inside IoCancelIrp on it
  bool finished = false;             // done; freed when the last hold and canceller go
  bool reported = false;             // named once by the unload check; still valid to free
  std::vector<Frame> frames;
};

struct Table {
  std::mutex lock;
  std::unordered_map<PIRP, Record> live;
  std::unordered_set<PIRP> freed;  // recently freed addresses, to name a second completion
  std::deque<PIRP> freedOrder;
  uint64_t serial = 0;
  uint64_t calls = 0;
  std::vector<Frame> settledCalls;  // of IRPs freed before their dispatch routine returned
};

void ReportLiveIrps(std::vector<std::string>& findings);

Table& T() {
  static Table* table = [] {
    auto* t = new Table;
    AddUnloadHook("IRPs", ReportLiveIrps);
    return t;
  }();
  return *table;
}

const char* StateName(State s) {
  switch (s) {
    case State::Owned: return "owned by its sender";
    case State::InFlight: return "sent, not completed";
    case State::Completing: return "completing";
  }
  return "?";
}

void ReportLiveIrps(std::vector<std::string>& findings) {
  Table& t = T();
  std::lock_guard<std::mutex> hold(t.lock);
  for (auto& entry : t.live) {
    if (entry.second.reported) continue;
    entry.second.reported = true;
    PIRP irp = entry.first;
    char line[200];
    std::snprintf(line, sizeof(line), "IRP %p still allocated (allocation #%llu, %s, %d stack locations%s)",
                  static_cast<void*>(irp), static_cast<unsigned long long>(entry.second.serial),
                  StateName(entry.second.state), irp->StackCount, entry.second.threaded ? ", threaded" : "");
    findings.emplace_back(line);
  }
}

// Called with the table lock held.
void ForgetAndFree(Table& t, PIRP irp) {
  auto it = t.live.find(irp);
  if (it != t.live.end())
    for (const Frame& f : it->second.frames)
      if (f.passed) t.settledCalls.push_back(f);
  t.live.erase(irp);
  t.freed.insert(irp);
  t.freedOrder.push_back(irp);
  if (t.freedOrder.size() > kFreedMemory) {
    t.freed.erase(t.freedOrder.front());
    t.freedOrder.pop_front();
  }
  ExFreePoolWithTag(irp, kIrpTag);
}

// Whether a finished IRP may be freed now, with the table lock held. A thread inside IoCancelIrp
// on it may still touch it: the free waits for that thread when it is the one freeing (its cancel
// routine completed the IRP), when it is the thread a threaded IRP ends in (Windows frees those in
// that thread), or when the I/O manager holds the IRP itself; any other thread frees memory that
// IoCancelIrp is using.
bool MayFreeNow(Record& record, PIRP irp, const char* how) {
  if (record.cancellers.empty()) return record.holds == 0;
  PETHREAD me = PsGetCurrentThread();
  for (PETHREAD canceller : record.cancellers) {
    const bool safe = canceller == me || (record.threaded && canceller == irp->Tail.Overlay.Thread) || record.holds > 0;
    if (!safe)
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IRP %p %s while thread '%s' is inside IoCancelIrp on it",
               static_cast<void*>(irp), how, reinterpret_cast<PKTHREAD>(canceller)->Name);
  }
  return false;
}

PIO_STACK_LOCATION LocationOf(PIRP irp, CHAR location) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

// The rules between what a dispatch routine returned and how its IRP was completed.
void CheckFrame(PIRP irp, const Frame& f) {
  if (f.returnedStatus == STATUS_PENDING) {
    if (!f.pendingMarked)
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "dispatch routine of device %p returned STATUS_PENDING for IRP %p without IoMarkIrpPending",
               static_cast<void*>(f.device), static_cast<void*>(irp));
    return;
  }
  if (f.pendingMarked && !f.markedAtCall)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch routine of device %p marked IRP %p pending but returned 0x%08X", static_cast<void*>(f.device),
             static_cast<void*>(irp), static_cast<unsigned>(f.returnedStatus));
  if (f.returnedStatus != f.completedStatus)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "dispatch routine of device %p returned 0x%08X for IRP %p, which it completed with 0x%08X",
             static_cast<void*>(f.device), static_cast<unsigned>(f.returnedStatus), static_cast<void*>(irp),
             static_cast<unsigned>(f.completedStatus));
}

// The completion walk reaches `location` (table lock held): settle the calls made to it.
void PassLocation(Record& record, PIRP irp, CHAR location) {
  PIO_STACK_LOCATION stack = LocationOf(irp, location);
  for (size_t i = 0; i < record.frames.size();) {
    Frame& f = record.frames[i];
    if (f.location != location || f.passed) {
      ++i;
      continue;
    }
    f.passed = true;
    f.pendingMarked = (stack->Control & SL_PENDING_RETURNED) != 0;
    f.completedStatus = irp->IoStatus.Status;
    if (!f.returned) {
      ++i;
      continue;
    }
    CheckFrame(irp, f);
    record.frames.erase(record.frames.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

// The dispatch routine of a call returned `status` (table lock held).
void ReturnFromDispatch(std::vector<Frame>& frames, PIRP irp, uint64_t id, NTSTATUS status) {
  for (size_t i = 0; i < frames.size(); ++i) {
    Frame& f = frames[i];
    if (f.id != id) continue;
    f.returned = true;
    f.returnedStatus = status;
    if (f.passed) {
      CheckFrame(irp, f);
    } else if (status != STATUS_PENDING) {
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "dispatch routine of device %p returned 0x%08X for IRP %p without completing it or marking it "
               "pending",
               static_cast<void*>(f.device), static_cast<unsigned>(status), static_cast<void*>(irp));
    } else {
      return;  // checked when the completion reaches the location
    }
    frames.erase(frames.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

void ZeroStackLocation(PIO_STACK_LOCATION stack) {
  stack->MinorFunction = 0;
  stack->Flags = 0;
  stack->Control = 0;
  memset(&stack->Parameters, 0, sizeof(stack->Parameters));
  stack->FileObject = nullptr;
  stack->CompletionRoutine = nullptr;
  stack->Context = nullptr;
}

// The I/O manager copies Information bytes of a buffered request's system buffer back to the
// caller's output buffer: more than that buffer holds would overrun it.
void CheckBufferedOutput(PIRP irp, PIO_STACK_LOCATION stack) {
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL && stack->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL) return;
  if (METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) != METHOD_BUFFERED) return;
  if (NT_ERROR(irp->IoStatus.Status)) return;
  const ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
  if (irp->IoStatus.Information > length)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IRP %p (buffered control code 0x%08X) completed with Information %llu, more than its %lu-byte output "
             "buffer",
             static_cast<void*>(irp), static_cast<unsigned>(stack->Parameters.DeviceIoControl.IoControlCode),
             static_cast<unsigned long long>(irp->IoStatus.Information), static_cast<unsigned long>(length));
}

void FinishThreaded(PIRP irp, CCHAR boost) {
  Table& t = T();
  ThreadedIrpExtras extras;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.live.find(irp);
    if (it == t.live.end() || !it->second.threaded)
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
               "IRP %p completed to the top, but it came from IoAllocateIrp: no completion routine took it back "
               "with STATUS_MORE_PROCESSING_REQUIRED",
               static_cast<void*>(irp));
    extras = it->second.extras;
  }
  const IO_STATUS_BLOCK result = irp->IoStatus;
  if (extras.systemBuffer) {
    if (!NT_ERROR(result.Status) && extras.copyBackTo && extras.copyBackLength) {
      ULONG_PTR n = result.Information < extras.copyBackLength ? result.Information : extras.copyBackLength;
      memcpy(extras.copyBackTo, extras.systemBuffer, n);
    }
    ExFreePool(extras.systemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  if (extras.freeMdls) {
    for (PMDL mdl = irp->MdlAddress; mdl;) {
      PMDL next = mdl->Next;
      IoFreeMdl(mdl);
      mdl = next;
    }
    irp->MdlAddress = nullptr;
  }
  // A failure the sender got back from IoCallDriver without STATUS_PENDING is the sender's
  // already: neither the status block nor the event is touched then.
  const bool deliver = !(NT_ERROR(result.Status) && !irp->PendingReturned);
  PIO_STATUS_BLOCK iosb = irp->UserIosb;
  PKEVENT event = irp->UserEvent;
  if (extras.beforeFree) extras.beforeFree();
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.live.find(irp);
    if (it != t.live.end() && !MayFreeNow(it->second, irp, "freed at the end of its completion"))
      it->second.finished = true;
    else
      ForgetAndFree(t, irp);
  }
  if (deliver) {
    if (iosb) *iosb = result;
    if (event) KeSetEvent(event, boost, FALSE);
  }
}

}  // namespace

void MarkThreaded(PIRP irp, ThreadedIrpExtras extras) {
  Table& t = T();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.live.find(irp);
  if (it == t.live.end()) return;
  it->second.threaded = true;
  it->second.extras = std::move(extras);
}

void SetBeforeFree(PIRP irp, std::function<void()> beforeFree) {
  Table& t = T();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.live.find(irp);
  if (it != t.live.end()) it->second.extras.beforeFree = std::move(beforeFree);
}

bool HoldIrp(PIRP irp) {
  Table& t = T();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.live.find(irp);
  if (it == t.live.end() || it->second.finished) return false;
  ++it->second.holds;
  return true;
}

void ReleaseIrp(PIRP irp) {
  Table& t = T();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.live.find(irp);
  if (it == t.live.end()) return;
  if (--it->second.holds == 0 && it->second.cancellers.empty() && it->second.finished) ForgetAndFree(t, irp);
}

PIRP BuildThreadedIrp(PDEVICE_OBJECT target, UCHAR majorFunction, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (!irp) return nullptr;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  irp->UserEvent = event;
  irp->UserIosb = iosb;
  irp->RequestorMode = KernelMode;
  IoGetNextIrpStackLocation(irp)->MajorFunction = majorFunction;
  MarkThreaded(irp, {});
  return irp;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  NTSTATUS status = IofCallDriver(target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    status = iosb->Status;
  }
  return status;
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace kvz::kernel::io

namespace kvz::kernel {
size_t LiveIrpCount() {
  io::Table& t = io::T();
  std::lock_guard<std::mutex> hold(t.lock);
  size_t count = 0;
  for (auto& entry : t.live) count += entry.second.reported ? 0 : 1;
  return count;
}
}  // namespace kvz::kernel

using namespace kvz::kernel;
using namespace kvz::kernel::io;

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  if (StackSize < 1) return nullptr;
  const USHORT size = IoSizeOfIrp(StackSize);
  auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag));
  if (!irp) return nullptr;
  IoInitializeIrp(irp, size, StackSize);
  Table& t = T();
  std::lock_guard<std::mutex> hold(t.lock);
  t.freed.erase(irp);
  Record& record = t.live[irp];
  record = Record{};
  record.serial = ++t.serial;
  return irp;
}

extern "C" VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  {
    Table& t = T();
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.live.find(Irp);
    if (it != t.live.end() && it->second.state != State::Owned)
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IRP %p initialised again while it is %s", static_cast<void*>(Irp),
               StateName(it->second.state));
  }
  memset(Irp, 0, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  InitializeListHead(&Irp->ThreadListEntry);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

extern "C" VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  {
    Table& t = T();
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.live.find(Irp);
    if (it != t.live.end() && it->second.state == State::InFlight)
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoReuseIrp on IRP %p that a lower driver still owns",
               static_cast<void*>(Irp));
  }
  const UCHAR flags = Irp->AllocationFlags;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = flags;
  Irp->IoStatus.Status = Iostatus;
}

extern "C" VOID NTAPI IoFreeIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
  Table& t = T();
  std::lock_guard<std::mutex> hold(t.lock);
  auto it = t.live.find(Irp);
  if (it == t.live.end()) {
    if (t.freed.count(Irp)) BugCheck(BAD_POOL_CALLER, "IoFreeIrp: IRP %p was freed already", static_cast<void*>(Irp));
    BugCheck(BAD_POOL_CALLER, "IoFreeIrp: %p is not an IRP from IoAllocateIrp", static_cast<void*>(Irp));
  }
  if (it->second.state == State::InFlight)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IRP %p freed while pending: it was sent with IoCallDriver and has not been completed back",
             static_cast<void*>(Irp));
  if (it->second.state == State::Completing)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IRP %p freed while it is being completed", static_cast<void*>(Irp));
  if (Irp->CancelRoutine)
    BugCheck(CANCEL_STATE_IN_COMPLETED_IRP, "IRP %p freed with its cancel routine still set", static_cast<void*>(Irp));
  if (!MayFreeNow(it->second, Irp, "freed")) {
    it->second.finished = true;
    return;
  }
  ForgetAndFree(t, Irp);
}

extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                                    PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                                    ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                                    PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost(APC_LEVEL, "IoBuildDeviceIoControlRequest");
  PIRP irp = BuildThreadedIrp(DeviceObject,
                              InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, Event,
                              IoStatusBlock);
  if (!irp) return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  ThreadedIrpExtras extras;
  const ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
  if (method == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  } else {
    ULONG size = method == METHOD_BUFFERED && OutputBufferLength > InputBufferLength ? OutputBufferLength
                                                                                     : InputBufferLength;
    if (size) {
      PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, size, kIrpTag);
      if (!buffer) {
        IoFreeIrp(irp);
        return nullptr;
      }
      memset(buffer, 0, size);
      if (InputBuffer && InputBufferLength) memcpy(buffer, InputBuffer, InputBufferLength);
      irp->AssociatedIrp.SystemBuffer = buffer;
      irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      extras.systemBuffer = buffer;
    }
    if (method == METHOD_BUFFERED) {
      if (OutputBufferLength) irp->Flags |= IRP_INPUT_OPERATION;
      extras.copyBackTo = OutputBuffer;
      extras.copyBackLength = OutputBufferLength;
    } else if (OutputBuffer && OutputBufferLength) {
      PMDL mdl = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
      if (!mdl) {
        if (extras.systemBuffer) ExFreePool(extras.systemBuffer);
        irp->AssociatedIrp.SystemBuffer = nullptr;
        IoFreeIrp(irp);
        return nullptr;
      }
      MmProbeAndLockPages(mdl, KernelMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
      extras.freeMdls = true;
    }
  }
  MarkThreaded(irp, std::move(extras));
  return irp;
}

extern "C" PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                                   ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                                   PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost(APC_LEVEL, "IoBuildSynchronousFsdRequest");
  PIRP irp = BuildThreadedIrp(DeviceObject, static_cast<UCHAR>(MajorFunction), Event, IoStatusBlock);
  if (!irp) return nullptr;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
    next->Parameters.Read.Length = Length;
    if (StartingOffset) next->Parameters.Read.ByteOffset = *StartingOffset;
    irp->UserBuffer = Buffer;
  }
  return irp;
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
  if (!DeviceObject || !DeviceObject->DriverObject)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IofCallDriver with IRP %p to no device object", static_cast<void*>(Irp));
  if (DeviceObject->DeviceObjectExtension && DeviceObject->DeviceObjectExtension->deleted)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IRP %p sent to device object %p after IoDeleteDevice",
             static_cast<void*>(Irp), static_cast<void*>(DeviceObject));
  Table& t = T();
  uint64_t frameId = 0;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.live.find(Irp);
    if (it == t.live.end() && t.freed.count(Irp))
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IofCallDriver with IRP %p, which was freed", static_cast<void*>(Irp));
    if (it != t.live.end()) {
      Record& record = it->second;
      if (record.state == State::Completing)
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IRP %p sent while it is being completed", static_cast<void*>(Irp));
      // A driver passes an IRP on to a device below itself; one of the devices that hold it now
      // getting it again means it was sent twice.
      for (const Frame& f : record.frames)
        if (f.device == DeviceObject && !f.passed)
          BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "IRP %p sent to device %p, which already holds it: the IRP is in flight",
                   static_cast<void*>(Irp), static_cast<void*>(DeviceObject));
      record.state = State::InFlight;
      frameId = ++t.calls;
      Frame frame{};
      frame.id = frameId;
      frame.location = static_cast<CHAR>(Irp->CurrentLocation - 1);
      frame.device = DeviceObject;
      if (frame.location >= 1)
        frame.markedAtCall = (LocationOf(Irp, frame.location)->Control & SL_PENDING_RETURNED) != 0;
      record.frames.push_back(frame);
    }
  }
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0)
    BugCheck(NO_MORE_IRP_STACK_LOCATIONS, "IRP %p sent to device %p with no stack location left (%d locations)",
             static_cast<void*>(Irp), static_cast<void*>(DeviceObject), Irp->StackCount);
  PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  if (!dispatch) dispatch = InvalidDeviceRequest;
  const KIRQL irql = KeGetCurrentIrql();
  const NTSTATUS status = dispatch(DeviceObject, Irp);
  if (KeGetCurrentIrql() != irql)
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, "dispatch routine %p of device %p returned at IRQL %u, entered at %u",
             reinterpret_cast<void*>(dispatch), static_cast<void*>(DeviceObject), KeGetCurrentIrql(), irql);
  if (frameId) {
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.live.find(Irp);
    ReturnFromDispatch(it != t.live.end() ? it->second.frames : t.settledCalls, Irp, frameId, status);
  }
  return status;
}

extern "C" VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  Table& t = T();
  bool tracked = false;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.live.find(Irp);
    if (it == t.live.end()) {
      if (t.freed.count(Irp))
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "IRP %p completed twice: it was already completed and freed",
                 static_cast<void*>(Irp));
    } else {
      if (it->second.state == State::Completing || it->second.finished)
        BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "IRP %p completed twice: its completion is already under way",
                 static_cast<void*>(Irp));
      it->second.state = State::Completing;
      tracked = true;
    }
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1)
    BugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "IRP %p completed twice: no stack location is left to complete",
             static_cast<void*>(Irp));
  if (Irp->IoStatus.Status == STATUS_PENDING)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IRP %p completed with STATUS_PENDING", static_cast<void*>(Irp));
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST))
    BugCheck(CANCEL_STATE_IN_COMPLETED_IRP, "IRP %p completed with its cancel routine still set",
             static_cast<void*>(Irp));

  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (Irp->CurrentLocation <= Irp->StackCount) CheckBufferedOutput(Irp, stack);
  Irp->CurrentLocation++;
  Irp->Tail.Overlay.CurrentStackLocation++;
  while (Irp->CurrentLocation <= Irp->StackCount + 1) {
    if (tracked) {
      std::lock_guard<std::mutex> hold(t.lock);
      auto it = t.live.find(Irp);
      if (it != t.live.end()) PassLocation(it->second, Irp, static_cast<CHAR>(Irp->CurrentLocation - 1));
    }
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    const NTSTATUS status = Irp->IoStatus.Status;
    const bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                        (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                        (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (stack->Control & SL_INVOKE_ON_CANCEL));
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    ZeroStackLocation(stack);
    if (invoke && routine) {
      PDEVICE_OBJECT device =
          Irp->CurrentLocation == Irp->StackCount + 1 ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      if (tracked) {
        // For the length of the routine the IRP is its owner's again.
        std::lock_guard<std::mutex> hold(t.lock);
        t.live[Irp].state = State::Owned;
      }
      const KIRQL irql = KeGetCurrentIrql();
      NTSTATUS result = routine(device, Irp, context);
      if (KeGetCurrentIrql() != irql)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "completion routine %p returned at IRQL %u, entered at %u",
                 reinterpret_cast<void*>(routine), KeGetCurrentIrql(), irql);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      // The caller above returned what its IoCallDriver returned, STATUS_PENDING included.
      if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount &&
          !(IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED))
        BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "completion routine %p let IRP %p complete on without propagating its pending flag "
                 "(IoMarkIrpPending when PendingReturned)",
                 reinterpret_cast<void*>(routine), static_cast<void*>(Irp));
      if (tracked) {
        std::lock_guard<std::mutex> hold(t.lock);
        auto it = t.live.find(Irp);
        if (it == t.live.end())
          BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                   "completion routine %p freed IRP %p but did not return STATUS_MORE_PROCESSING_REQUIRED",
                   reinterpret_cast<void*>(routine), static_cast<void*>(Irp));
        it->second.state = State::Completing;
      }
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
    ++stack;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
  }
  if (!tracked && !Irp->Tail.Overlay.Thread)
    BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
             "IRP %p completed to the top without a thread to return to: no completion routine took it back",
             static_cast<void*>(Irp));
  if (tracked) FinishThreaded(Irp, PriorityBoost);
}

extern "C" NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                                   PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                                   BOOLEAN InvokeOnCancel) {
  IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
  return STATUS_SUCCESS;
}

namespace {
KSPIN_LOCK g_cancelLock = 0;
}

extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancelLock); }

extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelLock, Irql); }

extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
  PETHREAD me = PsGetCurrentThread();
  Table& t = T();
  bool registered = false;
  {
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.live.find(Irp);
    if (it == t.live.end() && t.freed.count(Irp))
      BugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "IoCancelIrp on IRP %p, which was freed", static_cast<void*>(Irp));
    if (it != t.live.end()) {
      it->second.cancellers.push_back(me);
      registered = true;
    }
  }
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // A completer that cleared the cancel routine first may be completing the IRP right now and
  // reading the flag: the field is volatile in the kernel's IRP.
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine) {
    if (Irp->CurrentLocation > Irp->StackCount)
      BugCheck(CANCEL_STATE_IN_COMPLETED_IRP, "IRP %p has a cancel routine but no driver holds it",
               static_cast<void*>(Irp));
    Irp->CancelIrql = irql;
    // The routine runs with the cancel spin lock held and releases it itself.
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  } else {
    IoReleaseCancelSpinLock(irql);
  }
  if (registered) {
    std::lock_guard<std::mutex> hold(t.lock);
    auto it = t.live.find(Irp);
    if (it != t.live.end()) {
      std::vector<PETHREAD>& cancellers = it->second.cancellers;
      cancellers.erase(std::find(cancellers.begin(), cancellers.end(), me));
      if (it->second.finished && it->second.holds == 0 && cancellers.empty()) ForgetAndFree(t, Irp);
    }
  }
  return routine ? TRUE : FALSE;
}
