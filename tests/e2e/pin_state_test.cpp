// Kernel-streaming state walks of the capture pin: the class driver steps through adjacent states,
// so a client may turn back at any state; every walk that ends in RUN must deliver the camera's
// picture, and PAUSE or a lower state must not. The still pin takes the same walks, and stays
// able to deliver while the capture pin takes them.
#include "e2e_bench.h"
#include "frame_oracle.h"

namespace kvz::e2e {
namespace {

struct WalkCase {
  const char* name;
  const char* camera;
  // Targets set one after the other once the pin has run; the last is RUN.
  std::vector<KSSTATE> walk;
};

class PinStateWalkTest : public E2eBench, public ::testing::WithParamInterface<WalkCase> {
 protected:
  void StillAfterTheWalk(bool captureWalks);
};

TEST_P(PinStateWalkTest, EveryWalkBackToRunDelivers) {
  ASSERT_TRUE(Boot(GetParam().camera));
  KsPinClient* pin = nullptr;
  VideoFormat f;
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, 320, 240, &pin, &f));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*pin));
  ASSERT_EQ(2u, Read(*pin, 2, f.sizeImage).size());
  // Twice: a walk must leave the pin able to take the same walk again.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    for (KSSTATE s : GetParam().walk) {
      ASSERT_EQ(STATUS_SUCCESS, pin->SetState(s)) << "to state " << s;
      KSSTATE state = KSSTATE_RUN;
      ASSERT_EQ(STATUS_SUCCESS, pin->GetState(&state));
      ASSERT_EQ(s, state);
      // The class driver refuses reads in STOP; in ACQUIRE and PAUSE they wait.
      if (s == KSSTATE_ACQUIRE || s == KSSTATE_PAUSE) {
        auto read = pin->QueueRead(f.sizeImage);
        EXPECT_EQ(STATUS_TIMEOUT, read->Request()->Wait(kernel::kSecond / 2)) << "a frame in state " << s;
      }
    }
    const auto frames = Read(*pin, 3, f.sizeImage);
    ASSERT_EQ(3u, frames.size());
    for (const auto& frame : frames) EXPECT_EQ(CameraPicture(320, 240, FrameNumber(frame.data)), frame.data);
  }
  capture::StopPin(*pin);
}

// One pin takes the walk while the other stays in RUN; back in RUN, a trigger brings one whole
// still. When the capture pin walks, its pause or stop must leave the still pin its buffers.
void PinStateWalkTest::StillAfterTheWalk(bool captureWalks) {
  const WalkCase& walk = GetParam();
  ASSERT_TRUE(Boot(walk.camera));
  KsPinClient *capture = nullptr, *still = nullptr;
  VideoFormat cf, sf;
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kCapturePin, kYuy2, 640, 480, &capture, &cf));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*capture));
  ASSERT_EQ(2u, Read(*capture, 2, cf.sizeImage).size());
  ASSERT_EQ(STATUS_SUCCESS, CreatePin(kStillPin, kYuy2, 640, 480, &still, &sf));
  ASSERT_EQ(STATUS_SUCCESS, capture::RunPin(*still));
  KsPinClient* walker = captureWalks ? capture : still;
  for (KSSTATE s : walk.walk) ASSERT_EQ(STATUS_SUCCESS, walker->SetState(s)) << "to state " << s;
  if (captureWalks) {
    ASSERT_EQ(2u, Read(*capture, 2, cf.sizeImage).size());
  }
  auto read = still->QueueRead(sf.sizeImage);
  ASSERT_EQ(STATUS_SUCCESS, capture::TriggerStill(Filter(), kStillPin));
  ASSERT_EQ(STATUS_SUCCESS, read->Request()->Wait(5 * kernel::kSecond));
  ASSERT_EQ(sf.sizeImage, read->Headers().header.DataUsed);
  const Bytes data(read->Data().begin(), read->Data().begin() + sf.sizeImage);
  EXPECT_EQ(CameraPicture(640, 480, FrameNumber(data)), data);
  read.reset();
  capture::StopPin(*still);
  capture::StopPin(*capture);
}

TEST_P(PinStateWalkTest, StillPinDeliversAfterEveryWalkBackToRun) { StillAfterTheWalk(false); }

TEST_P(PinStateWalkTest, StillPinLeftInRunDeliversAfterTheCaptureWalk) { StillAfterTheWalk(true); }

std::vector<WalkCase> Walks() {
  const KSSTATE S = KSSTATE_STOP, A = KSSTATE_ACQUIRE, P = KSSTATE_PAUSE, R = KSSTATE_RUN;
  std::vector<WalkCase> walks;
  for (const char* camera : {"isoch", "bulk"}) {
    walks.push_back({"pause_run", camera, {P, R}});
    walks.push_back({"pause_acquire_pause_run", camera, {P, A, P, R}});
    walks.push_back({"acquire_run", camera, {A, R}});
    walks.push_back({"pause_acquire_stop_run", camera, {P, A, S, A, P, R}});
    walks.push_back({"stop_in_one_step_run", camera, {S, R}});
    walks.push_back({"pause_twice_acquire_twice", camera, {P, A, P, A, P, R}});
  }
  return walks;
}

INSTANTIATE_TEST_SUITE_P(Walks, PinStateWalkTest, ::testing::ValuesIn(Walks()), [](const auto& info) {
  return std::string(info.param.camera) + "_" + info.param.name;
});

}  // namespace
}  // namespace kvz::e2e
