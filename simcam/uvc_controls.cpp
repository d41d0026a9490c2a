#include "simcam/uvc_controls.h"

#include <algorithm>
#include <cstring>

#include "uvc.h"

namespace kvz::simcam {
namespace {

struct StandardControl {
  unsigned bit;
  uint8_t selector;
  uint16_t length;
  int64_t min, max, res, def;
  bool isSigned;
  uint16_t fieldSize;
};

// Camera terminal bmControls bit -> control.
const StandardControl kCameraTerminal[] = {
    {0, CT_SCANNING_MODE_CONTROL, 1, 0, 1, 1, 0, false, 0},
    {1, CT_AE_MODE_CONTROL, 1, 1, 8, 0x09, 1, false, 0},  // manual or aperture priority; GET_RES is the bitmap
    {2, CT_AE_PRIORITY_CONTROL, 1, 0, 1, 1, 0, false, 0},
    {3, CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, 4, 1, 5000, 1, 156, false, 0},
    {4, CT_EXPOSURE_TIME_RELATIVE_CONTROL, 1, -1, 1, 1, 0, true, 0},
    {5, CT_FOCUS_ABSOLUTE_CONTROL, 2, 0, 250, 5, 0, false, 0},
    {6, CT_FOCUS_RELATIVE_CONTROL, 2, -1, 1, 1, 0, true, 1},
    {7, CT_IRIS_ABSOLUTE_CONTROL, 2, 0, 100, 1, 0, false, 0},
    {8, CT_IRIS_RELATIVE_CONTROL, 1, -1, 1, 1, 0, true, 0},
    {9, CT_ZOOM_ABSOLUTE_CONTROL, 2, 0, 10, 1, 0, false, 0},
    {10, CT_ZOOM_RELATIVE_CONTROL, 3, -1, 1, 1, 0, true, 1},
    {11, CT_PANTILT_ABSOLUTE_CONTROL, 8, -36000, 36000, 3600, 0, true, 4},
    {12, CT_PANTILT_RELATIVE_CONTROL, 4, -1, 1, 1, 0, true, 1},
    {13, CT_ROLL_ABSOLUTE_CONTROL, 2, -180, 180, 1, 0, true, 0},
    {14, CT_ROLL_RELATIVE_CONTROL, 2, -1, 1, 1, 0, true, 1},
    {17, CT_FOCUS_AUTO_CONTROL, 1, 0, 1, 1, 1, false, 0},
    {18, CT_PRIVACY_CONTROL, 1, 0, 1, 1, 0, false, 0},
};

// Processing unit bmControls bit -> control.
const StandardControl kProcessingUnit[] = {
    {0, PU_BRIGHTNESS_CONTROL, 2, -64, 64, 1, 0, true, 0},
    {1, PU_CONTRAST_CONTROL, 2, 0, 100, 1, 50, false, 0},
    {2, PU_HUE_CONTROL, 2, -180, 180, 1, 0, true, 0},
    {3, PU_SATURATION_CONTROL, 2, 0, 100, 1, 64, false, 0},
    {4, PU_SHARPNESS_CONTROL, 2, 0, 7, 1, 3, false, 0},
    {5, PU_GAMMA_CONTROL, 2, 100, 500, 1, 300, false, 0},
    {6, PU_WHITE_BALANCE_TEMPERATURE_CONTROL, 2, 2800, 6500, 10, 4600, false, 0},
    {7, PU_WHITE_BALANCE_COMPONENT_CONTROL, 4, 0, 255, 1, 128, false, 2},
    {8, PU_BACKLIGHT_COMPENSATION_CONTROL, 2, 0, 2, 1, 1, false, 0},
    {9, PU_GAIN_CONTROL, 2, 0, 100, 1, 0, false, 0},
    {10, PU_POWER_LINE_FREQUENCY_CONTROL, 1, 0, 2, 1, 1, false, 0},
    {11, PU_HUE_AUTO_CONTROL, 1, 0, 1, 1, 0, false, 0},
    {12, PU_WHITE_BALANCE_TEMPERATURE_AUTO_CONTROL, 1, 0, 1, 1, 1, false, 0},
    {13, PU_WHITE_BALANCE_COMPONENT_AUTO_CONTROL, 1, 0, 1, 1, 1, false, 0},
    {14, PU_DIGITAL_MULTIPLIER_CONTROL, 2, 1, 10, 1, 1, false, 0},
    {15, PU_DIGITAL_MULTIPLIER_LIMIT_CONTROL, 2, 1, 10, 1, 10, false, 0},
};

std::vector<uint8_t> Repeat(int64_t value, uint16_t length, uint16_t fieldSize) {
  std::vector<uint8_t> out;
  const uint16_t step = fieldSize ? fieldSize : length;
  for (uint16_t at = 0; at < length; at += step) {
    auto part = EncodeValue(value, std::min<uint16_t>(step, length - at));
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

}  // namespace

std::vector<uint8_t> EncodeValue(int64_t value, uint16_t length) {
  std::vector<uint8_t> out(length, 0);
  for (uint16_t i = 0; i < length && i < 8; ++i) out[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
  if (length > 8 && value < 0) std::fill(out.begin() + 8, out.end(), 0xFF);
  return out;
}

int64_t DecodeValue(const std::vector<uint8_t>& bytes, size_t offset, size_t size, bool isSigned) {
  uint64_t v = 0;
  for (size_t i = 0; i < size && i < 8 && offset + i < bytes.size(); ++i) v |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
  if (isSigned && size < 8 && size > 0 && (v >> (8 * size - 1)) & 1) v |= ~0ull << (8 * size);
  return static_cast<int64_t>(v);
}

ControlValue MakeRangeControl(uint16_t length, int64_t min, int64_t max, int64_t res, int64_t def, bool isSigned,
                              uint16_t fieldSize) {
  ControlValue c;
  c.length = length;
  c.fieldSize = fieldSize;
  c.isSigned = isSigned;
  c.min = Repeat(min, length, fieldSize);
  c.max = Repeat(max, length, fieldSize);
  c.res = Repeat(res, length, fieldSize);
  c.def = Repeat(def, length, fieldSize);
  c.cur = c.def;
  return c;
}

ControlValue* ControlTable::Find(uint8_t entity, uint8_t selector) {
  auto it = controls_.find({entity, selector});
  return it == controls_.end() ? nullptr : &it->second;
}

const ControlValue* ControlTable::Find(uint8_t entity, uint8_t selector) const {
  auto it = controls_.find({entity, selector});
  return it == controls_.end() ? nullptr : &it->second;
}

void ControlTable::AddStandardControls(const DescriptorLayout& layout) {
  for (const UnitLayout& u : layout.units) {
    const StandardControl* table = nullptr;
    size_t count = 0;
    if (u.subtype == VC_INPUT_TERMINAL && u.terminalType == ITT_CAMERA) {
      table = kCameraTerminal;
      count = sizeof(kCameraTerminal) / sizeof(kCameraTerminal[0]);
    } else if (u.subtype == VC_PROCESSING_UNIT) {
      table = kProcessingUnit;
      count = sizeof(kProcessingUnit) / sizeof(kProcessingUnit[0]);
    }
    for (size_t i = 0; i < count; ++i) {
      const StandardControl& s = table[i];
      if (!u.HasControlBit(s.bit) || Find(u.id, s.selector)) continue;
      ControlValue c = MakeRangeControl(s.length, s.min, s.max, s.res, s.def, s.isSigned, s.fieldSize);
      if (table == kCameraTerminal && s.selector == CT_AE_MODE_CONTROL) {
        c.bitmap = true;
        c.checkRange = false;
      }
      Set(u.id, s.selector, c);
    }
  }
  // AE mode bits: 1 manual, 2 auto, 4 shutter priority, 8 aperture priority.
  const UnitLayout* ct = nullptr;
  const UnitLayout* pu = nullptr;
  for (const UnitLayout& u : layout.units) {
    if (!ct && u.subtype == VC_INPUT_TERMINAL && u.terminalType == ITT_CAMERA) ct = &u;
    if (!pu && u.subtype == VC_PROCESSING_UNIT) pu = &u;
  }
  const AutoCoupling all[] = {
      {ct ? ct->id : uint8_t(0), CT_AE_MODE_CONTROL, 0x0A, ct ? ct->id : uint8_t(0), CT_EXPOSURE_TIME_ABSOLUTE_CONTROL},
      {ct ? ct->id : uint8_t(0), CT_AE_MODE_CONTROL, 0x0A, ct ? ct->id : uint8_t(0), CT_EXPOSURE_TIME_RELATIVE_CONTROL},
      {ct ? ct->id : uint8_t(0), CT_AE_MODE_CONTROL, 0x06, ct ? ct->id : uint8_t(0), CT_IRIS_ABSOLUTE_CONTROL},
      {ct ? ct->id : uint8_t(0), CT_AE_MODE_CONTROL, 0x06, ct ? ct->id : uint8_t(0), CT_IRIS_RELATIVE_CONTROL},
      {ct ? ct->id : uint8_t(0), CT_FOCUS_AUTO_CONTROL, 0x01, ct ? ct->id : uint8_t(0), CT_FOCUS_ABSOLUTE_CONTROL},
      {ct ? ct->id : uint8_t(0), CT_FOCUS_AUTO_CONTROL, 0x01, ct ? ct->id : uint8_t(0), CT_FOCUS_RELATIVE_CONTROL},
      {pu ? pu->id : uint8_t(0), PU_WHITE_BALANCE_TEMPERATURE_AUTO_CONTROL, 0x01, pu ? pu->id : uint8_t(0), PU_WHITE_BALANCE_TEMPERATURE_CONTROL},
      {pu ? pu->id : uint8_t(0), PU_WHITE_BALANCE_COMPONENT_AUTO_CONTROL, 0x01, pu ? pu->id : uint8_t(0), PU_WHITE_BALANCE_COMPONENT_CONTROL},
      {pu ? pu->id : uint8_t(0), PU_HUE_AUTO_CONTROL, 0x01, pu ? pu->id : uint8_t(0), PU_HUE_CONTROL},
  };
  for (const AutoCoupling& c : all)
    if (Find(c.autoEntity, c.autoSelector) && Find(c.entity, c.selector)) couplings_.push_back(c);
}

bool ControlTable::DisabledByAuto(uint8_t entity, uint8_t selector) const {
  for (const AutoCoupling& c : couplings_) {
    if (c.entity != entity || c.selector != selector) continue;
    const ControlValue* a = Find(c.autoEntity, c.autoSelector);
    if (a && !a->cur.empty() && (a->cur[0] & c.autoValues)) return true;
  }
  return false;
}

ControlAnswer ControlTable::Get(uint8_t entity, uint8_t selector, uint8_t request, uint8_t* data, uint16_t wLength,
                                bool strict, uint32_t* length) const {
  *length = 0;
  const ControlValue* c = Find(entity, selector);
  if (!c) return ControlAnswer::kInvalidControl;
  std::vector<uint8_t> answer;
  switch (request) {
    case GET_CUR: answer = c->cur; break;
    case GET_MIN: answer = c->min; break;
    case GET_MAX: answer = c->max; break;
    case GET_RES: answer = c->res; break;
    case GET_DEF: answer = c->def; break;
    case GET_LEN: answer = EncodeValue(c->length, 2); break;
    case GET_INFO: answer = {static_cast<uint8_t>(c->info | (DisabledByAuto(entity, selector) ? UVC_INFO_DISABLED_BY_AUTO : 0))}; break;
    default: return ControlAnswer::kInvalidRequest;
  }
  if (c->bitmap && (request == GET_MIN || request == GET_MAX)) return ControlAnswer::kInvalidRequest;
  if (request == GET_CUR && !(c->info & UVC_INFO_SUPPORTS_GET)) return ControlAnswer::kInvalidRequest;
  if (strict && wLength != answer.size()) return ControlAnswer::kInvalidRequest;
  const uint32_t n = std::min<uint32_t>(wLength, static_cast<uint32_t>(answer.size()));
  if (n) std::memcpy(data, answer.data(), n);
  *length = n;
  return ControlAnswer::kOk;
}

ControlAnswer ControlTable::SetCur(uint8_t entity, uint8_t selector, const uint8_t* data, uint16_t wLength,
                                   bool strict) {
  ControlValue* c = Find(entity, selector);
  if (!c) return ControlAnswer::kInvalidControl;
  if (!(c->info & UVC_INFO_SUPPORTS_SET)) return ControlAnswer::kInvalidRequest;
  if (strict && wLength != c->length) return ControlAnswer::kInvalidRequest;
  if (DisabledByAuto(entity, selector)) return ControlAnswer::kWrongState;
  std::vector<uint8_t> value = c->cur;
  value.resize(c->length, 0);
  if (wLength && c->length) std::memcpy(value.data(), data, std::min<size_t>(wLength, c->length));
  if (c->bitmap) {
    const uint8_t v = value.empty() ? 0 : value[0];
    if (v == 0 || (v & (v - 1)) != 0 || c->res.empty() || (v & c->res[0]) != v) return ControlAnswer::kInvalidValue;
  }
  if (c->checkRange && !c->min.empty() && !c->max.empty()) {
    const size_t step = c->fieldSize ? c->fieldSize : std::min<size_t>(c->length, 4);
    const size_t checked = c->fieldSize ? c->length : step;
    for (size_t at = 0; at + step <= checked; at += step) {
      const int64_t v = DecodeValue(value, at, step, c->isSigned);
      if (v < DecodeValue(c->min, at, step, c->isSigned) || v > DecodeValue(c->max, at, step, c->isSigned))
        return ControlAnswer::kOutOfRange;
    }
  }
  c->cur = std::move(value);
  return ControlAnswer::kOk;
}

}  // namespace kvz::simcam
