#include "usb_bench.h"

#include <ks.h>

#include "camera_start.h"
#include "uvcmodel/vendor_unit_guids.h"

namespace kvz::usbtest {

namespace {

std::function<NTSTATUS(TestCameraDevice&)>* g_onStart = nullptr;
std::function<void(TestCameraDevice&)>* g_onRelease = nullptr;
std::function<void(DEVICE_POWER_STATE)>* g_onSetPower = nullptr;

TestCameraDevice* CameraOf(PKSDEVICE device) {
  return static_cast<TestCameraDevice*>(static_cast<CameraDeviceControls*>(device->Context));
}

VOID ReleaseCamera(PKSDEVICE device) {
  if (g_onRelease && *g_onRelease) (*g_onRelease)(*CameraOf(device));
}

VOID NTAPI FreeTestDevice(PVOID item) { delete static_cast<TestCameraDevice*>(item); }

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device) {
  auto* camera = new TestCameraDevice(device);
  KsAcquireDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, camera, FreeTestDevice);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    delete camera;
    return status;
  }
  device->Context = static_cast<CameraDeviceControls*>(camera);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  TestCameraDevice* camera = CameraOf(device);
  NTSTATUS status = (g_onStart && *g_onStart) ? (*g_onStart)(*camera) : STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) ReleaseCamera(device);
  return status;
}

VOID NTAPI DeviceStop(PKSDEVICE device, PIRP) { ReleaseCamera(device); }
VOID NTAPI DeviceSurpriseRemoval(PKSDEVICE device, PIRP) {
  CameraOf(device)->usb.MarkRemoved();
}
VOID NTAPI DeviceRemove(PKSDEVICE device, PIRP) { CameraOf(device)->usb.MarkRemoved(); }

VOID NTAPI DeviceSetPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE) {
  TestCameraDevice* camera = CameraOf(device);
  if (g_onSetPower && *g_onSetPower) (*g_onSetPower)(to);
  InterlockedExchange(&camera->requestedPowerState, to);
  InterlockedExchange(&camera->powerState, to);
}

NTSTATUS NTAPI DeviceQueryCapabilities(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES capabilities) {
  capabilities->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}

const KSDEVICE_DISPATCH g_dispatch = {DeviceAdd,    DeviceStart, nullptr, nullptr, nullptr, DeviceStop, nullptr,
                                      nullptr,      DeviceRemove, DeviceQueryCapabilities, DeviceSurpriseRemoval,
                                      nullptr,      DeviceSetPower, nullptr};
const KSDEVICE_DESCRIPTOR g_descriptor = {&g_dispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0x110};

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &g_descriptor);
}

}  // namespace

simcam::VendorGuids DriverGuids() {
  simcam::VendorGuids g;
  g.vendorUnit = VendorUnitGuids[0];
  g.testUnit = TestUnitGuid;
  return g;
}

void UsbBench::SetUp() {
  kvz::kernel::CheckUnload();
  g_onStart = &onStart;
  g_onRelease = &onRelease;
  g_onSetPower = &onSetPower;
}

void UsbBench::TearDown() {
  Shutdown();
  g_onStart = nullptr;
  g_onRelease = nullptr;
  g_onSetPower = nullptr;
}

NTSTATUS UsbBench::Boot(simcam::CameraProfile profile, simcam::CameraOptions options) {
  bus_ = std::make_unique<usb::UsbBus>();
  camera_ = std::make_shared<simcam::SimCamera>(std::move(profile), options);
  port_ = std::make_unique<usb::UsbPortHandle>(bus_->Plug(camera_, portOptions));
  NTSTATUS status = kvz::kernel::LoadedDriver::Load(Entry, u"kvzusbtest", &driver_);
  if (!NT_SUCCESS(status)) return status;
  status = kvz::kernel::PnpDevice::Add(*driver_, port_->Description(), port_->Pdo(), &device_);
  if (!NT_SUCCESS(status)) return status;
  return device_->Start();
}

void UsbBench::Shutdown() {
  if (!driver_) return;
  if (device_ && !device_->IsRemoved()) {
    EXPECT_EQ(STATUS_SUCCESS, device_->Remove());
  }
  device_.reset();
  driver_->Unload();
  driver_.reset();
  port_.reset();
  bus_.reset();
  camera_.reset();
  kvz::kernel::UnloadReport report = kvz::kernel::CheckUnload();
  EXPECT_TRUE(report.clean) << report.text;
}

void UsbBench::StartCameraWith(std::function<void()> teardown) {
  onStart = [](TestCameraDevice& d) { return StartCamera(d); };
  onRelease = [teardown](TestCameraDevice& d) {
    teardown();
    StopCamera(d);
  };
}

TestCameraDevice* UsbBench::Device() const {
  // The KS device's context, reached through the FDO the PnP manager built.
  PKSDEVICE ks = KsGetDeviceForDeviceObject(device_->Top());
  return ks ? CameraOf(ks) : nullptr;
}

uint64_t UsbBench::ControlRequestsSeen() const {
  uint64_t n = 0;
  for (const auto& r : camera_->Log())
    if (r.kind == simcam::RequestKind::kControl) ++n;
  return n;
}

}  // namespace kvz::usbtest
