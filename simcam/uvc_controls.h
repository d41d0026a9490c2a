// The camera's UVC controls: per entity and selector the length, the capabilities and the
// minimum, maximum, resolution, default and current values, with the class requests on them.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "simcam/descriptor_layout.h"
#include "uvc.h"

namespace kvz::simcam {

struct ControlValue {
  uint16_t length = 0;
  uint8_t info = 0x03;     // GET_INFO: get and set supported
  uint16_t fieldSize = 0;  // range checks per field of this many bytes (0: the whole length, up to 4)
  bool isSigned = false;
  bool checkRange = true;  // SET_CUR refuses values outside [min, max]
  bool bitmap = false;     // GET_RES lists the allowed values as bits; SET_CUR takes one of them, no GET_MIN/MAX
  std::vector<uint8_t> min, max, res, def, cur;
};

// A little-endian value of n bytes (n <= 8).
std::vector<uint8_t> EncodeValue(int64_t value, uint16_t length);
int64_t DecodeValue(const std::vector<uint8_t>& bytes, size_t offset, size_t size, bool isSigned);

// A scalar control with its range; fieldSize defaults to the whole length.
ControlValue MakeRangeControl(uint16_t length, int64_t min, int64_t max, int64_t res, int64_t def,
                              bool isSigned = false, uint16_t fieldSize = 0);

// kOk, or the bRequestErrorCode of the stall.
enum class ControlAnswer : uint8_t {
  kOk = UVC_ERROR_NONE,
  kWrongState = UVC_ERROR_WRONG_STATE,
  kOutOfRange = UVC_ERROR_OUT_OF_RANGE,
  kInvalidControl = UVC_ERROR_INVALID_CONTROL,
  kInvalidRequest = UVC_ERROR_INVALID_REQUEST,
  kInvalidValue = UVC_ERROR_INVALID_VALUE,
  kStall = UVC_ERROR_UNKNOWN,
};

// A manual control that the camera drives itself while an auto control says so.
struct AutoCoupling {
  uint8_t autoEntity, autoSelector;
  uint8_t autoValues;  // the auto control's value is "auto" when it shares a bit with this mask
  uint8_t entity, selector;
};

class ControlTable {
 public:
  void Set(uint8_t entity, uint8_t selector, ControlValue value) { controls_[{entity, selector}] = std::move(value); }
  ControlValue* Find(uint8_t entity, uint8_t selector);
  const ControlValue* Find(uint8_t entity, uint8_t selector) const;

  // Standard controls of the camera terminal and processing unit for the bits their bmControls set,
  // with the auto controls that take over their manual ones.
  void AddStandardControls(const DescriptorLayout& layout);
  // True while an auto control drives this one: GET_INFO says so and SET_CUR stalls.
  bool DisabledByAuto(uint8_t entity, uint8_t selector) const;

  // GET_xxx: writes the answer into data and its length into *length (at most wLength; strict
  // mode stalls a wLength other than the control's length). SET_CUR: checks the length the same
  // way and every field against the range.
  ControlAnswer Get(uint8_t entity, uint8_t selector, uint8_t request, uint8_t* data, uint16_t wLength,
                    bool strict, uint32_t* length) const;
  ControlAnswer SetCur(uint8_t entity, uint8_t selector, const uint8_t* data, uint16_t wLength, bool strict);

  const std::map<std::pair<uint8_t, uint8_t>, ControlValue>& All() const { return controls_; }
  std::map<std::pair<uint8_t, uint8_t>, ControlValue>& Mutable() { return controls_; }

 private:
  std::map<std::pair<uint8_t, uint8_t>, ControlValue> controls_;
  std::vector<AutoCoupling> couplings_;
};

}  // namespace kvz::simcam
