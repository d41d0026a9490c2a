// A USB device whose status-packet handler records each packet (and may run a test's hook)
// before the device's own handling. Its virtual table lives in recording_device.cpp, built like
// the driver without RTTI.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "usb/usb_device.h"

namespace kvz::usbtest {

class RecordingDevice : public UsbDevice {
 public:
  explicit RecordingDevice(PKSDEVICE device);
  ~RecordingDevice() override;
  NTSTATUS OnStatusInterrupt(const UCHAR* packet, ULONG length) override;
  std::vector<std::vector<UCHAR>> Packets();

  std::function<void()> hook;

 private:
  std::mutex lock_;
  std::vector<std::vector<UCHAR>> packets_;
};

}  // namespace kvz::usbtest
