#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "io_test_stack.h"
#include "kernel_checks.h"
#include "kvz/io_client.h"
#include "kvz/io_testing.h"

namespace {

using namespace kvz::kernel;
using kvz::testing::CompleteWith;
using kvz::testing::TestStack;

constexpr ULONG kNeither = CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS);

TEST(IoClient, RelatedOpenWithBinaryNameAndNeitherMethodRequests) {
  TestStack stack(1);
  PFILE_OBJECT parentSeen = nullptr;
  std::string nameSeen;
  stack.Handle(0, [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(irp->RequestorMode, UserMode);
    if (s->MajorFunction == IRP_MJ_CREATE) {
      parentSeen = s->FileObject->RelatedFileObject;
      nameSeen.assign(reinterpret_cast<const char*>(s->FileObject->FileName.Buffer), s->FileObject->FileName.Length);
      return CompleteWith(irp, STATUS_SUCCESS);
    }
    if (s->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
      EXPECT_EQ(s->Parameters.DeviceIoControl.IoControlCode, kNeither);
      auto* in = static_cast<const ULONG*>(s->Parameters.DeviceIoControl.Type3InputBuffer);
      *static_cast<ULONG*>(irp->UserBuffer) = *in + 1;
      return CompleteWith(irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    return CompleteWith(irp, STATUS_SUCCESS);
  });
  std::unique_ptr<ClientFile> filter;
  ASSERT_EQ(ClientFile::OpenOnDevice(stack.Top(), u"\\GLOBAL", 14, nullptr, &filter), STATUS_SUCCESS);
  EXPECT_EQ(parentSeen, nullptr);
  const char pinName[] = {'{', 0, 'x', 0, 1, 2, 3, 0};  // text, then binary bytes
  std::unique_ptr<ClientFile> pin;
  ASSERT_EQ(ClientFile::OpenOnDevice(stack.Top(), pinName, sizeof(pinName), filter.get(), &pin), STATUS_SUCCESS);
  EXPECT_EQ(parentSeen, filter->FileObject());
  EXPECT_EQ(nameSeen, std::string(pinName, sizeof(pinName)));
  ULONG in = 41, out = 0;
  ULONG_PTR information = 0;
  EXPECT_EQ(pin->DeviceIoControl(kNeither, &in, sizeof(in), &out, sizeof(out), &information), STATUS_SUCCESS);
  EXPECT_EQ(out, 42u);
  EXPECT_EQ(information, sizeof(ULONG));
  pin.reset();
  filter.reset();
  EXPECT_CLEAN_UNLOAD();
}

PIRP g_parked = nullptr;

VOID NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g_parked = nullptr;
  CompleteWith(irp, STATUS_CANCELLED);
}

TEST(IoClient, AsynchronousRequestWaitsAndCancels) {
  TestStack stack(1);
  stack.Handle(0, [&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL)
      return CompleteWith(irp, STATUS_SUCCESS);
    IoMarkIrpPending(irp);
    g_parked = irp;
    IoSetCancelRoutine(irp, CancelParked);
    return STATUS_PENDING;
  });
  std::unique_ptr<ClientFile> file;
  ASSERT_EQ(ClientFile::OpenOnDevice(stack.Top(), u"\\ZEMT", 10, nullptr, &file), STATUS_SUCCESS);
  ULONG out = 0;
  auto request = file->DeviceIoControlAsync(kNeither, nullptr, 0, &out, sizeof(out));
  EXPECT_FALSE(request->Done());
  EXPECT_FALSE(request->Wait(50 * kMillisecond)) << "nothing completes it";
  request->Cancel();
  EXPECT_TRUE(request->Wait());
  EXPECT_EQ(request->Status(), STATUS_CANCELLED);
  request->Cancel();  // done: nothing happens
  EXPECT_EQ(LiveIrpCount(), 0u);

  // Completed by the device before anyone cancels.
  auto second = file->DeviceIoControlAsync(kNeither, nullptr, 0, &out, sizeof(out));
  PIRP irp = g_parked;
  ASSERT_NE(irp, nullptr);
  ASSERT_EQ(IoSetCancelRoutine(irp, nullptr), CancelParked);
  CompleteWith(irp, STATUS_SUCCESS, 4);
  second->Cancel();
  EXPECT_TRUE(second->Done());
  EXPECT_EQ(second->Status(), STATUS_SUCCESS);
  EXPECT_EQ(second->Information(), 4u);
  file.reset();
  EXPECT_CLEAN_UNLOAD();
}

TEST(IoClient, FailedCreateLeavesNothingOpen) {
  TestStack stack(1);
  stack.Handle(0, [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_ACCESS_DENIED); });
  std::unique_ptr<ClientFile> file;
  EXPECT_EQ(ClientFile::OpenOnDevice(stack.Top(), u"\\X", 4, nullptr, &file), STATUS_ACCESS_DENIED);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(ClientFile::Open(u"\\??\\NoSuchLink", &file), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_CLEAN_UNLOAD();
}

}  // namespace
