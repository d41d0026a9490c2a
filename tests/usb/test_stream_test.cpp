// The private test stream over the bus and the simulated camera's test registers: the register
// and negotiation protocol, the polling rules and time-outs, the packet stride, stop requests,
// removal, failing transfers and allocations; every run ends with nothing left behind.
#include <gtest/gtest.h>

#include <uvc.h>

#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "kvz/system_testing.h"
#include "primitives/driver_memory.h"
#include "support/camera_start.h"
#include "support/pool_object.h"
#include "support/stream_host.h"
#include "support/usb_bench.h"
#include "usb/test_stream_reader.h"
#include "usb/usb_limits.h"

namespace kvz {

template <>
struct TestSeam<TestStreamReader> {
  static ULONG PacketStride(const TestStreamReader& reader) { return reader.stride_; }
};

}  // namespace kvz

namespace kvz::usbtest {
namespace {

using kvz::kernel::kMillisecond;
using kvz::kernel::kSecond;
using kvz::kernel::Now;

constexpr ULONG kUntouched = 0xDEADBEEF;

size_t SlotBlocks() {
  return kvz::kernel::PoolStatsForTag(kTagTransferData).liveBlocks +
         kvz::kernel::PoolStatsForTag(kTagTransferUrb).liveBlocks;
}

class TestStreamTest : public UsbBench {
 protected:
  void SetUp() override {
    UsbBench::SetUp();
    StartCameraWith([this] { DestroyReader(); });
  }
  void TearDown() override {
    UsbBench::TearDown();
    kvz::kernel::SetSystemVersion(kvz::kernel::SystemVersion::Windows10(19045));
  }

  void Start(simcam::CameraProfile profile) {
    ASSERT_EQ(STATUS_SUCCESS, Boot(std::move(profile)));
    host_ = new BenchStreamHost(Device());
    reader_ = PoolNew<TestStreamReader>('VPGB', Device()->streamingInterface, 5, 0, Usb()->GetLowerStackSize(), Usb(),
                                        host_);
    camera_->ClearLog();
  }
  void Start() { Start(simcam::HighSpeedIsochCamera(DriverGuids())); }

  void DestroyReader() {
    PoolDelete(reader_);
    delete host_;
    host_ = nullptr;
  }

  void Registers(const std::function<void(simcam::RegisterFile&)>& f) {
    camera_->Configure([&](simcam::CameraFaults&, simcam::ControlTable&, simcam::RegisterFile& r,
                           simcam::CameraOptions&) { f(r); });
  }

  // Runs the test and checks what every run must leave: no transfer, no slot, the streaming
  // interface back at alternate setting 0.
  NTSTATUS Run(ULONG* result) {
    started_ = Now();
    const NTSTATUS status = reader_->Run(result);
    elapsed_ = Now() - started_;
    EXPECT_EQ(0u, SlotBlocks());
    EXPECT_EQ(0u, port_->PendingRequests());
    if (!port_->Removed()) {
      EXPECT_EQ(0, camera_->Snapshot().streamingAlternate);
    }
    return status;
  }

  BenchStreamHost* host_ = nullptr;
  TestStreamReader* reader_ = nullptr;
  int64_t started_ = 0;
  int64_t elapsed_ = 0;
};

TEST_F(TestStreamTest, ArmsCommitsStreamsAndReadsTheResultOnceTheCameraIsDone) {
  Start();
  Registers([](simcam::RegisterFile& r) { r.Test().result = 0xBEEF; });
  ULONG result = kUntouched;
  EXPECT_EQ(STATUS_SUCCESS, Run(&result));
  EXPECT_EQ(0xBEEFu, result);
  // Armed first, through the vendor unit's address and data selectors.
  const auto writes = camera_->RegisterWrites();
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(kTestRegisterArm, writes.front().address);
  EXPECT_EQ(1, writes.front().value);
  // The fixed format went through probe, probe read-back and commit, in that order.
  std::vector<std::pair<uint8_t, uint16_t>> negotiation;
  for (const auto& r : camera_->Log())
    if (r.kind == simcam::RequestKind::kControl && r.setup.wIndex == kStreamingInterfaceIndex)
      negotiation.push_back({r.setup.bRequest, r.setup.wValue});
  const std::vector<std::pair<uint8_t, uint16_t>> expected = {
      {SET_CUR, kProbeControlValue}, {GET_CUR, kProbeControlValue}, {SET_CUR, kCommitControlValue}};
  EXPECT_EQ(expected, negotiation);
  const UVC_VIDEO_PROBE_COMMIT commit = camera_->Snapshot().commit;
  EXPECT_EQ(1, commit.bFormatIndex);
  EXPECT_EQ(1, commit.bFrameIndex);
  EXPECT_EQ(kTestFrameInterval, commit.dwFrameInterval);
  // A streaming setting, then alternate setting 0 selected twice.
  ASSERT_EQ(3u, host_->selections.size());
  EXPECT_NE(0, host_->selections[0]);
  EXPECT_EQ(0, host_->selections[1]);
  EXPECT_EQ(0, host_->selections[2]);
  // The camera is done 1 s after arming; the answer comes at the next 200 ms poll.
  EXPECT_GE(elapsed_, kSecond);
  EXPECT_LT(elapsed_, kSecond + 500 * kMillisecond);
}

struct PollCase {
  const char* name;
  bool finishes;
  bool frozenProgress;  // done reads 1 at once, progress never leaves 0
  NTSTATUS status;
  ULONG result;
  int64_t minElapsed;
  int64_t maxElapsed;
};

class TestStreamPollTest : public TestStreamTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(TestStreamPollTest, PollsFiftyTimesTwoHundredMillisecondsApart) {
  const PollCase& c = GetParam();
  Start();
  Registers([&](simcam::RegisterFile& r) {
    r.Test().finishes = c.finishes;
    if (c.frozenProgress) {
      r.Script(kTestRegisterDone, [](uint64_t) { return uint8_t{1}; });
      r.Script(kTestRegisterProgressHigh, [](uint64_t) { return uint8_t{0}; });
      r.Script(kTestRegisterProgressLow, [](uint64_t) { return uint8_t{0}; });
    }
  });
  ULONG result = kUntouched;
  EXPECT_EQ(c.status, Run(&result));
  EXPECT_EQ(c.result, result);
  EXPECT_GE(elapsed_, c.minElapsed);
  EXPECT_LT(elapsed_, c.maxElapsed);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, TestStreamPollTest,
    ::testing::Values(
        // Never done: fifty polls, then a time-out rather than a success with no result.
        PollCase{"NeverDone", false, false, STATUS_IO_TIMEOUT, 0, 10 * kSecond, 11 * kSecond},
        // A done flag without new progress is not believed (the last test's value is 0).
        PollCase{"DoneWithoutProgress", true, true, STATUS_IO_TIMEOUT, 0, 10 * kSecond, 11 * kSecond}),
    [](const ::testing::TestParamInfo<PollCase>& info) { return std::string(info.param.name); });

TEST_F(TestStreamTest, ProgressIsComparedWithThePreviousTest) {
  Start();
  ULONG result = 0;
  ASSERT_EQ(STATUS_SUCCESS, Run(&result));
  // The camera keeps its finished state: done 1 and the same progress as at the end of the
  // first test, so nothing counts until the progress moves again 1 s later.
  const int64_t moves = Now() + kSecond;
  Registers([&](simcam::RegisterFile& r) {
    const uint16_t last = r.Read(kTestRegisterProgressHigh, Now()) << 8 | r.Read(kTestRegisterProgressLow, Now());
    r.Script(kTestRegisterDone, [](uint64_t) { return uint8_t{1}; });
    r.Script(kTestRegisterProgressLow, [=](uint64_t now) {
      return static_cast<uint8_t>((last + (static_cast<int64_t>(now) >= moves ? 1 : 0)) & 0xFF);
    });
  });
  EXPECT_EQ(STATUS_SUCCESS, Run(&result));
  EXPECT_GE(started_ + elapsed_, moves);
  EXPECT_LT(started_ + elapsed_, moves + 500 * kMillisecond);
}

TEST_F(TestStreamTest, NoCompletedTransferWithinHalfASecondTimesOutAndAbortsThePipe) {
  Start();
  camera_->Configure([](simcam::CameraFaults& f, simcam::ControlTable&, simcam::RegisterFile&, simcam::CameraOptions&) {
    f.holdIsochUntilAbort = true;
  });
  ULONG result = kUntouched;
  EXPECT_EQ(STATUS_TIMEOUT, Run(&result));
  EXPECT_EQ(kUntouched, result);
  EXPECT_EQ(3u, host_->selections.size());
  bool aborted = false;
  for (const auto& r : camera_->Log()) aborted |= r.kind == simcam::RequestKind::kPipeAbort;
  EXPECT_TRUE(aborted);
}

struct FailureCase {
  const char* name;
  uint16_t wValue;
  uint16_t wIndex;  // 0xFFFF: the vendor unit's
};

class TestStreamSetupFailureTest : public TestStreamTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TestStreamSetupFailureTest, AFailedSetupRequestEndsTheRunBeforeStreaming) {
  Start();
  simcam::RequestFault fault;
  fault.match.bRequest = SET_CUR;
  fault.match.wValue = GetParam().wValue;
  fault.match.wIndex = GetParam().wIndex == 0xFFFF ? Usb()->VendorUnitIndex() : GetParam().wIndex;
  fault.kind = simcam::RequestFaultKind::kFail;
  fault.irpStatus = STATUS_INVALID_DEVICE_REQUEST;
  camera_->ArmRequestFault(fault);
  ULONG result = kUntouched;
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, Run(&result));
  EXPECT_EQ(kUntouched, result);
  EXPECT_TRUE(host_->selections.empty());
  EXPECT_EQ(0u, camera_->Snapshot().framesSent);
}

INSTANTIATE_TEST_SUITE_P(Requests, TestStreamSetupFailureTest,
                         ::testing::Values(FailureCase{"ArmAddress", 0x0200, 0xFFFF},
                                           FailureCase{"ArmValue", 0x0300, 0xFFFF},
                                           FailureCase{"Probe", kProbeControlValue, kStreamingInterfaceIndex},
                                           FailureCase{"Commit", kCommitControlValue, kStreamingInterfaceIndex}),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

enum class Interruption { kStopRequest, kSurpriseRemoval };

class TestStreamInterruptionTest : public TestStreamTest, public ::testing::WithParamInterface<Interruption> {};

TEST_P(TestStreamInterruptionTest, AStopOrRemovalDuringTheTestFailsIt) {
  Start();
  TestStreamReader* reader = reader_;
  usb::UsbPortHandle* port = port_.get();
  const Interruption how = GetParam();
  kvz::kernel::KernelThread interrupter("interrupter", [&] {
    LARGE_INTEGER delay;
    delay.QuadPart = -3000000;  // 300 ms: while polling
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    if (how == Interruption::kStopRequest) reader->RequestStop();
    else port->Unplug();
  });
  ULONG result = kUntouched;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Run(&result));
  interrupter.Join();
  EXPECT_LT(elapsed_, kSecond);
}

INSTANTIATE_TEST_SUITE_P(Ways, TestStreamInterruptionTest,
                         ::testing::Values(Interruption::kStopRequest, Interruption::kSurpriseRemoval));

TEST_F(TestStreamTest, FailedTransfersAreSentAgainAndTheTestGoesOn) {
  Start();
  simcam::TransferFault fault;
  fault.kind = simcam::TransferFaultKind::kIrpFailure;
  fault.irpStatus = STATUS_UNSUCCESSFUL;
  for (int i = 0; i < 6; ++i) camera_->ArmTransferFault(USB_ENDPOINT_TYPE_ISOCHRONOUS, fault);
  ULONG result = 0;
  EXPECT_EQ(STATUS_SUCCESS, Run(&result));
  EXPECT_EQ(0x1234u, result);
}

struct AllocationCase {
  const char* name;
  bool allSlots;
  NTSTATUS status;
};

class TestStreamAllocationTest : public TestStreamTest, public ::testing::WithParamInterface<AllocationCase> {};

TEST_P(TestStreamAllocationTest, MissingSlotsAreNotSentAndNeverWaitedFor) {
  Start();
  if (GetParam().allSlots) kvz::kernel::FailAllocationsRandomly(1.0, 1, kTagTransferData);
  else kvz::kernel::FailNthAllocation(1, kTagTransferUrb);
  ULONG result = kUntouched;
  EXPECT_EQ(GetParam().status, Run(&result));
  kvz::kernel::ClearPoolFaults();
  EXPECT_EQ(3u, host_->selections.size());
}

INSTANTIATE_TEST_SUITE_P(Slots, TestStreamAllocationTest,
                         ::testing::Values(AllocationCase{"OneSlot", false, STATUS_SUCCESS},
                                           AllocationCase{"AllSlots", true, STATUS_INSUFFICIENT_RESOURCES}),
                         [](const ::testing::TestParamInfo<AllocationCase>& info) {
                           return std::string(info.param.name);
                         });

struct StrideCase {
  const char* name;
  bool windows7;
  bool superSpeed;
  int64_t payload;
  ULONG stride;  // 0: the pipe's bytes per interval at the streaming setting
};

class TestStreamStrideTest : public TestStreamTest, public ::testing::WithParamInterface<StrideCase> {};

TEST_P(TestStreamStrideTest, PacketsAreAStrideApart) {
  const StrideCase& c = GetParam();
  if (c.windows7) kvz::kernel::SetSystemVersion(kvz::kernel::SystemVersion::Windows7());
  Start(c.superSpeed ? simcam::SuperSpeedIsochCamera(DriverGuids()) : simcam::HighSpeedIsochCamera(DriverGuids()));
  camera_->Configure([&](simcam::CameraFaults& f, simcam::ControlTable&, simcam::RegisterFile&, simcam::CameraOptions&) {
    f.attacks.probeMaxPayloadTransferSize = c.payload;
  });
  ULONG result = 0;
  EXPECT_EQ(STATUS_SUCCESS, Run(&result));
  ULONG expected = c.stride;
  if (!expected) {
    BandwidthEntry table[kMaxAlternateSettings];
    ASSERT_GT(Device()->units->CopyBandwidthTable(table), host_->selections[0]);
    expected = table[host_->selections[0]].BytesPerInterval;
  }
  EXPECT_EQ(expected, TestSeam<TestStreamReader>::PacketStride(*reader_));
}

INSTANTIATE_TEST_SUITE_P(Systems, TestStreamStrideTest,
                         ::testing::Values(StrideCase{"Windows7SuperSpeedLarge", true, true, 20000, 33792},
                                           StrideCase{"Windows7SuperSpeedSmall", true, true, 3000, 3000},
                                           StrideCase{"Windows8SuperSpeed", false, true, 20000, 0},
                                           StrideCase{"Windows7HighSpeed", true, false, 3000, 0}),
                         [](const ::testing::TestParamInfo<StrideCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::usbtest
