#include <gtest/gtest.h>

#include "simcam/sim_camera.h"
#include "support/camera_requests.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

using testing::ClassGet;
using testing::ReadRegister;
using testing::TestGuids;
using testing::WriteRegister;

TEST(Registers, ChipIdentityThroughTheVendorUnit) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  EXPECT_EQ(ReadRegister(cam, reg::kChipId) & 0xF0, 0xB0);
  EXPECT_EQ(ReadRegister(cam, reg::kBufferSize) & 0x0F, 1);
  cam.Configure([](CameraFaults&, ControlTable&, RegisterFile& r, CameraOptions&) { r.Preset(reg::kChipId, 0x91); });
  EXPECT_EQ(ReadRegister(cam, reg::kChipId), 0x91);
  // The address written with selector 2 reads back through GET_CUR of selector 2.
  const uint16_t unit = static_cast<uint16_t>(cam.Profile().vendorUnitId << 8);
  EXPECT_EQ(ClassGet(cam, GET_CUR, 2, unit, 2).data, (std::vector<uint8_t>{0xFF, 0x20}));
}

TEST(Registers, WritesAreStoredAndLogged) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  WriteRegister(cam, 0x2130, 0x55, 100);
  WriteRegister(cam, 0x0600, 1, 200);
  EXPECT_EQ(ReadRegister(cam, 0x2130), 0x55);
  const std::vector<RegisterWrite> writes = cam.RegisterWrites();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].address, 0x2130);
  EXPECT_EQ(writes[0].value, 0x55);
  EXPECT_EQ(writes[0].time, 100u);
  EXPECT_EQ(writes[1].address, 0x0600);
}

TEST(Registers, ScriptedRegisterFollowsKernelTime) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.Configure([](CameraFaults&, ControlTable&, RegisterFile& r, CameraOptions&) {
    r.Script(reg::kSensorActivity, [](uint64_t now) { return static_cast<uint8_t>(now / 10000000); });
  });
  EXPECT_EQ(ReadRegister(cam, reg::kSensorActivity, 0), 0);
  EXPECT_EQ(ReadRegister(cam, reg::kSensorActivity, 35000000), 3);
}

TEST(Registers, PrivateTestRunsOverKernelTime) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  const uint16_t test = static_cast<uint16_t>(cam.Profile().testUnitId << 8);
  cam.Configure([](CameraFaults&, ControlTable&, RegisterFile& r, CameraOptions&) {
    r.Test().duration = 20000000;
    r.Test().progressStep = 2000000;
    r.Test().result = 0xBEEF;
  });
  EXPECT_EQ(ReadRegister(cam, reg::kTestDone, 0), 0);
  const uint64_t armed = 5000000;
  WriteRegister(cam, reg::kTestArm, 1, armed);
  uint16_t last = 0;
  for (uint64_t t = armed; t < armed + 20000000; t += 2000000) {
    EXPECT_EQ(ReadRegister(cam, reg::kTestDone, t), 0) << t;
    const uint16_t progress = static_cast<uint16_t>(ReadRegister(cam, reg::kTestProgressHigh, t) << 8 |
                                                    ReadRegister(cam, reg::kTestProgressLow, t));
    if (t > armed) {
      EXPECT_GT(progress, last);
    }
    last = progress;
    EXPECT_EQ(ClassGet(cam, GET_CUR, 3, test, 2, t).data, (std::vector<uint8_t>{0, 0}));
  }
  EXPECT_EQ(ReadRegister(cam, reg::kTestDone, armed + 20000000), 1);
  EXPECT_EQ(ClassGet(cam, GET_CUR, 3, test, 2, armed + 20000000).data, (std::vector<uint8_t>{0xEF, 0xBE}));
}

TEST(Registers, TestThatNeverFinishes) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.Configure([](CameraFaults&, ControlTable&, RegisterFile& r, CameraOptions&) { r.Test().finishes = false; });
  WriteRegister(cam, reg::kTestArm, 1, 0);
  EXPECT_EQ(ReadRegister(cam, reg::kTestDone, 1000000000), 0);
}

}  // namespace
}  // namespace kvz::simcam
