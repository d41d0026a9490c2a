#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io_test_stack.h"
#include "kernel_checks.h"
#include "kvz/io_testing.h"
#include "kvz/kernel_thread.h"

namespace {

using namespace kvz::kernel;
using kvz::testing::CompleteWith;
using kvz::testing::TestStack;

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Trace {
  std::vector<std::string> steps;
  std::vector<PDEVICE_OBJECT> devices;
  std::vector<bool> pendingSeen;
};

struct Mark {
  Trace* trace;
  const char* name;
  NTSTATUS result;
};

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto* mark = static_cast<Mark*>(context);
  mark->trace->steps.push_back(mark->name);
  mark->trace->devices.push_back(device);
  mark->trace->pendingSeen.push_back(irp->PendingReturned != FALSE);
  if (irp->PendingReturned && mark->result != STATUS_MORE_PROCESSING_REQUIRED) IoMarkIrpPending(irp);
  return mark->result;
}

// A threaded request to the top of the stack, as a driver builds one; returns IofCallDriver's value.
NTSTATUS SendIoctl(PDEVICE_OBJECT top, KEVENT* event, IO_STATUS_BLOCK* iosb, void* out = nullptr, ULONG outLength = 0) {
  KeInitializeEvent(event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, top, nullptr, 0, out, outLength, FALSE, event, iosb);
  EXPECT_NE(irp, nullptr);
  return IoCallDriver(top, irp);
}

TEST(IoIrp, CompletionRoutinesRunBottomUpWithTheirOwnStackLocationCurrent) {
  TestStack stack(3);
  Trace trace;
  Mark upper{&trace, "upper", STATUS_CONTINUE_COMPLETION};
  Mark middle{&trace, "middle", STATUS_CONTINUE_COMPLETION};
  auto forwardWith = [](PDEVICE_OBJECT lower, Mark* mark) {
    return [lower, mark](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Record, mark, TRUE, TRUE, TRUE);
      return IoCallDriver(lower, irp);
    };
  };
  stack.Handle(2, forwardWith(stack[1], &upper));
  stack.Handle(1, forwardWith(stack[0], &middle));
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 7); });

  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  char out[8];
  EXPECT_EQ(SendIoctl(stack.Top(), &event, &iosb, out, sizeof out), STATUS_SUCCESS);
  EXPECT_EQ(trace.steps, (std::vector<std::string>{"middle", "upper"}));
  // Each routine gets the device object of the driver that set it.
  EXPECT_EQ(trace.devices, (std::vector<PDEVICE_OBJECT>{stack[1], stack[2]}));
  EXPECT_TRUE(KeReadStateEvent(&event));
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 7u);
  EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST(IoIrp, MoreProcessingRequiredStopsCompletionAndTheOwnerFinishesIt) {
  TestStack stack(1);
  Trace trace;
  Mark owner{&trace, "owner", STATUS_MORE_PROCESSING_REQUIRED};
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS, 3); });

  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  iosb.Status = STATUS_UNSUCCESSFUL;
  char out[4];
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, stack.Top(), nullptr, 0, out, sizeof out, TRUE, &event, &iosb);
  IoSetCompletionRoutine(irp, Record, &owner, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_SUCCESS);
  EXPECT_EQ(trace.steps, (std::vector<std::string>{"owner"}));
  EXPECT_FALSE(KeReadStateEvent(&event)) << "completion stopped before the I/O manager's part";
  EXPECT_EQ(iosb.Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LiveIrpCount(), 1u);

  IoCompleteRequest(irp, IO_NO_INCREMENT);  // the owner lets it finish
  EXPECT_TRUE(KeReadStateEvent(&event));
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 3u);
  EXPECT_EQ(LiveIrpCount(), 0u);
  EXPECT_CLEAN_UNLOAD();
}

TEST(IoIrp, DriverAllocatedIrpIsTakenBackAndFreedByItsOwner) {
  TestStack stack(1);
  Trace trace;
  Mark owner{&trace, "owner", STATUS_MORE_PROCESSING_REQUIRED};
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1, reinterpret_cast<PVOID>(0x1234));
    return CompleteWith(irp, STATUS_DEVICE_NOT_CONNECTED);
  });
  PIRP irp = IoAllocateIrp(stack.Top()->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  IoInitializeIrp(irp, IoSizeOfIrp(stack.Top()->StackSize), stack.Top()->StackSize);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(0x1234);
  IoSetCompletionRoutine(irp, Record, &owner, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(stack.Top(), irp), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(trace.steps.size(), 1u);
  EXPECT_EQ(trace.devices[0], nullptr) << "the sender has no stack location of its own";
  EXPECT_EQ(irp->IoStatus.Status, STATUS_DEVICE_NOT_CONNECTED);
  IoReuseIrp(irp, STATUS_SUCCESS);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(irp->CurrentLocation, stack.Top()->StackSize + 1);
  IoFreeIrp(irp);
  EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST(IoIrp, PendingReturnedReachesTheRoutinesAboveAndTheWaiter) {
  TestStack stack(2);
  Trace trace;
  Mark upper{&trace, "upper", STATUS_CONTINUE_COMPLETION};
  PIRP parked = nullptr;
  stack.Handle(1, [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Record, &upper, TRUE, TRUE, TRUE);
    return IoCallDriver(stack[0], irp);
  });
  stack.Handle(0, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  });
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  char out[1];
  EXPECT_EQ(SendIoctl(stack.Top(), &event, &iosb, out, sizeof out), STATUS_PENDING);
  EXPECT_FALSE(KeReadStateEvent(&event));
  {
    KernelThread completer("completer", [&] { CompleteWith(parked, STATUS_SUCCESS, 1); });
    completer.Join();
  }
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(trace.pendingSeen, (std::vector<bool>{true}));
  EXPECT_EQ(iosb.Information, 1u);
  EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST(IoIrp, FailureReturnedAtOnceLeavesTheStatusBlockAndEventToTheSender) {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_INVALID_PARAMETER); });
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  iosb.Status = 0x1234;
  EXPECT_EQ(SendIoctl(stack.Top(), &event, &iosb), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(KeReadStateEvent(&event));
  EXPECT_EQ(iosb.Status, 0x1234);
  EXPECT_EQ(LiveIrpCount(), 0u) << "the IRP is freed all the same";
}

TEST(IoIrp, BufferedOutputIsCopiedBackUpToTheInformationLength) {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    auto* out = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<UCHAR>(0xA0 + i);
    return CompleteWith(irp, STATUS_SUCCESS, 4);
  });
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  UCHAR out[8] = {};
  EXPECT_EQ(SendIoctl(stack.Top(), &event, &iosb, out, sizeof(out)), STATUS_SUCCESS);
  EXPECT_EQ(out[0], 0xA0);
  EXPECT_EQ(out[3], 0xA3);
  EXPECT_EQ(out[4], 0) << "only Information bytes come back";
  EXPECT_CLEAN_UNLOAD();
}

struct CancelSeen {
  KIRQL irql = 0xFF;
  bool cancelFlag = false;
  bool routineCleared = false;
  PIRP irp = nullptr;
};
CancelSeen* g_cancelSeen = nullptr;

VOID NTAPI CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  g_cancelSeen->irql = KeGetCurrentIrql();
  g_cancelSeen->cancelFlag = irp->Cancel != FALSE;
  g_cancelSeen->routineCleared = irp->CancelRoutine == nullptr;
  IoReleaseCancelSpinLock(irp->CancelIrql);
  CompleteWith(irp, STATUS_CANCELLED);
}

TEST(IoIrp, CancelRunsTheCancelRoutineUnderTheCancelLockAtDispatchLevel) {
  TestStack stack(1);
  CancelSeen seen;
  g_cancelSeen = &seen;
  stack.Handle(0, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, CancelRoutine);
    IoReleaseCancelSpinLock(irql);
    seen.irp = irp;
    return STATUS_PENDING;
  });
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  EXPECT_EQ(SendIoctl(stack.Top(), &event, &iosb), STATUS_PENDING);
  EXPECT_TRUE(IoCancelIrp(seen.irp));
  EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
  EXPECT_TRUE(seen.cancelFlag);
  EXPECT_TRUE(seen.routineCleared);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the routine gave the lock and the IRQL back";
  EXPECT_TRUE(KeReadStateEvent(&event));
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(LiveIrpCount(), 0u);
}

TEST(IoIrp, CancelWithoutARoutineOnlyMarksTheIrp) {
  TestStack stack(1);
  PIRP parked = nullptr;
  stack.Handle(0, [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    parked = irp;
    return STATUS_PENDING;
  });
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  SendIoctl(stack.Top(), &event, &iosb);
  EXPECT_FALSE(IoCancelIrp(parked));
  EXPECT_TRUE(parked->Cancel);
  CompleteWith(parked, STATUS_CANCELLED);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
}

TEST(IoIrpDeathTest, CompletingTwiceStops) {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  });
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  EXPECT_DEATH(SendIoctl(stack.Top(), &event, &iosb), "bugcheck: IRP .* completed twice");
}

TEST(IoIrpDeathTest, FreeingAnIrpALowerDriverStillOwnsStops) {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  });
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(stack.Top(), irp);
        IoFreeIrp(irp);
      },
      "bugcheck: IRP .* freed while pending");
}

TEST(IoIrpDeathTest, AllocatedIrpCompletedToTheTopStops) {
  TestStack stack(1);
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(stack.Top(), irp);
      },
      "bugcheck: IRP .* came from IoAllocateIrp");
}

TEST(IoIrpDeathTest, SendingPastTheLastStackLocationStops) {
  TestStack stack(2);
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);  // one location short of the two-device stack
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        PDEVICE_OBJECT lower = stack[0];
        stack.Handle(1, [lower](PDEVICE_OBJECT, PIRP forwarded) {
          IoCopyCurrentIrpStackLocationToNext(forwarded);
          return IoCallDriver(lower, forwarded);
        });
        IoCallDriver(stack.Top(), irp);
      },
      "bugcheck: IRP .* no stack location left");
}

TEST(IoIrp, IrpStillAllocatedIsNamedByTheUnloadCheckOnce) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  UnloadReport report = CheckUnload();
  EXPECT_FALSE(report.clean);
  EXPECT_NE(report.text.find("still allocated"), std::string::npos) << report.text;
  IoFreeIrp(irp);
  EXPECT_CLEAN_UNLOAD();
}

}  // namespace
