// Every camera the driver may meet beside the vendor's isochronous one: the bulk and minimal
// profiles, the recorded descriptor dumps and the vendor's camera as a later function of a
// composite device. Each must start, publish its filter and, where it
// offers YUY2 (then also RGB24) or MJPEG, stream them through a RUN, PAUSE and STOP walk, with
// every control request addressed to the unit or terminal the descriptors give; every test ends
// with a clean unload.
#include <optional>

#include "camera_controls.h"
#include "camera_formats.h"
#include "e2e_bench.h"
#include "frame_oracle.h"
#include "kvz/io_testing.h"
#include "kvz/system_testing.h"
#include "uvc.h"

namespace kvz::e2e {
namespace {

struct ProfileCase {
  const char* name;
  const char* camera;  // a profile name, or a dump file of the simulated camera's tests
  bool yuy2;           // what the camera's descriptors offer the capture pin
  bool mjpg;
  const char* skipped = "";  // the capture tool's lines for the formats the driver leaves out
  bool still = false;  // still sizes inside the streaming header's wTotalLength
};

std::string CameraPath(const ProfileCase& c) {
  const std::string camera = c.camera;
  if (camera.size() > 4 && camera.substr(camera.size() - 4) == ".txt") return std::string(KVZ_SIMCAM_DUMPS) + "/" + camera;
  return camera;
}

// The vendor's isochronous camera as the second function of a composite device: its video
// control and streaming interfaces are 2 and 3.
simcam::CameraProfile CompositeFunctionCamera() {
  const simcam::VendorGuids guids = capture::DriverUnitGuids();
  simcam::CameraDescription d = simcam::HighSpeedIsochDescription(guids);
  d.firstInterface = 2;
  return simcam::ProfileFromDescription(d, &guids);
}

struct Size {
  int width;
  int height;
};

// The smallest frame of that kind the camera's descriptors list.
std::optional<Size> SmallestFrame(const simcam::DescriptorLayout& layout, simcam::FormatKind kind) {
  std::optional<Size> best;
  for (const simcam::FormatLayout& f : layout.formats) {
    if (f.kind != kind) continue;
    for (const simcam::FrameLayout& fr : f.frames)
      if (!best || fr.width * fr.height < best->width * best->height) best = Size{fr.width, fr.height};
  }
  return best;
}

class ProfileBench : public E2eBench {
 protected:

  // Every listed control of the camera-control and video-procamp sets read and set again to its
  // value, as an application's settings page does.
  void TouchControls() {
    for (const capture::ControlName& control : capture::KnownControls()) {
      if (control.set == capture::ControlSet::kPrivate) continue;
      capture::ControlInfo info;
      if (NT_SUCCESS(capture::QueryControl(Filter(), control, &info))) capture::SetControl(Filter(), control, info.value);
    }
  }

  // Every request to a unit or terminal names an entity of the descriptors and a control that
  // entity has; privacy and colour enable, which the driver offers whatever the descriptors say,
  // go to the camera terminal's privacy and the processing unit's saturation.
  void ExpectControlRequestsAtTheDescriptorsUnits() {
    const simcam::DescriptorLayout& layout = Camera().Layout();
    uint8_t terminal = 0, unit = 0;
    for (const simcam::UnitLayout& u : layout.units) {
      if (!terminal && u.subtype == VC_INPUT_TERMINAL) terminal = u.id;
      if (!unit && u.subtype == VC_PROCESSING_UNIT) unit = u.id;
    }
    int controlRequests = 0;
    for (const simcam::LoggedRequest& r : Camera().Log()) {
      const bool classToInterface =
          r.kind == simcam::RequestKind::kControl && (r.setup.bmRequestType & 0x7F) == 0x21;
      if (!classToInterface || (r.setup.wIndex & 0xFF) != layout.controlInterface) continue;
      ++controlRequests;
      const uint8_t entity = r.setup.wIndex >> 8, selector = r.setup.wValue >> 8;
      const bool offered = (entity == terminal && selector == CT_PRIVACY_CONTROL) ||
                           (entity == unit && selector == PU_SATURATION_CONTROL);
      EXPECT_TRUE(offered || !Camera().ControlCurrent(entity, selector).empty())
          << "request 0x" << std::hex << +r.setup.bRequest << " to entity " << std::dec << +entity << " selector "
          << +selector;
    }
    EXPECT_GT(controlRequests, 0);
  }

  // Reads three frames; each must be what the camera sent.
  void ExpectFrames(KsPinClient& pin, uint32_t subtype, Size size, ULONG bufferSize) {
    const auto frames = Read(pin, 3, bufferSize);
    ASSERT_EQ(3u, frames.size());
    for (const CompletedFrame& frame : frames) {
      ASSERT_EQ(STATUS_SUCCESS, frame.status);
      if (subtype == kYuy2) {
        ASSERT_EQ(static_cast<size_t>(size.width) * size.height * 2, frame.data.size());
        EXPECT_EQ(CameraPicture(size.width, size.height, FrameNumber(frame.data)), frame.data);
      } else if (subtype == kRgb24) {
        // RGB24 carries no frame number: one of the pictures made so far (a bulk camera has made a
        // few more than it finished sending), converted independently (integer and floating-point
        // BT.601 round differently by at most one step).
        ASSERT_EQ(static_cast<size_t>(size.width) * size.height * 3, frame.data.size());
        // The top row (the last one bottom-up) holds the frame number: it picks the candidate.
        const size_t row = static_cast<size_t>(size.width) * 3;
        const Bytes topRow(frame.data.end() - static_cast<std::ptrdiff_t>(row), frame.data.end());
        bool found = false;
        for (uint64_t n = 0; !found && n <= Camera().Snapshot().framesSent + 8; ++n) {
          const Bytes picture = CameraPicture(size.width, size.height, n);
          const Bytes pictureTop(picture.begin(), picture.begin() + size.width * 2);
          found = MaxDifference(BottomUpBgr(pictureTop, size.width, 1), topRow) <= 2 &&
                  MaxDifference(BottomUpBgr(picture, size.width, size.height), frame.data) <= 2;
        }
        EXPECT_TRUE(found) << "not a picture the camera made";
      } else {
        const DecodedJpeg d = DecodeJpegLuma(frame.data);
        EXPECT_TRUE(d.ok);
        EXPECT_EQ(size.width, d.width);
        EXPECT_EQ(size.height, d.height);
      }
    }
  }
};

class ProfileTest : public ProfileBench, public ::testing::WithParamInterface<ProfileCase> {
 protected:
  bool BootCase(const ProfileCase& c) {
    return std::string(c.camera) == "composite" ? Boot(CompositeFunctionCamera()) : Boot(CameraPath(c));
  }
};

TEST_P(ProfileTest, StartsAndStreamsThroughStateWalks) {
  const ProfileCase& c = GetParam();
  ASSERT_TRUE(BootCase(c));
  const capture::PinIds ids = capture::FindPins(Filter());
  // Without YUY2 or MJPEG there is nothing the capture pin could offer.
  ASSERT_EQ(c.yuy2 || c.mjpg, ids.capture >= 0);
  // The capture tool, reading the camera's descriptors, names the formats left out, and all of
  // them when it refuses to stream for want of a capture pin.
  const auto formats = capture::ReadCameraFormats(Camera().Profile().configurationDescriptor);
  const std::string skipped = c.skipped, note = capture::SkippedFormatsNote(formats);
  EXPECT_EQ(skipped.empty(), note.empty()) << note;
  EXPECT_NE(std::string::npos, note.find(skipped)) << note;
  if (ids.capture < 0) {
    const std::string refusal = capture::NoCapturePinMessage(formats) + "\n";
    EXPECT_NE(std::string::npos, refusal.find(skipped)) << refusal;
  }
  EXPECT_EQ(c.still, ids.still >= 0);
  TouchControls();
  const struct {
    bool offered;
    uint32_t subtype;
    simcam::FormatKind kind;
  } subtypes[] = {{c.yuy2, kYuy2, simcam::FormatKind::kYuy2},
                  {c.yuy2, kRgb24, simcam::FormatKind::kYuy2},
                  {c.mjpg, kMjpg, simcam::FormatKind::kMjpeg}};
  const std::vector<std::vector<KSSTATE>> walks = {
      {},
      {KSSTATE_PAUSE, KSSTATE_RUN},
      {KSSTATE_PAUSE, KSSTATE_ACQUIRE, KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN},
  };
  for (const auto& s : subtypes) {
    if (!s.offered) continue;
    SCOPED_TRACE(capture::SubtypeName(s.subtype));
    const std::optional<Size> size = SmallestFrame(Camera().Layout(), s.kind);
    ASSERT_TRUE(size.has_value());
    VideoFormat f;
    KsPinClient* pin = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreatePin(ids.capture, s.subtype, size->width, size->height, &pin, &f));
    ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
    for (size_t w = 0; w < walks.size(); ++w) {
      SCOPED_TRACE("walk " + std::to_string(w));
      for (KSSTATE state : walks[w]) ASSERT_EQ(STATUS_SUCCESS, pin->SetState(state)) << state;
      ASSERT_NO_FATAL_FAILURE(ExpectFrames(*pin, s.subtype, *size, f.sizeImage));
    }
    capture::StopPin(*pin);
    ClosePin(pin);
  }
  ExpectControlRequestsAtTheDescriptorsUnits();
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, ProfileTest,
    ::testing::Values(ProfileCase{"bulk", "bulk", true, true, "", true},
                      ProfileCase{"minimal", "minimal", true, false},
                      ProfileCase{"dumpBulk", "bulk.txt", true, true},
                      ProfileCase{"dumpCompositeAudio", "composite_audio.txt", true, true, "", true},
                      ProfileCase{"dumpFullSpeed", "full_speed.txt", true, false},
                      ProfileCase{"dumpFullSpeedContinuous", "full_speed_continuous.txt", true, false},
                      ProfileCase{"dumpSuperSpeed", "superspeed.txt", false, true,
                                  "\t'NV12' uncompressed 1920x1080, 1280x720 (not YUY2)\n"},
                      ProfileCase{"dumpTwoStreams", "two_streams.txt", true, true},
                      ProfileCase{"dumpStillMethod3", "still_method3.txt", false, false,
                                  "\t'I420' uncompressed 640x480, 320x240 (not YUY2)\n"},
                      ProfileCase{"dumpFrameBased", "uvc15_frame_based.txt", false, false,
                                  "\t'H264' frame-based 1920x1080, 1280x720 (the driver reads no format from this "
                                  "one on)\n\t'MJPG' MJPEG 640x480 (after the frame-based format)\n"},
                      ProfileCase{"dumpMovedUnits", "moved_units.txt", true, true},
                      ProfileCase{"dumpTerminalTwo", "terminal_two.txt", true, false},
                      ProfileCase{"dumpNoProcessingUnit", "no_processing_unit.txt", true, false},
                      ProfileCase{"dumpVendorUnitWithoutRegisters", "vendor_unit_without_registers.txt", true, true},
                      ProfileCase{"compositeFunction", "composite", true, true, "", true}),
    [](const auto& info) { return std::string(info.param.name); });

using UnitAddressTest = ProfileBench;

// On the vendor's camera whose processing unit is entity 1, the power-line requests made outside
// the video-procamp set (automatic flicker detection, the private set's outdoor switch) go to that
// unit.
TEST_F(UnitAddressTest, PowerLineRequestsAddressTheProcessingUnit) {
  ASSERT_TRUE(Boot(std::string(KVZ_SIMCAM_DUMPS) + "/terminal_two.txt"));
  VideoFormat f;
  KsPinClient* pin = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, 320, 240, &pin, &f));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
  const capture::ControlName* powerLine = capture::FindControl("power_line_frequency");
  ASSERT_NE(nullptr, powerLine);
  ASSERT_EQ(STATUS_SUCCESS, capture::SetControl(Filter(), *powerLine, 0));
  Camera().ClearLog();
  ASSERT_EQ(30u, Read(*pin, 30, f.sizeImage).size());
  capture::StopPin(*pin);
  const capture::ControlName outdoor{"outdoor", capture::ControlSet::kPrivate, 13};
  ASSERT_EQ(STATUS_SUCCESS, capture::SetControl(Filter(), outdoor, 0));
  int powerLineRequests = 0;
  for (const simcam::LoggedRequest& r : Camera().Log())
    if (r.kind == simcam::RequestKind::kControl && r.setup.wValue == PU_POWER_LINE_FREQUENCY_CONTROL << 8) ++powerLineRequests;
  EXPECT_GT(powerLineRequests, 1);
  ExpectControlRequestsAtTheDescriptorsUnits();
}

using CompositeFunctionTest = E2eBench;

// The camera is a later function of a composite device: a control the client sets while frames
// flow lands in the camera's processing unit and reads back, and each still trigger brings one
// whole camera picture.
TEST_F(CompositeFunctionTest, ControlsAndStillsReachTheCamera) {
  ASSERT_TRUE(Boot(CompositeFunctionCamera()));
  KsPinClient *capture = nullptr, *still = nullptr;
  VideoFormat captureFormat, stillFormat;
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, 640, 480, &capture, &captureFormat));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*capture));
  ASSERT_EQ(2u, Read(*capture, 2, captureFormat.sizeImage).size());

  const capture::ControlName* brightness = capture::FindControl("brightness");
  ASSERT_NE(nullptr, brightness);
  capture::ControlInfo info;
  ASSERT_EQ(STATUS_SUCCESS, capture::QueryControl(Filter(), *brightness, &info));
  const int32_t wanted = info.value != info.maximum ? info.maximum : info.minimum;
  ASSERT_EQ(STATUS_SUCCESS, capture::SetControl(Filter(), *brightness, wanted));
  constexpr uint8_t kProcessingUnit = 2, kBrightnessSelector = 0x02;
  const std::vector<uint8_t> held = Camera().ControlCurrent(kProcessingUnit, kBrightnessSelector);
  ASSERT_EQ(2u, held.size());
  EXPECT_EQ(wanted, static_cast<int16_t>(held[0] | held[1] << 8)) << "in the camera";
  int32_t value = 0;
  ASSERT_EQ(STATUS_SUCCESS, capture::GetControl(Filter(), *brightness, &value));
  EXPECT_EQ(wanted, value);

  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kStillPin, kYuy2, 640, 480, &still, &stillFormat));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*still));
  for (const char* trigger : {"mode", "button"}) {
    SCOPED_TRACE(trigger);
    auto read = still->QueueRead(stillFormat.sizeImage);
    const uint32_t triggersBefore = Camera().Snapshot().stillTriggers;
    if (std::string(trigger) == "mode") {
      ASSERT_EQ(STATUS_SUCCESS, capture::TriggerStill(Filter(), kStillPin));
    } else {
      Camera().PressButton();
      Camera().ReleaseButton();
    }
    ASSERT_EQ(STATUS_SUCCESS, read->Request()->Wait(5 * kernel::kSecond));
    EXPECT_EQ(triggersBefore + 1, Camera().Snapshot().stillTriggers);
    const ULONG used = read->Headers().header.DataUsed;
    ASSERT_EQ(640u * 480 * 2, used);
    const Bytes data(read->Data().begin(), read->Data().begin() + used);
    EXPECT_EQ(CameraPicture(640, 480, FrameNumber(data)), data);
  }
  capture::StopPin(*still);
  capture::StopPin(*capture);
}

// Plug-and-play and power events while a client streams.
class ProfileLifeTest : public ProfileTest {
 protected:
  // Boots the camera and runs a capture pin at its smallest YUY2 size, frames checked.
  void StreamSmallestYuy2(KsPinClient** pin) {
    ASSERT_TRUE(Boot(CameraPath(GetParam())));
    const std::optional<Size> size = SmallestFrame(Camera().Layout(), simcam::FormatKind::kYuy2);
    ASSERT_TRUE(size.has_value());
    size_ = *size;
    ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, size_.width, size_.height, pin, &format_));
    ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(**pin));
    ASSERT_NO_FATAL_FAILURE(ExpectFrames(**pin, kYuy2, size_, format_.sizeImage));
  }

  Size size_{};
  VideoFormat format_;
};

// The camera is pulled while a client streams from it: the waiting read ends with an error, the
// client closes everything and nothing is left behind.

TEST_P(ProfileLifeTest, SurpriseRemovalWhileStreaming) {
  KsPinClient* pin = nullptr;
  ASSERT_NO_FATAL_FAILURE(StreamSmallestYuy2(&pin));
  auto read = pin->QueueRead(format_.sizeImage);
  Rig().Port().Unplug();
  ASSERT_EQ(STATUS_SUCCESS, Device().SurpriseRemove());
  pin->SetState(KSSTATE_STOP);
  const NTSTATUS status = read->Request()->Wait(5 * kernel::kSecond);
  EXPECT_NE(STATUS_TIMEOUT, status);
  EXPECT_FALSE(NT_SUCCESS(status));
  read.reset();
  ClosePin(pin);
}

// System sleep and resume while a client streams; the client's PAUSE and RUN after the resume
// (what a client does when the driver does not restart the stream itself, as for a bulk camera)
// streams again.
TEST_P(ProfileLifeTest, PauseAndRunAfterSleepStreamsAgain) {
  KsPinClient* pin = nullptr;
  ASSERT_NO_FATAL_FAILURE(StreamSmallestYuy2(&pin));
  kernel::NotifySystemStateLock(false);
  ASSERT_EQ(STATUS_SUCCESS, Device().SetSystemPower(PowerSystemSleeping3));
  ASSERT_EQ(STATUS_SUCCESS, Device().SetDevicePower(PowerDeviceD3));
  kernel::AdvanceClock(10 * kernel::kSecond);
  ASSERT_EQ(STATUS_SUCCESS, Device().SetSystemPower(PowerSystemWorking));
  ASSERT_EQ(STATUS_SUCCESS, Device().SetDevicePower(PowerDeviceD0));
  kernel::NotifySystemStateLock(true);
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_PAUSE));
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  ASSERT_NO_FATAL_FAILURE(ExpectFrames(*pin, kYuy2, size_, format_.sizeImage));
  capture::StopPin(*pin);
}

INSTANTIATE_TEST_SUITE_P(Cameras, ProfileLifeTest,
                         ::testing::Values(ProfileCase{"bulk", "bulk", true, true},
                                           ProfileCase{"minimal", "minimal", true, false},
                                           ProfileCase{"dumpBulk", "bulk.txt", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::e2e
