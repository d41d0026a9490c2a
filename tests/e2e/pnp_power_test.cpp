// The device's plug-and-play and power life with clients attached: stop and start, surprise
// removal with handles open, system sleep and resume, idle to D3 and back, shutdown.
#include "e2e_bench.h"
#include "frame_oracle.h"
#include "kvz/io_testing.h"
#include "kvz/kernel_thread.h"
#include "kvz/system_testing.h"

namespace kvz::e2e {
namespace {

using kernel::kSecond;

class PnpPowerTest : public E2eBench {
 protected:
  KsPinClient* Streaming(VideoFormat* f) {
    KsPinClient* pin = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, 320, 240, &pin, f));
    if (!pin) return nullptr;
    EXPECT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
    EXPECT_EQ(2u, Read(*pin, 2, f->sizeImage).size());
    return pin;
  }
  bool Delivers(KsPinClient& pin, const VideoFormat& f) {
    std::vector<CompletedFrame> frames;
    if (pin.ReadFrames(2, f.sizeImage, 4, &frames, 10 * kSecond) != STATUS_SUCCESS || frames.size() != 2) return false;
    return frames.back().data == CameraPicture(320, 240, FrameNumber(frames.back().data));
  }
};

TEST_F(PnpPowerTest, StopAndStartAgainStreams) {
  ASSERT_TRUE(Boot("isoch"));
  ASSERT_EQ(STATUS_SUCCESS, Device().QueryStop());
  ASSERT_EQ(STATUS_SUCCESS, Device().Stop());
  ASSERT_EQ(STATUS_SUCCESS, Device().Start());
  VideoFormat f;
  KsPinClient* pin = Streaming(&f);
  ASSERT_NE(nullptr, pin);
  EXPECT_TRUE(Delivers(*pin, f));
  capture::StopPin(*pin);
}

// The camera is pulled while a client streams: its waiting reads end with an error (none stays
// pending), the client can still close everything, and nothing is left behind.
TEST_F(PnpPowerTest, SurpriseRemovalWithHandlesOpen) {
  ASSERT_TRUE(Boot("isoch"));
  VideoFormat f;
  KsPinClient* pin = Streaming(&f);
  ASSERT_NE(nullptr, pin);
  auto read = pin->QueueRead(f.sizeImage);
  Rig().Port().Unplug();
  ASSERT_EQ(STATUS_SUCCESS, Device().SurpriseRemove());
  pin->SetState(KSSTATE_STOP);
  const NTSTATUS status = read->Request()->Wait(5 * kSecond);
  EXPECT_NE(STATUS_TIMEOUT, status);
  EXPECT_FALSE(NT_SUCCESS(status));
  read.reset();
  ClosePin(pin);
}

// System sleep and resume while streaming: on builds from 10587 the driver restarts the stream
// itself; before, the client's next PAUSE and RUN does.
class SleepTest : public PnpPowerTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SleepTest, StreamingContinuesAfterResume) {
  kernel::SetSystemVersion(kernel::SystemVersion::Windows10(GetParam()));
  ASSERT_TRUE(Boot("isoch"));
  VideoFormat f;
  KsPinClient* pin = Streaming(&f);
  ASSERT_NE(nullptr, pin);
  kernel::NotifySystemStateLock(false);
  ASSERT_EQ(STATUS_SUCCESS, Device().SetSystemPower(PowerSystemSleeping3));
  ASSERT_EQ(STATUS_SUCCESS, Device().SetDevicePower(PowerDeviceD3));
  kernel::AdvanceClock(10 * kSecond);
  ASSERT_EQ(STATUS_SUCCESS, Device().SetSystemPower(PowerSystemWorking));
  ASSERT_EQ(STATUS_SUCCESS, Device().SetDevicePower(PowerDeviceD0));
  kernel::NotifySystemStateLock(true);
  if (GetParam() < 10587) {
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_PAUSE));
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  }
  EXPECT_TRUE(Delivers(*pin, f));
  capture::StopPin(*pin);
}

INSTANTIATE_TEST_SUITE_P(Windows10, SleepTest, ::testing::Values(10586u, 10587u));

// A client buffer that arrives while the resume commits the stream again waits for it: it is
// filled with a frame the camera sent after the resume, never with the one left in the driver
// from before the sleep. The resume's probe answers "suspended" three times, 50 ms apart, so the
// buffer lands inside the probe.
TEST_F(PnpPowerTest, BufferArrivingDuringTheResumeGetsNoFrameFromBeforeTheSleep) {
  kernel::SetSystemVersion(kernel::SystemVersion::Windows10(10587));
  ASSERT_TRUE(Boot("isoch"));
  VideoFormat f;
  KsPinClient* pin = Streaming(&f);
  ASSERT_NE(nullptr, pin);
  // Frames go on arriving with no buffer queued: the newest stays ready in the driver.
  kernel::AdvanceClock(kSecond / 2);
  kernel::NotifySystemStateLock(false);
  const uint64_t sentBeforeSleep = Camera().Snapshot().framesSent;
  simcam::RequestFault suspended;
  suspended.match.bmRequestType = 0x21;
  suspended.match.bRequest = 0x01;  // SET_CUR
  suspended.match.wValue = 0x0100;  // VS_PROBE_CONTROL
  suspended.match.wIndex = Camera().Layout().streamingInterface;
  suspended.kind = simcam::RequestFaultKind::kPowerStateInvalid;
  suspended.count = 3;
  Camera().ArmRequestFault(suspended);
  std::unique_ptr<ksclient::StreamRead> read;
  {
    kernel::KernelThread resume("resume", [] { kernel::NotifySystemStateLock(true); });
    // 200 ms settle, then the probe's first two answers.
    kernel::AdvanceClock(300 * kernel::kMillisecond);
    read = pin->QueueRead(f.sizeImage);
    resume.Join();
  }
  ASSERT_EQ(STATUS_SUCCESS, read->Request()->Wait(5 * kSecond));
  EXPECT_GE(FrameNumber(read->Data()), sentBeforeSleep) << "a frame from before the sleep";
  EXPECT_EQ(read->Data(), CameraPicture(320, 240, FrameNumber(read->Data())));
  capture::StopPin(*pin);
}

// Nobody uses the camera: after 2 s it goes to D3; a client opening the filter brings it back.
// After shutdown it stays up, even with no client.
TEST_F(PnpPowerTest, IdleToD3AfterTwoSecondsAndBackAndShutdownKeepsItUp) {
  ASSERT_TRUE(Boot("isoch"));
  kernel::AdvanceClock(kSecond);
  EXPECT_EQ(PowerDeviceD0, Rig().Port().PowerState());
  kernel::AdvanceClock(3 * kSecond);
  EXPECT_EQ(PowerDeviceD3, Rig().Port().PowerState());

  Filter();
  kernel::AdvanceClock(kSecond / 2);
  EXPECT_EQ(PowerDeviceD0, Rig().Port().PowerState());
  kernel::AdvanceClock(10 * kSecond);
  EXPECT_EQ(PowerDeviceD0, Rig().Port().PowerState()) << "idled while a filter is open";

  CloseFilter();
  kernel::SystemShutdown();
  kernel::AdvanceClock(10 * kSecond);
  EXPECT_EQ(PowerDeviceD0, Rig().Port().PowerState());
}

}  // namespace
}  // namespace kvz::e2e
