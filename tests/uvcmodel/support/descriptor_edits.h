// Hand-made camera descriptors: the built-in descriptions as bytes and edits that keep the
// configuration's and the video class headers' total lengths consistent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <usb100.h>

#include "simcam/camera_profile.h"
#include "simcam/descriptor_builder.h"
#include "uvcmodel/vendor_unit_guids.h"

namespace kvz::descriptortest {

struct Descriptors {
  std::vector<uint8_t> device;
  std::vector<uint8_t> config;
};

// Offsets of descriptors of a type (and class-specific subtype inside interfaces of a video
// subclass), in order.
inline std::vector<size_t> Find(const std::vector<uint8_t>& c, uint8_t type, int subtype = -1, int subclass = -1) {
  std::vector<size_t> out;
  int currentSubclass = -1;
  for (size_t at = 0; at + 2 <= c.size() && c[at] >= 2;) {
    if (c[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) currentSubclass = c[at + 6];
    if (c[at + 1] == type && (subtype < 0 || c[at + 2] == subtype) && (subclass < 0 || subclass == currentSubclass))
      out.push_back(at);
    at += c[at];
  }
  return out;
}

inline void AddTotal(std::vector<uint8_t>& c, size_t at, int delta) {
  const int v = (c[at] | c[at + 1] << 8) + delta;
  c[at] = static_cast<uint8_t>(v);
  c[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Cuts a descriptor to newLength bytes, keeping wTotalLength of the configuration and of the
// video class header that covers it consistent.
inline void Truncate(std::vector<uint8_t>& c, size_t at, uint8_t newLength) {
  const int cut = c[at] - newLength;
  const int subclass = [&] {
    int s = -1;
    for (size_t p = 0; p < at; p += c[p])
      if (c[p + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) s = c[p + 6];
    return s;
  }();
  if (subclass == 1 || subclass == 2) {
    size_t header = 0;
    for (size_t h : Find(c, 0x24, 1, subclass))
      if (h <= at) header = h;
    if (header != at) AddTotal(c, header + (subclass == 1 ? 5 : 4), -cut);
  }
  c.erase(c.begin() + static_cast<long>(at + newLength), c.begin() + static_cast<long>(at + c[at]));
  c[at] = newLength;
  AddTotal(c, 2, -cut);
}

inline Descriptors Built(const simcam::CameraDescription& c) {
  return {simcam::BuildDeviceDescriptor(c), simcam::BuildConfigurationDescriptor(c)};
}

// The high-speed camera with the driver's own vendor and test units.
inline Descriptors HighSpeed() {
  simcam::VendorGuids guids;
  guids.vendorUnit = VendorUnitGuids[0];
  guids.testUnit = TestUnitGuid;
  return Built(simcam::HighSpeedIsochDescription(guids));
}

// The high-speed camera's descriptors with one edit.
inline Descriptors With(std::function<void(Descriptors&)> edit) {
  Descriptors d = HighSpeed();
  edit(d);
  return d;
}

}  // namespace kvz::descriptortest
