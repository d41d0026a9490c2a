// Every camera the driver may meet beside the vendor's isochronous one: the bulk and minimal
// profiles and the recorded descriptor dumps. Each must start, publish its filter and, where it
// offers YUY2 (then also RGB24) or MJPEG, stream them through a RUN, PAUSE and STOP walk; every
// test ends with a clean unload.
#include <optional>

#include "e2e_bench.h"
#include "frame_oracle.h"
#include "kvz/io_testing.h"
#include "kvz/system_testing.h"

namespace kvz::e2e {
namespace {

struct ProfileCase {
  const char* name;
  const char* camera;  // a profile name, or a dump file of the simulated camera's tests
  bool yuy2;           // what the camera's descriptors offer the capture pin
  bool mjpg;
};

std::string CameraPath(const ProfileCase& c) {
  const std::string camera = c.camera;
  if (camera.size() > 4 && camera.substr(camera.size() - 4) == ".txt") return std::string(KVZ_SIMCAM_DUMPS) + "/" + camera;
  return camera;
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

class ProfileTest : public E2eBench, public ::testing::WithParamInterface<ProfileCase> {
 protected:
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

TEST_P(ProfileTest, StartsAndStreamsThroughStateWalks) {
  const ProfileCase& c = GetParam();
  ASSERT_TRUE(Boot(CameraPath(c)));
  const capture::PinIds ids = capture::FindPins(Filter());
  // Without YUY2 or MJPEG there is nothing the capture pin could offer.
  ASSERT_EQ(c.yuy2 || c.mjpg, ids.capture >= 0);
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
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, ProfileTest,
    ::testing::Values(ProfileCase{"bulk", "bulk", true, true}, ProfileCase{"minimal", "minimal", true, false},
                      ProfileCase{"dumpBulk", "bulk.txt", true, true},
                      ProfileCase{"dumpCompositeAudio", "composite_audio.txt", true, true},
                      ProfileCase{"dumpFullSpeed", "full_speed.txt", true, false},
                      ProfileCase{"dumpSuperSpeed", "superspeed.txt", false, true},
                      ProfileCase{"dumpTwoStreams", "two_streams.txt", true, true},
                      ProfileCase{"dumpStillMethod3", "still_method3.txt", false, false},
                      ProfileCase{"dumpFrameBased", "uvc15_frame_based.txt", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

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
