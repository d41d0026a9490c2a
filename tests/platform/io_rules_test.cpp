// One death case per I/O manager rule: IRP ownership, what a dispatch routine returns against
// how the IRP completed, cancellation, buffered output, work items and device objects.
#include <atomic>
#include <thread>

#include "death_cases.h"
#include "io_test_stack.h"
#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "wdm.h"

namespace {

using namespace kvz::kernel;
using kvz::testing::CompleteWith;
using kvz::testing::DeathCase;
using kvz::testing::TestStack;

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

PIRP g_parked = nullptr;
std::atomic<bool> g_inCancel{false};

NTSTATUS Park(PDEVICE_OBJECT, PIRP irp) {
  IoMarkIrpPending(irp);
  g_parked = irp;
  return STATUS_PENDING;
}

NTSTATUS NTAPI TakeBack(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// A driver-allocated IRP for the top of the stack, taken back by its completion routine.
PIRP SendOwnIrp(const TestStack& stack) {
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = kIoctl;
  IoSetCompletionRoutine(irp, TakeBack, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(stack.Top(), irp);
  return irp;
}

void SendIoctl(const TestStack& stack, ULONG outLength = 0) {
  static KEVENT event;
  static IO_STATUS_BLOCK iosb;
  static char out[16];
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCallDriver(stack.Top(), IoBuildDeviceIoControlRequest(kIoctl, stack.Top(), nullptr, 0, out, outLength, FALSE,
                                                          &event, &iosb));
}

// ---- What a dispatch routine returns ----

void DispatchReturnsAtDispatchLevel() {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  SendIoctl(stack);
}

void PendingReturnedUnmarked() {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    g_parked = irp;
    return STATUS_PENDING;
  });
  SendIoctl(stack);
  CompleteWith(g_parked, STATUS_SUCCESS);
}

void MarkedButCompletedAtOnce() {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  SendIoctl(stack);
}

void ReturnsAnotherStatusThanItCompletedWith() {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    CompleteWith(irp, STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
  });
  SendIoctl(stack);
}

void ReturnsWithoutCompleting() {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; });
  SendIoctl(stack);
}

NTSTATUS NTAPI ContinueWithoutPropagating(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_CONTINUE_COMPLETION; }

void CompletionRoutineDropsThePendingFlag() {
  TestStack stack(2);
  PDEVICE_OBJECT lower = stack[0];
  stack.Handle(1, [lower](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ContinueWithoutPropagating, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);
  });
  stack.Handle(0, Park);
  SendIoctl(stack);
  CompleteWith(g_parked, STATUS_SUCCESS);
}

// ---- IRP ownership ----

void SendAnIrpInFlight() {
  TestStack stack(1);
  stack.Handle(0, Park);
  PIRP irp = SendOwnIrp(stack);
  IoSetNextIrpStackLocation(irp);  // as if the sender had not sent it yet
  IoCallDriver(stack.Top(), irp);
}

void InitialiseAnIrpInFlight() {
  TestStack stack(1);
  stack.Handle(0, Park);
  PIRP irp = SendOwnIrp(stack);
  IoInitializeIrp(irp, irp->Size, irp->StackCount);
}

void FreeTwice() {
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoFreeIrp(irp);
  IoFreeIrp(irp);
}

VOID NTAPI SpinInCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g_inCancel = true;
  for (;;) std::this_thread::yield();
}

void FreeWhileAnotherThreadCancels() {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, SpinInCancel);
    return Park(nullptr, irp);
  });
  PIRP irp = SendOwnIrp(stack);
  KernelThread canceller("canceller", [irp] { IoCancelIrp(irp); });
  while (!g_inCancel) std::this_thread::yield();
  CompleteWith(irp, STATUS_CANCELLED);
  IoFreeIrp(irp);
}

VOID NTAPI Ignore(PDEVICE_OBJECT, PIRP) {}

void CompleteWithTheCancelRoutineSet() {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, Ignore);
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  SendIoctl(stack);
}

NTSTATUS NTAPI RaiseAndContinue(PDEVICE_OBJECT, PIRP, PVOID) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CompletionRoutineChangesIrql() {
  TestStack stack(1);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, RaiseAndContinue, nullptr, TRUE, TRUE, TRUE);
  IoCallDriver(stack.Top(), irp);
}

void SendToADeletedDevice() {
  TestStack stack(1);
  PIRP irp = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  ObReferenceObject(stack[0]);  // the sender's reference keeps the object, not the device
  IoDeleteDevice(stack[0]);
  IoCallDriver(stack[0], irp);
}

void DeleteADeviceStillAttached() {
  TestStack stack(2);
  IoDeleteDevice(stack[1]);
}

void OverrunTheOutputBuffer() {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 8); });
  SendIoctl(stack, 4);
}

// ---- I/O work items ----

VOID NTAPI WaitForever(PVOID event) { KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr); }
VOID NTAPI NoWork(PDEVICE_OBJECT, PVOID) {}

// Keeps the one hypercritical worker busy, so that what is queued next stays queued.
void BlockTheHypercriticalWorker() {
  static KEVENT never;
  static WORK_QUEUE_ITEM blocker;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  ExInitializeWorkItem(&blocker, WaitForever, &never);
  ExQueueWorkItem(&blocker, HyperCriticalWorkQueue);
  RunUntilIdle();
}

void QueueAWorkItemTwice() {
  TestStack stack(1);
  BlockTheHypercriticalWorker();
  PIO_WORKITEM item = IoAllocateWorkItem(stack[0]);
  IoQueueWorkItem(item, NoWork, HyperCriticalWorkQueue, nullptr);
  IoQueueWorkItem(item, NoWork, HyperCriticalWorkQueue, nullptr);
}

void FreeAQueuedWorkItem() {
  TestStack stack(1);
  BlockTheHypercriticalWorker();
  PIO_WORKITEM item = IoAllocateWorkItem(stack[0]);
  IoQueueWorkItem(item, NoWork, HyperCriticalWorkQueue, nullptr);
  IoFreeWorkItem(item);
}

KVZ_DEATH_CASES(
    IoRuleDeathTest,
    DeathCase{"DispatchReturnsAtAnotherIrql", DispatchReturnsAtDispatchLevel,
              "bugcheck: dispatch routine 0x[0-9a-f]+ of device 0x[0-9a-f]+ returned at IRQL 2, entered at 0"},
    DeathCase{"PendingReturnedWithoutIoMarkIrpPending", PendingReturnedUnmarked,
              "bugcheck: dispatch routine of device 0x[0-9a-f]+ returned STATUS_PENDING for IRP 0x[0-9a-f]+ without "
              "IoMarkIrpPending"},
    DeathCase{"MarkedPendingButAnotherStatusReturned", MarkedButCompletedAtOnce,
              "bugcheck: dispatch routine of device 0x[0-9a-f]+ marked IRP 0x[0-9a-f]+ pending but returned "
              "0x00000000"},
    DeathCase{"ReturnedStatusDiffersFromCompletion", ReturnsAnotherStatusThanItCompletedWith,
              "bugcheck: dispatch routine of device 0x[0-9a-f]+ returned 0x00000000 for IRP 0x[0-9a-f]+, which it "
              "completed with 0xC0000001"},
    DeathCase{"ReturnedWithoutCompletingOrPending", ReturnsWithoutCompleting,
              "without completing it or marking it pending"},
    DeathCase{"CompletionRoutineDropsThePendingFlag", CompletionRoutineDropsThePendingFlag,
              "bugcheck: completion routine 0x[0-9a-f]+ let IRP 0x[0-9a-f]+ complete on without propagating its "
              "pending flag"},
    DeathCase{"IrpSentWhileInFlight", SendAnIrpInFlight, "which already holds it: the IRP is in flight"},
    DeathCase{"IrpInitialisedWhileInFlight", InitialiseAnIrpInFlight,
              "bugcheck: IRP 0x[0-9a-f]+ initialised again while it is sent, not completed"},
    DeathCase{"IrpFreedTwice", FreeTwice, "bugcheck: IoFreeIrp: IRP 0x[0-9a-f]+ was freed already"},
    DeathCase{"IrpFreedWhileAnotherThreadCancelsIt", FreeWhileAnotherThreadCancels,
              "bugcheck: IRP 0x[0-9a-f]+ freed while thread 'canceller' is inside IoCancelIrp on it"},
    DeathCase{"CompletedWithItsCancelRoutineSet", CompleteWithTheCancelRoutineSet,
              "bugcheck: IRP 0x[0-9a-f]+ completed with its cancel routine still set"},
    DeathCase{"CompletionRoutineChangesIrql", CompletionRoutineChangesIrql,
              "bugcheck: completion routine 0x[0-9a-f]+ returned at IRQL 2, entered at 0"},
    DeathCase{"IrpSentToADeletedDevice", SendToADeletedDevice,
              "bugcheck: IRP 0x[0-9a-f]+ sent to device object 0x[0-9a-f]+ after IoDeleteDevice"},
    DeathCase{"DeviceDeletedWhileAttached", DeleteADeviceStillAttached,
              "bugcheck: IoDeleteDevice on device object 0x[0-9a-f]+ that is still attached"},
    DeathCase{"BufferedOutputOverrun", OverrunTheOutputBuffer,
              "bugcheck: IRP 0x[0-9a-f]+ \\(buffered control code 0x00222004\\) completed with Information 8, more "
              "than its 4-byte output buffer"},
    DeathCase{"IoWorkItemQueuedTwice", QueueAWorkItemTwice,
              "bugcheck: I/O work item 0x[0-9a-f]+ queued again before its routine ran"},
    DeathCase{"IoWorkItemFreedWhileQueued", FreeAQueuedWorkItem,
              "bugcheck: I/O work item 0x[0-9a-f]+ freed while queued"});

}  // namespace
