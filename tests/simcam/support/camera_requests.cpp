#include "camera_requests.h"

#include <cstring>

namespace kvz::simcam::testing {

VendorGuids TestGuids() {
  VendorGuids g;
  g.vendorUnit = GUID{0x1229A78C, 0x47B4, 0x4094, {0xB0, 0xCE, 0xDB, 0x07, 0x38, 0x6F, 0xB9, 0x38}};
  g.testUnit = GUID{0x9A1E7291, 0x6843, 0x4683, {0x9D, 0x70, 0x8F, 0x2B, 0x64, 0x41, 0x1B, 0x97}};
  return g;
}

Reply ClassGet(SimCamera& cam, uint8_t request, uint8_t selector, uint16_t wIndex, uint16_t wLength, uint64_t now) {
  USB_DEFAULT_PIPE_SETUP_PACKET s{0xA1, request, static_cast<USHORT>(selector << 8), wIndex, wLength};
  std::vector<uint8_t> buffer(wLength + 16u, 0xEE);
  Reply r;
  r.outcome = cam.Control(s, buffer.data(), now);
  r.data.assign(buffer.begin(), buffer.begin() + r.outcome.completion.length);
  return r;
}

Reply ClassSet(SimCamera& cam, uint8_t selector, uint16_t wIndex, std::vector<uint8_t> data, uint64_t now) {
  USB_DEFAULT_PIPE_SETUP_PACKET s{0x21, SET_CUR, static_cast<USHORT>(selector << 8), wIndex,
                                  static_cast<USHORT>(data.size())};
  Reply r;
  r.outcome = cam.Control(s, data.data(), now);
  return r;
}

Reply GetDescriptor(SimCamera& cam, uint8_t type, uint16_t wLength) {
  USB_DEFAULT_PIPE_SETUP_PACKET s{0x80, USB_REQUEST_GET_DESCRIPTOR, static_cast<USHORT>(type << 8), 0, wLength};
  std::vector<uint8_t> buffer(wLength, 0);
  Reply r;
  r.outcome = cam.Control(s, buffer.data(), 0);
  r.data.assign(buffer.begin(), buffer.begin() + r.outcome.completion.length);
  return r;
}

uint8_t ReadRegister(SimCamera& cam, uint16_t address, uint64_t now) {
  const uint16_t unit = static_cast<uint16_t>(cam.Profile().vendorUnitId << 8);
  ClassSet(cam, 2, unit, {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8)}, now);
  Reply r = ClassGet(cam, GET_CUR, 3, unit, 1, now);
  return r.data.empty() ? 0 : r.data[0];
}

void WriteRegister(SimCamera& cam, uint16_t address, uint8_t value, uint64_t now) {
  const uint16_t unit = static_cast<uint16_t>(cam.Profile().vendorUnitId << 8);
  ClassSet(cam, 2, unit, {static_cast<uint8_t>(address), static_cast<uint8_t>(address >> 8)}, now);
  ClassSet(cam, 3, unit, {value}, now);
}

UVC_VIDEO_PROBE_COMMIT Commit(SimCamera& cam, uint8_t format, uint8_t frame, uint32_t interval, uint64_t now) {
  return CommitOn(cam, 1, format, frame, interval, now);
}

UVC_VIDEO_PROBE_COMMIT CommitOn(SimCamera& cam, uint8_t streamingInterface, uint8_t format, uint8_t frame,
                                uint32_t interval, uint64_t now) {
  UVC_VIDEO_PROBE_COMMIT p{};
  p.bFormatIndex = format;
  p.bFrameIndex = frame;
  p.dwFrameInterval = interval;
  std::vector<uint8_t> bytes(sizeof(p));
  std::memcpy(bytes.data(), &p, sizeof(p));
  ClassSet(cam, VS_PROBE_CONTROL, streamingInterface, bytes, now);
  Reply got = ClassGet(cam, GET_CUR, VS_PROBE_CONTROL, streamingInterface, sizeof(p), now);
  ClassSet(cam, VS_COMMIT_CONTROL, streamingInterface, got.data, now);
  UVC_VIDEO_PROBE_COMMIT out{};
  std::memcpy(&out, got.data.data(), std::min(got.data.size(), sizeof(out)));
  return out;
}

}  // namespace kvz::simcam::testing
