#include "face/face_exposure_control.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "kvz/kernel_testing.h"
#include "simcam/sim_camera.h"

namespace kvz {

template <>
struct TestSeam<FaceExposureControl> {
  static FaceExposureControl::Windows CurrentWindows(const FaceExposureControl& c) { return c.windows_; }
  static LONG RatioFromHistogram(ULONG* counters, LONG thirdWidth, LONG thirdHeight) {
    return FaceExposureControl::RatioFromHistogram(counters, thirdWidth, thirdHeight);
  }
};

namespace {

using kernel::AdvanceClock;
using kernel::kMillisecond;
using kernel::kSecond;

// Any two GUIDs name the vendor and test units of the simulated camera.
simcam::VendorGuids Guids() {
  simcam::VendorGuids g;
  g.vendorUnit = GUID{0x5E1A0C11, 0x2B3D, 0x4F60, {0x91, 0x0A, 0x3C, 0x44, 0x7D, 0x12, 0xE5, 0x08}};
  g.testUnit = GUID{0x6F2B1D22, 0x3C4E, 0x4071, {0xA2, 0x1B, 0x4D, 0x55, 0x8E, 0x23, 0xF6, 0x19}};
  return g;
}

// Class requests straight to the simulated camera, stamped with kernel time, so that its request
// log records what the exposure control sent and when.
class SimCameraServices : public CameraServices {
 public:
  explicit SimCameraServices(simcam::SimCamera& cam) : cam_(cam) {}
  NTSTATUS GetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, USHORT length) override {
    return Send(0xA1, request, value, index, buffer, length);
  }
  NTSTATUS SetClassRequest(UCHAR request, USHORT value, USHORT index, PVOID buffer, USHORT length) override {
    return Send(0x21, request, value, index, buffer, length);
  }
  USHORT VendorUnitIndex() const override { return static_cast<USHORT>(cam_.Profile().vendorUnitId << 8); }
  VOID AcquireRegisterAccess() override {}
  VOID ReleaseRegisterAccess() override {}

 private:
  NTSTATUS Send(UCHAR type, UCHAR request, USHORT value, USHORT index, PVOID buffer, USHORT length) {
    USB_DEFAULT_PIPE_SETUP_PACKET setup{type, request, value, index, length};
    const usb::Outcome o = cam_.Control(setup, static_cast<uint8_t*>(buffer), static_cast<uint64_t>(kernel::Now()));
    return o.disposition == usb::Disposition::kComplete ? o.completion.irpStatus : STATUS_UNSUCCESSFUL;
  }
  simcam::SimCamera& cam_;
};

class ExposureDevice : public FaceExposureDevice {
 public:
  ExposureDevice() : cam(simcam::HighSpeedIsochCamera(Guids())), services(cam) {
    KeInitializeMutex(&mutex_, 0);
  }
  PKMUTEX FaceExposureMutex() override { return &mutex_; }
  CameraServices& Camera() override { return services; }
  VOID SetFaceWorkFlags(LONG bits) override { flags |= bits; }
  VOID ClearFaceWorkFlags(LONG bits) override { flags &= ~bits; }

  // Control requests to the vendor unit with the given selector and direction.
  std::vector<simcam::LoggedRequest> Requests(UCHAR selector, UCHAR bmRequestType) const {
    std::vector<simcam::LoggedRequest> out;
    for (const simcam::LoggedRequest& r : cam.Log()) {
      if (r.kind == simcam::RequestKind::kControl && r.setup.bmRequestType == bmRequestType &&
          (r.setup.wValue >> 8) == selector && (r.setup.wIndex >> 8) == cam.Profile().vendorUnitId) {
        out.push_back(r);
      }
    }
    return out;
  }
  std::vector<simcam::LoggedRequest> Windows() const { return Requests(0x1B, 0x21); }
  std::vector<simcam::LoggedRequest> LevelReads() const { return Requests(0x1C, 0xA1); }

  simcam::SimCamera cam;
  SimCameraServices services;
  LONG flags = kFaceWorkExposure;

 private:
  KMUTEX mutex_;
};

// A YUY2 frame of one grey level: every converted pixel has red = green = blue.
std::vector<UCHAR> GreyFrame(LONG width, LONG height, UCHAR y) {
  std::vector<UCHAR> f(static_cast<size_t>(width) * height * 2);
  for (size_t i = 0; i < f.size(); i += 2) {
    f[i] = y;
    f[i + 1] = 128;
  }
  return f;
}

std::unique_ptr<FaceExposureControl> MakeControl(ExposureDevice& device) {
  auto control = std::make_unique<FaceExposureControl>();
  control->Reset(&device);
  return control;
}

constexpr LONG kW = 640, kH = 480;
constexpr RegionRect kFace = {200, 150, 300, 270};  // left, top, right, bottom

// ---- Windows -------------------------------------------------------------------------------

struct WindowCase {
  const char* name;
  RegionRect face;
  FaceExposureControl::Windows expected;  // measure t b l r, centre x y, thirds w h, exposure x y w h
};

class ExposureWindows : public ::testing::TestWithParam<WindowCase> {};

TEST_P(ExposureWindows, GrowTheFaceAndClipToTheFrame) {
  const WindowCase& c = GetParam();
  ExposureDevice device;
  auto control = MakeControl(device);
  ASSERT_EQ(control->SetFaceRectangle(c.face, kW, kH), STATUS_SUCCESS);
  const FaceExposureControl::Windows w = TestSeam<FaceExposureControl>::CurrentWindows(*control);
  const FaceExposureControl::Windows& e = c.expected;
  EXPECT_EQ((std::vector<LONG>{w.measureTop, w.measureBottom, w.measureLeft, w.measureRight}),
            (std::vector<LONG>{e.measureTop, e.measureBottom, e.measureLeft, e.measureRight}));
  EXPECT_EQ((std::vector<LONG>{w.centreX, w.centreY, w.thirdWidth, w.thirdHeight}),
            (std::vector<LONG>{e.centreX, e.centreY, e.thirdWidth, e.thirdHeight}));
  EXPECT_EQ((std::vector<LONG>{w.exposureX, w.exposureY, w.exposureWidth, w.exposureHeight}),
            (std::vector<LONG>{e.exposureX, e.exposureY, e.exposureWidth, e.exposureHeight}));
}

INSTANTIATE_TEST_SUITE_P(
    Face, ExposureWindows,
    ::testing::Values(
        // 80 and 60 px margins all round, inside the frame.
        WindowCase{"Middle", {200, 150, 300, 270}, {70, 350, 120, 380, 250, 210, 86, 93, 140, 90, 220, 240}},
        // The top-left corner: both windows start at 0.
        WindowCase{"TopLeft", {1, 1, 100, 100}, {0, 180, 0, 180, 90, 90, 60, 60, 0, 0, 160, 160}},
        // Touching the right and bottom edges: measurement to W-1/H-1, exposure to W-2/H-2.
        WindowCase{"BottomRight", {500, 300, 639, 479}, {220, 479, 420, 639, 529, 349, 73, 86, 440, 240, 198, 238}},
        // Any coordinate 0 clears both windows.
        WindowCase{"ZeroLeft", {0, 150, 300, 270}, {}},
        WindowCase{"Negative", {200, -1, 300, 270}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Malformed rectangles ------------------------------------------------------------------

struct BadRectCase {
  const char* name;
  RegionRect rect;
  LONG width, height;
};

class MalformedRectangles : public ::testing::TestWithParam<BadRectCase> {};

TEST_P(MalformedRectangles, AreRefusedAndLeaveTheFaceAsItWas) {
  const BadRectCase& c = GetParam();
  ExposureDevice device;
  auto control = MakeControl(device);
  ASSERT_EQ(control->SetFaceRectangle(kFace, kW, kH), STATUS_SUCCESS);
  const FaceExposureControl::Windows before = TestSeam<FaceExposureControl>::CurrentWindows(*control);
  EXPECT_EQ(control->SetFaceRectangle(c.rect, c.width, c.height), STATUS_INVALID_PARAMETER);
  const FaceExposureControl::Windows after = TestSeam<FaceExposureControl>::CurrentWindows(*control);
  EXPECT_EQ(after.exposureX, before.exposureX);
  EXPECT_EQ(after.exposureWidth, before.exposureWidth);
  EXPECT_EQ(after.measureBottom, before.measureBottom);
}

INSTANTIATE_TEST_SUITE_P(
    Face, MalformedRectangles,
    ::testing::Values(BadRectCase{"LeftNotBelowRight", {300, 150, 300, 270}, kW, kH},
                      BadRectCase{"Reversed", {300, 270, 200, 150}, kW, kH},
                      BadRectCase{"RightAtWidth", {200, 150, 640, 270}, kW, kH},
                      BadRectCase{"BottomBeyondHeight", {200, 150, 300, 900}, kW, kH},
                      BadRectCase{"NoFrame", {200, 150, 300, 270}, 0, kH},
                      BadRectCase{"HugeFrame", {200, 150, 300, 270}, 0x10000, 0x10000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FaceExposure, FrameOfAnotherSizeIsNeverMeasured) {
  ExposureDevice device;
  auto control = MakeControl(device);
  ASSERT_EQ(control->SetFaceRectangle({20, 20, 100, 100}, 160, 120), STATUS_SUCCESS);
  const std::vector<UCHAR> large = GreyFrame(kW, kH, 33);
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(control->UpdateFaceExposure(large.data(), kW, kH), STATUS_SUCCESS);
    AdvanceClock(100 * kMillisecond);
  }
  EXPECT_TRUE(device.LevelReads().empty());
  const std::vector<UCHAR> small = GreyFrame(160, 120, 33);
  EXPECT_EQ(control->UpdateFaceExposure(small.data(), 160, 120), STATUS_SUCCESS);
  EXPECT_EQ(device.LevelReads().size(), 1u);
}

// ---- Timers on kernel time -----------------------------------------------------------------

struct TimerCase {
  const char* name;
  UCHAR y;                      // grey level of every frame
  int64_t step;                 // between frames
  int frames;
  int measured;                 // frames after more than 1.5 s: one level read each
  std::vector<int> sendFrames;  // frames whose window went to the camera
  UCHAR target;                 // byte 3 of the window
};

class ExposureTimers : public ::testing::TestWithParam<TimerCase> {};

TEST_P(ExposureTimers, MeasureAfterOneAndAHalfSecondsAndSendOnTheFourthThenEverySecond) {
  const TimerCase& c = GetParam();
  ExposureDevice device;
  auto control = MakeControl(device);
  ASSERT_EQ(control->SetFaceRectangle(kFace, kW, kH), STATUS_SUCCESS);
  device.cam.ClearLog();
  const std::vector<UCHAR> frame = GreyFrame(kW, kH, c.y);
  const int64_t start = kernel::Now();
  for (int i = 0; i < c.frames; ++i) {
    control->UpdateFaceExposure(frame.data(), kW, kH);
    AdvanceClock(c.step);
  }
  EXPECT_EQ(device.LevelReads().size(), static_cast<size_t>(c.measured));
  const auto windows = device.Windows();
  ASSERT_EQ(windows.size(), c.sendFrames.size());
  for (size_t i = 0; i < windows.size(); ++i) {
    EXPECT_EQ(static_cast<int64_t>(windows[i].time) - start, c.sendFrames[i] * c.step) << "send " << i;
    // On, target, then x 140, y 90, width 220, height 240 high byte first: the face grown by 60.
    EXPECT_EQ(windows[i].data,
              (std::vector<uint8_t>{1, 1, 0, c.target, 0, 0, 0, 0, 140, 0, 90, 0, 220, 0, 240}));
  }
}

// Grey level Y = 33 converts to 20 (298 x 17 + 128 >> 8), whose square over 255 is 1 (and so
// is that of 19, should the luma weights round down). Y = 25 converts to 10, target 0.
INSTANTIATE_TEST_SUITE_P(
    Face, ExposureTimers,
    ::testing::Values(
        // 0.1 s frames: frames 16 to 24 are past 1.5 s; the 4th measured (19), then every 2nd.
        TimerCase{"TenPerSecond", 33, 100 * kMillisecond, 25, 9, {19, 21, 23}, 1},
        // 0.5 s frames: frame 3 at exactly 1.5 s is not yet measured.
        TimerCase{"TwoPerSecond", 33, 500 * kMillisecond, 10, 6, {7, 9}, 1},
        // A dark face measures, but its target is 0: nothing is sent.
        TimerCase{"TargetZero", 25, 100 * kMillisecond, 25, 9, {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct NoFaceCase {
  const char* name;
  RegionRect rect;
};

class NoFaceClearing : public ::testing::TestWithParam<NoFaceCase> {};

TEST_P(NoFaceClearing, ClearsTheWindowOnceAfterThreeSecondsAndStopsTheWork) {
  ExposureDevice device;
  auto control = MakeControl(device);
  ASSERT_EQ(control->SetFaceRectangle(kFace, kW, kH), STATUS_SUCCESS);
  const std::vector<UCHAR> frame = GreyFrame(kW, kH, 33);
  for (int i = 0; i < 20; ++i) {
    control->UpdateFaceExposure(frame.data(), kW, kH);
    AdvanceClock(100 * kMillisecond);
  }
  ASSERT_FALSE(device.Windows().empty());
  ASSERT_EQ(control->SetFaceRectangle(GetParam().rect, kW, kH), STATUS_SUCCESS);
  device.cam.ClearLog();
  const int64_t gone = kernel::Now();
  // The worker calls while bit 2 is set; 3.0 s is not yet past, 3.1 s is.
  for (int i = 0; i < 40 && (device.flags & kFaceWorkExposure) != 0; ++i) {
    control->UpdateFaceExposure(frame.data(), kW, kH);
    AdvanceClock(100 * kMillisecond);
  }
  EXPECT_EQ(device.flags & kFaceWorkExposure, 0);
  const auto windows = device.Windows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(static_cast<int64_t>(windows[0].time) - gone, 31 * 100 * kMillisecond);
  EXPECT_EQ(windows[0].data, std::vector<uint8_t>(15, 0));
  EXPECT_TRUE(device.LevelReads().empty());
}

INSTANTIATE_TEST_SUITE_P(Face, NoFaceClearing,
                         ::testing::Values(NoFaceCase{"AllZero", {0, 0, 0, 0}},
                                           NoFaceCase{"WholeFrame", {0, 0, kW - 1, kH - 1}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Ratio histogram -----------------------------------------------------------------------

struct HistogramCase {
  const char* name;
  std::vector<std::pair<std::pair<LONG, LONG>, ULONG>> counts;  // (red ratio, blue ratio) -> count
  LONG ratio;
};

class RatioHistogram : public ::testing::TestWithParam<HistogramCase> {};

TEST_P(RatioHistogram, PicksTheFullestBlockWithinTheCounters) {
  // Exactly as many counters as the control holds, on the heap, so that a read or write one
  // past the end is caught by the address sanitizer.
  std::vector<ULONG> counters(kHistogramCounters, 0);
  for (const auto& [ratios, count] : GetParam().counts) counters.at(ratios.first * 100 + ratios.second - 3030) = count;
  // Thirds of 90 x 90: counters above 8100 x 4 / 5 / 9 = 720 are dropped.
  EXPECT_EQ(TestSeam<FaceExposureControl>::RatioFromHistogram(counters.data(), 90, 90), GetParam().ratio);
}

// The new ratio is (100 x (15k + 14) - 693 + 15b) / 100 + 30 for red block k and blue block b.
INSTANTIATE_TEST_SUITE_P(
    Face, RatioHistogram,
    ::testing::Values(HistogramCase{"Empty", {}, 30},
                      HistogramCase{"FirstBlock", {{{31, 31}, 1}}, 37},                      // 707
                      HistogramCase{"LastBlockAtItsEdge", {{{119, 119}, 4}, {{106, 106}, 1}}, 112},  // 8282
                      HistogramCase{"CrowdedCounterDropped", {{{31, 31}, 721}, {{119, 119}, 5}}, 112},
                      HistogramCase{"TieGoesToTheFirst", {{{50, 40}, 3}, {{119, 119}, 3}}, 52}),  // 2207
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz
