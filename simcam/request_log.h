// Every request the camera saw, for tests to assert on.
#pragma once

#include <cstdint>
#include <vector>

#include "kvz/usb_function.h"
#include "usb100.h"

namespace kvz::simcam {

enum class RequestKind { kControl, kSetConfiguration, kSetInterface, kPipeAbort, kPipeReset, kPortCycle, kPower };

struct LoggedRequest {
  uint64_t time = 0;
  RequestKind kind = RequestKind::kControl;
  USB_DEFAULT_PIPE_SETUP_PACKET setup{};  // control requests
  uint8_t interfaceNumber = 0;            // set interface
  uint8_t value = 0;                      // configuration value, alternate setting, endpoint or power state
  std::vector<uint8_t> data;              // OUT: what was sent; IN: what was answered
  usb::Outcome outcome;
};

}  // namespace kvz::simcam
