#include "fake_flicker_camera.h"

#include <cstring>

namespace kvz::test {

FakeFlickerCamera::FakeFlickerCamera(UCHAR chipCode, int mains, int width, int height)
    : chipCode_(chipCode), width_(width), height_(height) {
  light.mainsHz = mains;
}

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
  if (request != kRequestGetCur || length != 1) return STATUS_INVALID_PARAMETER;
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
  if (request != kRequestSetCur) return STATUS_INVALID_PARAMETER;
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

BandingModel& FakeFlickerCamera::Model() {
  if (!model_) model_ = std::make_unique<BandingModel>(light, width_, height_);
  return *model_;
}

std::vector<uint8_t> FakeFlickerCamera::NextFrame() {
  return Model().Yuy2(framesMade++, powerLine, moving);
}

std::vector<uint8_t> FakeFlickerCamera::NextBgrFrame() {
  return Model().Bgr24(framesMade++, powerLine, moving);
}

}  // namespace kvz::test
