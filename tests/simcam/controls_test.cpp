#include <gtest/gtest.h>

#include "simcam/sim_camera.h"
#include "support/camera_requests.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

using testing::ClassGet;
using testing::ClassSet;
using testing::TestGuids;

constexpr uint16_t kPu = kProcessingUnitId << 8;
constexpr uint16_t kCt = kCameraTerminalId << 8;

int16_t S16(const std::vector<uint8_t>& b) { return static_cast<int16_t>(b.at(0) | b.at(1) << 8); }

struct RangeCase {
  uint16_t wIndex;
  uint8_t selector;
  uint16_t length;
  int64_t min, max, def;
};

class RangeTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(RangeTest, AnswersEveryGetAndChecksSetCur) {
  const RangeCase& c = GetParam();
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  auto value = [&](uint8_t request) { return DecodeValue(ClassGet(cam, request, c.selector, c.wIndex, c.length).data, 0, std::min<uint16_t>(c.length, 4), c.min < 0); };
  EXPECT_EQ(value(GET_MIN), c.min);
  EXPECT_EQ(value(GET_MAX), c.max);
  EXPECT_EQ(value(GET_DEF), c.def);
  EXPECT_EQ(value(GET_CUR), c.def);
  EXPECT_EQ(DecodeValue(ClassGet(cam, GET_LEN, c.selector, c.wIndex, 2).data, 0, 2, false), c.length);
  EXPECT_EQ(ClassGet(cam, GET_INFO, c.selector, c.wIndex, 1).data, std::vector<uint8_t>{3});

  EXPECT_TRUE(ClassSet(cam, c.selector, c.wIndex, EncodeValue(c.max, c.length)).Ok());
  EXPECT_EQ(value(GET_CUR), c.max);
  EXPECT_TRUE(ClassSet(cam, c.selector, c.wIndex, EncodeValue(c.max + 1, c.length)).Stalled());
  EXPECT_TRUE(ClassSet(cam, c.selector, c.wIndex, EncodeValue(c.min - 1, c.length)).Stalled());
  EXPECT_EQ(value(GET_CUR), c.max);
  EXPECT_EQ(cam.ControlCurrent(c.wIndex >> 8, c.selector), EncodeValue(c.max, c.length));
}

INSTANTIATE_TEST_SUITE_P(Controls, RangeTest,
                         ::testing::Values(RangeCase{kPu, PU_BRIGHTNESS_CONTROL, 2, -64, 64, 0},
                                           RangeCase{kPu, PU_CONTRAST_CONTROL, 2, 0, 100, 50},
                                           RangeCase{kPu, PU_POWER_LINE_FREQUENCY_CONTROL, 1, 0, 2, 1},
                                           RangeCase{kPu, PU_GAIN_CONTROL, 2, 0, 100, 0},
                                           RangeCase{kCt, CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, 4, 1, 5000, 156},
                                           RangeCase{kCt, CT_ZOOM_ABSOLUTE_CONTROL, 2, 0, 10, 0},
                                           RangeCase{kCt, CT_PRIVACY_CONTROL, 1, 0, 1, 0}));

TEST(Controls, LenientAnswersTheShorterLength) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  EXPECT_EQ(ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 1).data, std::vector<uint8_t>{50});
  EXPECT_EQ(ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 8).data.size(), 2u);
  // A one-byte SET_CUR of a two-byte control changes only its low byte.
  EXPECT_TRUE(ClassSet(cam, PU_CONTRAST_CONTROL, kPu, {7}).Ok());
  EXPECT_EQ(S16(ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 2).data), 7);
}

TEST(Controls, StrictStallsALengthMismatch) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()), CameraOptions{true});
  EXPECT_TRUE(ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 1).Stalled());
  EXPECT_TRUE(ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 4).Stalled());
  EXPECT_TRUE(ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 2).Ok());
  EXPECT_TRUE(ClassSet(cam, PU_CONTRAST_CONTROL, kPu, {7}).Stalled());
  EXPECT_TRUE(ClassSet(cam, PU_CONTRAST_CONTROL, kPu, {7, 0}).Ok());
}

TEST(Controls, UnknownControlsStall) {
  SimCamera cam(MinimalCamera());
  EXPECT_TRUE(ClassGet(cam, GET_CUR, PU_GAIN_CONTROL, kPu, 2).Stalled());  // not announced by this camera
  EXPECT_TRUE(ClassGet(cam, GET_CUR, 1, 0x0900, 1).Stalled());             // no unit 9
  EXPECT_TRUE(ClassGet(cam, 0x99, PU_BRIGHTNESS_CONTROL, kPu, 2).Stalled());
  EXPECT_TRUE(ClassGet(cam, GET_CUR, PU_BRIGHTNESS_CONTROL, kPu, 2).Ok());
}

TEST(Controls, ExtensionUnitLengthsAndLevels) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  const uint16_t vendor = static_cast<uint16_t>(cam.Profile().vendorUnitId << 8);
  const uint16_t test = static_cast<uint16_t>(cam.Profile().testUnitId << 8);
  struct { uint16_t unit; uint8_t selector; uint16_t length; } lengths[] = {
      {vendor, 1, 1}, {vendor, 2, 2}, {vendor, 3, 1}, {vendor, 27, 15}, {vendor, 28, 6}, {test, 3, 2}};
  for (auto l : lengths)
    EXPECT_EQ(DecodeValue(ClassGet(cam, GET_LEN, l.selector, l.unit, 2).data, 0, 2, false), l.length) << int(l.selector);
  EXPECT_EQ(ClassGet(cam, GET_CUR, 1, vendor, 1).data, std::vector<uint8_t>{1});
  EXPECT_EQ(ClassGet(cam, GET_CUR, 28, vendor, 6).data, (std::vector<uint8_t>{120, 0, 128, 0, 110, 0}));
  std::vector<uint8_t> window = {1, 1, 0, 90, 0, 0, 0, 0, 10, 0, 20, 0, 100, 0, 80};
  EXPECT_TRUE(ClassSet(cam, 27, vendor, window).Ok());
  EXPECT_EQ(cam.ControlCurrent(cam.Profile().vendorUnitId, 27), window);
  EXPECT_TRUE(ClassSet(cam, 3, test, {1, 2}).Stalled());  // the test result is read-only
}

TEST(Controls, LogRecordsRequestsAndAnswers) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  ClassSet(cam, PU_BRIGHTNESS_CONTROL, kPu, {5, 0}, 42);
  ClassGet(cam, GET_CUR, PU_BRIGHTNESS_CONTROL, kPu, 2, 43);
  const std::vector<LoggedRequest> log = cam.Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].time, 42u);
  EXPECT_EQ(log[0].setup.bRequest, SET_CUR);
  EXPECT_EQ(log[0].data, (std::vector<uint8_t>{5, 0}));
  EXPECT_EQ(log[1].setup.bmRequestType, 0xA1);
  EXPECT_EQ(log[1].data, (std::vector<uint8_t>{5, 0}));
}

}  // namespace
}  // namespace kvz::simcam
