#include "recording_device.h"

namespace kvz::usbtest {

RecordingDevice::RecordingDevice(PKSDEVICE device) : UsbDevice(device) {}

RecordingDevice::~RecordingDevice() = default;

NTSTATUS RecordingDevice::OnStatusInterrupt(const UCHAR* packet, ULONG length) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    packets_.emplace_back(packet, packet + length);
  }
  if (hook) hook();
  return UsbDevice::OnStatusInterrupt(packet, length);
}

std::vector<std::vector<UCHAR>> RecordingDevice::Packets() {
  std::lock_guard<std::mutex> hold(lock_);
  return packets_;
}

}  // namespace kvz::usbtest
