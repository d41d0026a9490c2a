#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "simcam/payload_assembler.h"
#include "simcam/sim_camera.h"
#include "support/camera_requests.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

using testing::ClassGet;
using testing::ClassSet;
using testing::TestGuids;

constexpr uint16_t kCt = kCameraTerminalId << 8;
constexpr uint16_t kPu = kProcessingUnitId << 8;
constexpr uint16_t kErrorCode = VC_REQUEST_ERROR_CODE_CONTROL;

uint8_t ErrorCode(SimCamera& cam) { return ClassGet(cam, GET_CUR, kErrorCode, 0, 1).data.at(0); }

struct StallCase {
  const char* name;
  bool minimal;           // the camera without stills
  bool set;
  uint8_t request;        // GET_xxx (set: ignored)
  uint8_t selector;
  uint16_t wIndex;
  std::vector<uint8_t> data;  // SET_CUR data; GET: wLength = size
  uint8_t code;
};

const StallCase kStalls[] = {
    {"UnknownFormat", false, true, 0, VS_PROBE_CONTROL, 1, std::vector<uint8_t>{0, 0, 7, 1, 0x15, 0x16, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, UVC_ERROR_OUT_OF_RANGE},
    {"UnknownFrame", false, true, 0, VS_COMMIT_CONTROL, 1, std::vector<uint8_t>{0, 0, 1, 9, 0x15, 0x16, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, UVC_ERROR_OUT_OF_RANGE},
    {"UnknownStillSize", false, true, 0, VS_STILL_PROBE_CONTROL, 1, std::vector<uint8_t>{1, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0}, UVC_ERROR_OUT_OF_RANGE},
    {"CommitMin", false, false, GET_MIN, VS_COMMIT_CONTROL, 1, std::vector<uint8_t>(26), UVC_ERROR_INVALID_REQUEST},
    {"CommitDef", false, false, GET_DEF, VS_COMMIT_CONTROL, 1, std::vector<uint8_t>(26), UVC_ERROR_INVALID_REQUEST},
    {"StillCommitMax", false, false, GET_MAX, VS_STILL_COMMIT_CONTROL, 1, std::vector<uint8_t>(11), UVC_ERROR_INVALID_REQUEST},
    {"StillProbeWithoutStills", true, false, GET_CUR, VS_STILL_PROBE_CONTROL, 1, std::vector<uint8_t>(11), UVC_ERROR_INVALID_CONTROL},
    {"TriggerWithoutStills", true, true, 0, VS_STILL_IMAGE_TRIGGER_CONTROL, 1, std::vector<uint8_t>{1}, UVC_ERROR_INVALID_CONTROL},
    {"AeModeMin", false, false, GET_MIN, CT_AE_MODE_CONTROL, kCt, std::vector<uint8_t>(1), UVC_ERROR_INVALID_REQUEST},
    {"AeModeMax", false, false, GET_MAX, CT_AE_MODE_CONTROL, kCt, std::vector<uint8_t>(1), UVC_ERROR_INVALID_REQUEST},
    {"AeModeTwoBits", false, true, 0, CT_AE_MODE_CONTROL, kCt, std::vector<uint8_t>{0x09}, UVC_ERROR_INVALID_VALUE},
    {"AeModeUnsupported", false, true, 0, CT_AE_MODE_CONTROL, kCt, std::vector<uint8_t>{0x02}, UVC_ERROR_INVALID_VALUE},
    {"OutOfRange", false, true, 0, PU_BRIGHTNESS_CONTROL, kPu, std::vector<uint8_t>{100, 0}, UVC_ERROR_OUT_OF_RANGE},
    {"UnknownUnit", false, false, GET_CUR, 1, 0x0900, std::vector<uint8_t>(1), UVC_ERROR_INVALID_UNIT},
    {"UnknownSelector", false, false, GET_CUR, 0x1F, kPu, std::vector<uint8_t>(1), UVC_ERROR_INVALID_CONTROL},
    {"UnknownRequest", false, false, 0x99, PU_BRIGHTNESS_CONTROL, kPu, std::vector<uint8_t>(2), UVC_ERROR_INVALID_REQUEST},
    {"WhiteBalanceUnderAuto", false, true, 0, PU_WHITE_BALANCE_TEMPERATURE_CONTROL, kPu, std::vector<uint8_t>{0xD0, 0x0F}, UVC_ERROR_WRONG_STATE},
};

class StallTest : public ::testing::TestWithParam<StallCase> {};

TEST_P(StallTest, StallsAndRecordsTheErrorCode) {
  const StallCase& c = GetParam();
  SimCamera cam(c.minimal ? MinimalCamera() : HighSpeedIsochCamera(TestGuids()));
  cam.SetConfiguration(1, 0);
  testing::Commit(cam, 1, 1, 333333);
  const testing::Reply r = c.set ? ClassSet(cam, c.selector, c.wIndex, c.data)
                                 : ClassGet(cam, c.request, c.selector, c.wIndex, static_cast<uint16_t>(c.data.size()));
  EXPECT_TRUE(r.Stalled());
  EXPECT_EQ(ErrorCode(cam), c.code);
  EXPECT_EQ(ErrorCode(cam), c.code);  // reading the code leaves it
  EXPECT_TRUE(ClassGet(cam, GET_CUR, PU_CONTRAST_CONTROL, kPu, 2).Ok());
  EXPECT_EQ(ErrorCode(cam), UVC_ERROR_NONE);  // the next good request clears it
}

INSTANTIATE_TEST_SUITE_P(Rules, StallTest, ::testing::ValuesIn(kStalls),
                         [](const ::testing::TestParamInfo<StallCase>& i) { return std::string(i.param.name); });

TEST(UvcRules, AutoModeDisablesItsManualControl) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  auto info = [&](uint8_t selector, uint16_t unit) { return ClassGet(cam, GET_INFO, selector, unit, 1).data.at(0); };
  // Manual exposure: settable.
  EXPECT_EQ(info(CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, kCt) & UVC_INFO_DISABLED_BY_AUTO, 0);
  EXPECT_TRUE(ClassSet(cam, CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, kCt, {100, 0, 0, 0}).Ok());
  // Aperture priority: exposure runs by itself.
  ASSERT_TRUE(ClassSet(cam, CT_AE_MODE_CONTROL, kCt, {0x08}).Ok());
  EXPECT_NE(info(CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, kCt) & UVC_INFO_DISABLED_BY_AUTO, 0);
  EXPECT_TRUE(ClassSet(cam, CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, kCt, {50, 0, 0, 0}).Stalled());
  EXPECT_EQ(cam.ControlCurrent(kCameraTerminalId, CT_EXPOSURE_TIME_ABSOLUTE_CONTROL), (std::vector<uint8_t>{100, 0, 0, 0}));
  // White balance: automatic by default, manual once auto is off.
  EXPECT_NE(info(PU_WHITE_BALANCE_TEMPERATURE_CONTROL, kPu) & UVC_INFO_DISABLED_BY_AUTO, 0);
  ASSERT_TRUE(ClassSet(cam, PU_WHITE_BALANCE_TEMPERATURE_AUTO_CONTROL, kPu, {0}).Ok());
  EXPECT_EQ(info(PU_WHITE_BALANCE_TEMPERATURE_CONTROL, kPu) & UVC_INFO_DISABLED_BY_AUTO, 0);
  EXPECT_TRUE(ClassSet(cam, PU_WHITE_BALANCE_TEMPERATURE_CONTROL, kPu, {0xD0, 0x0F}).Ok());
}

TEST(UvcRules, StateLostInD3OnlyWhenAsked) {
  for (bool lose : {false, true}) {
    CameraOptions options;
    options.loseStateInD3 = lose;
    SimCamera cam(HighSpeedIsochCamera(TestGuids()), options);
    cam.SetConfiguration(1, 0);
    testing::Commit(cam, 1, 2, 333333);
    cam.SetInterface(1, 5, 0);
    ASSERT_TRUE(ClassSet(cam, PU_BRIGHTNESS_CONTROL, kPu, {7, 0}).Ok());
    cam.PowerChanged(PowerDeviceD3, 10);
    cam.PowerChanged(PowerDeviceD0, 20);
    const CameraSnapshot s = cam.Snapshot();
    EXPECT_TRUE(s.configured);
    EXPECT_EQ(s.streamingAlternate, 5);
    EXPECT_EQ(s.committed, !lose);
    EXPECT_EQ(s.streaming, !lose);
    EXPECT_EQ(+s.commit.bFrameIndex, lose ? 1 : 2);
    EXPECT_EQ(cam.ControlCurrent(kProcessingUnitId, PU_BRIGHTNESS_CONTROL), (std::vector<uint8_t>{uint8_t(lose ? 0 : 7), 0}));
  }
}

TEST(UvcRules, IsochronousDataWithoutATransferIsLost) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.SetConfiguration(1, 0);
  testing::Commit(cam, 1, 3, 333333);  // 160x120: 512-byte payloads
  cam.SetInterface(1, 2, 0);
  PayloadAssembler assembler;
  std::vector<uint8_t> p(512);
  uint64_t frame = 0;
  for (int i = 0; i < 8 * 80; ++i, ++frame) {
    if (i == 20) frame += 10;  // ten microframes with nothing queued, inside the first frame
    const usb::IsochPacketResult r = cam.IsochInPacket(kVideoEndpoint, frame, frame * 1250, p.data(), 512);
    assembler.Add(p.data(), r.length, frame * 1250);
  }
  ASSERT_GE(assembler.Frames().size(), 2u);
  EXPECT_TRUE(assembler.Frames()[0].endOfFrame);
  EXPECT_EQ(assembler.Frames()[0].data.size(), 160u * 120 * 2 - 10 * 500);
  EXPECT_EQ(assembler.Frames()[1].data.size(), 160u * 120 * 2);
}

TEST(UvcRules, BulkReadsFollowPackets) {
  SimCamera cam(BulkCamera(TestGuids()));
  cam.SetConfiguration(1, 0);
  const UVC_VIDEO_PROBE_COMMIT c = testing::Commit(cam, 1, 3, 333333);  // 38400 + 12 bytes: one payload
  ASSERT_EQ(+c.dwMaxPayloadTransferSize, 38412u);
  std::vector<uint8_t> buffer(65536);
  uint64_t now = 0;
  auto read = [&](uint32_t capacity) {
    for (int i = 0; i < 100; ++i) {
      usb::StreamResult r = cam.StreamIn(kVideoEndpoint, now, buffer.data(), capacity);
      if (r.ready) return r.outcome.completion;
      now = r.readyAt;
    }
    return usb::Completion{STATUS_UNSUCCESSFUL, 0, 0};
  };
  // 1024 bytes (two packets) first, then the rest without a header, ended by its short last packet.
  usb::Completion first = read(1024);
  EXPECT_EQ(first.length, 1024u);
  EXPECT_EQ(buffer[0], 12);
  EXPECT_TRUE(buffer[1] & UVC_STREAM_EOH);
  usb::Completion rest = read(65536);
  EXPECT_EQ(rest.irpStatus, STATUS_SUCCESS);
  EXPECT_EQ(rest.length, 38412u - 1024);
  // The next read begins with the next frame's header.
  EXPECT_EQ(read(65536).length, 38412u);
  EXPECT_EQ(buffer[0], 12);
}

TEST(UvcRules, BulkStreamStopsUntilTheNextCommit) {
  const std::function<void(SimCamera&)> stops[] = {
      [](SimCamera& cam) { cam.SetInterface(1, 0, 0); },
      [](SimCamera& cam) {
        USB_DEFAULT_PIPE_SETUP_PACKET clear{0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, kVideoEndpoint, 0};
        uint8_t none = 0;
        cam.Control(clear, &none, 0);
      },
      [](SimCamera& cam) { cam.PipeReset(kVideoEndpoint, 0); },
  };
  for (size_t i = 0; i < 3; ++i) {
    SimCamera cam(BulkCamera(TestGuids()));
    cam.SetConfiguration(1, 0);
    testing::Commit(cam, 1, 3, 333333);
    std::vector<uint8_t> buffer(65536);
    ASSERT_TRUE(cam.StreamIn(kVideoEndpoint, 0, buffer.data(), 65536).ready);
    stops[i](cam);
    EXPECT_FALSE(cam.Snapshot().streaming) << i;
    const usb::StreamResult idle = cam.StreamIn(kVideoEndpoint, 10000000, buffer.data(), 65536);
    EXPECT_FALSE(idle.ready) << i;
    EXPECT_EQ(idle.readyAt, 0u) << i;  // nothing will come by itself
    testing::Commit(cam, 1, 3, 333333, 10000000);
    EXPECT_TRUE(cam.StreamIn(kVideoEndpoint, 10000000, buffer.data(), 65536).ready) << i;
  }
}

}  // namespace
}  // namespace kvz::simcam
