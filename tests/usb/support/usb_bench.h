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
#include "simcam/sim_camera.h"
#include "driver/pins/unit_container.h"
#include "usb/usb_device.h"
#include "test_camera_device.h"

namespace kvz::usbtest {

simcam::VendorGuids DriverGuids();

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

  // The device starts as camera_start.h's StartCamera does; its release runs `teardown` (the
  // driver objects made on top of the camera) before the camera is stopped.
  void StartCameraWith(std::function<void()> teardown);

  // How the camera's port behaves (set before Boot).
  usb::PortOptions portOptions;
  std::function<NTSTATUS(TestCameraDevice&)> onStart;
  std::function<void(TestCameraDevice&)> onRelease;
  // Runs in the device's set-power dispatch before the new state is recorded.
  std::function<void(DEVICE_POWER_STATE)> onSetPower;
  std::unique_ptr<usb::UsbBus> bus_;
  std::shared_ptr<simcam::SimCamera> camera_;
  std::unique_ptr<usb::UsbPortHandle> port_;
  std::unique_ptr<kvz::kernel::LoadedDriver> driver_;
  std::unique_ptr<kvz::kernel::PnpDevice> device_;
};

}  // namespace kvz::usbtest
