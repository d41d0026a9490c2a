#include "control_bench.h"

#include <filesystem>
#include <fstream>

#include "kvz/kernel_testing.h"
#include "kvz/registry_testing.h"
#include "kvz/system_testing.h"
#include "uvcmodel/vendor_unit_guids.h"
#include "tests/support/test_folder.h"

namespace kvz::drivertest {

simcam::VendorGuids DriverGuids() {
  simcam::VendorGuids guids;
  guids.vendorUnit = VendorUnitGuids[0];
  guids.testUnit = TestUnitGuid;
  return guids;
}

void ControlBench::SetUp() {
  kernel::ResetRegistry();
  kernel::CheckUnload();
  Probe().Reset();
  root_ = kvz::testing::FreshTestFolder("kvz-driver-");
  kernel::SetSystemRootFolder(root_);
  kernel::CreateRegistryKey(ValuesKey());
}

void ControlBench::TearDown() {
  Stop();
  kernel::SetSystemRootFolder("");
  std::filesystem::remove_all(root_);
  kernel::ResetRegistry();
}

void ControlBench::Start(const simcam::CameraDescription& description, simcam::CameraOptions options) {
  bus_ = std::make_unique<usb::UsbBus>();
  // Vendor and test units take their roles from the driver's GUIDs.
  const simcam::VendorGuids guids = DriverGuids();
  camera_ = std::make_shared<simcam::SimCamera>(simcam::ProfileFromDescription(description, &guids), options);
  port_ = std::make_unique<usb::UsbPortHandle>(bus_->Plug(camera_));
  ASSERT_EQ(STATUS_SUCCESS, kernel::LoadedDriver::Load(driverEntry_, u"kvzcontroltest", &driver_));
  ASSERT_EQ(STATUS_SUCCESS, kernel::PnpDevice::Add(*driver_, port_->Description(), port_->Pdo(), &device_));
  ASSERT_EQ(STATUS_SUCCESS, device_->Start());
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
}

void ControlBench::Restart() {
  filter_.reset();
  ASSERT_EQ(STATUS_SUCCESS, device_->QueryStop());
  ASSERT_EQ(STATUS_SUCCESS, device_->Stop());
  ASSERT_EQ(STATUS_SUCCESS, device_->Start());
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
}

void ControlBench::Stop() {
  if (!driver_) return;
  filter_.reset();
  if (device_ && !device_->IsRemoved()) {
    EXPECT_EQ(STATUS_SUCCESS, device_->Remove());
  }
  device_.reset();
  driver_->Unload();
  driver_.reset();
  kernel::UnloadReport report = kernel::CheckUnload();
  EXPECT_TRUE(report.clean) << report.text;
  port_.reset();
  bus_.reset();
  camera_.reset();
}

std::vector<ClassRequest> ControlBench::Requests() const {
  std::vector<ClassRequest> out;
  for (const simcam::LoggedRequest& r : camera_->Log()) {
    if (r.kind != simcam::RequestKind::kControl || (r.setup.bmRequestType & 0x60) != 0x20) continue;
    if (r.outcome.completion.irpStatus != STATUS_SUCCESS) continue;
    out.push_back({r.setup.bRequest, r.setup.wValue, r.setup.wIndex, r.data});
  }
  return out;
}

std::vector<ClassRequest> ControlBench::Sets(uint16_t value, uint16_t index) const {
  std::vector<ClassRequest> out;
  for (const ClassRequest& r : Requests()) {
    if (r.request == 0x01 && r.value == value && r.index == index) out.push_back(r);
  }
  return out;
}

std::u16string ControlBench::ValuesKey() const {
  return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6bdd1fc6-810f-11d0-bec7-08002be2092f}\\0000"
         u"\\VIDEOPROCAMP";
}

std::optional<uint32_t> ControlBench::Stored(const std::u16string& name) const {
  std::optional<kernel::RegistryValue> value = kernel::GetRegistryValue(ValuesKey(), name);
  if (!value || value->type != REG_DWORD) return std::nullopt;
  return value->Dword();
}

void ControlBench::Store(const std::u16string& name, uint32_t value) const {
  kernel::SetRegistryDword(ValuesKey(), name, value);
}

void ControlBench::WriteSystemFile(const std::string& name, const std::string& text) const {
  std::ofstream(std::filesystem::path(root_) / name, std::ios::binary) << text;
}

NTSTATUS ControlBench::GetValue(const GUID& set, ULONG id, LONG* value, ULONG* flags, ULONG* caps) {
  KSPROPERTY_CAMERACONTROL_S data{};
  data.Property.Set = set;
  data.Property.Id = id;
  data.Property.Flags = KSPROPERTY_TYPE_GET;
  const NTSTATUS status = filter_->Get(set, id, &data, sizeof(data));
  *value = data.Value;
  if (flags) *flags = data.Flags;
  if (caps) *caps = data.Capabilities;
  return status;
}

NTSTATUS ControlBench::SetValue(const GUID& set, ULONG id, LONG value, ULONG flags) {
  KSPROPERTY_CAMERACONTROL_S data{};
  data.Property.Set = set;
  data.Property.Id = id;
  data.Property.Flags = KSPROPERTY_TYPE_SET;
  data.Value = value;
  data.Flags = flags;
  return filter_->Set(set, id, &data, sizeof(data));
}

NTSTATUS ControlBench::BasicRange(const GUID& set, ULONG id, Range* range) {
  ksclient::Bytes description;
  const NTSTATUS status = filter_->BasicSupport(set, id, &description);
  if (!NT_SUCCESS(status)) return status;
  // Description, ranges header, stepping range, values header, default.
  const size_t steppingAt = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER);
  const size_t defaultAt = steppingAt + sizeof(KSPROPERTY_STEPPING_LONG) + sizeof(KSPROPERTY_MEMBERSHEADER);
  if (description.size() < defaultAt + sizeof(LONG)) return STATUS_BUFFER_TOO_SMALL;
  KSPROPERTY_STEPPING_LONG stepping;
  memcpy(&stepping, description.data() + steppingAt, sizeof(stepping));
  range->minimum = stepping.Bounds.SignedMinimum;
  range->maximum = stepping.Bounds.SignedMaximum;
  range->step = stepping.SteppingDelta;
  memcpy(&range->defaultValue, description.data() + defaultAt, sizeof(LONG));
  return STATUS_SUCCESS;
}

}  // namespace kvz::drivertest
