// A KS minidriver for the filter and pin tests: a device over a USB camera that owns the
// UsbDevice, the UnitContainer, the pins' PinFormats and DeviceSettings, publishes the driver's real capture filter
// (descriptor, pin factories, pins) and stands in for the rest of the camera device: frames are
// handed to the pins by the test, and what the pins ask of the device is recorded here.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "driver/controls/camera_device_controls.h"
#include "driver/pins/pin_device.h"
#include "ks.h"

namespace kvz::drivertest {

struct StartCall {
  ULONG payload;
  ULONG frameSize;
  PKSPIN pin;
  ULONG streamType;
};

struct FormatsCall {
  ULONG subtype;
  LONG sourceWidth, sourceHeight, width, height;
};

struct PinProbe {
  std::mutex lock;
  // Frames the test hands to a stream type, taken oldest first.
  std::map<ULONG, std::deque<std::vector<uint8_t>>> frames;
  std::vector<StartCall> starts;
  std::vector<ULONG> stops;
  std::vector<ULONG> suspends;
  std::vector<FormatsCall> formats;
  std::vector<FormatsCall> effectRuns;  // the formats each still's effect run was given
  std::vector<ULONG> altSettings;  // payloads asked of SelectStreamingAltSetting
  struct Offer {
    std::vector<uint8_t> frame;
    LONG width, height, mjpeg;
  };
  std::vector<Offer> offers;  // frames offered to face detection, copied when offered
  std::map<ULONG, PKSPIN> registered;
  // Counters.
  std::atomic<int> taken{0};
  std::atomic<int> returned{0};
  std::atomic<int> busy{0};  // CancelIdleTimer minus RestartIdleTimer
  std::atomic<int> processed{0};
  std::atomic<int> effectsRun{0};
  std::atomic<int> submitted{0};
  std::atomic<int> zeroBandwidth{0};
  // Answers.
  std::atomic<bool> processReturnsNull{false};
  std::atomic<bool> processInverts{false};  // ProcessFrame changes the frame in place
  std::atomic<bool> listedCamera{false};
  std::atomic<LONG> captureRunning{0};
  std::atomic<LONG> displayOrientation{0};
  std::atomic<LONG> restartPending{0};
  std::atomic<bool> skipNextFrame{false};
  std::atomic<bool> stopFails{false};  // StopStream reports a failure

  void Reset();
  void Push(ULONG streamType, std::vector<uint8_t> frame);
  void ClearFrames();
  PKSPIN Registered(ULONG streamType);
  std::vector<StartCall> Starts();
  std::vector<ULONG> Stops();
  std::vector<FormatsCall> Formats();
  std::vector<FormatsCall> EffectRuns();
};

PinProbe& Pins();

// The device of the last Add (null before).
PinDevice* LastPinDevice();
CameraDeviceControls* LastPinControls();

NTSTATUS NTAPI PinTestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace kvz::drivertest
