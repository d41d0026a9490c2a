// Streaming: client buffers queue on the pin, the minidriver fills the leading edge and ejects
// it; Process runs one call at a time, only in RUN, again after STATUS_SUCCESS and on the next
// trigger after STATUS_PENDING; pending buffers come back with an error at stop and close.
#include <atomic>

#include "ks_bench.h"
#include "kvz/kernel_thread.h"

namespace kvz::kstest {
namespace {

using ksclient::CompletedFrame;

void Sleep(int64_t duration100ns) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration100ns;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

class StreamingTest : public KsBench {
 protected:
  void SetUp() override {
    KsBench::SetUp();
    filter_ = OpenFilter();
    ASSERT_TRUE(filter_);
    pin_ = CreateCapturePin(*filter_);
    ASSERT_TRUE(pin_);
  }
  void TearDown() override {
    pin_.reset();
    filter_.reset();
    EXPECT_EQ(0, Log().processViolations.load());
    KsBench::TearDown();
  }
  std::unique_ptr<ksclient::KsFilterClient> filter_;
  std::unique_ptr<ksclient::KsPinClient> pin_;
};

TEST_F(StreamingTest, RunningPinDeliversFramesWithTheirHeaders) {
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  std::vector<CompletedFrame> frames;
  ASSERT_EQ(STATUS_SUCCESS, pin_->ReadFrames(12, kFrameBytes, 4, &frames));
  ASSERT_EQ(12u, frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    const CompletedFrame& f = frames[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(STATUS_SUCCESS, f.status);
    EXPECT_EQ(kFrameBytes, f.header.DataUsed);
    EXPECT_EQ(kFrameBytes, f.header.FrameExtent);
    LONGLONG n = f.frameInfo.PictureNumber;
    EXPECT_EQ(static_cast<LONGLONG>(i), n);
    EXPECT_EQ(n * kFrameInterval, f.header.PresentationTime.Time);
    EXPECT_EQ(kFrameInterval, f.header.Duration);
    EXPECT_EQ(static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID),
              f.header.OptionsFlags);
    EXPECT_EQ(sizeof(KS_FRAME_INFO), f.frameInfo.ExtendedHeaderSize);
    ASSERT_EQ(kFrameBytes, f.data.size());
    EXPECT_EQ(FrameByte(n, 0), f.data[0]);
    EXPECT_EQ(FrameByte(n, kFrameBytes - 1), f.data[kFrameBytes - 1]);
  }
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
  EXPECT_EQ(STATUS_SUCCESS, pin_->Close());
}

TEST_F(StreamingTest, LeadingEdgeIsTheOldestBufferUntilEjected) {
  Log().produceFrames = false;
  PKSPIN pin = Log().pin;
  EXPECT_EQ(nullptr, KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED));
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));  // no processing in PAUSE for this pin
  auto first = pin_->QueueRead(kFrameBytes);
  auto second = pin_->QueueRead(kFrameBytes / 2);
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(nullptr, sp);
  EXPECT_EQ(pin, sp->Pin);
  EXPECT_EQ(kFrameBytes, sp->OffsetOut.Count);
  EXPECT_EQ(kFrameBytes, sp->OffsetOut.Remaining);
  EXPECT_EQ(first->Data().data(), sp->OffsetOut.Data);
  EXPECT_EQ(&first->Headers().header, sp->StreamHeader);
  KsStreamPointerUnlock(sp, FALSE);
  EXPECT_FALSE(first->Request()->Done());
  sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(nullptr, sp);
  sp->StreamHeader->DataUsed = 7;
  KsStreamPointerUnlock(sp, TRUE);
  EXPECT_EQ(STATUS_SUCCESS, first->Request()->Wait(10000000));
  EXPECT_EQ(7u, first->Headers().header.DataUsed);
  sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(nullptr, sp);
  EXPECT_EQ(kFrameBytes / 2, sp->OffsetOut.Count);
  KsStreamPointerUnlock(sp, FALSE);
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
  EXPECT_EQ(STATUS_CANCELLED, second->Request()->Wait(10000000));
}

TEST_F(StreamingTest, ReadsNeedARunningOrPausedPin) {
  auto read = pin_->QueueRead(kFrameBytes);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, read->Request()->Wait());
}

TEST_F(StreamingTest, AHeaderWithoutRoomForTheFrameInfoIsRefused) {
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));
  std::vector<uint8_t> data(kFrameBytes);
  KSSTREAM_HEADER header{};
  header.Size = sizeof(header);
  header.FrameExtent = kFrameBytes;
  header.Data = data.data();
  EXPECT_EQ(STATUS_INVALID_BUFFER_SIZE,
            pin_->File().Control(IOCTL_KS_READ_STREAM, nullptr, 0, &header, sizeof(header)));
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

TEST_F(StreamingTest, ProcessNeverOverlapsEvenWithAttemptsFromManyThreads) {
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  std::atomic<bool> stop{false};
  PKSPIN pin = Log().pin;
  kvz::kernel::KernelThread hammer("hammer", [&] {
    while (!stop) {
      KsPinAttemptProcessing(pin, TRUE);
      Sleep(20000);
    }
  });
  std::vector<CompletedFrame> frames;
  EXPECT_EQ(STATUS_SUCCESS, pin_->ReadFrames(20, kFrameBytes, 6, &frames));
  stop = true;
  hammer.Join();
  EXPECT_EQ(20u, frames.size());
  EXPECT_EQ(0, Log().processViolations.load());
  EXPECT_GE(Log().processCalls.load(), 20);
}

TEST_F(StreamingTest, ProcessRunsOnlyInRun) {
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));
  Log().framesReady = 5;
  auto read = pin_->QueueRead(kFrameBytes);
  KsPinAttemptProcessing(Log().pin, FALSE);
  Sleep(1000000);
  EXPECT_EQ(0, Log().processCalls.load());
  EXPECT_FALSE(read->Request()->Done());
  // RUN starts processing for the buffer that waits.
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  EXPECT_EQ(STATUS_SUCCESS, read->Request()->Wait(10000000));
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

TEST_F(StreamingTest, LeavingRunWaitsForTheProcessCallThatRuns) {
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  Log().successReturns = 1000;  // keeps Process busy, 1 ms per call
  auto read = pin_->QueueRead(kFrameBytes);
  Sleep(50000);
  ASSERT_GT(Log().processCalls.load(), 0);
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));
  // The state change returned only once the running call had: none is in progress now.
  EXPECT_EQ(0, Log().processConcurrent.load());
  int calls = Log().processCalls.load();
  Sleep(1000000);
  // Nothing runs in PAUSE, and no call saw its pin leave RUN (checked by TearDown).
  EXPECT_EQ(calls, Log().processCalls.load());
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

TEST_F(StreamingTest, SuccessCallsAgainPendingWaitsForTheNextTrigger) {
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  Log().successReturns = 3;
  auto read = pin_->QueueRead(kFrameBytes);  // arrival on an empty queue triggers processing
  Sleep(1000000);
  // Three calls answered STATUS_SUCCESS and were repeated; the fourth found no frame and pended.
  EXPECT_EQ(4, Log().processCalls.load());
  Sleep(1000000);
  EXPECT_EQ(4, Log().processCalls.load());
  EXPECT_FALSE(read->Request()->Done());
  Log().framesReady = 1;
  KsPinAttemptProcessing(Log().pin, TRUE);
  EXPECT_EQ(STATUS_SUCCESS, read->Request()->Wait(10000000));
  EXPECT_EQ(5, Log().processCalls.load());
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

TEST_F(StreamingTest, StopAndCloseCompletePendingBuffersWithAnError) {
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  auto first = pin_->QueueRead(kFrameBytes);
  auto second = pin_->QueueRead(kFrameBytes);
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
  EXPECT_EQ(STATUS_CANCELLED, first->Request()->Wait(10000000));
  EXPECT_EQ(STATUS_CANCELLED, second->Request()->Wait(10000000));

  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));
  auto third = pin_->QueueRead(kFrameBytes);
  EXPECT_EQ(STATUS_SUCCESS, pin_->Close());
  EXPECT_EQ(STATUS_CANCELLED, third->Request()->Wait(10000000));
}

TEST_F(StreamingTest, AResetGivesTheQueuedBuffersBack) {
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  auto read = pin_->QueueRead(kFrameBytes);
  Log().ClearCalls();
  KSRESET reset = KSRESET_BEGIN;
  ASSERT_EQ(STATUS_SUCCESS, pin_->File().Control(IOCTL_KS_RESET_STATE, &reset, sizeof(reset), nullptr, 0));
  EXPECT_EQ(STATUS_CANCELLED, read->Request()->Wait(10000000));
  reset = KSRESET_END;
  ASSERT_EQ(STATUS_SUCCESS, pin_->File().Control(IOCTL_KS_RESET_STATE, &reset, sizeof(reset), nullptr, 0));
  EXPECT_EQ(std::vector<std::string>({"Reset begin", "Reset"}), Log().Calls());
  // Streaming goes on after the reset.
  Log().framesReady = 1;
  auto next = pin_->QueueRead(kFrameBytes);
  EXPECT_EQ(STATUS_SUCCESS, next->Request()->Wait(10000000));
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

TEST_F(StreamingTest, AClientCancelsItsBuffer) {
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  auto read = pin_->QueueRead(kFrameBytes);
  read->Request()->Cancel();
  EXPECT_EQ(STATUS_CANCELLED, read->Request()->Wait(10000000));
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

// A buffer cancelled while the minidriver holds it locked is left to the unlock, which completes
// it: with the minidriver's data when it ejects, cancelled when it lets go.
TEST_F(StreamingTest, ABufferCancelledWhileLockedCompletesAtItsUnlock) {
  Log().produceFrames = false;
  PKSPIN pin = Log().pin;
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));  // no processing in PAUSE for this pin
  for (BOOLEAN eject : {FALSE, TRUE}) {
    SCOPED_TRACE(eject);
    auto read = pin_->QueueRead(kFrameBytes);
    auto next = pin_->QueueRead(kFrameBytes);
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(nullptr, sp);
    read->Request()->Cancel();
    EXPECT_EQ(STATUS_TIMEOUT, read->Request()->Wait(kvz::kernel::kSecond));
    KsStreamPointerUnlock(sp, eject);
    EXPECT_EQ(eject ? STATUS_SUCCESS : STATUS_CANCELLED, read->Request()->Wait(10 * kvz::kernel::kSecond));
    // The next buffer leads now and is still the client's.
    sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(nullptr, sp);
    EXPECT_EQ(next->Data().data(), sp->OffsetOut.Data);
    KsStreamPointerUnlock(sp, FALSE);
    next->Request()->Cancel();
    EXPECT_EQ(STATUS_CANCELLED, next->Request()->Wait(10 * kvz::kernel::kSecond));
  }
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

// The reference clock shows stream time: it advances only while the graph runs, holds in PAUSE,
// reports the state it is in, and correlates with the system's interrupt time.
TEST_F(StreamingTest, ReferenceClockRunsOnStreamTimeOnlyWithAMasterClock) {
  Log().produceFrames = false;
  PKSPIN pin = Log().pin;
  PIKSREFERENCECLOCK clock = nullptr;
  EXPECT_FALSE(NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &clock)));
  EXPECT_EQ(nullptr, clock);
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetMasterClock(true));
  ASSERT_EQ(STATUS_SUCCESS, KsPinGetReferenceClockInterface(pin, &clock));
  ASSERT_NE(nullptr, clock);
  KSSTATE state = KSSTATE_RUN;
  ASSERT_EQ(STATUS_SUCCESS, clock->GetState(&state));
  EXPECT_EQ(KSSTATE_STOP, state);

  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  const LONGLONG started = clock->GetTime();
  Sleep(5 * kvz::kernel::kSecond);
  LONGLONG system = 0;
  const LONGLONG running = clock->GetCorrelatedTime(&system);
  EXPECT_EQ(5 * kvz::kernel::kSecond, running - started);
  EXPECT_EQ(kvz::kernel::Now(), system);
  ASSERT_EQ(STATUS_SUCCESS, clock->GetState(&state));
  EXPECT_EQ(KSSTATE_RUN, state);

  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));
  const LONGLONG paused = clock->GetTime();
  Sleep(2 * kvz::kernel::kSecond);
  EXPECT_EQ(paused, clock->GetTime());
  ASSERT_EQ(STATUS_SUCCESS, clock->GetState(&state));
  EXPECT_EQ(KSSTATE_PAUSE, state);
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  Sleep(kvz::kernel::kSecond);
  EXPECT_EQ(paused + kvz::kernel::kSecond, clock->GetTime());

  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
  EXPECT_EQ(0u, clock->Release());
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetMasterClock(false));
  EXPECT_FALSE(NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &clock)));
}

// Without the asynchronous flag a request at PASSIVE_LEVEL may run Process in the caller's
// thread; an asynchronous one never does.
TEST_F(StreamingTest, AttemptProcessingAtPassiveMayRunProcessInTheCaller) {
  Log().produceFrames = false;
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  auto read = pin_->QueueRead(kFrameBytes);
  Sleep(100000);  // the call its arrival started has found no frame and returned
  const int before = Log().processCalls.load();
  Log().framesReady = 1;
  KsPinAttemptProcessing(Log().pin, FALSE);
  EXPECT_EQ(before + 1, Log().processCalls.load());
  EXPECT_EQ(KeGetCurrentThread(), Log().processThread.load());
  EXPECT_EQ(STATUS_SUCCESS, read->Request()->Wait(0));

  auto next = pin_->QueueRead(kFrameBytes);
  Sleep(100000);
  Log().framesReady = 1;
  KsPinAttemptProcessing(Log().pin, TRUE);
  EXPECT_EQ(STATUS_SUCCESS, next->Request()->Wait(10000000));
  EXPECT_NE(KeGetCurrentThread(), Log().processThread.load());
  EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

}  // namespace
}  // namespace kvz::kstest
