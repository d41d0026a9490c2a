// The bulk stream reader against the simulated bulk camera: exact frames, damaged payloads,
// the 2 ms retry, the halted endpoint's reset and its timings, pause and resume, the stop that
// gives up after half a second, removal.
#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"
#include "simcam/test_pattern.h"
#include "support/stream_bench.h"
#include "usb/usb_limits.h"

namespace kvz::usbtest {
namespace {

using kvz::kernel::kMillisecond;
using kvz::kernel::kSecond;
using kvz::kernel::Now;

constexpr uint8_t kYuy2 = 1;
constexpr uint8_t kMjpeg = 2;
constexpr uint8_t kYuy2Small = 3;  // 160 x 120
constexpr uint32_t k30Fps = 333333;

class BulkReaderTest : public StreamBench {
 protected:
  void SetUp() override {
    StreamBench::SetUp();
    BootStreaming(simcam::BulkCamera(DriverGuids()));
  }
  NTSTATUS StartVideo(uint8_t format = kYuy2, uint8_t frame = kYuy2Small) {
    committed_ = Commit(format, frame, k30Fps);
    if (!bulk_) MakeBulk();
    return bulk_->Start(committed_.dwMaxVideoFrameSize, committed_.dwMaxPayloadTransferSize, Interface(),
                        Pin(kStreamCapture), kStreamCapture);
  }
  std::vector<simcam::LoggedRequest> PipeRequests(simcam::RequestKind kind) {
    std::vector<simcam::LoggedRequest> out;
    for (const auto& r : camera_->Log())
      if (r.kind == kind) out.push_back(r);
    return out;
  }
  // A reset pipe stops the camera's bulk stream until the next commit. The camera does not tell
  // the bus that the commit made data ready for the transfers already waiting: a configuration
  // call does.
  void RecommitWithTransfersPending() {
    Commit(kYuy2, kYuy2Small, k30Fps);
    camera_->Configure([](auto&, auto&, auto&, auto&) {});
  }
  UVC_VIDEO_PROBE_COMMIT committed_{};
};

TEST_F(BulkReaderTest, ReassemblesTheCamerasYuy2FramesExactly) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  EXPECT_EQ(8, bulk_->TransfersInFlight());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 6));
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
  const std::vector<Frame> frames = Frames(kStreamCapture);
  for (const Frame& f : frames) EXPECT_TRUE(IsCameraYuy2Frame(f, 160, 120));
  const StreamCounters c = bulk_->Counters();
  EXPECT_EQ(0u, c.discarded);
  EXPECT_EQ(frames.size(), c.delivered);
}

TEST_F(BulkReaderTest, ReassemblesMjpegFramesThatDecodeAtTheirSize) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo(kMjpeg, 1));
  ASSERT_TRUE(WaitFrames(kStreamCapture, 4));
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
  for (const Frame& f : Frames(kStreamCapture)) EXPECT_TRUE(DecodesAsJpeg(f, 640, 480));
}

class BulkStillTest : public BulkReaderTest, public ::testing::WithParamInterface<CaptureRestart> {};

// The still pin stays registered while the capture stream pauses or stops and starts again
// (committed again: the pipe reset ends the camera's commit): its buffers stay, and a still
// triggered afterwards reaches it.
TEST_P(BulkStillTest, StillFramesGoToTheStillPinOnly) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_EQ(STATUS_SUCCESS, CommitStill(kYuy2, 2));  // 320 x 240
  ASSERT_EQ(STATUS_SUCCESS, bulk_->Start(320 * 240 * 2, 0, nullptr, Pin(kStreamStill), kStreamStill));
  StillsAcrossACaptureRestart(
      bulk_, GetParam(), [] {}, [this] { ASSERT_EQ(STATUS_SUCCESS, StartVideo()); });
}

INSTANTIATE_TEST_SUITE_P(CaptureRestarts, BulkStillTest,
                         ::testing::Values(CaptureRestart::kNone, CaptureRestart::kPause, CaptureRestart::kStop),
                         CaptureRestartName);

struct BulkFaultCase {
  const char* name;
  simcam::FrameFault frame;      // on the damaged frame
  bool shortTransfer;            // a transfer of 5 bytes instead
  uint32_t lostFrames;
  uint32_t discarded = 1;
  uint8_t format = kYuy2;
  uint8_t frameIndex = kYuy2Small;
};

class BulkFrameFaultTest : public BulkReaderTest, public ::testing::WithParamInterface<BulkFaultCase> {};

// Every frame delivered is exactly one of the camera's; the damaged one (and, where the damage
// may have cut the next frame's beginning, that one) is discarded and counted, and the frame
// after it arrives whole.
TEST_P(BulkFrameFaultTest, DamagedFrameIsDiscardedAndCounted) {
  const BulkFaultCase& c = GetParam();
  const bool mjpeg = c.format == kMjpeg;
  const uint16_t width = c.frameIndex == kYuy2Small ? 160 : 640;
  const uint16_t height = c.frameIndex == kYuy2Small ? 120 : 480;
  ASSERT_EQ(STATUS_SUCCESS, StartVideo(c.format, c.frameIndex));
  ASSERT_TRUE(WaitFrames(kStreamCapture, 2));
  const uint32_t damaged =
      mjpeg ? 5 : simcam::FrameNumberOfYuy2(Frames(kStreamCapture).back().data(), 8) + 2;
  if (c.shortTransfer) {
    Sleep(40 * kMillisecond);
    simcam::TransferFault f;
    f.kind = simcam::TransferFaultKind::kShort;
    f.shortLength = 5;
    camera_->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, f);
  } else {
    camera_->ArmFrameFault(damaged, c.frame);
  }
  ASSERT_TRUE(WaitFrames(kStreamCapture, 8));
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
  const std::vector<Frame> frames = Frames(kStreamCapture);
  for (const Frame& f : frames) EXPECT_TRUE(mjpeg ? DecodesAsJpeg(f, width, height) : IsCameraYuy2Frame(f, width, height));
  if (!c.shortTransfer && !mjpeg) {
    std::vector<uint32_t> numbers;
    for (const Frame& f : frames) numbers.push_back(simcam::FrameNumberOfYuy2(f.data(), f.size()));
    for (uint32_t n : numbers) EXPECT_TRUE(n < damaged || n >= damaged + c.lostFrames) << n;
    EXPECT_EQ(1, std::count(numbers.begin(), numbers.end(), damaged + c.lostFrames)) << "the frame after the damage";
  }
  EXPECT_EQ(c.discarded, bulk_->Counters().discarded);
}

// 160 x 120 YUY2 is one payload a frame, 640 x 480 ten.
INSTANTIATE_TEST_SUITE_P(
    Faults, BulkFrameFaultTest,
    // A frame's only payload unreadable: it may as well have been the next frame's first.
    ::testing::Values(BulkFaultCase{"BadHeaderLength", HeaderFault(simcam::HeaderFault::kBadLength), false, 2},
                      BulkFaultCase{"NoEndOfHeader", HeaderFault(simcam::HeaderFault::kNoEndOfHeader), false, 2},
                      BulkFaultCase{"ErrorBit", HeaderFault(simcam::HeaderFault::kError), false, 1},
                      BulkFaultCase{"PayloadBeyondTheFrame", OversizeFault(), false, 1},
                      BulkFaultCase{"LostEndOfFrame", LostEofFault(), false, 1},
                      BulkFaultCase{"TransferShorterThanAHeader", {}, true, 1},
                      BulkFaultCase{"HeaderOnlyFrame", HeaderOnlyFrameFault(), false, 1},
                      BulkFaultCase{"LostPayload", LostPayloadFault(2), false, 1, 1, kYuy2, 1},
                      // The lost transfer may as well have held the next frame's beginning.
                      BulkFaultCase{"LostEndOfFramePayload", LostLastPayloadFault(), false, 2, 2, kYuy2, 1},
                      BulkFaultCase{"MjpegLostEndOfFrame", LostEofFault(), false, 1, 1, kMjpeg, 1},
                      // A 640 x 480 picture is one payload: the frame is lost whole, the next discarded.
                      BulkFaultCase{"MjpegLostEndOfFramePayload", LostLastPayloadFault(), false, 2, 1, kMjpeg, 1}),
    [](const ::testing::TestParamInfo<BulkFaultCase>& info) { return info.param.name; });

struct RetryCase {
  const char* name;
  NTSTATUS irpStatus;
};

class BulkRetryTest : public BulkReaderTest, public ::testing::WithParamInterface<RetryCase> {};

// A failed transfer goes again 2 ms later: the
// camera's log of the pipe shows no reset, and the stream carries on.
TEST_P(BulkRetryTest, FailedTransferIsSentAgainTwoMillisecondsLater) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 1));
  simcam::TransferFault fault;
  fault.kind = simcam::TransferFaultKind::kIrpFailure;
  fault.irpStatus = GetParam().irpStatus;
  camera_->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, fault);
  int64_t longest = 0, start = -1;
  const int64_t end = Now() + 60 * kMillisecond;
  while (Now() < end) {
    const bool dip = port_->PendingRequests() < 8;
    if (dip && start < 0) start = Now();
    if (!dip && start >= 0) {
      longest = std::max(longest, Now() - start);
      start = -1;
    }
    Sleep(kMillisecond / 8);
  }
  // Sampled every 125 us: the dip is seen up to one sample late at either end.
  EXPECT_GE(longest, 2 * kMillisecond - kMillisecond / 8);
  EXPECT_LE(longest, 2 * kMillisecond + kMillisecond / 2);
  EXPECT_EQ(8, bulk_->TransfersInFlight());
  const size_t before = Frames(kStreamCapture).size();
  ASSERT_TRUE(WaitFrames(kStreamCapture, before + 2));
  EXPECT_TRUE(PipeRequests(simcam::RequestKind::kPipeReset).empty());
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
}

INSTANTIATE_TEST_SUITE_P(Statuses, BulkRetryTest,
                         ::testing::Values(RetryCase{"Unsuccessful", STATUS_UNSUCCESSFUL},
                                           RetryCase{"NotResponding", STATUS_DEVICE_NOT_CONNECTED}),
                         [](const ::testing::TestParamInfo<RetryCase>& info) { return info.param.name; });

// A halt soon after the start: abort, 50 ms, 200 ms more (less than 250 ms since the start),
// reset, 150 ms, then every held transfer again. A second halt well after the first: the reset
// follows the abort by 50 ms only.
TEST_F(BulkReaderTest, HaltedEndpointIsResetWithItsTimingsAndStreamingResumes) {
  simcam::TransferFault halt;
  halt.kind = simcam::TransferFaultKind::kStallThenHalt;
  camera_->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, halt);
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  Sleep(600 * kMillisecond);
  auto aborts = PipeRequests(simcam::RequestKind::kPipeAbort);
  auto resets = PipeRequests(simcam::RequestKind::kPipeReset);
  ASSERT_EQ(1u, aborts.size());
  ASSERT_EQ(1u, resets.size());
  const int64_t gap = static_cast<int64_t>(resets[0].time - aborts[0].time);
  EXPECT_GE(gap, 250 * kMillisecond);
  EXPECT_LT(gap, 252 * kMillisecond);
  EXPECT_EQ(8, bulk_->TransfersInFlight());
  Commit(kYuy2, kYuy2Small, k30Fps);
  RecommitWithTransfersPending();
  const size_t before = Frames(kStreamCapture).size();
  ASSERT_TRUE(WaitFrames(kStreamCapture, before + 3));

  camera_->ClearLog();
  camera_->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, halt);
  Sleep(400 * kMillisecond);
  aborts = PipeRequests(simcam::RequestKind::kPipeAbort);
  resets = PipeRequests(simcam::RequestKind::kPipeReset);
  ASSERT_EQ(1u, aborts.size());
  ASSERT_EQ(1u, resets.size());
  EXPECT_GE(static_cast<int64_t>(resets[0].time - aborts[0].time), 50 * kMillisecond);
  EXPECT_LT(static_cast<int64_t>(resets[0].time - aborts[0].time), 52 * kMillisecond);
  RecommitWithTransfersPending();
  ASSERT_TRUE(WaitFrames(kStreamCapture, Frames(kStreamCapture).size() + 2));
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
  EXPECT_EQ(0, bulk_->TransfersInFlight());
}

TEST_F(BulkReaderTest, StopDuringAResetWaitsForItAndFreesTheHeldTransfers) {
  simcam::TransferFault halt;
  halt.kind = simcam::TransferFaultKind::kStallThenHalt;
  camera_->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, halt);
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  Sleep(20 * kMillisecond);  // the worker waits after its abort
  ASSERT_EQ(1u, PipeRequests(simcam::RequestKind::kPipeAbort).size());
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
  EXPECT_EQ(0, bulk_->TransfersInFlight());
  EXPECT_EQ(0u, port_->PendingRequests());
  // Nothing the worker held is sent into the next stream.
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  EXPECT_EQ(8, bulk_->TransfersInFlight());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 2));
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
}

TEST_F(BulkReaderTest, PauseFreesTransfersAndResumeSendsThemAgain) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 1));
  ASSERT_EQ(STATUS_SUCCESS, bulk_->SetTransportPaused(1));
  Sleep(500 * kMillisecond);
  EXPECT_EQ(0, bulk_->TransfersInFlight());
  const size_t before = Frames(kStreamCapture).size();
  ASSERT_EQ(STATUS_SUCCESS, bulk_->SetTransportPaused(0));
  EXPECT_EQ(8, bulk_->TransfersInFlight());
  ASSERT_TRUE(WaitFrames(kStreamCapture, before + 3));
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
  // The frame the pause cut is discarded, not delivered with a gap.
  for (const Frame& f : Frames(kStreamCapture)) EXPECT_TRUE(IsCameraYuy2Frame(f, 160, 120));
}

// 640 x 480 frames span ten payloads: a pause frees transfers that carried some of them, and
// the frame they belonged to is discarded, never delivered with a gap.
TEST_F(BulkReaderTest, FrameCutByAPauseIsDiscarded) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo(kYuy2, 1));
  ASSERT_TRUE(WaitFrames(kStreamCapture, 1));
  for (int i = 0; i < 8; ++i) {
    Sleep(13 * kMillisecond);
    ASSERT_EQ(STATUS_SUCCESS, bulk_->SetTransportPaused(1));
    Sleep(5 * kMillisecond);
    ASSERT_EQ(STATUS_SUCCESS, bulk_->SetTransportPaused(0));
  }
  ASSERT_TRUE(WaitFrames(kStreamCapture, Frames(kStreamCapture).size() + 2));
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
  for (const Frame& f : Frames(kStreamCapture)) EXPECT_TRUE(IsCameraYuy2Frame(f, 640, 480));
  EXPECT_GT(bulk_->Counters().discarded + bulk_->Counters().dropped, 0u);
}

TEST_F(BulkReaderTest, StopGivesUpOnTransfersAfterHalfASecondThenAbortsThePipe) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 1));
  camera_->Configure([](simcam::CameraFaults& f, auto&, auto&, auto&) { f.holdBulkUntilAbort = true; });
  Sleep(300 * kMillisecond);  // every transfer now held by the camera
  camera_->ClearLog();
  const int64_t start = Now();
  EXPECT_EQ(STATUS_SUCCESS, bulk_->Stop(kStreamCapture));
  const int64_t took = Now() - start;
  EXPECT_GE(took, 500 * kMillisecond);
  EXPECT_LT(took, 520 * kMillisecond);
  const auto aborts = PipeRequests(simcam::RequestKind::kPipeAbort);
  ASSERT_EQ(1u, aborts.size());
  EXPECT_GE(static_cast<int64_t>(aborts[0].time) - start, 500 * kMillisecond);
  EXPECT_EQ(0u, port_->PendingRequests());
}

TEST_F(BulkReaderTest, StartIsRefusedWithoutAPayloadSizeOrAWorkItem) {
  Commit(kYuy2, kYuy2Small, k30Fps);
  MakeBulk();
  EXPECT_EQ(STATUS_INVALID_PARAMETER, bulk_->Start(160 * 120 * 2, 0, Interface(), Pin(kStreamCapture), kStreamCapture));
  // The reset work item is the first thing a start takes.
  kvz::kernel::FailNthAllocation(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            bulk_->Start(160 * 120 * 2, 40000, Interface(), Pin(kStreamCapture), kStreamCapture));
  kvz::kernel::ClearPoolFaults();
  EXPECT_EQ(0u, kvz::kernel::PoolStatsForTag(kTagFrameData).liveBlocks);
  EXPECT_EQ(0u, port_->PendingRequests());
}

enum class BulkRemovalStage { kBeforeStart, kStreaming, kPaused, kDuringReset };

class BulkRemovalTest : public BulkReaderTest, public ::testing::WithParamInterface<BulkRemovalStage> {};

TEST_P(BulkRemovalTest, SurpriseRemovalLeavesNothingBehind) {
  const BulkRemovalStage stage = GetParam();
  if (stage == BulkRemovalStage::kBeforeStart) {
    Commit(kYuy2, kYuy2Small, k30Fps);
    port_->Unplug();
    Usb()->MarkRemoved();
    MakeBulk();
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, bulk_->Start(160 * 120 * 2, 40000, Interface(), Pin(kStreamCapture), kStreamCapture));
  } else {
    if (stage == BulkRemovalStage::kDuringReset) {
      simcam::TransferFault halt;
      halt.kind = simcam::TransferFaultKind::kStallThenHalt;
      camera_->ArmTransferFault(USB_ENDPOINT_TYPE_BULK, halt);
    }
    ASSERT_EQ(STATUS_SUCCESS, StartVideo());
    Sleep(20 * kMillisecond);
    if (stage == BulkRemovalStage::kPaused) {
      ASSERT_EQ(STATUS_SUCCESS, bulk_->SetTransportPaused(1));
    }
    port_->Unplug();
    Usb()->MarkRemoved();
  }
  Sleep(600 * kMillisecond);
  EXPECT_EQ(0, bulk_->TransfersInFlight());
  bulk_->Stop(kStreamCapture);
  EXPECT_EQ(0, bulk_->TransfersInFlight());
  DestroyReader();
}

INSTANTIATE_TEST_SUITE_P(Stages, BulkRemovalTest,
                         ::testing::Values(BulkRemovalStage::kBeforeStart, BulkRemovalStage::kStreaming,
                                           BulkRemovalStage::kPaused, BulkRemovalStage::kDuringReset));

}  // namespace
}  // namespace kvz::usbtest
