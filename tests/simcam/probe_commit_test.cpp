#include <gtest/gtest.h>

#include <cstring>

#include "simcam/sim_camera.h"
#include "support/camera_requests.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

using testing::ClassGet;
using testing::ClassSet;
using testing::Commit;
using testing::TestGuids;

struct NegotiationCase {
  const char* name;
  CameraProfile (*make)();
  uint8_t format, frame;
  uint32_t askedInterval;
  uint8_t gotFrame;
  uint32_t gotInterval;
  uint32_t frameSize;
  uint32_t payload;
};

const NegotiationCase kCases[] = {
    // 640x480 YUY2 at 30 fps needs 18432 B/ms = 2304 per microframe + header: the 3x1024 setting.
    {"Vga30", [] { return HighSpeedIsochCamera(TestGuids()); }, 1, 1, 333333, 1, 333333, 614400, 3072},
    // At 5 fps 384 bytes per microframe: the 512 setting.
    {"Vga5", [] { return HighSpeedIsochCamera(TestGuids()); }, 1, 1, 2000000, 1, 2000000, 614400, 512},
    // 160x120 at 15 fps: 72 bytes per microframe: the 128 setting.
    {"Qqvga15", [] { return HighSpeedIsochCamera(TestGuids()); }, 1, 3, 666666, 3, 666666, 38400, 128},
    // An interval the frame does not list becomes the nearest listed one.
    {"NearestInterval", [] { return HighSpeedIsochCamera(TestGuids()); }, 1, 4, 1200000, 4, 1000000, 1843200, 3072},
    // An unknown frame index is refused; the probe keeps its default, the first frame.
    {"UnknownFrame", [] { return HighSpeedIsochCamera(TestGuids()); }, 1, 9, 333333, 1, 333333, 614400, 3072},
    {"Bulk", [] { return BulkCamera(TestGuids()); }, 1, 2, 333333, 2, 333333, 153600, 65536},
    {"BulkSmallFrame", [] { return BulkCamera(TestGuids()); }, 1, 3, 333333, 3, 333333, 38400, 38412},
    {"SuperSpeed", [] { return SuperSpeedIsochCamera(TestGuids()); }, 1, 4, 1000000, 4, 1000000, 1843200, 3072},
};

class NegotiationTest : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(NegotiationTest, FillsSizesFromFormatFrameAndBandwidth) {
  const NegotiationCase& c = GetParam();
  SimCamera cam(c.make());
  const UVC_VIDEO_PROBE_COMMIT got = Commit(cam, c.format, c.frame, c.askedInterval);
  EXPECT_EQ(+got.bFormatIndex, c.format);
  EXPECT_EQ(+got.bFrameIndex, c.gotFrame);
  EXPECT_EQ(+got.dwFrameInterval, c.gotInterval);
  EXPECT_EQ(+got.dwMaxVideoFrameSize, c.frameSize);
  EXPECT_EQ(+got.dwMaxPayloadTransferSize, c.payload);
  const CameraSnapshot s = cam.Snapshot();
  EXPECT_TRUE(s.committed);
  EXPECT_EQ(std::memcmp(&s.commit, &got, sizeof(got)), 0);
}

INSTANTIATE_TEST_SUITE_P(Probe, NegotiationTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<NegotiationCase>& i) { return std::string(i.param.name); });

TEST(Probe, BoundsLengthAndInfo) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  testing::Reply max = ClassGet(cam, GET_MAX, VS_PROBE_CONTROL, 1, 26);
  ASSERT_EQ(max.data.size(), 26u);
  EXPECT_EQ(max.data[12] | max.data[13] << 8, 10000);
  EXPECT_EQ(ClassGet(cam, GET_LEN, VS_PROBE_CONTROL, 1, 2).data, (std::vector<uint8_t>{26, 0}));
  EXPECT_EQ(ClassGet(cam, GET_INFO, VS_COMMIT_CONTROL, 1, 1).data, std::vector<uint8_t>{3});
  EXPECT_EQ(ClassGet(cam, GET_DEF, VS_PROBE_CONTROL, 1, 26).data[2], 1);
}

TEST(Probe, StillProbeAndCommit) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  Commit(cam, 1, 1, 333333);
  ASSERT_TRUE(ClassSet(cam, VS_STILL_PROBE_CONTROL, 1, {1, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Ok());
  testing::Reply probe = ClassGet(cam, GET_CUR, VS_STILL_PROBE_CONTROL, 1, 11);
  ASSERT_EQ(probe.data.size(), 11u);
  UVC_STILL_PROBE_COMMIT still{};
  std::memcpy(&still, probe.data.data(), 11);
  EXPECT_EQ(+still.bFrameIndex, 3);
  EXPECT_EQ(+still.dwMaxVideoFrameSize, 1280u * 720 * 2);
  EXPECT_EQ(+still.dwMaxPayloadTransferSize, 3072u);
  ASSERT_TRUE(ClassSet(cam, VS_STILL_COMMIT_CONTROL, 1, probe.data).Ok());
  EXPECT_EQ(+cam.Snapshot().stillCommit.bFrameIndex, 3);
  EXPECT_TRUE(ClassSet(cam, VS_STILL_IMAGE_TRIGGER_CONTROL, 1, {1}).Ok());
  EXPECT_EQ(cam.Snapshot().stillTriggers, 1u);
}

TEST(Probe, NoStillControlsWithoutStills) {
  SimCamera cam(MinimalCamera());
  EXPECT_TRUE(ClassGet(cam, GET_CUR, VS_STILL_PROBE_CONTROL, 1, 11).Stalled());
  EXPECT_TRUE(ClassSet(cam, VS_STILL_IMAGE_TRIGGER_CONTROL, 1, {1}).Stalled());
}

TEST(Probe, StrictProbeLength) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()), CameraOptions{true});
  EXPECT_TRUE(ClassGet(cam, GET_CUR, VS_PROBE_CONTROL, 1, 34).Stalled());
  EXPECT_TRUE(ClassGet(cam, GET_CUR, VS_PROBE_CONTROL, 1, 26).Ok());
}

}  // namespace
}  // namespace kvz::simcam
