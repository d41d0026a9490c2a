#include "fake_flicker_camera.h"

#include <cmath>
#include <cstring>

namespace kvz::test {

FakeFlickerCamera::FakeFlickerCamera(UCHAR chipCode, int mains, int width, int height)
    : mainsHz(mains), chipCode_(chipCode), width_(width), height_(height) {}

UCHAR FakeFlickerCamera::ReadRegister(USHORT address) {
  ++registerReads[address];
  const bool b0 = chipCode_ == 0xB0, c0 = chipCode_ == 0xC0;
  if ((b0 && address == 0x050D) || (c0 && address == 0x0556)) return level >> 8;
  if ((b0 && address == 0x050E) || (c0 && address == 0x0557)) return level & 0xFF;
  if (address == 0x0002) {
    if (exposureNeverSettles) return exposure_ += 10;
    if (driftLeft_ > 0) {
      --driftLeft_;
      exposure_ += 8;
    }
    return exposure_;
  }
  auto it = registers.find(address);
  return it == registers.end() ? 0 : it->second;
}

NTSTATUS FakeFlickerCamera::GetClassRequest(UCHAR request, USHORT value, USHORT index,
                                            PVOID buffer, USHORT length) {
  ++requests;
  if (request != kUvcGetCur || length != 1) return STATUS_INVALID_PARAMETER;
  auto* out = static_cast<UCHAR*>(buffer);
  if (value == 0x0500 && index == 0x0200) {
    if (failPowerLineGet) {
      *out = 0xEE;  // a failed transfer leaves no meaningful byte
      return STATUS_IO_DEVICE_ERROR;
    }
    *out = reportedPowerLine >= 0 ? static_cast<UCHAR>(reportedPowerLine) : powerLine;
    return STATUS_SUCCESS;
  }
  if (value == 0x0300 && index == kVendorUnit) {
    *out = ReadRegister(address_);
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS FakeFlickerCamera::SetClassRequest(UCHAR request, USHORT value, USHORT index,
                                            PVOID buffer, USHORT length) {
  ++requests;
  if (request != kUvcSetCur) return STATUS_INVALID_PARAMETER;
  const auto* in = static_cast<const UCHAR*>(buffer);
  if (value == 0x0500 && index == 0x0200 && length == 1) {
    powerLine = in[0];
    powerLineSets.push_back(in[0]);
    driftLeft_ = exposureDriftReads;
    return STATUS_SUCCESS;
  }
  if (value == 0x0200 && index == kVendorUnit && length == 2) {
    if (failRegisterAddress) return STATUS_IO_DEVICE_ERROR;
    address_ = static_cast<USHORT>(in[0] | (in[1] << 8));
    return STATUS_SUCCESS;
  }
  if (value == 0x0300 && index == kVendorUnit && length == 1) {
    registers[address_] = in[0];
    registerWrites.emplace_back(address_, in[0]);
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

std::vector<uint8_t> FakeFlickerCamera::NextFrame() {
  const int n = framesMade++;
  const double fps = powerLine == 1 ? 25.0 : 30.0;
  const int matching = mainsHz == 50 ? 1 : 2;
  const double cyclesPerFrame = 2.0 * mainsHz / fps;
  const double advance = cyclesPerFrame - std::floor(cyclesPerFrame);
  const bool banded = powerLine != matching;
  const double rowsPerBand = 104.0;  // flicker period in sensor lines
  const double kPi = 3.14159265358979323846;
  const int jump = moving ? (n / 2) & 1 : 0;

  std::vector<uint8_t> frame(static_cast<size_t>(width_) * height_ * 2);
  for (int y = 0; y < height_; ++y) {
    const double band =
        banded ? bandAmplitude * std::sin(2 * kPi * (y / rowsPerBand + n * advance)) : 0.0;
    for (int x = 0; x < width_; ++x) {
      // A still textured scene, or a checkerboard that inverts every second frame.
      const int base = moving ? 70 + 100 * (((x / 6) + (y / 6) + jump) & 1)
                              : 90 + ((x * 7 + y * 13) % 40);
      uint8_t* p = &frame[(static_cast<size_t>(y) * width_ + x) * 2];
      p[0] = static_cast<uint8_t>(std::lround(base + band));
      p[1] = static_cast<uint8_t>(std::lround(((x & 1) ? 140 : 120) + band / 3));
    }
  }
  return frame;
}

}  // namespace kvz::test
