// Two cameras on one driver, streaming at once, whose vendor and test units carry different ids:
// each camera's register pairs, face-exposure windows and private test reach its own units.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "camera_rig.h"
#include "driver/controls/region_control_handler.h"
#include "driver/device/driver_entry.h"
#include "kvz/io_client.h"
#include "kvz/kernel_testing.h"
#include "kvz/registry_testing.h"
#include "kvz/system_testing.h"
#include "ks_client.h"
#include "pin_session.h"
#include "uvc.h"
#include "video_formats.h"

namespace kvz::e2e {
namespace {

constexpr uint32_t kYuy2 = 0x32595559;
constexpr ULONG kPrivateTest = 0x223C04;  // the private channel's test request
constexpr uint8_t kRegisterAddress = 2;
constexpr uint8_t kExposureWindow = 27;
constexpr uint8_t kTestResult = 3;

struct Unit {
  uint8_t vendor;
  uint8_t test;
};

// The profile's own ids (4 and 5) on the first camera, 6 and 7 on the second.
simcam::CameraProfile CameraWith(Unit units) {
  const simcam::VendorGuids guids = capture::DriverUnitGuids();
  simcam::CameraDescription d = simcam::HighSpeedIsochDescription(guids);
  for (simcam::ExtensionUnitDescription& xu : d.extensionUnits)
    xu.unitId = xu.guid == guids.vendorUnit ? units.vendor : units.test;
  d.idProduct = static_cast<uint16_t>(0x0110 + units.vendor);
  return simcam::ProfileFromDescription(d, &guids);
}

class TwoCameras : public ::testing::Test {
 protected:
  struct Camera {
    std::shared_ptr<simcam::SimCamera> sim;
    std::unique_ptr<usb::UsbPortHandle> port;
    std::unique_ptr<kernel::PnpDevice> device;
    std::unique_ptr<ksclient::KsFilterClient> filter;
    std::unique_ptr<ksclient::KsPinClient> pin;
    capture::VideoFormat format;
  };

  void SetUp() override {
    kernel::ResetRegistry();
    kernel::SetSystemVersion(kernel::SystemVersion{});
    kernel::ClearPoolFaults();
    ASSERT_TRUE(kernel::CheckUnload().clean);
    // Face work on (the region rectangle steers the window through it).
    const std::u16string oem = u"\\Registry\\MACHINE\\SOFTWARE\\Brevik\\Camera\\Integrated";
    kernel::CreateRegistryKey(oem);
    kernel::SetRegistryDword(oem, u"FaceDetectEnable", 1);
    bus_ = std::make_unique<usb::UsbBus>();
  }

  void TearDown() override {
    for (Camera& c : cameras_) {
      if (c.pin) c.pin->Close();
      if (c.filter) c.filter->Close();
      if (c.device && !c.device->IsRemoved()) c.device->Remove();
      c.device.reset();
    }
    if (driver_) driver_->Unload();
    driver_.reset();
    cameras_.clear();
    bus_.reset();
    kernel::RunUntilIdle();
    const kernel::UnloadReport report = kernel::CheckUnload();
    EXPECT_TRUE(report.clean) << report.text;
  }

  // Plugs and starts the cameras in order, on one driver.
  void Start(const std::vector<Unit>& units) {
    ASSERT_EQ(STATUS_SUCCESS, kernel::LoadedDriver::Load(DriverEntry, u"kvzcam", &driver_));
    for (const Unit& u : units) {
      Camera c;
      c.sim = std::make_shared<simcam::SimCamera>(CameraWith(u));
      c.port = std::make_unique<usb::UsbPortHandle>(bus_->Plug(c.sim));
      const std::u16string classKey = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
                                      c.port->Description().driverKeyName;
      kernel::CreateRegistryKey(classKey + u"\\VIDEOPROCAMP");
      kernel::CreateRegistryKey(classKey + u"\\CONTROL");
      ASSERT_EQ(STATUS_SUCCESS, kernel::PnpDevice::Add(*driver_, c.port->Description(), c.port->Pdo(), &c.device));
      ASSERT_EQ(STATUS_SUCCESS, c.device->Start());
      ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(c.device->Top(), u"GLOBAL", &c.filter));
      cameras_.push_back(std::move(c));
    }
  }

  NTSTATUS RunPrivateTest(Camera& c) {
    std::unique_ptr<kernel::ClientFile> file;
    const std::u16string name = u"\\ZEMT";
    NTSTATUS status = kernel::ClientFile::OpenOnDevice(c.device->Top(), name.data(), name.size() * 2, nullptr, &file);
    if (!NT_SUCCESS(status)) return status;
    ULONG result = 0;
    return file->DeviceIoControl(kPrivateTest, nullptr, 0, &result, sizeof(result));
  }

  void RunCapture(Camera& c) {
    std::vector<ksclient::Bytes> raw;
    ASSERT_EQ(STATUS_SUCCESS, c.filter->PinDataRanges(0, &raw));
    capture::VideoRange range;
    for (const capture::VideoRange& r : capture::ParseVideoRanges(raw))
      if (!r.videoInfo2 && r.subtype == kYuy2 && r.width == 640 && std::abs(r.height) == 480) range = r;
    ASSERT_FALSE(range.raw.empty());
    capture::CreatedPin created;
    std::string error;
    ASSERT_EQ(STATUS_SUCCESS, capture::CreatePinFromRange(*c.filter, 0, range, std::nullopt, &created, &error)) << error;
    c.pin = std::move(created.pin);
    c.format = created.format;
    ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*c.pin));
  }

  // The client's region rectangle, after a read of it (which takes face detection over).
  void SetRegion(Camera& c) {
    uint8_t data[kRegionDataSize] = {};
    ASSERT_EQ(STATUS_SUCCESS, c.filter->Get(PROPSETID_KVZ_REGION, 0, data, sizeof(data)));
    const LONG rect[4] = {100, 100, 300, 300};
    std::memcpy(data, rect, sizeof(rect));
    ASSERT_EQ(STATUS_SUCCESS, c.filter->Set(PROPSETID_KVZ_REGION, 0, data, sizeof(data)));
  }

  // Class requests of the camera to its entity with that selector and request.
  static size_t CountTo(const simcam::SimCamera& sim, uint8_t entity, uint8_t selector, uint8_t request) {
    size_t n = 0;
    for (const simcam::LoggedRequest& r : sim.Log())
      if (r.kind == simcam::RequestKind::kControl && (r.setup.bmRequestType & 0x60) == 0x20 &&
          (r.setup.wIndex >> 8) == entity && (r.setup.wValue >> 8) == selector && r.setup.bRequest == request)
        ++n;
    return n;
  }

  std::unique_ptr<usb::UsbBus> bus_;
  std::unique_ptr<kernel::LoadedDriver> driver_;
  std::vector<Camera> cameras_;
};

// The second camera starts last; then the first camera's private test runs, both stream with a
// region rectangle set, and the second camera's private test runs. Every class request of
// either camera names an entity that camera has, and each camera's register pairs (chip
// identification, flicker restarts, the sensor set-up), exposure windows and test result went to
// its own vendor and test units.
TEST_F(TwoCameras, EachCameraAddressesItsOwnUnits) {
  const std::vector<Unit> units = {{4, 5}, {6, 7}};
  ASSERT_NO_FATAL_FAILURE(Start(units));
  for (Camera& c : cameras_) c.sim->ClearLog();

  EXPECT_EQ(STATUS_SUCCESS, RunPrivateTest(cameras_[0]));
  for (Camera& c : cameras_) ASSERT_NO_FATAL_FAILURE(RunCapture(c));
  for (Camera& c : cameras_) ASSERT_NO_FATAL_FAILURE(SetRegion(c));
  for (int round = 0; round < 20; ++round) {
    for (Camera& c : cameras_) {
      std::vector<ksclient::CompletedFrame> frames;
      ASSERT_EQ(STATUS_SUCCESS, c.pin->ReadFrames(6, c.format.sizeImage, 4, &frames));
      ASSERT_EQ(6u, frames.size());
    }
  }
  for (Camera& c : cameras_) capture::StopPin(*c.pin);
  EXPECT_EQ(STATUS_SUCCESS, RunPrivateTest(cameras_[1]));

  for (size_t i = 0; i < cameras_.size(); ++i) {
    const simcam::SimCamera& sim = *cameras_[i].sim;
    SCOPED_TRACE("camera " + std::to_string(i));
    std::set<std::string> strays;
    for (const simcam::LoggedRequest& r : sim.Log()) {
      if (r.kind != simcam::RequestKind::kControl || (r.setup.bmRequestType & 0x7F) != 0x21) continue;
      const uint8_t entity = static_cast<uint8_t>(r.setup.wIndex >> 8);
      if (entity != 0 && !sim.Layout().Unit(entity)) {
        char text[48];
        std::snprintf(text, sizeof(text), "request %02X wValue %04X wIndex %04X", r.setup.bRequest, r.setup.wValue,
                      r.setup.wIndex);
        strays.insert(text);
      }
    }
    EXPECT_TRUE(strays.empty()) << "to an entity the camera lacks: " << ::testing::PrintToString(strays);
    EXPECT_GT(CountTo(sim, units[i].vendor, kRegisterAddress, SET_CUR), 0u);
    EXPECT_GT(CountTo(sim, units[i].vendor, kExposureWindow, SET_CUR), 0u);
    EXPECT_GT(CountTo(sim, units[i].test, kTestResult, GET_CUR), 0u);
  }
}

}  // namespace
}  // namespace kvz::e2e
