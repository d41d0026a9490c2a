// The camera-control set through the client: exposure in logarithmic form with its automatic
// mode, privacy, auto-exposure priority and the driver's own zoom, pan, tilt and roll.
#include <cstring>

#include "control_bench.h"
#include "driver/controls/camera_control_handler.h"
#include "ksmedia.h"
#include "uvc.h"

namespace kvz::drivertest {
namespace {

const GUID& kSet = PROPSETID_VIDCAP_CAMERACONTROL;
constexpr ULONG kManual = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
constexpr ULONG kAuto = KSPROPERTY_CAMERACONTROL_FLAGS_AUTO;
constexpr uint16_t kExposureTime = CT_EXPOSURE_TIME_ABSOLUTE_CONTROL << 8;
constexpr uint16_t kAeMode = CT_AE_MODE_CONTROL << 8;
constexpr uint16_t kTerminal = 0x0100;

std::vector<uint8_t> Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

void SetExposureLimits(simcam::SimCamera& camera, int64_t min, int64_t max, int64_t def) {
  camera.Configure([&](simcam::CameraFaults&, simcam::ControlTable& controls, simcam::RegisterFile&,
                       simcam::CameraOptions&) {
    controls.Set(simcam::kCameraTerminalId, CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, simcam::MakeRangeControl(4, min, max, 1, def));
  });
}

using CameraControl = ControlBench;

TEST_F(CameraControl, ExposureIsDescribedAndSetInLogarithmicForm) {
  Start();
  Range range{};
  ASSERT_EQ(STATUS_SUCCESS, BasicRange(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, &range));
  // The camera's 1..5000 (default 156) in 100-us units.
  EXPECT_EQ(-13, range.minimum);
  EXPECT_EQ(-1, range.maximum);
  EXPECT_EQ(1u, range.step);
  EXPECT_EQ(-6, range.defaultValue);

  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, -3, kManual));
  ASSERT_EQ(1u, Sets(kAeMode, kTerminal).size());
  EXPECT_EQ(std::vector<uint8_t>{1}, Sets(kAeMode, kTerminal)[0].data);
  ASSERT_EQ(1u, Sets(kExposureTime, kTerminal).size());
  EXPECT_EQ(Le32(1250), Sets(kExposureTime, kTerminal)[0].data);
  EXPECT_EQ(2u, Stored(u"AutoExposal"));
  EXPECT_EQ(static_cast<uint32_t>(-3), Stored(u"Exposal"));

  LONG value = 0;
  ULONG flags = 0, caps = 0;
  ASSERT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, &value, &flags, &caps));
  EXPECT_EQ(-3, value);
  EXPECT_EQ(kManual, flags);
  EXPECT_EQ(kAuto | kManual, caps);

  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, 0, kAuto));
  ASSERT_EQ(1u, Sets(kAeMode, kTerminal).size());
  EXPECT_EQ(std::vector<uint8_t>{8}, Sets(kAeMode, kTerminal)[0].data);
  EXPECT_TRUE(Sets(kExposureTime, kTerminal).empty());
}

// Limits beyond 32767 units are long exposures: the range stays within -13..0 and a manual set
// reaches the camera as the time it stands for.
TEST_F(CameraControl, ExposureLimitsAboveSignedRangeStayPositiveTimes) {
  Store(u"AutoExposal", 2);
  simcam::CameraDescription description = simcam::HighSpeedIsochDescription(DriverGuids());
  Start(description);
  SetExposureLimits(*camera_, 1, 40000, 20000);
  Restart();
  Range range{};
  ASSERT_EQ(STATUS_SUCCESS, BasicRange(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, &range));
  EXPECT_EQ(-13, range.minimum);
  EXPECT_EQ(0, range.maximum);
  EXPECT_EQ(0, range.defaultValue);
  ClearRequests();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, 0, kManual));
  ASSERT_EQ(1u, Sets(kExposureTime, kTerminal).size());
  EXPECT_EQ(Le32(10000), Sets(kExposureTime, kTerminal)[0].data);
}

// The range is -13 (1) to -1 (5000): values beyond either end are stored and sent as that end.
TEST_F(CameraControl, ManualExposureIsClampedToTheCamerasRange) {
  Start();
  const struct {
    LONG value;
    LONG stored;
    uint32_t sent;
  } cases[] = {{-20, -13, 1}, {-14, -13, 1}, {-13, -13, 1}, {-1, -1, 5000}, {0, -1, 5000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ClearRequests();
    ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, c.value, kManual));
    ASSERT_EQ(1u, Sets(kExposureTime, kTerminal).size());
    EXPECT_EQ(Le32(c.sent), Sets(kExposureTime, kTerminal)[0].data);
    EXPECT_EQ(static_cast<uint32_t>(c.stored), Stored(u"Exposal"));
  }
}

// A terminal without the auto-exposure-mode control takes exposure as given and sends its time
// within the camera's limits: the camera's maximum itself (log -1, 5000) goes as it is, a value
// above it (0, one second) is stored as given and sent as the maximum.
TEST_F(CameraControl, ExposureWithoutAutoModeIsSentWithinTheCamerasMaximum) {
  simcam::CameraDescription description = simcam::HighSpeedIsochDescription(DriverGuids());
  description.cameraTerminalControls &= ~(1u << 1);
  Start(description);
  const struct {
    LONG value;
    uint32_t sent;
  } cases[] = {{-1, 5000}, {0, 5000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    ClearRequests();
    ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, c.value, kManual));
    EXPECT_TRUE(Sets(kAeMode, kTerminal).empty());
    ASSERT_EQ(1u, Sets(kExposureTime, kTerminal).size());
    EXPECT_EQ(Le32(c.sent), Sets(kExposureTime, kTerminal)[0].data);
    LONG value = 1;
    ULONG caps = 0;
    ASSERT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, &value, nullptr, &caps));
    EXPECT_EQ(c.value, value);
    EXPECT_EQ(kManual, caps);
  }
}

// With KSPROPERTY_TYPE_TOPOLOGY in its header the data is the node layout, which needs 48 bytes.
TEST_F(CameraControl, NodeLayoutTakesValueFlagsAndCapabilitiesFurtherOn) {
  Start();
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_CAMERACONTROL_ZOOM, 25));
  KSPROPERTY_CAMERACONTROL_NODE_S node{};
  node.NodeProperty.Property.Set = kSet;
  node.NodeProperty.Property.Id = KSPROPERTY_CAMERACONTROL_ZOOM;
  node.NodeProperty.Property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
  ASSERT_EQ(48u, sizeof(node));
  ASSERT_EQ(STATUS_SUCCESS, filter_->GetNode(0, kSet, KSPROPERTY_CAMERACONTROL_ZOOM, &node, sizeof(node)));
  EXPECT_EQ(25, node.Value);
  EXPECT_EQ(kManual, node.Flags);
  EXPECT_EQ(kManual, node.Capabilities);

  uint8_t shortData[40] = {};
  memcpy(shortData, &node, sizeof(shortData));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            filter_->GetNode(0, kSet, KSPROPERTY_CAMERACONTROL_ZOOM, shortData, sizeof(shortData)));
}

TEST_F(CameraControl, PrivacyTakesOnlyZeroOrOne) {
  Start();
  ClearRequests();
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SetValue(kSet, KSPROPERTY_CAMERACONTROL_PRIVACY, 2));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, SetValue(kSet, KSPROPERTY_CAMERACONTROL_PRIVACY, -1));
  EXPECT_TRUE(Requests().empty());
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_CAMERACONTROL_PRIVACY, 1));
  const auto sent = Sets(CT_PRIVACY_CONTROL << 8, kTerminal);
  ASSERT_EQ(1u, sent.size());
  EXPECT_EQ(1, sent[0].data[0]);
  EXPECT_EQ(1u, Stored(u"PrivacyFlag"));
  LONG value = 0;
  ASSERT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_CAMERACONTROL_PRIVACY, &value));
  EXPECT_EQ(1, value);
}

// The driver's own controls keep what they are given; the frame processor clamps on use.
TEST_F(CameraControl, DigitalControlsAreStoredAndPersisted) {
  Start();
  struct Case {
    ULONG id;
    LONG value;
    const char16_t* name;
  };
  const Case cases[] = {{KSPROPERTY_CAMERACONTROL_ZOOM, 99, u"ZoomScale"},
                        {KSPROPERTY_CAMERACONTROL_PAN, -16, u"PanLeftRightSize"},
                        {KSPROPERTY_CAMERACONTROL_TILT, 7, u"PanUpDownSize"},
                        {KSPROPERTY_CAMERACONTROL_ROLL, 3, u"Rotation"}};
  ClearRequests();
  for (const Case& c : cases) {
    ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, c.id, c.value));
    LONG value = 0;
    ASSERT_EQ(STATUS_SUCCESS, GetValue(kSet, c.id, &value));
    EXPECT_EQ(c.value, value);
    EXPECT_EQ(static_cast<uint32_t>(c.value), Stored(c.name));
  }
  EXPECT_TRUE(Requests().empty());
}

TEST_F(CameraControl, AutoExposurePriorityOutsideItsRangeIsRefused) {
  Start();
  ClearRequests();
  EXPECT_EQ(STATUS_UNSUCCESSFUL, SetValue(kSet, KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY, 2));
  EXPECT_TRUE(Requests().empty());
  ASSERT_EQ(STATUS_SUCCESS, SetValue(kSet, KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY, 0));
  EXPECT_EQ(1u, Sets(CT_AE_PRIORITY_CONTROL << 8, kTerminal).size());
}

// The property file switches a property off only with a present key of value 0.
TEST_F(CameraControl, PropertyFileRemovesPropertiesAndStreamStartSendsNothingForThem) {
  WriteSystemFile("PPTCFG.CFG", "[KSPROPERTY_VIDCAP_CAMERACONTROL]\r\nPRIVACY=0\r\nEXPOSURE=0\r\nZOOM=0\r\n");
  Start();
  LONG value = 0;
  EXPECT_EQ(STATUS_NOT_FOUND, GetValue(kSet, KSPROPERTY_CAMERACONTROL_PRIVACY, &value));
  EXPECT_EQ(STATUS_NOT_FOUND, GetValue(kSet, KSPROPERTY_CAMERACONTROL_EXPOSURE, &value));
  EXPECT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_CAMERACONTROL_ZOOM, &value));
  EXPECT_EQ(STATUS_SUCCESS, GetValue(kSet, KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY, &value));

  CameraControlHandler* handler = LastDevice()->GetCameraControlHandler();
  ClearRequests();
  EXPECT_EQ(STATUS_SUCCESS, handler->ApplyPrivacy());
  EXPECT_EQ(STATUS_SUCCESS, handler->ApplyManualExposure(-5));
  EXPECT_TRUE(Requests().empty());
}

}  // namespace
}  // namespace kvz::drivertest
