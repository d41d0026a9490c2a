// A control value the client sets while the capture pin is stopped is the value in force once the
// pin runs (RUN reloads the stored values into the camera), it is still the value after the
// stream stopped and ran again, and it is the one stored for the next start.
#include "camera_controls.h"
#include "e2e_bench.h"
#include "kvz/registry_testing.h"

namespace kvz::e2e {
namespace {

struct ControlCase {
  const char* name;
  // Where the camera holds the value (processing unit 2, camera terminal 1); entity 0: the
  // driver keeps it, or the camera holds it in other units.
  uint8_t entity;
  uint8_t selector;
  // The registry value that keeps it under the device's VIDEOPROCAMP key.
  const char16_t* stored;
};

class ControlBeforeRunTest : public E2eBench, public ::testing::WithParamInterface<ControlCase> {};

// The device's VIDEOPROCAMP key (under its driver key, whatever instance it was given).
std::u16string ValuesKey() {
  const std::u16string classes = u"\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class";
  for (const std::u16string& guid : kernel::RegistrySubkeyNames(classes))
    for (const std::u16string& instance : kernel::RegistrySubkeyNames(classes + u"\\" + guid)) {
      const std::u16string key = classes + u"\\" + guid + u"\\" + instance + u"\\VIDEOPROCAMP";
      if (kernel::RegistryKeyExists(key)) return key;
    }
  return {};
}

int32_t LittleEndian(const std::vector<uint8_t>& bytes) {
  if (bytes.size() == 1) return bytes[0];
  if (bytes.size() >= 2) return static_cast<int16_t>(bytes[0] | bytes[1] << 8);
  return INT32_MIN;
}

TEST_P(ControlBeforeRunTest, ValueSetWhileStoppedHoldsThroughRun) {
  ASSERT_TRUE(Boot("isoch"));
  const ControlCase& c = GetParam();
  const capture::ControlName* control = capture::FindControl(c.name);
  ASSERT_NE(nullptr, control);
  capture::ControlInfo info;
  ASSERT_EQ(STATUS_SUCCESS, capture::QueryControl(Filter(), *control, &info));
  // Any value of the range other than the one in force; switches without a range toggle.
  const int32_t wanted = !info.hasRange ? !info.value : info.value != info.maximum ? info.maximum : info.minimum;

  KsPinClient* pin = nullptr;
  VideoFormat f;
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, 320, 240, &pin, &f));
  ASSERT_EQ(STATUS_SUCCESS, capture::SetControl(Filter(), *control, wanted));
  // The first run's stop saves the settings: what it stores is what the next start loads. No
  // request reads the value back before that.
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
  ASSERT_EQ(2u, Read(*pin, 2, f.sizeImage).size());
  capture::StopPin(*pin);
  const auto stored = kernel::GetRegistryValue(ValuesKey(), c.stored);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(wanted, static_cast<int32_t>(stored->Dword())) << "stored";

  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
  ASSERT_EQ(2u, Read(*pin, 2, f.sizeImage).size());
  int32_t value = 0;
  ASSERT_EQ(STATUS_SUCCESS, capture::GetControl(Filter(), *control, &value));
  EXPECT_EQ(wanted, value);
  if (c.entity != 0) {
    EXPECT_EQ(wanted, LittleEndian(Camera().ControlCurrent(c.entity, c.selector))) << "in the camera";
  }
  capture::StopPin(*pin);
}

constexpr uint8_t kTerminal = 1, kProcessing = 2;

INSTANTIATE_TEST_SUITE_P(
    Controls, ControlBeforeRunTest,
    ::testing::Values(ControlCase{"brightness", kProcessing, 0x02, u"Brightness"},
                      ControlCase{"contrast", kProcessing, 0x03, u"Contrast"},
                      ControlCase{"hue", kProcessing, 0x06, u"Hue"},
                      ControlCase{"saturation", kProcessing, 0x07, u"Saturation"},
                      ControlCase{"sharpness", kProcessing, 0x08, u"Sharpness"},
                      ControlCase{"gamma", kProcessing, 0x09, u"Gamma"},
                      ControlCase{"white_balance_temperature", kProcessing, 0x0A, u"Whitebalance"},
                      ControlCase{"backlight_compensation", kProcessing, 0x01, u"BackLight"},
                      ControlCase{"power_line_frequency", kProcessing, 0x05, u"PowerLine_Frequency"},
                      ControlCase{"exposure_absolute", 0, 0, u"Exposal"}, ControlCase{"privacy", 0, 0, u"PrivacyFlag"},
                      ControlCase{"exposure_auto_priority", kTerminal, 0x03, u"LowLight"},
                      ControlCase{"zoom_absolute", 0, 0, u"ZoomScale"},
                      ControlCase{"pan_absolute", 0, 0, u"PanLeftRightSize"},
                      ControlCase{"tilt_absolute", 0, 0, u"PanUpDownSize"},
                      ControlCase{"horizontal_flip", 0, 0, u"HFlip"}, ControlCase{"vertical_flip", 0, 0, u"VFlip"},
                      ControlCase{"digital_zoom", 0, 0, u"ZoomScale"},
                      ControlCase{"digital_pan", 0, 0, u"PanLeftRightSize"},
                      ControlCase{"digital_tilt", 0, 0, u"PanUpDownSize"}, ControlCase{"rotate", 0, 0, u"Rotation"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::e2e
