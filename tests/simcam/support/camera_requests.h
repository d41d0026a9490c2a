// Class and standard requests sent straight to a SimCamera, as the bus would pass them on.
#pragma once

#include <cstdint>
#include <vector>

#include "simcam/sim_camera.h"
#include "uvc.h"

namespace kvz::simcam::testing {

// Test GUIDs standing in for the driver's vendor and test units.
VendorGuids TestGuids();

struct Reply {
  usb::Outcome outcome;
  std::vector<uint8_t> data;  // IN: the answered bytes
  bool Ok() const { return outcome.disposition == usb::Disposition::kComplete && outcome.completion.irpStatus == STATUS_SUCCESS; }
  bool Stalled() const { return outcome.completion.urbStatus == USBD_STATUS_STALL_PID; }
};

Reply ClassGet(SimCamera& cam, uint8_t request, uint8_t selector, uint16_t wIndex, uint16_t wLength, uint64_t now = 0);
Reply ClassSet(SimCamera& cam, uint8_t selector, uint16_t wIndex, std::vector<uint8_t> data, uint64_t now = 0);
Reply GetDescriptor(SimCamera& cam, uint8_t type, uint16_t wLength);

// Register access through the vendor unit (selector 2 address, selector 3 data).
uint8_t ReadRegister(SimCamera& cam, uint16_t address, uint64_t now = 0);
void WriteRegister(SimCamera& cam, uint16_t address, uint8_t value, uint64_t now = 0);

// Negotiates and commits a video format on streaming interface 1 (or the given one); returns the
// committed block.
UVC_VIDEO_PROBE_COMMIT Commit(SimCamera& cam, uint8_t format, uint8_t frame, uint32_t interval, uint64_t now = 0);
UVC_VIDEO_PROBE_COMMIT CommitOn(SimCamera& cam, uint8_t streamingInterface, uint8_t format, uint8_t frame,
                                uint32_t interval, uint64_t now = 0);

}  // namespace kvz::simcam::testing
