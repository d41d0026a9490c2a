// The synchronous request scheme of a client driver: a threaded IRP from IoBuildDeviceIoControlRequest,
// a completion routine that stops completion, a timed wait, cancel on time-out, then the final
// completion by the caller.
#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"
#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"
#include "support/bus_client.h"

namespace kvz::usb {
namespace {

using testing::TestGuids;

NTSTATUS NTAPI StopCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SubmitSync(PDEVICE_OBJECT pdo, PURB urb, int64_t timeout100ns) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  if (!irp) return STATUS_UNSUCCESSFUL;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, StopCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(pdo, irp);
  if (status == STATUS_PENDING) {
    LARGE_INTEGER t;
    t.QuadPart = -timeout100ns;
    if (KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, &t) == STATUS_TIMEOUT) {
      iosb.Status = STATUS_IO_TIMEOUT;
      IoCancelIrp(irp);
      KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
    } else {
      iosb.Status = irp->IoStatus.Status;
    }
  } else {
    iosb.Status = status;
  }
  const NTSTATUS result = iosb.Status == STATUS_IO_TIMEOUT ? STATUS_IO_TIMEOUT : irp->IoStatus.Status;
  KeClearEvent(&event);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  if (NT_SUCCESS(status)) KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
  return result;
}

struct Rig {
  UsbBus bus;
  std::shared_ptr<simcam::SimCamera> camera = std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids()));
  UsbPortHandle port = bus.Plug(camera);
};

URB BrightnessRequest(std::vector<uint8_t>& data) {
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, GET_CUR, PU_BRIGHTNESS_CONTROL << 8, 0x0200, data.data(), nullptr,
                        static_cast<ULONG>(data.size()), nullptr);
  return urb;
}

TEST(SyncRequest, CompletesThroughTheThreadedIrp) {
  Rig rig;
  std::vector<uint8_t> data(2, 0xEE);
  URB urb = BrightnessRequest(data);
  EXPECT_EQ(SubmitSync(rig.port.Pdo(), &urb, 5 * kvz::kernel::kSecond), STATUS_SUCCESS);
  EXPECT_EQ(data, (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 2u);
}

TEST(SyncRequest, HeldRequestTimesOutIsCancelledAndFinished) {
  Rig rig;
  simcam::RequestFault f;
  f.kind = simcam::RequestFaultKind::kHold;
  rig.camera->ArmRequestFault(f);
  std::vector<uint8_t> data(2);
  URB urb = BrightnessRequest(data);
  const int64_t before = kvz::kernel::Now();
  EXPECT_EQ(SubmitSync(rig.port.Pdo(), &urb, 5 * kvz::kernel::kSecond), STATUS_IO_TIMEOUT);
  EXPECT_GE(kvz::kernel::Now() - before, 5 * kvz::kernel::kSecond);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(rig.port.PendingRequests(), 0u);
  // The next request goes through.
  URB again = BrightnessRequest(data);
  EXPECT_EQ(SubmitSync(rig.port.Pdo(), &again, 5 * kvz::kernel::kSecond), STATUS_SUCCESS);
}

TEST(SyncRequest, RemovedDeviceFailsAtOnce) {
  Rig rig;
  rig.port.Unplug();
  std::vector<uint8_t> data(2);
  URB urb = BrightnessRequest(data);
  EXPECT_EQ(SubmitSync(rig.port.Pdo(), &urb, 5 * kvz::kernel::kSecond), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST(SyncRequest, NothingOfTheBusIsLeftBehind) {
  {
    Rig rig;
    testing::BusClient client(rig.port);
    ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
    client.Commit(1, 3, 333333);
    ASSERT_EQ(client.SelectAlternate(1, 2), STATUS_SUCCESS);
    testing::StreamResult r = testing::StreamIsoch(client, &client.Interface(1)->Pipes[0], 3, 32, 2);
    EXPECT_GE(r.frames.size(), 2u);
  }
  kvz::kernel::UnloadReport report = kvz::kernel::CheckUnload();
  EXPECT_TRUE(report.clean) << report.text;
}

}  // namespace
}  // namespace kvz::usb
