#include "device_bench.h"

#include <filesystem>

#include "control_bench.h"
#include "driver/device/driver_entry.h"
#include "kvz/io_testing.h"
#include "kvz/kernel_testing.h"
#include "kvz/registry_testing.h"
#include "tests/support/test_folder.h"

namespace kvz::drivertest {

const char* ProfileName(Profile profile) {
  switch (profile) {
    case Profile::kIsoch: return "isoch";
    case Profile::kBulk: return "bulk";
    case Profile::kUsb3: return "usb3";
    case Profile::kMinimal: return "minimal";
  }
  return "?";
}

simcam::CameraDescription DescriptionOf(Profile profile) {
  switch (profile) {
    case Profile::kIsoch: return simcam::HighSpeedIsochDescription(DriverGuids());
    case Profile::kBulk: return simcam::BulkDescription(DriverGuids());
    case Profile::kUsb3: return simcam::SuperSpeedIsochDescription(DriverGuids());
    case Profile::kMinimal: return simcam::MinimalDescription();
  }
  return simcam::MinimalDescription();
}

void DeviceBench::SetUp() {
  kernel::ResetRegistry();
  kernel::CheckUnload();
  kernel::SetSystemVersion(kernel::SystemVersion::Windows10(19045));
  root_ = kvz::testing::FreshTestFolder("kvz-device-");
  kernel::SetSystemRootFolder(root_);
}

void DeviceBench::TearDown() {
  Unload();
  kernel::ClearPoolFaults();
  kernel::SetSystemVersion(kernel::SystemVersion::Windows10(19045));
  kernel::SetSystemRootFolder("");
  std::filesystem::remove_all(root_);
  kernel::ResetRegistry();
}

void DeviceBench::Plug(const simcam::CameraDescription& description, simcam::CameraOptions options,
                       usb::PortOptions port) {
  bus_ = std::make_unique<usb::UsbBus>();
  const simcam::VendorGuids guids = DriverGuids();
  camera_ = std::make_shared<simcam::SimCamera>(simcam::ProfileFromDescription(description, &guids), options);
  port_ = std::make_unique<usb::UsbPortHandle>(bus_->Plug(camera_, port));
  kernel::CreateRegistryKey(
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" + port.driverKeyName + u"\\VIDEOPROCAMP");
  ASSERT_EQ(STATUS_SUCCESS, kernel::LoadedDriver::Load(DriverEntry, u"kvzcam", &driver_));
  ASSERT_EQ(STATUS_SUCCESS, kernel::PnpDevice::Add(*driver_, port_->Description(), port_->Pdo(), &device_));
}

void DeviceBench::Unload() {
  if (!driver_) return;
  if (device_ && !device_->IsRemoved()) {
    EXPECT_EQ(STATUS_SUCCESS, device_->Remove());
  }
  device_.reset();
  driver_->Unload();
  driver_.reset();
  kernel::RunUntilIdle();
  const kernel::UnloadReport report = kernel::CheckUnload();
  EXPECT_TRUE(report.clean) << report.text;
  port_.reset();
  bus_.reset();
  camera_.reset();
}

CameraDevice* DeviceBench::Camera() const {
  if (!device_ || device_->IsRemoved()) return nullptr;
  return CameraOf(KsGetDeviceForDeviceObject(device_->Top()));
}

std::u16string DeviceBench::PrivateLink() const {
  const std::vector<std::u16string> links = kernel::EnabledDeviceInterfaces(KVZ_PRIVATE_INTERFACE_CLASS);
  return links.empty() ? std::u16string() : links.front();
}

NTSTATUS DeviceBench::OpenPrivate(std::unique_ptr<kernel::ClientFile>* file) {
  const std::u16string link = PrivateLink();
  if (link.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
  return kernel::ClientFile::Open(link, file);
}

NTSTATUS DeviceBench::PrivateRequest(kernel::ClientFile& file, ULONG code, ULONG outputLength, ULONG* result,
                                     ULONG_PTR* information) {
  ULONG buffer[2] = {0xDEADBEEF, 0xDEADBEEF};
  const NTSTATUS status = file.DeviceIoControl(code, nullptr, 0, buffer, outputLength, information);
  if (result) *result = buffer[0];
  return status;
}

void RealClockStreamingBench::TearDown() {
  kernel::SetClockMode(kernel::ClockMode::Virtual);
  StreamingBench::TearDown();
}

void DeviceBench::Wait(LONGLONG units) {
  LARGE_INTEGER interval;
  interval.QuadPart = -units;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

std::vector<uint8_t> DeviceBench::PowerLog() const {
  std::vector<uint8_t> states;
  for (const simcam::LoggedRequest& r : camera_->Log())
    if (r.kind == simcam::RequestKind::kPower) states.push_back(r.value);
  return states;
}

size_t DeviceBench::Count(simcam::RequestKind kind) const {
  size_t n = 0;
  for (const simcam::LoggedRequest& r : camera_->Log()) n += r.kind == kind;
  return n;
}

void StreamingBench::OpenCapturePin() {
  ASSERT_EQ(STATUS_SUCCESS, Start());
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
  std::vector<ksclient::Bytes> ranges;
  ASSERT_EQ(STATUS_SUCCESS, filter_->PinDataRanges(0, &ranges));
  ASSERT_FALSE(ranges.empty());
  ksclient::Bytes format;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Intersect(0, {ranges.front()}, &format));
  ASSERT_EQ(STATUS_SUCCESS, filter_->CreatePin(0, format, &pin_));
  frameBytes_ = static_cast<ULONG>(reinterpret_cast<const KSDATAFORMAT*>(format.data())->SampleSize);
  ASSERT_GT(frameBytes_, 0u);
}

void StreamingBench::RunCapture() {
  OpenCapturePin();
  if (HasFatalFailure()) return;
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(state));
}

NTSTATUS StreamingBench::ReadFrames(size_t count) {
  std::vector<ksclient::CompletedFrame> frames;
  return pin_->ReadFrames(count, frameBytes_, 2, &frames, 20000000);
}

size_t StreamingBench::CountRequests(const std::function<bool(const simcam::LoggedRequest&)>& match) const {
  size_t n = 0;
  for (const simcam::LoggedRequest& r : camera_->Log()) n += match(r);
  return n;
}

size_t StreamingBench::Commits() const {
  return CountRequests([](const simcam::LoggedRequest& r) {
    return r.kind == simcam::RequestKind::kControl && r.setup.bRequest == 0x01 && r.setup.wValue == 0x0200 &&
           r.setup.wIndex == 0x0001;
  });
}

void StreamingBench::CloseClients() {
  if (pin_) pin_->SetState(KSSTATE_STOP);
  pin_.reset();
  filter_.reset();
}

void StreamingBench::TearDown() {
  CloseClients();
  DeviceBench::TearDown();
}

}  // namespace kvz::drivertest
