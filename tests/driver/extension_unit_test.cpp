// Extension-unit sets through the client, and the vendor unit's camera registers as indivisible
// address and data pairs.
#include <cstring>

#include "control_bench.h"
#include "driver/device/camera_register_access.h"
#include "driver/controls/extension_unit_handler.h"
#include "kvz/kernel_thread.h"
#include "common/sensor_register.h"
#include "usb/usb_device.h"
#include "uvc.h"

namespace kvz::drivertest {
namespace {

constexpr GUID kUnitGuid = {0x51E0C7A2, 0x33D4, 0x4A5B, {0x8C, 0x1E, 0x22, 0x90, 0x4B, 0x6D, 0x7E, 0x01}};
constexpr uint8_t kUnitId = 6;

simcam::CameraDescription WithUnit(std::vector<uint8_t> selectors) {
  simcam::CameraDescription description = simcam::HighSpeedIsochDescription(DriverGuids());
  description.extensionUnits.push_back({kUnitId, kUnitGuid, std::move(selectors)});
  return description;
}

simcam::ControlValue RawControl(uint16_t length) {
  simcam::ControlValue c;
  c.length = length;
  c.checkRange = false;
  c.cur.assign(length, 0);
  for (uint16_t i = 0; i < length; ++i) c.cur[i] = static_cast<uint8_t>(0x30 + i);
  return c;
}

class ExtensionUnit : public ControlBench {
 protected:
  NTSTATUS Query(ULONG id, void* data, ULONG size, ULONG_PTR* returned, ULONG flags = KSPROPERTY_TYPE_GET) {
    KSPROPERTY property{};
    property.Set = kUnitGuid;
    property.Id = id;
    property.Flags = flags;
    return filter_->Property(&property, sizeof(property), data, size, returned);
  }
  void SetControl(uint8_t selector, simcam::ControlValue value) {
    camera_->Configure([&](simcam::CameraFaults&, simcam::ControlTable& controls, simcam::RegisterFile&,
                           simcam::CameraOptions&) { controls.Set(kUnitId, selector, value); });
  }
};

TEST_F(ExtensionUnit, ItemsFollowBmControlsAndItemZeroIsTheIdentity) {
  Start(WithUnit({1, 2, 16}));
  uint8_t identity[32] = {};
  ULONG_PTR returned = 0;
  ASSERT_EQ(STATUS_SUCCESS, Query(0, identity, sizeof(identity), &returned));
  EXPECT_EQ(25u, returned);
  // GUID, bNumControls 3, bNrInPins 1, baSourceID (the unit before: 5), bControlSize 4,
  // bmControls 0x03 0x80 0 0, iExtension 0.
  uint8_t expected[25] = {};
  memcpy(expected, &kUnitGuid, 16);
  const uint8_t tail[] = {3, 1, 5, 4, 0x03, 0x80, 0, 0, 0};
  memcpy(expected + 16, tail, sizeof(tail));
  EXPECT_EQ(0, memcmp(expected, identity, 25));

  uint8_t data[8] = {};
  EXPECT_EQ(STATUS_SUCCESS, Query(16, data, sizeof(data), &returned));
  EXPECT_EQ(STATUS_NOT_FOUND, Query(3, data, sizeof(data), &returned));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Query(0, identity, sizeof(identity), &returned, KSPROPERTY_TYPE_SET));
}

// The control's own length decides what a request carries, whatever the client's buffer.
TEST_F(ExtensionUnit, ControlLengthComesFromTheCameraAndBoundsEveryRequest) {
  Start(WithUnit({1, 2, 16}));
  SetControl(16, RawControl(6));
  ULONG_PTR returned = 0;
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Query(0, nullptr, 0, &returned));
  EXPECT_EQ(25u, returned);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Query(16, nullptr, 0, &returned));
  EXPECT_EQ(6u, returned);

  uint8_t data[16];
  memset(data, 0xEE, sizeof(data));
  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, Query(16, data, sizeof(data), &returned));
  EXPECT_EQ(6u, returned);
  ASSERT_EQ(1u, Requests().size());
  EXPECT_EQ(6u, Requests()[0].data.size());
  EXPECT_EQ(0x35, data[5]);

  // One byte short of the control's length sends nothing; the length itself is enough.
  ClearRequests();
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(16, data, 5, &returned));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Query(16, data, 5, &returned, KSPROPERTY_TYPE_SET));
  EXPECT_TRUE(Requests().empty());
  EXPECT_EQ(STATUS_SUCCESS, Query(16, data, 6, &returned));
  EXPECT_EQ(6u, returned);
  EXPECT_EQ(STATUS_SUCCESS, Query(16, data, 6, &returned, KSPROPERTY_TYPE_SET));
  EXPECT_EQ(2u, Requests().size());
}

TEST_F(ExtensionUnit, ReportedLengthOfZeroKeepsTwoAndAHugeOneIsCapped) {
  Start(WithUnit({1, 2}));
  const struct {
    uint16_t reported;
    ULONG_PTR used;
  } cases[] = {{0, 2}, {0xFFFF, 4096}, {9, 9}};
  for (const auto& c : cases) {
    SetControl(1, RawControl(c.reported));
    Restart();
    ULONG_PTR returned = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, Query(1, nullptr, 0, &returned));
    EXPECT_EQ(c.used, returned) << c.reported;
  }
}

// A size query on another filter handle finds the camera's control grown from 1 to 64 bytes while
// a client's get with a 1-byte buffer comes in (the query's GET_LEN is on the bus for 20 ms, the
// get arrives 1 ms into it): the get never carries or reports more than its buffer holds.
TEST_F(ExtensionUnit, SizeQueryMeanwhileNeverStretchesARequestPastItsBuffer) {
  Start(WithUnit({1, 2}));
  SetControl(1, RawControl(1));
  Restart();
  std::unique_ptr<ksclient::KsFilterClient> other;
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &other));
  SetControl(1, RawControl(64));
  usb::BusFault slow;
  slow.kind = usb::BusFault::Kind::kDelay;
  slow.delay = 20 * 10000;
  port_->ArmBusFault(slow);
  ClearRequests();
  NTSTATUS sizeStatus = STATUS_UNSUCCESSFUL;
  ULONG_PTR sized = 0;
  uint8_t byte[1] = {0x5A};
  ULONG_PTR returned = 0;
  {
    kernel::KernelThread query("size query", [&] {
      KSPROPERTY property{};
      property.Set = kUnitGuid;
      property.Id = 1;
      property.Flags = KSPROPERTY_TYPE_GET;
      sizeStatus = other->Property(&property, sizeof(property), nullptr, 0, &sized);
    });
    LARGE_INTEGER oneMs;
    oneMs.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &oneMs);
    Query(1, byte, sizeof(byte), &returned);
  }
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, sizeStatus);
  EXPECT_EQ(64u, sized);
  EXPECT_LE(returned, sizeof(byte));
  for (const ClassRequest& r : Requests()) {
    if (r.request == GET_CUR) {
      EXPECT_LE(r.data.size(), sizeof(byte));
    }
  }
}

// More than 33 announced controls: the unit gets no set and the rest of the device works.
TEST_F(ExtensionUnit, UnitWithTooManyControlsHasNoSet) {
  std::vector<uint8_t> selectors;
  for (uint8_t s = 1; s <= 34; ++s) selectors.push_back(s);
  Start(WithUnit(selectors));
  uint8_t identity[25];
  ULONG_PTR returned = 0;
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, Query(0, identity, sizeof(identity), &returned));
  LONG value = 0;
  EXPECT_EQ(STATUS_SUCCESS, GetValue(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ZOOM, &value));
}

// A register pair leaves the vendor unit's address and data controls at the pair's lengths (2 and
// 1), whatever the camera reported for them; a size query asks the camera again.
TEST_F(ExtensionUnit, RegisterPairSetsTheRegisterControlLengths) {
  Start();
  const uint8_t vendorId = camera_->Profile().vendorUnitId;
  camera_->Configure([&](simcam::CameraFaults&, simcam::ControlTable& controls, simcam::RegisterFile&,
                         simcam::CameraOptions&) {
    controls.Set(vendorId, 2, RawControl(4));
    controls.Set(vendorId, 3, RawControl(3));
  });
  Restart();
  ExtensionUnitHandler* vendor = LastDevice()->FindExtensionUnit(DriverGuids().vendorUnit);
  ASSERT_NE(nullptr, vendor);
  auto get = [&](ULONG id, ULONG_PTR* returned) {
    uint8_t data[8] = {};
    KSPROPERTY property{};
    property.Set = DriverGuids().vendorUnit;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    return filter_->Property(&property, sizeof(property), data, sizeof(data), returned);
  };
  ULONG_PTR returned = 0;
  ASSERT_EQ(STATUS_SUCCESS, get(2, &returned));
  EXPECT_EQ(4u, returned);
  UCHAR value = 0;
  ASSERT_EQ(STATUS_SUCCESS, ReadCameraRegister(vendor, 0x20FF, &value));
  const struct {
    ULONG id;
    ULONG_PTR length;
  } cases[] = {{2, 2}, {3, 1}};
  for (const auto& c : cases) {
    ClearRequests();
    ASSERT_EQ(STATUS_SUCCESS, get(c.id, &returned)) << c.id;
    EXPECT_EQ(c.length, returned) << c.id;
    ASSERT_EQ(1u, Requests().size());
    EXPECT_EQ(c.length, Requests()[0].data.size()) << c.id;
  }
  KSPROPERTY property{};
  property.Set = DriverGuids().vendorUnit;
  property.Id = 2;
  property.Flags = KSPROPERTY_TYPE_GET;
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, filter_->Property(&property, sizeof(property), nullptr, 0, &returned));
  EXPECT_EQ(4u, returned);
}

// Client requests, the driver's register pairs and the sensor register helpers run at once; every
// data byte must land on the address its own pair named.
TEST_F(ExtensionUnit, RegisterPairsNeverInterleave) {
  Start();
  ExtensionUnitHandler* vendor = LastDevice()->FindExtensionUnit(DriverGuids().vendorUnit);
  ASSERT_NE(nullptr, vendor);
  UsbDevice* usb = LastDevice()->GetUsbDevice();
  constexpr int kPairs = 60;
  auto value = [](uint16_t address) { return static_cast<UCHAR>((address >> 8) ^ (address & 0xFF)); };
  std::atomic<int> failures{0};
  {
    kernel::KernelThread driverPairs("driver pairs", [&] {
      for (int i = 0; i < kPairs; ++i) {
        const USHORT address = static_cast<USHORT>(0x1000 + i);
        if (!NT_SUCCESS(WriteCameraRegister(vendor, address, value(address)))) ++failures;
      }
    });
    kernel::KernelThread sensorPairs("sensor pairs", [&] {
      for (int i = 0; i < kPairs; ++i) {
        const USHORT address = static_cast<USHORT>(0x2000 + i);
        if (!NT_SUCCESS(WriteSensorRegister(usb->Services(), address, value(address)))) ++failures;
      }
    });
    kernel::KernelThread readers("reads", [&] {
      for (int i = 0; i < kPairs; ++i) {
        UCHAR byte = 0;
        if (!NT_SUCCESS(ReadCameraRegister(vendor, 0x20FF, &byte))) ++failures;
      }
    });
    kernel::KernelThread client("client", [&] {
      for (int i = 0; i < kPairs; ++i) {
        uint16_t address = static_cast<uint16_t>(0x3000 + i);
        KSPROPERTY property{};
        property.Set = DriverGuids().vendorUnit;
        property.Id = 2;
        property.Flags = KSPROPERTY_TYPE_SET;
        if (!NT_SUCCESS(filter_->Property(&property, sizeof(property), &address, sizeof(address)))) ++failures;
      }
    });
  }
  EXPECT_EQ(0, failures);
  int checked = 0;
  for (const simcam::RegisterWrite& w : camera_->RegisterWrites()) {
    if (w.address < 0x1000) continue;
    EXPECT_EQ(value(w.address), w.value) << std::hex << w.address;
    ++checked;
  }
  EXPECT_EQ(2 * kPairs, checked);
}

}  // namespace
}  // namespace kvz::drivertest
