// Control values between the registry and the camera: first run, stored and missing values,
// wrong types, the rules of the load, and the save.
#include <cstring>
#include <string>

#include "control_bench.h"
#include "driver/settings/device_settings.h"
#include "kernel_checks.h"
#include "kvz/registry_testing.h"
#include "uvc.h"

namespace kvz {

template <>
struct TestSeam<DeviceSettings> {
  static PUNICODE_STRING ControlKey(DeviceSettings& settings) { return &settings.controlKey_; }
};

}  // namespace kvz

namespace kvz::drivertest {
namespace {

constexpr uint16_t kUnit = 0x0200;
constexpr uint16_t kTerminal = 0x0100;
constexpr uint16_t kContrast = PU_CONTRAST_CONTROL << 8;
constexpr uint16_t kSaturation = PU_SATURATION_CONTROL << 8;
constexpr uint16_t kPowerLine = PU_POWER_LINE_FREQUENCY_CONTROL << 8;
constexpr uint16_t kAutoWhiteBalance = PU_WHITE_BALANCE_TEMPERATURE_AUTO_CONTROL << 8;
constexpr uint16_t kExposure = CT_EXPOSURE_TIME_ABSOLUTE_CONTROL << 8;
constexpr uint16_t kAeMode = CT_AE_MODE_CONTROL << 8;

int32_t Le(const std::vector<uint8_t>& d) {
  int32_t v = 0;
  memcpy(&v, d.data(), std::min<size_t>(d.size(), 4));
  if (d.size() == 2) v = static_cast<int16_t>(v);
  return v;
}

// The value of the last SET_CUR of a control, or nullopt when none was sent.
std::optional<int32_t> LastSent(const ControlBench& bench, const std::vector<ClassRequest>& sets) {
  (void)bench;
  if (sets.empty()) return std::nullopt;
  return Le(sets.back().data);
}

class DeviceSettingsLoad : public ControlBench {
 protected:
  std::optional<int32_t> Sent(uint16_t value, uint16_t index) const { return LastSent(*this, Sets(value, index)); }
};

// The first start takes the camera's own defaults, stores them and clears the install flag; the
// next start uses what is stored.
TEST_F(DeviceSettingsLoad, FirstRunStoresTheCamerasDefaults) {
  Store(u"InstallFlag", 1);
  Start();
  EXPECT_EQ(0u, Stored(u"InstallFlag"));
  EXPECT_EQ(50u, Stored(u"Contrast"));
  EXPECT_EQ(300u, Stored(u"Gamma"));
  EXPECT_EQ(static_cast<uint32_t>(-6), Stored(u"Exposal"));  // the camera's 156
  EXPECT_EQ(50, Sent(kContrast, kUnit));

  Store(u"Contrast", 70);
  ClearRequests();
  Restart();
  EXPECT_EQ(70, Sent(kContrast, kUnit));
  EXPECT_EQ(70u, Stored(u"Contrast"));
}

TEST_F(DeviceSettingsLoad, FailedFirstRunDefaultWritesNothing) {
  Store(u"InstallFlag", 1);
  Probe().loadAtStart = false;
  Start();
  simcam::RequestFault fault;
  fault.match.bRequest = GET_DEF;
  fault.match.wValue = kContrast;
  camera_->ArmRequestFault(fault);
  ClearRequests();
  LastDevice()->GetSettings()->LoadRegistryValues(LastDevice());
  EXPECT_EQ(300u, Stored(u"Gamma"));
  EXPECT_FALSE(Stored(u"Contrast").has_value());
  EXPECT_EQ(50, Sent(kContrast, kUnit));  // the range's default
}

// Stored values outside the camera's range, of the wrong type or missing take the default.
TEST_F(DeviceSettingsLoad, BadOrMissingValuesTakeTheirDefaults) {
  Store(u"Contrast", 500);
  kernel::SetRegistryString(ValuesKey(), u"Gamma", u"bright");
  kernel::SetRegistryString(ValuesKey(), u"AutoExposal", u"12345678901234567890");
  kernel::SetRegistryBinary(ValuesKey(), u"Sharpness", {1, 2});
  Start();
  EXPECT_EQ(50, Sent(kContrast, kUnit));
  EXPECT_EQ(300, Sent(PU_GAMMA_CONTROL << 8, kUnit));
  EXPECT_EQ(3, Sent(PU_SHARPNESS_CONTROL << 8, kUnit));
  EXPECT_EQ(8, Sent(kAeMode, kTerminal));  // automatic
  EXPECT_EQ(64, Sent(kSaturation, kUnit));  // colour enable defaults to 1
}

TEST_F(DeviceSettingsLoad, LoadRulesForSaturationPowerLineAndExposure) {
  struct Case {
    const char* what;
    std::vector<std::pair<std::u16string, uint32_t>> stored;
    uint16_t value, index;
    std::vector<int32_t> sent;  // every SET_CUR of that control at load, in order
  };
  const Case cases[] = {
      {"colour off", {{u"Saturation", 40}, {u"Colorenable", 0}}, kSaturation, kUnit, {40, 0}},
      {"4K panel", {{u"Saturation", 20}, {u"4KPanel", 1}}, kSaturation, kUnit, {7, 7}},
      {"4K panel low", {{u"Saturation", 10}, {u"4KPanel", 1}}, kSaturation, kUnit, {0, 0}},
      {"4K panel, one above the offset", {{u"Saturation", 14}, {u"4KPanel", 1}}, kSaturation, kUnit, {1, 1}},
      {"4K panel, at the offset", {{u"Saturation", 13}, {u"4KPanel", 1}}, kSaturation, kUnit, {0, 0}},
      {"outdoor", {{u"Powerline_Frequency", 2}, {u"OutDoor", 1}}, kPowerLine, kUnit, {0}},
      {"detected", {{u"Powerline_Frequency", 0}, {u"FlickerDetectValue", 2}}, kPowerLine, kUnit, {2}},
      {"manual exposure", {{u"AutoExposal", 0}, {u"Exposal", static_cast<uint32_t>(-6)}}, kExposure, kTerminal,
       {156, 156}},
      {"automatic white balance", {{u"AutoWhiteBalance", 1}}, kAutoWhiteBalance, kUnit, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kernel::ResetRegistry();
    kernel::CreateRegistryKey(ValuesKey());
    for (const auto& [name, value] : c.stored) Store(name, value);
    Start();
    std::vector<int32_t> sent;
    for (const ClassRequest& r : Sets(c.value, c.index)) sent.push_back(Le(r.data));
    EXPECT_EQ(c.sent, sent);
    Stop();
  }
}

// A control that was not built (PPTCFG key 0 here) is neither read nor sent.
TEST_F(DeviceSettingsLoad, ControlsThatWereNotBuiltAreNotSent) {
  WriteSystemFile("PPTCFG.CFG",
                  "[KSPROPERTY_VIDCAP_VIDEOPROCAMP]\r\nBRIGHTNESS=0\r\nPOWERLINE_FREQUENCY=0\r\n"
                  "[KSPROPERTY_VIDCAP_CAMERACONTROL]\r\nEXPOSURE=0\r\n");
  Start();
  EXPECT_TRUE(Sets(PU_BRIGHTNESS_CONTROL << 8, kUnit).empty());
  EXPECT_TRUE(Sets(kPowerLine, kUnit).empty());
  EXPECT_TRUE(Sets(kExposure, kTerminal).empty());
  EXPECT_TRUE(Sets(kAeMode, kTerminal).empty());
  EXPECT_FALSE(Sets(kContrast, kUnit).empty());
}

// The save writes the values a restart loads back.
TEST_F(DeviceSettingsLoad, SaveAndLoadRoundTrip) {
  Start();
  DeviceSettings* settings = LastDevice()->GetSettings();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE, -90));
  ASSERT_EQ(STATUS_SUCCESS, SetValue(PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_EXPOSURE, -4, 2));
  StoreSetting(settings->hFlip, 1);
  kernel::DeleteRegistryValue(ValuesKey(), u"HFlip");
  EXPECT_EQ(STATUS_SUCCESS, settings->SaveRegistryValues(0));
  EXPECT_FALSE(Stored(u"HFlip").has_value());
  EXPECT_EQ(STATUS_SUCCESS, settings->SaveRegistryValues(1));
  EXPECT_EQ(1u, Stored(u"HFlip"));
  EXPECT_EQ(static_cast<uint32_t>(-90), Stored(u"Hue"));
  EXPECT_EQ(static_cast<uint32_t>(-4), Stored(u"Exposal"));

  StoreSetting(settings->hFlip, 0);
  ClearRequests();
  Restart();
  EXPECT_EQ(1, LoadSetting(settings->hFlip));
  EXPECT_EQ(-90, Sent(PU_HUE_CONTROL << 8, kUnit));
  EXPECT_EQ(625, Sent(kExposure, kTerminal));
  EXPECT_EQ(1, Sent(kAeMode, kTerminal));
}

// Every value the save writes is the value the start loaded: ranged controls stored at the
// camera's minimum or maximum, the others off their defaults.
TEST_F(DeviceSettingsLoad, EverySavedValueIsLoadedAndSavedUnchanged) {
  const std::pair<std::u16string, int32_t> saved[] = {
      {u"Brightness", -64},     {u"Contrast", 100},        {u"Hue", -180},      {u"Saturation", 100},
      {u"Sharpness", 0},        {u"Gamma", 500},           {u"Gain", 100},      {u"Whitebalance", 2800},
      {u"BackLight", 2},        {u"PowerLine_Frequency", 0}, {u"Exposal", -1},  {u"HFlip", 1},
      {u"VFlip", 1},            {u"LowLight", 1},          {u"Rotation", 3},    {u"PrivacyFlag", 1},
      {u"Colorenable", 0},      {u"AutoExposal", 0},       {u"AutoWhiteBalance", 1}, {u"ImageQuality", 0},
      {u"OutDoor", 1},          {u"FlickerDetectValue", 2},
  };
  for (const auto& [name, value] : saved) Store(name, static_cast<uint32_t>(value));
  Start();
  for (const auto& [name, value] : saved) kernel::DeleteRegistryValue(ValuesKey(), name);
  EXPECT_EQ(STATUS_SUCCESS, LastDevice()->GetSettings()->SaveRegistryValues(1));
  for (const auto& [name, value] : saved)
    EXPECT_EQ(static_cast<uint32_t>(value), Stored(name)) << std::string(name.begin(), name.end());
}

// A path that does not fit its buffer is left empty rather than cut to another key.
TEST(DeviceSettingsPaths, TooLongDriverKeyLeavesThePathsEmpty) {
  {
    DeviceSettings settings;
    std::u16string key(300, u'x');
    settings.BuildRegistryPaths(key.c_str());
    EXPECT_EQ(0, settings.ValuesKey()->Length);
    EXPECT_EQ(0, TestSeam<DeviceSettings>::ControlKey(settings)->Length);
    EXPECT_EQ(0, settings.valuesPath[0]);
    settings.BuildRegistryPaths(u"{c}\\0001");
    EXPECT_EQ(std::u16string(u"\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{c}\\0001\\VIDEOPROCAMP"),
              std::u16string(settings.valuesPath));
  }
  EXPECT_CLEAN_UNLOAD();
}

}  // namespace
}  // namespace kvz::drivertest
