#include "camera_controls.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver/controls/private_control_handler.h"
#include "ksmedia.h"

namespace kvz::capture {

namespace {

constexpr uint32_t kFlagsAuto = 1;
constexpr uint32_t kFlagsManual = 2;

// The private set's request and data block.
constexpr size_t kPrivateBlock = 104;
constexpr size_t kPrivateValue = 28;
constexpr size_t kPrivateMaximum = 32;
constexpr size_t kPrivateMinimum = 40;
constexpr size_t kPrivateStep = 48;
constexpr size_t kPrivateDefault = 56;

const GUID& SetGuid(ControlSet set) {
  switch (set) {
    case ControlSet::kVideoProcAmp: return PROPSETID_VIDCAP_VIDEOPROCAMP;
    case ControlSet::kCameraControl: return PROPSETID_VIDCAP_CAMERACONTROL;
    case ControlSet::kPrivate: break;
  }
  return PROPSETID_KVZ_PRIVATE;
}

// Video procamp and camera control requests share one layout: KSPROPERTY, Value, Flags, Capabilities.
NTSTATUS StandardRequest(ksclient::KsObject& filter, const ControlName& c, ULONG flags, KSPROPERTY_VIDEOPROCAMP_S* s) {
  s->Property.Set = SetGuid(c.set);
  s->Property.Id = c.id;
  s->Property.Flags = flags;
  return filter.Property(s, sizeof(*s), s, sizeof(*s));
}

NTSTATUS PrivateRequest(ksclient::KsObject& filter, const ControlName& c, ULONG flags, uint8_t (&block)[kPrivateBlock]) {
  KSPROPERTY p{};
  p.Set = PROPSETID_KVZ_PRIVATE;
  p.Id = c.id;
  p.Flags = flags;
  std::memcpy(block, &p, sizeof(p));
  uint8_t request[kPrivateBlock];
  std::memcpy(request, block, sizeof(request));
  return filter.Property(request, sizeof(request), block, sizeof(block));
}

template <class T>
T At(const uint8_t* block, size_t offset) {
  T v;
  std::memcpy(&v, block + offset, sizeof(v));
  return v;
}

// The stepped range from a basic-support answer: description, members header, stepping.
bool RangeFrom(const ksclient::Bytes& d, ControlInfo* info) {
  const size_t at = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER);
  if (d.size() < at + sizeof(KSPROPERTY_STEPPING_LONG)) return false;
  KSPROPERTY_STEPPING_LONG s;
  std::memcpy(&s, d.data() + at, sizeof(s));
  info->minimum = s.Bounds.SignedMinimum;
  info->maximum = s.Bounds.SignedMaximum;
  info->step = static_cast<int32_t>(s.SteppingDelta);
  return true;
}

bool DefaultFrom(const ksclient::Bytes& d, ControlInfo* info) {
  const size_t at = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER);
  if (d.size() < at + sizeof(LONG)) return false;
  std::memcpy(&info->defaultValue, d.data() + at, sizeof(LONG));
  return true;
}

}  // namespace

const std::vector<ControlName>& KnownControls() {
  static const std::vector<ControlName> controls = {
      {"brightness", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS},
      {"contrast", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_CONTRAST},
      {"hue", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_HUE},
      {"saturation", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_SATURATION},
      {"sharpness", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_SHARPNESS},
      {"gamma", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_GAMMA},
      {"color_enable", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_COLORENABLE},
      {"white_balance_temperature_auto", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, true, 1, 0},
      {"white_balance_temperature", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE},
      {"backlight_compensation", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION},
      {"gain", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_GAIN},
      {"power_line_frequency", ControlSet::kVideoProcAmp, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY},
      {"pan_absolute", ControlSet::kCameraControl, KSPROPERTY_CAMERACONTROL_PAN},
      {"tilt_absolute", ControlSet::kCameraControl, KSPROPERTY_CAMERACONTROL_TILT},
      {"roll_absolute", ControlSet::kCameraControl, KSPROPERTY_CAMERACONTROL_ROLL},
      {"zoom_absolute", ControlSet::kCameraControl, KSPROPERTY_CAMERACONTROL_ZOOM},
      {"exposure_auto", ControlSet::kCameraControl, KSPROPERTY_CAMERACONTROL_EXPOSURE, true, 3, 1},
      {"exposure_absolute", ControlSet::kCameraControl, KSPROPERTY_CAMERACONTROL_EXPOSURE},
      {"privacy", ControlSet::kCameraControl, KSPROPERTY_CAMERACONTROL_PRIVACY},
      {"exposure_auto_priority", ControlSet::kCameraControl, KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY},
      {"horizontal_flip", ControlSet::kPrivate, 0},
      {"vertical_flip", ControlSet::kPrivate, 1},
      {"digital_zoom", ControlSet::kPrivate, 4},
      {"digital_tilt", ControlSet::kPrivate, 5},
      {"digital_pan", ControlSet::kPrivate, 6},
      {"rotate", ControlSet::kPrivate, 7},
  };
  return controls;
}

const ControlName* FindControl(const std::string& name) {
  for (const ControlName& c : KnownControls())
    if (name == c.name) return &c;
  return nullptr;
}

NTSTATUS GetControl(ksclient::KsObject& filter, const ControlName& control, int32_t* value) {
  if (control.set == ControlSet::kPrivate) {
    uint8_t block[kPrivateBlock] = {};
    const NTSTATUS status = PrivateRequest(filter, control, KSPROPERTY_TYPE_GET, block);
    if (NT_SUCCESS(status)) *value = At<int32_t>(block, kPrivateValue);
    return status;
  }
  KSPROPERTY_VIDEOPROCAMP_S s{};
  NTSTATUS status = StandardRequest(filter, control, KSPROPERTY_TYPE_GET, &s);
  if (!NT_SUCCESS(status)) return status;
  if (!control.autoMode) {
    *value = s.Value;
    return status;
  }
  if (!(s.Capabilities & kFlagsAuto)) return STATUS_NOT_SUPPORTED;
  *value = s.Flags & kFlagsAuto ? control.autoOn : control.autoOff;
  return status;
}

NTSTATUS SetControl(ksclient::KsObject& filter, const ControlName& control, int32_t value) {
  if (control.set == ControlSet::kPrivate) {
    uint8_t block[kPrivateBlock] = {};
    std::memcpy(block + kPrivateValue, &value, sizeof(value));
    return PrivateRequest(filter, control, KSPROPERTY_TYPE_SET, block);
  }
  KSPROPERTY_VIDEOPROCAMP_S s{};
  if (control.autoMode) {
    // The mode travels with the control's value: the value in force goes back with the new flag.
    if (value != control.autoOn && value != control.autoOff) return STATUS_INVALID_PARAMETER;
    const NTSTATUS status = StandardRequest(filter, control, KSPROPERTY_TYPE_GET, &s);
    if (!NT_SUCCESS(status)) return status;
    if (!(s.Capabilities & kFlagsAuto)) return STATUS_NOT_SUPPORTED;
    const LONG current = s.Value;
    s = {};
    s.Value = current;
    s.Flags = value == control.autoOn ? kFlagsAuto : kFlagsManual;
    return StandardRequest(filter, control, KSPROPERTY_TYPE_SET, &s);
  }
  s.Value = value;
  s.Flags = kFlagsManual;
  return StandardRequest(filter, control, KSPROPERTY_TYPE_SET, &s);
}

NTSTATUS QueryControl(ksclient::KsObject& filter, const ControlName& control, ControlInfo* info) {
  if (control.set == ControlSet::kPrivate) {
    uint8_t block[kPrivateBlock] = {};
    const NTSTATUS status = PrivateRequest(filter, control, KSPROPERTY_TYPE_GET, block);
    if (!NT_SUCCESS(status)) return status;
    info->value = At<int32_t>(block, kPrivateValue);
    info->maximum = static_cast<int32_t>(At<int64_t>(block, kPrivateMaximum));
    info->minimum = static_cast<int32_t>(At<int64_t>(block, kPrivateMinimum));
    info->step = static_cast<int32_t>(At<int64_t>(block, kPrivateStep));
    info->defaultValue = static_cast<int32_t>(At<int64_t>(block, kPrivateDefault));
    info->hasRange = info->maximum > info->minimum;
    return status;
  }
  const NTSTATUS status = GetControl(filter, control, &info->value);
  if (!NT_SUCCESS(status)) return status;
  if (control.autoMode) {
    info->minimum = std::min(control.autoOn, control.autoOff);
    info->maximum = std::max(control.autoOn, control.autoOff);
    info->step = info->maximum - info->minimum;
    info->defaultValue = control.autoOn;
    info->hasRange = true;
    return status;
  }
  ksclient::Bytes description;
  if (NT_SUCCESS(filter.BasicSupport(SetGuid(control.set), control.id, &description)))
    info->hasRange = RangeFrom(description, info);
  if (NT_SUCCESS(filter.DefaultValues(SetGuid(control.set), control.id, &description))) DefaultFrom(description, info);
  return status;
}

std::string ControlFailure(NTSTATUS status) {
  char code[16];
  std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(status));
  switch (status) {
    case STATUS_NOT_SUPPORTED:
    case STATUS_NOT_FOUND:
    case STATUS_NOT_IMPLEMENTED:
    case STATUS_INVALID_DEVICE_REQUEST:
      return "not supported by this camera";
    case STATUS_INVALID_PARAMETER:
      return "refused by the driver as out of range";
    default:
      return std::string("refused by the camera (") + code + ")";
  }
}

}  // namespace kvz::capture
