// A control value the client sets while the capture pin is stopped is the value in force once the
// pin runs (RUN reloads the stored values into the camera), and it is still the value after the
// stream stopped and ran again.
#include "camera_controls.h"
#include "e2e_bench.h"

namespace kvz::e2e {
namespace {

struct ControlCase {
  const char* name;
  // Where the camera holds the value (processing unit 2, camera terminal 1); entity 0: the
  // driver keeps it, or the camera holds it in other units.
  uint8_t entity;
  uint8_t selector;
};

class ControlBeforeRunTest : public E2eBench, public ::testing::WithParamInterface<ControlCase> {};

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
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
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
}

constexpr uint8_t kTerminal = 1, kProcessing = 2;

INSTANTIATE_TEST_SUITE_P(
    Controls, ControlBeforeRunTest,
    ::testing::Values(ControlCase{"brightness", kProcessing, 0x02}, ControlCase{"contrast", kProcessing, 0x03},
                      ControlCase{"hue", kProcessing, 0x06}, ControlCase{"saturation", kProcessing, 0x07},
                      ControlCase{"sharpness", kProcessing, 0x08}, ControlCase{"gamma", kProcessing, 0x09},
                      ControlCase{"backlight_compensation", kProcessing, 0x01},
                      ControlCase{"power_line_frequency", kProcessing, 0x05}, ControlCase{"exposure_absolute", 0, 0},
                      ControlCase{"privacy", 0, 0}, ControlCase{"exposure_auto_priority", kTerminal, 0x03},
                      ControlCase{"zoom_absolute", 0, 0}, ControlCase{"pan_absolute", 0, 0},
                      ControlCase{"tilt_absolute", 0, 0}, ControlCase{"horizontal_flip", 0, 0},
                      ControlCase{"vertical_flip", 0, 0}, ControlCase{"digital_zoom", 0, 0},
                      ControlCase{"digital_pan", 0, 0}, ControlCase{"digital_tilt", 0, 0}, ControlCase{"rotate", 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::e2e
