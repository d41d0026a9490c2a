// The camera driver itself loaded through its entry point over a simulated camera, with the PnP
// manager stand-in sending the device its life-cycle requests and the private channel opened as
// an application opens it. Every test ends with the unload check.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/device/camera_device.h"
#include "ks_client.h"
#include "kvz/io_client.h"
#include "kvz/pnp_manager.h"
#include "kvz/system_testing.h"
#include "kvz/usb_bus.h"
#include "simcam/sim_camera.h"

namespace kvz::drivertest {

enum class Profile { kIsoch, kBulk, kUsb3, kMinimal };
const char* ProfileName(Profile profile);
simcam::CameraDescription DescriptionOf(Profile profile);

class DeviceBench : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Plugs the camera and loads the driver; AddDevice runs, nothing is started.
  void Plug(const simcam::CameraDescription& description, simcam::CameraOptions options = {},
            usb::PortOptions port = {});
  void Plug(Profile profile) { Plug(DescriptionOf(profile)); }
  NTSTATUS Start() { return device_->Start(); }
  // Closes what is open, removes the device (when not removed yet) and unloads the driver.
  void Unload();

  // The driver's object for the device (null before AddDevice or after removal).
  CameraDevice* Camera() const;

  // The private channel: its link, a file opened on it, one test request.
  std::u16string PrivateLink() const;
  NTSTATUS OpenPrivate(std::unique_ptr<kernel::ClientFile>* file);
  NTSTATUS PrivateRequest(kernel::ClientFile& file, ULONG code, ULONG outputLength, ULONG* result,
                          ULONG_PTR* information);

  // Kernel time passes on the test thread (a kernel wait).
  static void Wait(LONGLONG units);
  // Device power states the camera saw, in order (D0 = 1 ... D3 = 4).
  std::vector<uint8_t> PowerLog() const;
  size_t Count(simcam::RequestKind kind) const;

  std::unique_ptr<usb::UsbBus> bus_;
  std::shared_ptr<simcam::SimCamera> camera_;
  std::unique_ptr<usb::UsbPortHandle> port_;
  std::unique_ptr<kernel::LoadedDriver> driver_;
  std::unique_ptr<kernel::PnpDevice> device_;
  std::string root_;
};

// A started camera with its filter open and a capture pin in RUN at the first format the pin
// offers; the pin is stopped and everything closed before the unload.
class StreamingBench : public DeviceBench {
 protected:
  void TearDown() override;
  // Starts the camera, opens the filter and creates the capture pin (in STOP) at its first format.
  void OpenCapturePin();
  // OpenCapturePin, then the pin walked to RUN.
  void RunCapture();
  // Reads count frames of the pin's format, two buffers queued, 2 s of kernel time at most.
  NTSTATUS ReadFrames(size_t count);
  size_t CountRequests(const std::function<bool(const simcam::LoggedRequest&)>& match) const;
  // VS_COMMIT SET_CUR requests the camera saw.
  size_t Commits() const;
  void CloseClients();

  std::unique_ptr<ksclient::KsFilterClient> filter_;
  std::unique_ptr<ksclient::KsPinClient> pin_;
  ULONG frameBytes_ = 0;
};

// A streaming bench for stress tests that switch the kernel clock to the real one (run under
// ThreadSanitizer); the clock is virtual again before the unload check.
class RealClockStreamingBench : public StreamingBench {
 protected:
  void TearDown() override;
};

}  // namespace kvz::drivertest
