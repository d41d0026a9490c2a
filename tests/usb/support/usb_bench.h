// A simulated camera on the bus stand-in under a small kernel-streaming test minidriver whose
// device object is a UsbDevice. The device's start and stop run what the test asks
// (camera_start.h: read the descriptors, parse them and select the configuration).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "kvz/kernel_testing.h"
#include "kvz/pnp_manager.h"
#include "kvz/usb_bus.h"
#include "driver/camera_device_controls.h"
#include "driver/device_settings.h"
#include "simcam/sim_camera.h"
#include "usb/unit_container.h"
#include "usb/usb_device.h"

namespace kvz::usbtest {

simcam::VendorGuids DriverGuids();

// The test's stand-in for the camera device: owns the unit container, the descriptors and the
// settings; the KS device's Context holds it as CameraDeviceControls.
class TestCameraDevice : public CameraDeviceControls {
 public:
  explicit TestCameraDevice(PKSDEVICE device) : usb(device) {}
  virtual ~TestCameraDevice() = default;

  UsbDevice* GetUsbDevice() override { return &usb; }
  DeviceSettings* GetSettings() override { return &settings; }
  CameraControlHandler* GetCameraControlHandler() override { return units ? units->CameraTerminal() : nullptr; }
  VideoProcAmpHandler* GetVideoProcAmpHandler() override { return units ? units->ProcessingUnit() : nullptr; }
  PrivateControlHandler* GetPrivateControlHandler() override { return units ? units->PrivateHandler() : nullptr; }
  RegionControlHandler* GetRegionControlHandler() override { return units ? units->RegionHandler() : nullptr; }
  ExtensionUnitHandler* FindUnitHandler(const GUID& set) override {
    return units ? units->LocateExtensionHandler(set) : nullptr;
  }
  ULONG GetVendorUnitFlag() override { return units ? units->GetVendorUnitFlag() : 0; }
  ULONG GetFlickerState() override { return 0; }
  VOID RequestFlickerRedetect() override {}
  VOID RestartFlickerSchedule() override {}
  NTSTATUS ClearFaceExposure() override { return STATUS_SUCCESS; }
  NTSTATUS SetFaceRectangle(const RegionRect&, LONG, LONG) override { return STATUS_SUCCESS; }
  VOID GetFrameSize(LONG* width, LONG* height) override { *width = 640, *height = 480; }
  LONG GetIdleState() override { return 0; }
  VOID UpdateFaceRequestFlags(LONG, LONG) override {}
  bool GetResumeFlag() override { return false; }
  VOID ClearResumeFlag() override {}

  UsbDevice usb;
  DeviceSettings settings;

  UnitContainer* units = nullptr;
  PUCHAR deviceDescriptor = nullptr;
  PUCHAR configuration = nullptr;
  ULONG configurationLength = 0;
  KSAUTOMATION_TABLE filterAutomation{};
  KSNODE_DESCRIPTOR nodes[kMaxTopologyNodes]{};
  ULONG nodeCount = 0;
  ULONG pinCount = 2;
  PUSBD_INTERFACE_INFORMATION interruptInterface = nullptr;
  PUSBD_INTERFACE_INFORMATION streamingInterface = nullptr;
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
  ULONG bulk = 0;
  bool usb3 = false;
};

class UsbBench : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs the camera, loads the test minidriver, adds and starts the device. onStart runs as
  // the device's start, onRelease at stop and after a failed start.
  NTSTATUS Boot(simcam::CameraProfile profile, simcam::CameraOptions options = {});
  // Removes the device and unloads; the unload check must find nothing.
  void Shutdown();

  TestCameraDevice* Device() const;
  UsbDevice* Usb() const { return &Device()->usb; }
  uint64_t ControlRequestsSeen() const;

  std::function<NTSTATUS(TestCameraDevice&)> onStart;
  std::function<void(TestCameraDevice&)> onRelease;
  std::unique_ptr<usb::UsbBus> bus_;
  std::shared_ptr<simcam::SimCamera> camera_;
  std::unique_ptr<usb::UsbPortHandle> port_;
  std::unique_ptr<kvz::kernel::LoadedDriver> driver_;
  std::unique_ptr<kvz::kernel::PnpDevice> device_;
};

}  // namespace kvz::usbtest
