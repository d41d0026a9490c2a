// One simulated camera on the bus stand-in with the driver loaded and its device started: what
// the capture tool boots on the real-time clock and the end-to-end tests on virtual time. The
// caller's thread must be a kernel thread.
#pragma once

#include <memory>
#include <string>

#include "ks_client.h"
#include "kvz/pnp_manager.h"
#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"

namespace kvz::capture {

// The driver's own extension-unit identities, so that a built camera carries the vendor and test
// units the driver looks for.
simcam::VendorGuids DriverUnitGuids();

// "isoch", "bulk", "usb3", "minimal", or the path of a descriptor dump. Nothing for an unknown
// name or an unreadable dump (*error says why).
std::unique_ptr<simcam::CameraProfile> ProfileByName(const std::string& name, std::string* error);

class CameraRig {
 public:
  CameraRig() = default;
  ~CameraRig();  // Shutdown()
  CameraRig(const CameraRig&) = delete;
  CameraRig& operator=(const CameraRig&) = delete;

  // Plugs the camera, loads the driver, adds and starts the device. On failure what was done
  // stays for Shutdown().
  NTSTATUS Boot(simcam::CameraProfile profile, simcam::CameraOptions options = {});
  // Opens the filter through the first capture-category interface.
  NTSTATUS OpenFilter(std::unique_ptr<ksclient::KsFilterClient>* filter) const;
  // Removes the device (when it is still there), unloads the driver and unplugs the camera.
  // The caller runs the unload check afterwards.
  void Shutdown();

  simcam::SimCamera& Camera() const { return *camera_; }
  usb::UsbPortHandle& Port() const { return *port_; }
  kernel::PnpDevice* Device() const { return device_.get(); }
  kernel::LoadedDriver* Driver() const { return driver_.get(); }

 private:
  std::unique_ptr<usb::UsbBus> bus_;
  std::shared_ptr<simcam::SimCamera> camera_;
  std::unique_ptr<usb::UsbPortHandle> port_;
  std::unique_ptr<kernel::LoadedDriver> driver_;
  std::unique_ptr<kernel::PnpDevice> device_;
};

}  // namespace kvz::capture
