// The end-to-end fixture: the PnP manager loads the driver and starts one simulated camera on
// virtual time; the test works through the client API. Every test ends by closing what it left
// open, removing the device, unloading the driver and checking that nothing is left behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "camera_rig.h"
#include "ks_client.h"
#include "kvz/kernel_testing.h"
#include "pin_session.h"
#include "video_formats.h"

namespace kvz::e2e {

using capture::VideoFormat;
using ksclient::Bytes;
using ksclient::CompletedFrame;
using ksclient::KsFilterClient;
using ksclient::KsPinClient;

constexpr uint32_t kYuy2 = 0x32595559;
constexpr uint32_t kRgb24 = 0xE436EB7D;
constexpr uint32_t kMjpg = 0x47504A4D;

constexpr int kCapturePin = 0;
constexpr int kStillPin = 2;

class E2eBench : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Boots "isoch", "bulk", "usb3", "minimal" (or a dump path); the device must start.
  [[nodiscard]] bool Boot(const std::string& camera = "isoch", simcam::CameraOptions options = {});
  NTSTATUS TryBoot(const std::string& camera, simcam::CameraOptions options = {});
  [[nodiscard]] bool Boot(simcam::CameraProfile profile, simcam::CameraOptions options = {});
  // The filter, opened on first use; kept until the end of the test.
  KsFilterClient& Filter();
  // The pin factory's VIDEOINFO range of that subtype and size.
  capture::VideoRange Range(int pinId, uint32_t subtype, int width, int height);
  // Creates a pin of that subtype and size (kept open until the end of the test unless closed).
  NTSTATUS CreatePin(int pinId, uint32_t subtype, int width, int height, KsPinClient** pin,
                     VideoFormat* format = nullptr);
  // Reads count frames keeping four buffers queued (5 s of kernel time per frame at most).
  std::vector<CompletedFrame> Read(KsPinClient& pin, size_t count, ULONG bufferSize);
  // Closes the filter early (pins first); Filter() opens it again.
  void CloseFilter();
  // Closes a pin early (it is forgotten by the fixture).
  void ClosePin(KsPinClient* pin);
  // Closes pins and filter, removes the device and unloads; nothing may be left behind.
  void Unload();

  simcam::SimCamera& Camera() { return rig_.Camera(); }
  kernel::PnpDevice& Device() { return *rig_.Device(); }
  capture::CameraRig& Rig() { return rig_; }

 private:
  capture::CameraRig rig_;
  std::unique_ptr<KsFilterClient> filter_;
  std::vector<std::unique_ptr<KsPinClient>> pins_;
  bool unloaded_ = false;
};

}  // namespace kvz::e2e
