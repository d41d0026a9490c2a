// A camera on the bus, the control test driver loaded over it, its filter open through the
// client: property requests in, class requests read back from the camera's request log and
// values from the registry.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control_test_device.h"
#include "ks_client.h"
#include "kvz/pnp_manager.h"
#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"

namespace kvz::drivertest {

// The driver's vendor and test unit GUIDs, as the camera profiles take them.
simcam::VendorGuids DriverGuids();

struct ClassRequest {
  uint8_t request;
  uint16_t value;
  uint16_t index;
  std::vector<uint8_t> data;
};

class ControlBench : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs the camera, loads the driver, starts the device and opens the filter.
  void Start(const simcam::CameraDescription& description, simcam::CameraOptions options = {});
  void Start() { Start(simcam::HighSpeedIsochDescription(DriverGuids())); }
  // Closes the filter, removes the device, unloads the driver; the unload check must be clean.
  void Stop();
  // Restarts the device (PnP stop and start) with the filter closed and open again.
  void Restart();

  // The class-specific requests the camera saw since the last ClearRequests.
  std::vector<ClassRequest> Requests() const;
  std::vector<ClassRequest> Sets(uint16_t value, uint16_t index) const;
  void ClearRequests() { camera_->ClearLog(); }

  std::u16string ValuesKey() const;
  std::optional<uint32_t> Stored(const std::u16string& name) const;
  void Store(const std::u16string& name, uint32_t value) const;
  // Writes a file under \SystemRoot\.
  void WriteSystemFile(const std::string& name, const std::string& text) const;

  // Plain-layout camera-control or video-procamp request (KSPROPERTY_xxx_S).
  NTSTATUS GetValue(const GUID& set, ULONG id, LONG* value, ULONG* flags = nullptr, ULONG* caps = nullptr);
  NTSTATUS SetValue(const GUID& set, ULONG id, LONG value, ULONG flags = 2);
  // The stepping range and default of a property's basic support.
  struct Range {
    LONG minimum, maximum;
    ULONG step;
    LONG defaultValue;
  };
  NTSTATUS BasicRange(const GUID& set, ULONG id, Range* range);

  // The minidriver the bench loads.
  PDRIVER_INITIALIZE driverEntry_ = ControlTestDriverEntry;

  std::unique_ptr<usb::UsbBus> bus_;
  std::shared_ptr<simcam::SimCamera> camera_;
  std::unique_ptr<usb::UsbPortHandle> port_;
  std::unique_ptr<kernel::LoadedDriver> driver_;
  std::unique_ptr<kernel::PnpDevice> device_;
  std::unique_ptr<ksclient::KsFilterClient> filter_;
  std::string root_;
};

}  // namespace kvz::drivertest
