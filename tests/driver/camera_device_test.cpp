// The camera device's life cycle through the PnP manager over the simulated camera: start, stop,
// restart, removal, surprise removal, chip identification, the control interface's alternate
// setting, shutdown, idle power and system sleep; an allocation-failure sweep over start.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "control_bench.h"
#include "device_bench.h"
#include "driver/settings/device_settings.h"
#include "kvz/io_testing.h"
#include "ks_client.h"
#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "kvz/registry_testing.h"
#include "primitives/build_selection.h"
#include "usb/usb_limits.h"
#include "uvc.h"

namespace kvz {

template <>
struct TestSeam<CameraDeviceBase> {
  static UnitContainer* Units(const CameraDeviceBase& device) { return device.units_; }
};

}  // namespace kvz

namespace kvz::drivertest {
namespace {

constexpr LONGLONG kMs = 10000;
constexpr uint8_t kD0 = 1;
constexpr uint8_t kD3 = 4;
constexpr uint16_t kVendorData = 0x0300;

// A GET of the vendor extension unit's register address: its property item, its handler and the
// unit container behind them are what a stop frees.
NTSTATUS VendorUnitGet(ksclient::KsFilterClient& filter) {
  KSPROPERTY property{};
  property.Set = DriverGuids().vendorUnit;
  property.Id = 2;
  property.Flags = KSPROPERTY_TYPE_GET;
  uint16_t address = 0;
  return filter.Property(&property, sizeof(property), &address, sizeof(address));
}

class LifeCycle : public DeviceBench, public ::testing::WithParamInterface<Profile> {};

// Every profile walks start, PnP stop, start again and removal; a camera without a vendor unit
// (the minimal one) starts as a camera whose chip is not identified.
TEST_P(LifeCycle, StartStopRestartRemove) {
  Plug(GetParam());
  ASSERT_EQ(STATUS_SUCCESS, Start());
  EXPECT_EQ(GetParam() != Profile::kMinimal, Camera()->IsChipIdentified());
  EXPECT_FALSE(PrivateLink().empty());
  EXPECT_EQ(0, camera_->Snapshot().streamingAlternate);
  EXPECT_EQ(GetParam() == Profile::kBulk, Camera()->Streams()->PauseEndsCommit());
  EXPECT_EQ(GetParam() == Profile::kUsb3, Camera()->Streams()->IsUsb3());
  ASSERT_EQ(STATUS_SUCCESS, device_->QueryStop());
  ASSERT_EQ(STATUS_SUCCESS, device_->Stop());
  EXPECT_EQ(nullptr, TestSeam<CameraDeviceBase>::Units(*Camera()));
  ASSERT_EQ(STATUS_SUCCESS, Start());
  EXPECT_NE(nullptr, TestSeam<CameraDeviceBase>::Units(*Camera()));
  EXPECT_EQ(STATUS_SUCCESS, Start()) << "a second start while started creates nothing";
}

INSTANTIATE_TEST_SUITE_P(Profiles, LifeCycle,
                         ::testing::Values(Profile::kIsoch, Profile::kBulk, Profile::kUsb3, Profile::kMinimal),
                         [](const auto& info) { return std::string(ProfileName(info.param)); });

using DeviceTest = DeviceBench;

// Surprise removal with the private channel open: requests fail, closing and removal are clean.
TEST_F(DeviceTest, SurpriseRemovalWithHandleOpen) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  port_->Unplug();
  ASSERT_EQ(STATUS_SUCCESS, device_->SurpriseRemove());
  ULONG result = 0;
  ULONG_PTR information = 0;
  EXPECT_FALSE(NT_SUCCESS(PrivateRequest(*file, 0x223C04, 4, &result, &information)));
  EXPECT_EQ(STATUS_SUCCESS, file->Close());
  EXPECT_EQ(STATUS_SUCCESS, device_->Remove());
}

// The processor build every dispatch group runs is chosen when the device is added, before
// any stream starts (a YUY2 or RGB24 stream runs no codec that could choose it).
TEST_F(DeviceTest, AddSelectsTheProcessorBuild) {
  prim::PrimitiveDispatchIndex.store(-1);
  Plug(Profile::kIsoch);
  const int32_t selected = prim::PrimitiveDispatchIndex.load();
  if (selected < 0) prim::PrimitiveDispatchIndex.store(0);
  EXPECT_EQ(prim::HighestRunnableSlot(prim::kThisDeliverable, prim::ReadCpuIdentity()), selected);
}

// Chip identification: a register read that fails identifies nothing, a family outside the six
// known ones is refused; both fail the start and free everything.
struct ChipCase {
  const char* name;
  bool failRead;
  uint8_t chipRegister;
  NTSTATUS start;
  ULONG family;
};

class ChipIdentification : public DeviceBench, public ::testing::WithParamInterface<ChipCase> {};

TEST_P(ChipIdentification, DecidesTheStart) {
  const ChipCase& c = GetParam();
  Plug(Profile::kIsoch);
  camera_->Configure([&](simcam::CameraFaults& faults, simcam::ControlTable&, simcam::RegisterFile& registers,
                         simcam::CameraOptions&) {
    registers.Preset(0x20FF, c.chipRegister);
    if (c.failRead) {
      simcam::RequestFault fault;
      fault.match.bRequest = 0x81;
      fault.match.wValue = kVendorData;
      fault.count = 0;
      faults.requests.push_back(fault);
    }
  });
  EXPECT_EQ(c.start, Start());
  if (NT_SUCCESS(c.start)) {
    EXPECT_EQ(c.family, Camera()->Identity().chipFamily);
  } else {
    EXPECT_EQ(nullptr, TestSeam<CameraDeviceBase>::Units(*Camera()));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ChipIdentification,
                         ::testing::Values(ChipCase{"readFails", true, 0xC3, STATUS_UNSUCCESSFUL, 0},
                                           ChipCase{"family90", false, 0x95, STATUS_UNSUCCESSFUL, 0},
                                           ChipCase{"familyC0", false, 0xC7, STATUS_SUCCESS, 0xC0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Alternate setting 0 of the control interface: four tries 200 ms apart, then a port cycle.
TEST_F(DeviceTest, ControlInterfaceRetriesThenCyclesThePort) {
  for (uint32_t failures : {3u, 4u}) {
    Plug(Profile::kIsoch);
    camera_->Configure([&](simcam::CameraFaults& faults, simcam::ControlTable&, simcam::RegisterFile&,
                           simcam::CameraOptions&) {
      simcam::RequestFault fault;
      fault.target = simcam::RequestTarget::kSetInterface;
      fault.match.wIndex = 0;
      fault.kind = simcam::RequestFaultKind::kFail;
      fault.count = failures;
      faults.requests.push_back(fault);
    });
    const NTSTATUS status = Start();
    EXPECT_EQ(failures < 4, NT_SUCCESS(status)) << failures;
    EXPECT_EQ(failures < 4 ? 0u : 1u, Count(simcam::RequestKind::kPortCycle)) << failures;
    Unload();
  }
}

// Nobody uses the camera: D3 after the first idle tick (2 s); the private test brings it back.
TEST_F(DeviceTest, IdleToD3AndBack) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  Wait(1900 * kMs);
  EXPECT_TRUE(PowerLog().empty());
  Wait(600 * kMs);
  ASSERT_EQ(std::vector<uint8_t>{kD3}, PowerLog());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  ULONG result = 0;
  EXPECT_EQ(STATUS_SUCCESS, PrivateRequest(*file, 0x223C04, 4, &result, nullptr));
  const std::vector<uint8_t> log = PowerLog();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(kD0, log[1]);
}

// After shutdown the camera is brought to D0 and the idle timer no longer lowers it.
TEST_F(DeviceTest, ShutdownKeepsTheCameraPowered) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  ASSERT_EQ(STATUS_SUCCESS, device_->QueryStop());
  ASSERT_EQ(STATUS_SUCCESS, device_->Stop());
  ASSERT_EQ(STATUS_SUCCESS, Start());  // registered once, however often started
  Wait(2500 * kMs);
  ASSERT_EQ(std::vector<uint8_t>{kD3}, PowerLog());
  kernel::SystemShutdown();
  Wait(6000 * kMs);
  EXPECT_EQ((std::vector<uint8_t>{kD3, kD0}), PowerLog());
}

// A shutdown request for a device object of the driver that carries no camera is unsuccessful.
TEST_F(DeviceTest, ShutdownWithoutACameraIsUnsuccessful) {
  Plug(Profile::kIsoch);
  PDEVICE_OBJECT bare = nullptr;
  ASSERT_EQ(STATUS_SUCCESS,
            IoCreateDevice(driver_->Object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bare));
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK status{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_SHUTDOWN, bare, nullptr, 0, nullptr, &done, &status);
  ASSERT_NE(nullptr, irp);
  EXPECT_EQ(STATUS_UNSUCCESSFUL, IoCallDriver(bare, irp));
  IoDeleteDevice(bare);
}

// System sleep and resume without a running capture: requests fail while suspended, the idle
// timer runs again afterwards; the same on both sides of build 10587.
class SleepResume : public DeviceBench, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SleepResume, SuspendsTheChannelAndRearmsIdle) {
  kernel::SetSystemVersion(kernel::SystemVersion::Windows10(GetParam()));
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  kernel::NotifySystemStateLock(false);
  ULONG_PTR information = 1;
  EXPECT_EQ(STATUS_POWER_STATE_INVALID, PrivateRequest(*file, 0x223C04, 4, nullptr, &information));
  EXPECT_EQ(0u, information);
  kernel::NotifySystemStateLock(true);
  EXPECT_TRUE(Camera()->GetRestartPending());
  ULONG result = 0;
  EXPECT_EQ(STATUS_SUCCESS, PrivateRequest(*file, 0x223C04, 4, &result, &information));
  camera_->ClearLog();
  Wait(2500 * kMs);
  EXPECT_EQ(std::vector<uint8_t>{kD3}, PowerLog());
}

INSTANTIATE_TEST_SUITE_P(Builds, SleepResume, ::testing::Values(10586u, 10587u));

// Every allocation of a start failed once: the start reports a status, and stop, removal and
// unload leave nothing behind.
TEST_F(DeviceTest, AllocationFailureSweepOverStart) {
  Plug(Profile::kIsoch);
  const uint64_t before = kernel::PoolAllocationAttempts();
  ASSERT_EQ(STATUS_SUCCESS, Start());
  const uint64_t allocations = kernel::PoolAllocationAttempts() - before;
  Unload();
  ASSERT_GT(allocations, 10u);
  for (uint64_t n = 1; n <= allocations; ++n) {
    Plug(Profile::kIsoch);
    kernel::FailNthAllocation(n);
    const NTSTATUS status = Start();
    kernel::ClearPoolFaults();
    EXPECT_NE(STATUS_PENDING, status) << "allocation " << n;
    Unload();
    if (HasFailure()) break;
  }
}

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

using StreamingDevice = StreamingBench;

// System sleep with a running capture pauses the stream at zero bandwidth. From build 10587 the
// resume commits the stream again and frames flow; on 10586 the stream stays paused.
class StreamingSleep : public StreamingDevice, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(StreamingSleep, ResumeRecommitsFrom10587) {
  const bool restarts = GetParam() >= 10587;
  kernel::SetSystemVersion(kernel::SystemVersion::Windows10(GetParam()));
  Plug(Profile::kIsoch);
  ASSERT_NO_FATAL_FAILURE(RunCapture());
  ASSERT_EQ(STATUS_SUCCESS, ReadFrames(3));
  kernel::NotifySystemStateLock(false);
  EXPECT_EQ(0, camera_->Snapshot().streamingAlternate);
  camera_->ClearLog();
  kernel::NotifySystemStateLock(true);
  EXPECT_EQ(restarts ? 1u : 0u, Commits());
  EXPECT_EQ(restarts, camera_->Snapshot().streamingAlternate != 0);
  EXPECT_EQ(restarts ? STATUS_SUCCESS : STATUS_TIMEOUT, ReadFrames(3));
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

INSTANTIATE_TEST_SUITE_P(Builds, StreamingSleep, ::testing::Values(10586u, 10587u));

// One hostile probe answer (0xFFFFFFFF for the frame and payload sizes) makes the bulk RUN fail
// for want of memory; once the camera answers sanely again, the next walk to RUN streams.
TEST_F(StreamingDevice, ARefusedProbeAnswerDoesNotOutliveIt) {
  Plug(Profile::kBulk);
  auto answer = [this](int64_t size) {
    camera_->Configure([size](simcam::CameraFaults& faults, simcam::ControlTable&, simcam::RegisterFile&,
                              simcam::CameraOptions&) {
      faults.attacks.probeMaxVideoFrameSize = size;
      faults.attacks.probeMaxPayloadTransferSize = size;
    });
  };
  answer(0xFFFFFFFF);
  ASSERT_NO_FATAL_FAILURE(OpenCapturePin());
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, pin_->SetState(KSSTATE_RUN));
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
  answer(-1);
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  EXPECT_EQ(STATUS_SUCCESS, ReadFrames(2));
}

// The capture's stop writes the settings to the registry: auto-exposure priority, whose set
// keeps it only in the settings, is stored once the running pin stops.
TEST_F(StreamingDevice, StreamStopSavesTheSettings) {
  Plug(Profile::kIsoch);
  ASSERT_NO_FATAL_FAILURE(RunCapture());
  const std::u16string key = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
                             usb::PortOptions{}.driverKeyName + u"\\VIDEOPROCAMP";
  auto lowLight = [&]() -> std::optional<uint32_t> {
    std::optional<kernel::RegistryValue> value = kernel::GetRegistryValue(key, u"LowLight");
    if (!value || value->type != REG_DWORD) return std::nullopt;
    return value->Dword();
  };
  for (LONG priority : {0, 1}) {
    SCOPED_TRACE(priority);
    KSPROPERTY_CAMERACONTROL_S data{};
    data.Property.Set = PROPSETID_VIDCAP_CAMERACONTROL;
    data.Property.Id = KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY;
    data.Property.Flags = KSPROPERTY_TYPE_SET;
    data.Value = priority;
    data.Flags = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
    ASSERT_EQ(STATUS_SUCCESS, filter_->Set(PROPSETID_VIDCAP_CAMERACONTROL,
                                           KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY, &data, sizeof(data)));
    EXPECT_NE(std::optional<uint32_t>(priority), lowLight());
    ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
    EXPECT_EQ(std::optional<uint32_t>(priority), lowLight());
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(state));
  }
}

// A capture start in manual exposure sends the stored exposure time before the transport starts,
// twice in the reload of the stored controls (the value, then again after the manual mode), and
// once more after the reload: four exposure SET_CURs at every RUN.
TEST_F(StreamingDevice, CaptureStartInManualExposureSendsTheExposureBeforeAndAfterTheReload) {
  Plug(Profile::kIsoch);
  ASSERT_NO_FATAL_FAILURE(RunCapture());
  KSPROPERTY_CAMERACONTROL_S data{};
  data.Property.Set = PROPSETID_VIDCAP_CAMERACONTROL;
  data.Property.Id = KSPROPERTY_CAMERACONTROL_EXPOSURE;
  data.Property.Flags = KSPROPERTY_TYPE_SET;
  data.Value = -3;
  data.Flags = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Set(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, &data,
                                         sizeof(data)));
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
  for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(state));
  camera_->ClearLog();
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  EXPECT_EQ(4u, CountRequests([](const simcam::LoggedRequest& r) {
              return r.kind == simcam::RequestKind::kControl && r.setup.bRequest == 0x01 &&
                     r.setup.wValue == (CT_EXPOSURE_TIME_ABSOLUTE_CONTROL << 8) &&
                     (r.setup.wIndex >> 8) == simcam::kCameraTerminalId;
            }));
}

// Surprise removal while a capture runs with filter, pin and private channel open: every
// handle closes and the device goes away clean.
TEST_F(StreamingDevice, SurpriseRemovalWhileStreaming) {
  Plug(Profile::kIsoch);
  ASSERT_NO_FATAL_FAILURE(RunCapture());
  ASSERT_EQ(STATUS_SUCCESS, ReadFrames(2));
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  port_->Unplug();
  ASSERT_EQ(STATUS_SUCCESS, device_->SurpriseRemove());
  EXPECT_FALSE(NT_SUCCESS(ReadFrames(1)));
  EXPECT_FALSE(NT_SUCCESS(VendorUnitGet(*filter_)));
  pin_->SetState(KSSTATE_STOP);
  CloseClients();
  file.reset();
  EXPECT_EQ(STATUS_SUCCESS, device_->Remove());
}

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

// A camera in the table of six listed cameras publishes the sensor-camera categories; another
// camera, with or without an interface part in its hardware identifier, the camera categories.
struct IdentityCase {
  const char* name;
  uint16_t product;
  int hardwareIdInterface;  // -1: no interface part
  bool sensor;
};

class Identity : public StreamingDevice, public ::testing::WithParamInterface<IdentityCase> {};

TEST_P(Identity, ChoosesTheCategories) {
  const IdentityCase& c = GetParam();
  simcam::CameraDescription description = DescriptionOf(Profile::kIsoch);
  description.idVendor = 0x2B7E;
  description.idProduct = c.product;
  usb::PortOptions port;
  port.interfaceNumber = c.hardwareIdInterface;
  Plug(description, {}, port);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  EXPECT_EQ(c.sensor, Camera()->Identity().listedCamera);
  EXPECT_EQ(0, Camera()->InterfaceNumber());
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
  std::vector<GUID> categories;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Categories(&categories));
  const bool sensor = std::find(categories.begin(), categories.end(), KSCATEGORY_SENSOR_CAMERA) != categories.end();
  EXPECT_EQ(c.sensor, sensor);
}

INSTANTIATE_TEST_SUITE_P(Cameras, Identity,
                         ::testing::Values(IdentityCase{"other", 0x0200, 0, false},
                                           IdentityCase{"otherNoInterface", 0x0200, -1, false},
                                           IdentityCase{"listed", 0x0203, 0, true},
                                           IdentityCase{"listedNoInterface", 0x0206, -1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

// The sensor set-up on a 0xB0 chip: the image-quality register, the power-line control from the
// flicker detector's value when automatic, and the white-balance gains (128 each gives 99, 70 and
// 119: 128 x 41 / 255 + 79 and so on), each gain to two registers, green twice.
TEST_F(DeviceTest, SensorSetupWritesQualityPowerLineAndGains) {
  Plug(Profile::kIsoch);
  camera_->Configure([](simcam::CameraFaults&, simcam::ControlTable&, simcam::RegisterFile& registers,
                        simcam::CameraOptions&) { registers.Preset(0x20FF, 0xB3); });
  ASSERT_EQ(STATUS_SUCCESS, Start());
  DeviceSettings* settings = Camera()->GetSettings();
  StoreSetting(settings->autoWhiteBalance, 0);
  StoreSetting(settings->imageQuality, 1);
  StoreSetting(settings->wbRed, 128);
  StoreSetting(settings->wbGreen, 128);
  StoreSetting(settings->wbBlue, 128);
  StoreSetting(settings->records[kRecordPowerLine].current, 0);
  StoreSetting(settings->flickerDetectValue, 2);
  const size_t before = camera_->RegisterWrites().size();
  camera_->ClearLog();
  EXPECT_EQ(STATUS_SUCCESS, Camera()->WriteSensorSetup());
  std::vector<std::pair<uint16_t, uint8_t>> writes;
  const std::vector<simcam::RegisterWrite> all = camera_->RegisterWrites();
  for (size_t i = before; i < all.size(); ++i) writes.emplace_back(all[i].address, all[i].value);
  const std::vector<std::pair<uint16_t, uint8_t>> expected = {
      {0x250D, 0x52}, {0x2130, 99}, {0x0520, 99}, {0x2134, 70}, {0x0521, 70},
      {0x213C, 70},   {0x0521, 70}, {0x2138, 119}, {0x0522, 119}};
  EXPECT_EQ(expected, writes);
  size_t powerLineSets = 0;
  for (const simcam::LoggedRequest& r : camera_->Log()) {
    if (r.kind == simcam::RequestKind::kControl && r.setup.bRequest == 0x01 && r.setup.wValue == 0x0500 &&
        r.setup.wIndex == 0x0200) {
      ++powerLineSets;
      EXPECT_EQ(std::vector<uint8_t>{2}, r.data);
    }
  }
  EXPECT_EQ(1u, powerLineSets);
}

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

// A filter opened on the idle camera brings it back to D0 and keeps it there; closing it lets
// the camera idle to D3 again two seconds later.
TEST_F(StreamingDevice, FilterWakesTheIdleCamera) {
  constexpr LONGLONG kMs = 10000;
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  Wait(2500 * kMs);
  ASSERT_EQ(std::vector<uint8_t>{4}, PowerLog());
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
  Wait(5000 * kMs);
  EXPECT_EQ((std::vector<uint8_t>{4, 1}), PowerLog());
  filter_.reset();
  Wait(2500 * kMs);
  EXPECT_EQ((std::vector<uint8_t>{4, 1, 4}), PowerLog());
}

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

// The PnP manager stops the device the way Windows does: a refused query is cancelled and no
// stop follows. While a filter is open (streaming or not) the query is refused and the filter
// keeps working; once it closes the stop goes through, and no filter opens between the accepted
// query and the stop or its cancel.
struct StopCase {
  const char* name;
  bool streaming;
};

class StopWithClients : public StreamingBench, public ::testing::WithParamInterface<StopCase> {};

TEST_P(StopWithClients, WaitsForTheLastFilter) {
  Plug(Profile::kIsoch);
  if (GetParam().streaming) {
    ASSERT_NO_FATAL_FAILURE(RunCapture());
  } else {
    ASSERT_EQ(STATUS_SUCCESS, Start());
    ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
  }
  const NTSTATUS query = device_->QueryStop();
  ASSERT_EQ(STATUS_SUCCESS, NT_SUCCESS(query) ? device_->Stop() : device_->CancelStop());
  EXPECT_EQ(STATUS_DEVICE_BUSY, query);
  EXPECT_EQ(STATUS_SUCCESS, VendorUnitGet(*filter_));
  if (GetParam().streaming) {
    EXPECT_EQ(STATUS_SUCCESS, ReadFrames(2));
  }

  CloseClients();
  ASSERT_EQ(STATUS_SUCCESS, device_->QueryStop());
  EXPECT_EQ(STATUS_DEVICE_BUSY, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
  ASSERT_EQ(STATUS_SUCCESS, device_->CancelStop());
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
  filter_.reset();
  ASSERT_EQ(STATUS_SUCCESS, device_->QueryStop());
  ASSERT_EQ(STATUS_SUCCESS, device_->Stop());
  ASSERT_EQ(STATUS_SUCCESS, Start());
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
  EXPECT_EQ(STATUS_SUCCESS, VendorUnitGet(*filter_));
}

INSTANTIATE_TEST_SUITE_P(Clients, StopWithClients,
                         ::testing::Values(StopCase{"filterOpen", false}, StopCase{"streaming", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Property requests on another kernel thread while the PnP manager keeps trying to stop the
// device: every query is refused and every request answered.
TEST_F(StreamingDevice, PropertyRequestsRaceStopAttempts) {
  constexpr int kRequests = 200;
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &filter_));
  std::atomic<int> failures{0};
  std::atomic<bool> done{false};
  int stops = 0;
  {
    kernel::KernelThread client("property client", [&] {
      for (int i = 0; i < kRequests; ++i)
        if (!NT_SUCCESS(VendorUnitGet(*filter_))) ++failures;
      done = true;
    });
    for (int attempt = 0; attempt < kRequests && !done; ++attempt) {
      if (NT_SUCCESS(device_->QueryStop())) {
        ++stops;
        device_->Stop();
        Start();
      } else {
        device_->CancelStop();
      }
      Wait(kMs);
    }
  }
  EXPECT_EQ(0, stops);
  EXPECT_EQ(0, failures.load());
}

}  // namespace
}  // namespace kvz::drivertest
