// The video-procamp set through the client: ranges from the camera, range-checked sets that are
// stored and saved, colour enable carried by saturation, white balance with its automatic
// switch and power-line frequency with the driver's own detection.
#include "control_bench.h"
#include "driver/controls/camera_control_handler.h"
#include "driver/controls/video_proc_amp_handler.h"
#include "driver/settings/device_settings.h"
#include "ksmedia.h"
#include "uvc.h"

namespace kvz::drivertest {
namespace {

const GUID& kSet = PROPSETID_VIDCAP_VIDEOPROCAMP;
constexpr uint16_t kUnit = 0x0200;
constexpr uint16_t kSaturation = PU_SATURATION_CONTROL << 8;
constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;

int16_t Le16(const std::vector<uint8_t>& d) { return static_cast<int16_t>(d.at(0) | (d.at(1) << 8)); }

class VideoProcAmp : public ControlBench {
 protected:
  void StartWith(uint8_t selector, simcam::ControlValue value) {
    Start();
    camera_->Configure([&](simcam::CameraFaults&, simcam::ControlTable& controls, simcam::RegisterFile&,
                           simcam::CameraOptions&) { controls.Set(simcam::kProcessingUnitId, selector, value); });
    Restart();
  }
};

// A range read from the camera describes the item; a value outside it is refused, never sent,
// and leaves the stored value alone.
TEST_F(VideoProcAmp, CameraRangeDescribesAndGuardsAControl) {
  StartWith(PU_BRIGHTNESS_CONTROL, simcam::MakeRangeControl(2, -7, 9, 2, 3, true));
  Range range{};
  ASSERT_EQ(STATUS_SUCCESS, BasicRange(kSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &range));
  EXPECT_EQ(-7, range.minimum);
  EXPECT_EQ(9, range.maximum);
  EXPECT_EQ(2u, range.step);
  EXPECT_EQ(3, range.defaultValue);

  ClearRequests();
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -8));
  EXPECT_TRUE(Sets(PU_BRIGHTNESS_CONTROL << 8, kUnit).empty());
  EXPECT_EQ(3u, Stored(u"Brightness"));

  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -7));
  const auto sent = Sets(PU_BRIGHTNESS_CONTROL << 8, kUnit);
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(-7, Le16(sent[0].data));
  LONG value = 0;
  ULONG flags = 0, caps = 0;
  ASSERT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &value, &flags, &caps));
  EXPECT_EQ(-7, value);
  EXPECT_EQ(kManual, flags);
  EXPECT_EQ(kManual, caps);
}

// A control whose range the camera does not answer is not offered: no item, no control behind
// the property, and the settings loader sends it nothing (processing unit and camera terminal).
TEST_F(VideoProcAmp, ControlWithoutRangeIsNotOffered) {
  const struct {
    uint8_t selector;
    uint16_t index;
    const GUID& set;
    ULONG id;
  } cases[] = {
      {PU_BRIGHTNESS_CONTROL, kUnit, kSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS},
      {CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, 0x0100, PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(+c.selector);
    Start();
    simcam::RequestFault fault;
    fault.match.bRequest = GET_RES;
    fault.match.wValue = static_cast<uint16_t>(c.selector << 8);
    fault.count = 0;
    camera_->ArmRequestFault(fault);
    ClearRequests();
    Restart();
    Range range{};
    EXPECT_FALSE(NT_SUCCESS(BasicRange(c.set, c.id, &range)));
    EXPECT_TRUE(Sets(static_cast<uint16_t>(c.selector << 8), c.index).empty());
    const bool control = c.index == kUnit ? LastDevice()->GetVideoProcAmpHandler()->HasControl(c.id)
                                          : LastDevice()->GetCameraControlHandler()->HasControl(c.id);
    EXPECT_FALSE(control);
    Stop();
  }
}

// A set the camera refuses, or one outside the control's range, leaves the stored value as it
// was, so the settings save writes (and the next start loads) the last value that took.
TEST_F(VideoProcAmp, RefusedSetKeepsTheStoredValue) {
  const GUID& kCamera = PROPSETID_VIDCAP_CAMERACONTROL;
  constexpr uint16_t kTerminal = 0x0100;
  constexpr ULONG kCameraAuto = KSPROPERTY_CAMERACONTROL_FLAGS_AUTO;
  const struct {
    const char* what;
    const GUID& set;
    ULONG id;
    LONG taken;  // set first (manually), and stays
    LONG refused;
    ULONG refusedFlags;
    int refusedBy;  // the SET_CUR's wValue the camera stalls; -1: outside the control's range
    uint16_t index;
    const char16_t* name;
    uint32_t stored;
  } cases[] = {
      {"brightness one past its maximum", kSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 64, 65, kManual, -1, kUnit,
       u"Brightness", 64},
      {"brightness refused", kSet, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -64, 10, kManual, PU_BRIGHTNESS_CONTROL << 8,
       kUnit, u"Brightness", static_cast<uint32_t>(-64)},
      {"saturation refused", kSet, KSPROPERTY_VIDEOPROCAMP_SATURATION, 30, 40, kManual, kSaturation, kUnit,
       u"Saturation", 30},
      {"white balance refused", kSet, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 5000, 4500, kManual,
       PU_WHITE_BALANCE_TEMPERATURE_CONTROL << 8, kUnit, u"Whitebalance", 5000},
      {"power line refused", kSet, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY, 2, 1, kManual,
       PU_POWER_LINE_FREQUENCY_CONTROL << 8, kUnit, u"PowerLine_Frequency", 2},
      {"auto-exposure priority one past its maximum", kCamera, KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY, 1, 2,
       kManual, -1, kTerminal, u"LowLight", 1},
      {"auto-exposure priority refused", kCamera, KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY, 0, 1, kManual,
       CT_AE_PRIORITY_CONTROL << 8, kTerminal, u"LowLight", 0},
      {"manual exposure refused", kCamera, KSPROPERTY_CAMERACONTROL_EXPOSURE, -3, -5, kManual,
       CT_EXPOSURE_TIME_ABSOLUTE_CONTROL << 8, kTerminal, u"Exposal", static_cast<uint32_t>(-3)},
      {"automatic exposure refused: the exposure", kCamera, KSPROPERTY_CAMERACONTROL_EXPOSURE, -4, -7, kCameraAuto,
       CT_AE_MODE_CONTROL << 8, kTerminal, u"Exposal", static_cast<uint32_t>(-4)},
      {"automatic exposure refused: the mode", kCamera, KSPROPERTY_CAMERACONTROL_EXPOSURE, -4, -7, kCameraAuto,
       CT_AE_MODE_CONTROL << 8, kTerminal, u"AutoExposal", 2},
  };
  Start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(STATUS_SUCCESS, SetValue(c.set, c.id, c.taken, kManual));
    if (c.refusedBy >= 0) {
      simcam::RequestFault fault;
      fault.match.bRequest = SET_CUR;
      fault.match.wValue = c.refusedBy;
      fault.match.wIndex = c.index;
      camera_->ArmRequestFault(fault);
    }
    EXPECT_FALSE(NT_SUCCESS(SetValue(c.set, c.id, c.refused, c.refusedFlags)));
    LastDevice()->GetSettings()->SaveRegistryValues(1);
    EXPECT_EQ(c.stored, Stored(c.name));
  }
}

// A failed GET_CUR still answers the stored value.
TEST_F(VideoProcAmp, FailedReadAnswersTheStoredValue) {
  Start();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 42));
  simcam::RequestFault fault;
  fault.match.bRequest = GET_CUR;
  fault.match.wValue = PU_CONTRAST_CONTROL << 8;
  camera_->ArmRequestFault(fault);
  KSPROPERTY_VIDEOPROCAMP_S data{};
  data.Property.Set = kSet;
  data.Property.Id = KSPROPERTY_VIDEOPROCAMP_CONTRAST;
  EXPECT_EQ(STATUS_UNSUCCESSFUL,
            LastDevice()->GetVideoProcAmpHandler()->Get(&data.Property, &data, sizeof(data)));
  EXPECT_EQ(42, data.Value);
}

TEST_F(VideoProcAmp, ColourEnableSendsSaturationOrZeroAndTakesOnlyZeroOrOne) {
  Probe().loadAtStart = false;
  Start();
  // Building the set sends nothing.
  EXPECT_TRUE(Sets(kSaturation, kUnit).empty());
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_SATURATION, 40));
  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 0));
  EXPECT_EQ(0, Le16(Sets(kSaturation, kUnit).back().data));
  // Saturation while colour is off is stored and saved, not sent.
  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_SATURATION, 50));
  EXPECT_TRUE(Sets(kSaturation, kUnit).empty());
  EXPECT_EQ(50u, Stored(u"Saturation"));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 1));
  EXPECT_EQ(50, Le16(Sets(kSaturation, kUnit).back().data));
  ClearRequests();
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 2));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, -1));
  EXPECT_TRUE(Requests().empty());
  LONG value = 0;
  ASSERT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, &value));
  EXPECT_EQ(1, value);
}

TEST_F(VideoProcAmp, WhiteBalanceSwitchesTheCamerasAutomaticMode) {
  Start();
  const uint16_t autoSwitch = PU_WHITE_BALANCE_TEMPERATURE_AUTO_CONTROL << 8;
  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 4000, kAuto));
  ASSERT_FALSE(Sets(autoSwitch, kUnit).empty());
  EXPECT_EQ(1, Sets(autoSwitch, kUnit)[0].data.at(0));
  LONG value = 0;
  ULONG flags = 0, caps = 0;
  ASSERT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, &value, &flags, &caps));
  EXPECT_EQ(kAuto, flags);
  EXPECT_EQ(kAuto | kManual, caps);

  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 5000, kManual));
  ASSERT_FALSE(Sets(autoSwitch, kUnit).empty());
  EXPECT_EQ(0, Sets(autoSwitch, kUnit)[0].data.at(0));
  const auto temperature = Sets(PU_WHITE_BALANCE_TEMPERATURE_CONTROL << 8, kUnit);
  ASSERT_EQ(1u, temperature.size());
  EXPECT_EQ(5000, Le16(temperature[0].data));
  EXPECT_EQ(kManual, Stored(u"AutoWhiteBalance"));
}

TEST_F(VideoProcAmp, PowerLineZeroHandsDetectionToTheDriver) {
  Start();
  Range range{};
  ASSERT_EQ(STATUS_SUCCESS, BasicRange(kSet, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY, &range));
  EXPECT_EQ(0, range.minimum);
  EXPECT_EQ(2, range.maximum);
  EXPECT_EQ(1, range.defaultValue);
  const uint16_t powerLine = PU_POWER_LINE_FREQUENCY_CONTROL << 8;

  // Measuring (states 4 to 6): only the record changes; otherwise detection starts again.
  const struct {
    ULONG state;
    bool measuring;
  } states[] = {{3, false}, {4, true}, {5, true}, {6, true}, {7, false}, {0, false}};
  for (const auto& c : states) {
    SCOPED_TRACE(c.state);
    Probe().flickerState = c.state;
    Probe().redetectRequests = 0;
    Probe().scheduleRestarts = 0;
    ClearRequests();
    ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY, 0));
    EXPECT_EQ(c.measuring ? 0 : 1, Probe().redetectRequests);
    EXPECT_EQ(c.measuring ? 0 : 1, Probe().scheduleRestarts);
    EXPECT_TRUE(Sets(powerLine, kUnit).empty());
  }
  LONG value = -1;
  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY, &value));
  EXPECT_EQ(0, value);
  EXPECT_TRUE(Requests().empty());

  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY, 2));
  EXPECT_EQ(2, Probe().redetectRequests);
  ASSERT_EQ(1u, Sets(powerLine, kUnit).size());
  EXPECT_EQ(2, Sets(powerLine, kUnit)[0].data.at(0));
  EXPECT_EQ(2u, Stored(u"PowerLine_Frequency"));
}

// Without D12 the camera has no automatic white balance; without D9 there is no gain; without
// D3 there is no saturation to carry colour enable, which is then not offered either.
TEST_F(VideoProcAmp, MissingBitsMeanMissingProperties) {
  simcam::CameraDescription description = simcam::HighSpeedIsochDescription(DriverGuids());
  description.processingUnitControls &= ~((1u << 12) | (1u << 9) | (1u << 3));
  Start(description);
  LONG value = 0;
  ULONG flags = 0, caps = 0;
  ASSERT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, &value, &flags, &caps));
  EXPECT_EQ(kManual, caps);
  EXPECT_EQ(STATUS_NOT_FOUND, GetValue(kSet, KSPROPERTY_VIDEOPROCAMP_GAIN, &value));
  EXPECT_EQ(STATUS_NOT_FOUND, GetValue(kSet, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, &value));
  EXPECT_EQ(STATUS_NOT_FOUND, SetValue(kSet, KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 0));
  EXPECT_FALSE(LastDevice()->GetVideoProcAmpHandler()->HasControl(KSPROPERTY_VIDEOPROCAMP_COLORENABLE));
  EXPECT_TRUE(Sets(kSaturation, kUnit).empty());
}

}  // namespace
}  // namespace kvz::drivertest
