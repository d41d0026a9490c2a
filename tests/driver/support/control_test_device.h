// A small KS minidriver for the control tests: one device over a USB camera that owns the
// UsbDevice, the UnitContainer and DeviceSettings, and publishes a filter (no pins) with the
// container's property and event sets and topology nodes. What the handlers ask of the camera
// device is recorded here.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "driver/controls/camera_device_controls.h"
#include "ks.h"

namespace kvz::drivertest {

struct DeviceProbe {
  // Answers the handlers get.
  std::atomic<ULONG> flickerState{0};
  std::atomic<LONG> frameWidth{640};
  std::atomic<LONG> frameHeight{480};
  std::atomic<bool> resumeFlag{false};
  std::atomic<bool> loadAtStart{true};
  // What they did.
  std::atomic<int> redetectRequests{0};
  std::atomic<int> scheduleRestarts{0};
  std::atomic<int> faceExposureClears{0};
  std::atomic<LONG> faceRequestFlags{0};
  std::atomic<LONG> openFilters{0};
  std::mutex lock;
  std::vector<RegionRect> faceRectangles;
  std::vector<RegionRect> FaceRectangles() {
    std::lock_guard<std::mutex> hold(lock);
    return faceRectangles;
  }

  void Reset();
};

DeviceProbe& Probe();

// The device of the last Add (null before).
CameraDeviceControls* LastDevice();

NTSTATUS NTAPI ControlTestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace kvz::drivertest
