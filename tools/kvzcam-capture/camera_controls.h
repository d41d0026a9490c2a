// The camera's controls as an application reaches them: the video processing amplifier and
// camera control sets (KSPROPERTY_..._S requests) and the driver's private settings set
// (104-byte requests), under v4l2-ctl's control names where one exists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ks_client.h"

namespace kvz::capture {

enum class ControlSet { kVideoProcAmp, kCameraControl, kPrivate };

struct ControlName {
  const char* name;
  ControlSet set;
  uint32_t id;
  // The automatic mode of control `id` (its KS flags AUTO or MANUAL) as a control of its own:
  // `autoOn` is the value that means automatic, `autoOff` manual (v4l2-ctl's exposure_auto: 3
  // aperture priority, 1 manual; white_balance_temperature_auto: 1, 0).
  bool autoMode = false;
  int32_t autoOn = 1;
  int32_t autoOff = 0;
};

// Every control the tool knows, in listing order.
const std::vector<ControlName>& KnownControls();
const ControlName* FindControl(const std::string& name);

struct ControlInfo {
  int32_t value = 0;
  int32_t minimum = 0;
  int32_t maximum = 0;
  int32_t step = 0;
  int32_t defaultValue = 0;
  bool hasRange = false;
};

// The current value, and the range and default where the driver describes them. Any failure of
// the value's Get is returned.
NTSTATUS QueryControl(ksclient::KsObject& filter, const ControlName& control, ControlInfo* info);
NTSTATUS GetControl(ksclient::KsObject& filter, const ControlName& control, int32_t* value);
NTSTATUS SetControl(ksclient::KsObject& filter, const ControlName& control, int32_t value);

// Why a control request failed, in words: "not supported by this camera", "refused by the driver
// as out of range", or "refused by the camera" (with the status).
std::string ControlFailure(NTSTATUS status);

}  // namespace kvz::capture
