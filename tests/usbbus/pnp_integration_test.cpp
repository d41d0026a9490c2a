// The bus PDO under the PnP manager: a pass-through function driver on top of it, the PnP and
// power IRPs of the device's life, URBs sent down the stack.
#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"
#include "kvz/pnp_manager.h"
#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"
#include "support/bus_client.h"

namespace kvz::usb {
namespace {

using testing::TestGuids;

struct Fdo {
  PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = static_cast<Fdo*>(device->DeviceExtension)->lower;
  const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  IoSkipCurrentIrpStackLocation(irp);
  if (major == IRP_MJ_POWER) {
    PoStartNextPowerIrp(irp);
    return PoCallDriver(lower, irp);
  }
  const NTSTATUS status = IoCallDriver(lower, irp);
  if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Fdo), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  static_cast<Fdo*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = PassDown;
  driver->MajorFunction[IRP_MJ_POWER] = PassDown;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassDown;
  return STATUS_SUCCESS;
}

NTSTATUS BrightnessThrough(PDEVICE_OBJECT top) {
  std::vector<uint8_t> data(2);
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, GET_CUR, PU_BRIGHTNESS_CONTROL << 8, 0x0200, data.data(), nullptr,
                        2, nullptr);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, top, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  NTSTATUS status = IoCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status;
}

TEST(PnpIntegration, LifeOfACameraOnTheBus) {
  UsbBus bus;
  auto camera = std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids()));
  UsbPortHandle port = bus.Plug(camera);
  {
    std::unique_ptr<kvz::kernel::LoadedDriver> driver;
    ASSERT_EQ(kvz::kernel::LoadedDriver::Load(Entry, u"kvzpassthrough", &driver), STATUS_SUCCESS);
    std::unique_ptr<kvz::kernel::PnpDevice> device;
    ASSERT_EQ(kvz::kernel::PnpDevice::Add(*driver, port.Description(), port.Pdo(), &device), STATUS_SUCCESS);
    ASSERT_EQ(device->Start(), STATUS_SUCCESS);

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    ASSERT_EQ(device->QueryCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_TRUE(caps.Removable);

    ULONG_PTR information = 0;
    ASSERT_EQ(device->SendPnp(IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryHardwareIDs; },
                              &information),
              STATUS_SUCCESS);
    auto* ids = reinterpret_cast<WCHAR*>(information);
    ASSERT_NE(ids, nullptr);
    EXPECT_EQ(std::u16string(ids), port.HardwareIds()[0]);
    ExFreePool(ids);

    EXPECT_EQ(BrightnessThrough(device->Top()), STATUS_SUCCESS);
    ASSERT_EQ(device->SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(port.PowerState(), PowerDeviceD3);
    EXPECT_EQ(BrightnessThrough(device->Top()), STATUS_POWER_STATE_INVALID);
    ASSERT_EQ(device->SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(BrightnessThrough(device->Top()), STATUS_SUCCESS);

    port.Unplug();
    EXPECT_EQ(BrightnessThrough(device->Top()), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(device->SurpriseRemove(), STATUS_SUCCESS);
    EXPECT_EQ(device->Remove(), STATUS_SUCCESS);
    device.reset();
    driver->Unload();
  }
  kvz::kernel::UnloadReport report = kvz::kernel::CheckUnload();
  EXPECT_TRUE(report.clean) << report.text;
}

}  // namespace
}  // namespace kvz::usb
