// Frames through the whole driver: state walks, YUY2 byte for byte, RGB24 against an independent
// conversion, MJPG passed through and re-encoded, and the driver's own transformations visible in
// what the client receives.
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "camera_controls.h"
#include "e2e_bench.h"
#include "frame_oracle.h"
#include "kvz/system_testing.h"
#include "postproc/effects/privacy_image.h"
#include "simcam/camera_profile.h"
#include "simcam/mjpeg_encoder.h"
#include "tool_machine.h"
#include "tests/support/test_folder.h"

namespace kvz::e2e {
namespace {

// The display orientation (and with it the rotation) is re-read on the eleventh processing call.
// From Windows 10 build 10587 on the driver leaves rotation to the system: rotation cases run as
// Windows 7, or on the machine the capture tool boots for an earlier build.
constexpr size_t kFramesUntilRotated = 12;

class StreamingTest : public E2eBench {
 protected:
  void TearDown() override {
    E2eBench::TearDown();
    if (root_.empty()) return;
    kernel::SetSystemRootFolder("");
    std::filesystem::remove_all(root_);
  }
  // The format file the device reads when it starts, in a system folder of the test's own.
  void UseFormatFile(const char* text) {
    root_ = kvz::testing::FreshTestFolder("kvz-e2e-");
    std::ofstream(std::filesystem::path(root_) / "FORMAT.CFG", std::ios::binary) << text;
    kernel::SetSystemRootFolder(root_);
  }
  void Set(const char* control, int32_t value) {
    const capture::ControlName* c = capture::FindControl(control);
    ASSERT_NE(nullptr, c);
    ASSERT_EQ(STATUS_SUCCESS, capture::SetControl(Filter(), *c, value)) << control;
  }
  KsPinClient* Running(uint32_t subtype, int width, int height, VideoFormat* format) {
    KsPinClient* pin = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, subtype, width, height, &pin, format));
    if (pin) {
      EXPECT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
    }
    return pin;
  }
  // The camera frame whose image, put through expect, equals data (within tolerance); -1 if none.
  int64_t MatchingCameraFrame(const Bytes& data, int w, int h,
                              const std::function<Bytes(const Bytes&)>& expect, int tolerance = 0) {
    const uint64_t sent = Camera().Snapshot().framesSent;
    for (uint64_t n = 0; n <= sent + 1; ++n)
      if (MaxDifference(expect(CameraPicture(w, h, n)), data) <= tolerance) return static_cast<int64_t>(n);
    return -1;
  }

 private:
  std::string root_;
};

struct CameraCase {
  const char* camera;
};

class Yuy2StreamTest : public StreamingTest, public ::testing::WithParamInterface<CameraCase> {};

TEST_P(Yuy2StreamTest, FramesAreTheCameraPictureByteForByte) {
  ASSERT_TRUE(Boot(GetParam().camera));
  VideoFormat f;
  KsPinClient* pin = Running(kYuy2, 320, 240, &f);
  ASSERT_NE(nullptr, pin);
  const auto frames = Read(*pin, 5, f.sizeImage);
  ASSERT_EQ(5u, frames.size());
  uint32_t previous = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const CompletedFrame& frame = frames[i];
    ASSERT_EQ(STATUS_SUCCESS, frame.status);
    ASSERT_EQ(320u * 240 * 2, frame.header.DataUsed);
    const uint32_t n = FrameNumber(frame.data);
    EXPECT_EQ(CameraPicture(320, 240, n), frame.data) << "frame " << i;
    if (i > 0) {
      EXPECT_GT(n, previous);
    }
    previous = n;
  }
  capture::StopPin(*pin);
}

INSTANTIATE_TEST_SUITE_P(Cameras, Yuy2StreamTest,
                         ::testing::Values(CameraCase{"isoch"}, CameraCase{"usb3"}),
                         [](const auto& info) { return std::string(info.param.camera); });

struct RateCase {
  const char* name;
  std::string camera;
  int width;
  int height;
  double fps;        // as --set-parm asks
  int64_t interval;  // what the capture tool asks the pin for
  bool offered;
};

class RateTest : public StreamingTest, public ::testing::WithParamInterface<RateCase> {};

// The capture tool's rate choice: a rate inside the range is the listed interval nearest it, and
// the camera streams at it with no drop counted; a rate outside the range is refused.
TEST_P(RateTest, RateAskedStreamsAtTheNearestListedInterval) {
  const RateCase& c = GetParam();
  ASSERT_TRUE(Boot(c.camera));
  const capture::VideoRange range = Range(kCapturePin, kYuy2, c.width, c.height);
  const int64_t interval = capture::IntervalForRate(Filter(), kCapturePin, range, c.fps);
  EXPECT_EQ(c.interval, interval);
  capture::CreatedPin created;
  std::string error;
  const NTSTATUS status = capture::CreatePinFromRange(Filter(), kCapturePin, range, interval, &created, &error);
  ASSERT_EQ(c.offered, NT_SUCCESS(status)) << error;
  if (!c.offered) return;
  KsPinClient& pin = *created.pin;
  ASSERT_EQ(STATUS_SUCCESS, pin.SetMasterClock(true));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(pin));
  const auto frames = Read(pin, 6, created.format.sizeImage);
  ASSERT_EQ(6u, frames.size());
  EXPECT_EQ(static_cast<uint32_t>(c.interval), Camera().Snapshot().commit.dwFrameInterval);
  EXPECT_EQ(0, frames.back().frameInfo.DropCount);
  capture::StopPin(pin);
  pin.Close();
}

const std::string kContinuousDump = std::string(KVZ_SIMCAM_DUMPS) + "/full_speed_continuous.txt";

INSTANTIATE_TEST_SUITE_P(
    Rates, RateTest,
    ::testing::Values(RateCase{"listed15", "isoch", 640, 480, 15, 666666, true},
                      RateCase{"nearest11", "isoch", 640, 480, 11, 1000000, true},
                      RateCase{"above40", "isoch", 640, 480, 40, 250000, false},
                      RateCase{"continuous15", kContinuousDump, 128, 96, 15, 666666, true},
                      RateCase{"continuous24", kContinuousDump, 128, 96, 24, 333333, true},
                      RateCase{"continuousBelow12", kContinuousDump, 128, 96, 12, 833333, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct BusRateCase {
  const char* name;
  int width;
  int height;
  uint32_t interval;
};

class SuperSpeedBulkTest : public StreamingTest, public ::testing::WithParamInterface<BusRateCase> {};

// A SuperSpeed bulk camera carries YUY2 at rates a high-speed bus could not (1080p30 is about
// 124 MB/s): every frame arrives, in order, and no drop is counted.
TEST_P(SuperSpeedBulkTest, Yuy2StreamsWithoutDrops) {
  const BusRateCase& c = GetParam();
  // YUY2 frames taller than 720 lines are offered before build 10587.
  kernel::SetSystemVersion(kernel::SystemVersion::Windows10(10586));
  const simcam::VendorGuids guids = capture::DriverUnitGuids();
  simcam::CameraDescription d = simcam::BulkDescription(guids);
  d.bcdUSB = 0x0300;
  d.speed = usb::Speed::Super;
  simcam::FormatDescription yuy2;
  yuy2.kind = simcam::FormatKind::kYuy2;
  yuy2.frames = {{static_cast<uint16_t>(c.width), static_cast<uint16_t>(c.height), {c.interval}}};
  d.formats = {yuy2};
  ASSERT_TRUE(Boot(simcam::ProfileFromDescription(d, &guids)));
  KsPinClient* pin = nullptr;
  VideoFormat f;
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, c.width, c.height, &pin, &f));
  ASSERT_EQ(STATUS_SUCCESS, pin->SetMasterClock(true));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
  const auto frames = Read(*pin, 30, f.sizeImage);
  ASSERT_EQ(30u, frames.size());
  for (size_t i = 1; i < frames.size(); ++i)
    EXPECT_EQ(FrameNumber(frames[i - 1].data) + 1, FrameNumber(frames[i].data)) << "frame " << i;
  EXPECT_EQ(0, frames.back().frameInfo.DropCount);
  EXPECT_EQ(CameraPicture(c.width, c.height, FrameNumber(frames.back().data)), frames.back().data);
  capture::StopPin(*pin);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SuperSpeedBulkTest,
                         ::testing::Values(BusRateCase{"hd720p60", 1280, 720, 166666},
                                           BusRateCase{"hd1080p30", 1920, 1080, 333333}),
                         [](const auto& info) { return std::string(info.param.name); });

// Each walk ends in RUN and must deliver; PAUSE from RUN and STOP from RUN stop delivery.
TEST_F(StreamingTest, StateWalksDeliverAfterEveryRun) {
  ASSERT_TRUE(Boot("isoch"));
  VideoFormat f;
  KsPinClient* pin = Running(kYuy2, 320, 240, &f);
  ASSERT_NE(nullptr, pin);
  const struct {
    const char* name;
    std::vector<KSSTATE> walk;
  } walks[] = {
      {"first run", {}},
      {"pause and run", {KSSTATE_PAUSE, KSSTATE_RUN}},
      {"stop and run", {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}},
  };
  for (const auto& w : walks) {
    SCOPED_TRACE(w.name);
    for (KSSTATE s : w.walk) ASSERT_EQ(STATUS_SUCCESS, pin->SetState(s)) << s;
    KSSTATE state = KSSTATE_STOP;
    ASSERT_EQ(STATUS_SUCCESS, pin->GetState(&state));
    EXPECT_EQ(KSSTATE_RUN, state);
    const auto frames = Read(*pin, 3, f.sizeImage);
    ASSERT_EQ(3u, frames.size());
    for (const auto& frame : frames) EXPECT_EQ(CameraPicture(320, 240, FrameNumber(frame.data)), frame.data);
  }
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_PAUSE));
  auto read = pin->QueueRead(f.sizeImage);
  EXPECT_EQ(STATUS_TIMEOUT, read->Request()->Wait(kernel::kSecond));
  read.reset();
  capture::StopPin(*pin);
}

// PAUSE and RUN again on every system. From Windows 10 on an isochronous camera's pause gives
// the bandwidth back and the camera starts afresh at RUN, as a bulk camera does at the new commit;
// before Windows 10 the streaming alternate setting stays selected, so the camera goes on sending
// while the transport is stopped and RUN comes in the middle of a frame. Pauses begin and end at
// offsets that sweep a whole frame interval: every frame delivered is one the camera sent, whole,
// and where the camera starts afresh its first frame is one of them.
struct PauseRunCase {
  const char* name;
  const char* camera;
  uint32_t subtype;
  kernel::SystemVersion version;
};

class PauseRunTest : public StreamingTest, public ::testing::WithParamInterface<PauseRunCase> {};

TEST_P(PauseRunTest, FramesAfterEachRunAreWholeCameraFrames) {
  const PauseRunCase& c = GetParam();
  kernel::SetSystemVersion(c.version);
  ASSERT_TRUE(Boot(c.camera));
  VideoFormat f;
  KsPinClient* pin = Running(c.subtype, 640, 480, &f);
  ASSERT_NE(nullptr, pin);
  ASSERT_EQ(1u, Read(*pin, 1, f.sizeImage).size());
  const bool afresh = std::string(c.camera) == "bulk" || c.version.major >= 10;
  constexpr int64_t k30FpsInterval = 333333;
  simcam::MjpegFrameCache cache;
  constexpr int kSteps = 24;  // 1.5 ms apart: more than the 33.3 ms interval
  for (int step = 0; step < kSteps; ++step) {
    SCOPED_TRACE(step);
    const int64_t offset = step * 3 * kernel::kMillisecond / 2;
    kernel::AdvanceClock(offset);
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_PAUSE));
    kernel::AdvanceClock(offset);
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
    const int64_t ran = kernel::Now();
    const auto frames = Read(*pin, 2, f.sizeImage);
    ASSERT_EQ(2u, frames.size());
    // A camera that starts afresh loses no frame: the first it sends is delivered.
    if (afresh) {
      EXPECT_LE(kernel::Now() - ran, 2 * k30FpsInterval) << "first frame after RUN lost";
    }
    for (const auto& frame : frames) {
      if (c.subtype == kYuy2) {
        ASSERT_EQ(f.sizeImage, frame.data.size());
        EXPECT_EQ(CameraPicture(640, 480, FrameNumber(frame.data)), frame.data);
        continue;
      }
      bool sent = false;
      for (uint64_t phase = 0; phase < simcam::MjpegFrameCache::kPhases; ++phase)
        sent = sent || frame.data == cache.Frame(640, 480, phase, true);
      EXPECT_TRUE(sent) << "not a frame the camera sent (" << frame.data.size() << " bytes)";
    }
  }
  capture::StopPin(*pin);
}

std::vector<PauseRunCase> PauseRunCases() {
  const struct {
    const char* name;
    kernel::SystemVersion version;
  } systems[] = {{"Xp", kernel::SystemVersion::WindowsXp()},
                 {"Windows7", kernel::SystemVersion::Windows7()},
                 {"Windows81", kernel::SystemVersion::Windows81()},
                 {"Windows10", kernel::SystemVersion::Windows10(19045)}};
  std::vector<PauseRunCase> cases;
  for (const auto& s : systems)
    for (const char* camera : {"isoch", "bulk"})
      for (uint32_t subtype : {kYuy2, kMjpg}) cases.push_back({s.name, camera, subtype, s.version});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Systems, PauseRunTest, ::testing::ValuesIn(PauseRunCases()), [](const auto& info) {
  return std::string(info.param.camera) + (info.param.subtype == kYuy2 ? "Yuy2" : "Mjpg") + "On" + info.param.name;
});

TEST_F(StreamingTest, Rgb24MatchesAnIndependentConversionBottomUp) {
  ASSERT_TRUE(Boot("isoch"));
  VideoFormat f;
  KsPinClient* pin = Running(kRgb24, 320, 240, &f);
  ASSERT_NE(nullptr, pin);
  EXPECT_EQ(320u * 240 * 3, f.sizeImage);
  const auto frames = Read(*pin, 3, f.sizeImage);
  ASSERT_EQ(3u, frames.size());
  for (const auto& frame : frames) {
    ASSERT_EQ(320u * 240 * 3, frame.data.size());
    // Integer and floating-point BT.601 round differently by at most one step.
    EXPECT_LE(0, MatchingCameraFrame(frame.data, 320, 240, [](const Bytes& p) { return BottomUpBgr(p, 320, 240); }, 2));
  }
  capture::StopPin(*pin);
}

// A size the format file adds (400 x 300, from the camera's 320 x 240) asked wider by the
// buffers' surface pitch: the camera's picture resized to the added size, then widened.
TEST_F(StreamingTest, AddedSizeWidenedByTheSurfacePitchShowsTheCameraPicture) {
  UseFormatFile("[INTERPOSITION_YUY2]\r\nCOUNT=1\r\n[INTERPOSITION_YUY2_0]\r\nWIDTH=400\r\nHEIGHT=300\r\n"
                "FRAMERATE=30\r\n");
  ASSERT_TRUE(Boot("isoch"));
  VideoFormat f;
  KsPinClient* pin = Running(kYuy2, 400, 300, &f);
  ASSERT_NE(nullptr, pin);
  constexpr int kWide = 500;
  constexpr ULONG kBytes = kWide * 300 * 2;
  std::vector<CompletedFrame> frames;
  ASSERT_EQ(STATUS_SUCCESS, pin->ReadFrames(3, kBytes, 4, &frames, 5 * kernel::kSecond, kWide * 2));
  ASSERT_EQ(3u, frames.size());
  const uint64_t sent = Camera().Snapshot().framesSent;
  for (const CompletedFrame& frame : frames) {
    ASSERT_EQ(kBytes, frame.header.DataUsed);
    const Bytes luma = LumaOf(Bytes(frame.data.begin(), frame.data.begin() + kBytes));
    // The share of samples more than 8 levels off the closest camera frame's picture: the
    // widening goes through RGB24, and the resize's fixed-point steps put some bar edges (and the
    // rows where the bars shift) one source pixel from the exact position.
    double off = 1;
    for (uint64_t n = 0; n <= sent + 1; ++n) {
      const Bytes resized = LumaOf(NearestYuy2(CameraPicture(320, 240, n), 320, 240, 400, 300));
      const Bytes expected = WidenLuma(resized, 400, 300, kWide);
      size_t far = 0;
      for (size_t i = 0; i < luma.size(); ++i) far += std::abs(int(luma[i]) - int(expected[i])) > 8;
      off = std::min(off, static_cast<double>(far) / static_cast<double>(luma.size()));
    }
    EXPECT_LT(off, 0.1);
  }
  capture::StopPin(*pin);
}

// Without a transformation the camera's JPEG stream reaches the client unchanged, whether the
// driver decodes it for flicker detection (power line automatic, 0) or not at all (50 Hz, 1),
// and with payloads lost on the bus (end-of-frame payloads, a payload inside a frame, an end of
// frame the camera never marked) no frame glued to the next or with a hole reaches it.
struct PassThroughCase {
  const char* name;
  const char* camera;
  int powerLine;
  bool losses;
};

class MjpgPassThroughTest : public StreamingTest, public ::testing::WithParamInterface<PassThroughCase> {};

TEST_P(MjpgPassThroughTest, CameraStreamReachesTheClientUnchanged) {
  const PassThroughCase& c = GetParam();
  ASSERT_TRUE(Boot(c.camera));
  VideoFormat f;
  KsPinClient* pin = Running(kMjpg, 640, 480, &f);
  ASSERT_NE(nullptr, pin);
  Set("power_line_frequency", c.powerLine);
  ASSERT_EQ(2u, Read(*pin, 2, f.sizeImage).size());
  if (c.losses) {
    const uint64_t next = Camera().Snapshot().framesSent + 1;
    simcam::FrameFault lostLast;
    lostLast.lostLastPayload = true;
    simcam::FrameFault lostInside;
    lostInside.lostPayload = 1;
    simcam::FrameFault unmarked;
    unmarked.lostEndOfFrame = true;
    for (uint64_t k = 0; k < 12; k += 4) {
      Camera().ArmFrameFault(next + k, lostLast);
      Camera().ArmFrameFault(next + k + 1, lostInside);
      Camera().ArmFrameFault(next + k + 2, unmarked);
    }
  }
  const auto frames = Read(*pin, 4, f.sizeImage);
  ASSERT_EQ(4u, frames.size());
  simcam::MjpegFrameCache cache;
  for (const auto& frame : frames) {
    bool sent = false;
    for (uint64_t phase = 0; phase < simcam::MjpegFrameCache::kPhases; ++phase)
      sent = sent || frame.data == cache.Frame(640, 480, phase, true);
    EXPECT_TRUE(sent) << "not a frame the camera sent (" << frame.data.size() << " bytes)";
    const DecodedJpeg d = DecodeJpegLuma(frame.data);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(640, d.width);
    EXPECT_EQ(480, d.height);
  }
  capture::StopPin(*pin);
}

INSTANTIATE_TEST_SUITE_P(PowerLine, MjpgPassThroughTest,
                         ::testing::Values(PassThroughCase{"isoch50Hz", "isoch", 1, false},
                                           PassThroughCase{"isochAutomatic", "isoch", 0, false},
                                           PassThroughCase{"isochLosses", "isoch", 1, true},
                                           PassThroughCase{"bulkLosses", "bulk", 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A half turn makes the driver decode, turn and re-encode: the client's JPEG decodes at size and
// shows the camera's picture upside down.
TEST_F(StreamingTest, MjpgIsDecodedTurnedAndReencoded) {
  kernel::SetSystemVersion(kernel::SystemVersion::Windows7());
  ASSERT_TRUE(Boot("isoch"));
  VideoFormat f;
  KsPinClient* pin = Running(kMjpg, 640, 480, &f);
  ASSERT_NE(nullptr, pin);
  Set("rotate", 2);
  const auto frames = Read(*pin, kFramesUntilRotated + 1, f.sizeImage);
  ASSERT_EQ(kFramesUntilRotated + 1, frames.size());
  const DecodedJpeg d = DecodeJpegLuma(frames.back().data);
  ASSERT_TRUE(d.ok);
  ASSERT_EQ(640, d.width);
  ASSERT_EQ(480, d.height);
  double best = 255, unturned = 255;
  simcam::MjpegFrameCache cache;
  for (uint64_t phase = 0; phase < simcam::MjpegFrameCache::kPhases; ++phase) {
    const DecodedJpeg sent = DecodeJpegLuma(cache.Frame(640, 480, phase, true));
    std::vector<uint8_t> turned(sent.luma.rbegin(), sent.luma.rend());
    best = std::min(best, MeanDifference(turned, d.luma));
    unturned = std::min(unturned, MeanDifference(sent.luma, d.luma));
  }
  EXPECT_LT(best, 3.0);
  EXPECT_GT(unturned, 10.0);
  capture::StopPin(*pin);
}

struct TransformCase {
  const char* name;
  std::vector<std::pair<const char*, int32_t>> controls;
  size_t frames;
  std::function<Bytes(const Bytes&)> expect;  // 640 x 480 YUY2
  bool windows7 = false;
  uint32_t toolBuild = 0;  // the capture tool's --windows-build
};

class TransformTest : public StreamingTest, public ::testing::WithParamInterface<TransformCase> {};

TEST_P(TransformTest, DeliveredFramesShowTheTransformation) {
  if (GetParam().windows7) kernel::SetSystemVersion(kernel::SystemVersion::Windows7());
  std::optional<capture::ToolMachine> tool;
  if (GetParam().toolBuild) tool.emplace(GetParam().toolBuild);
  ASSERT_TRUE(Boot("isoch"));
  VideoFormat f;
  KsPinClient* pin = Running(kYuy2, 640, 480, &f);
  ASSERT_NE(nullptr, pin);
  // Set while streaming, as a property page does: RUN reloads the stored values.
  for (const auto& [name, value] : GetParam().controls) Set(name, value);
  const auto frames = Read(*pin, GetParam().frames, f.sizeImage);
  ASSERT_EQ(GetParam().frames, frames.size());
  EXPECT_LE(0, MatchingCameraFrame(frames.back().data, 640, 480, GetParam().expect));
  capture::StopPin(*pin);
}

Bytes PrivacyPicture(const Bytes&) {
  Bytes frame(640 * 480 * 2);
  PrivacyImage picture;
  picture.Draw(frame.data(), 640, 480, 2);
  return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, TransformTest,
    ::testing::Values(
        TransformCase{"mirror", {{"horizontal_flip", 1}}, 3, [](const Bytes& p) { return MirrorYuy2(p, 640, 480); }},
        TransformCase{"both_flips",
                      {{"horizontal_flip", 1}, {"vertical_flip", 1}},
                      3,
                      [](const Bytes& p) { return HalfTurnYuy2(p, 640, 480); }},
        TransformCase{"half_turn", {{"rotate", 2}}, kFramesUntilRotated,
                      [](const Bytes& p) { return HalfTurnYuy2(p, 640, 480); }, true},
        TransformCase{"half_turn_by_the_tool_on_build_9600", {{"rotate", 2}}, kFramesUntilRotated,
                      [](const Bytes& p) { return HalfTurnYuy2(p, 640, 480); }, false, 9600},
        TransformCase{"half_turn_and_mirror", {{"rotate", 2}, {"horizontal_flip", 1}}, kFramesUntilRotated,
                      [](const Bytes& p) { return MirrorYuy2(HalfTurnYuy2(p, 640, 480), 640, 480); }, true},
        TransformCase{"zoom", {{"digital_zoom", 20}}, 3, [](const Bytes& p) { return ZoomTwiceYuy2(p, 640, 480); }},
        TransformCase{"privacy", {{"privacy", 1}, {"horizontal_flip", 1}}, 3, PrivacyPicture}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::e2e
