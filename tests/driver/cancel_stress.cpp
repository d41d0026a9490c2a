// Reads cancelled by the client a few milliseconds after they are queued while the capture pin
// streams, on the real clock for ThreadSanitizer: the client's cancel meets the driver's
// completion of the same buffer. Registered with CTest only in the tsan build (label "stress").
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device_bench.h"
#include "kvz/kernel_testing.h"

namespace kvz::drivertest {
namespace {

using kernel::kMillisecond;

class CancelStress : public RealClockStreamingBench {};

TEST_F(CancelStress, ReadsCancelledWhileTheDriverFillsThem) {
  Plug(Profile::kIsoch);
  ASSERT_NO_FATAL_FAILURE(RunCapture());
  ASSERT_EQ(STATUS_SUCCESS, ReadFrames(3));
  kernel::SetClockMode(kernel::ClockMode::Real);

  int filled = 0;
  int cancelled = 0;
  for (int cycle = 0; cycle < 120; ++cycle) {
    std::vector<std::unique_ptr<ksclient::StreamRead>> reads;
    for (int i = 0; i < 3; ++i) reads.push_back(pin_->QueueRead(frameBytes_));
    // The cancel lands at a different point of a frame (33 ms apart) in each cycle.
    Wait((1 + cycle % 40) * kMillisecond);
    for (const auto& read : reads) read->Request()->Cancel();
    bool done = true;
    for (const auto& read : reads) {
      const NTSTATUS status = read->Request()->Wait(10 * kernel::kSecond);
      done = status != STATUS_TIMEOUT && done;
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << "cycle " << cycle << ": " << status;
      if (status == STATUS_SUCCESS) ++filled;
      if (status == STATUS_CANCELLED) ++cancelled;
    }
    ASSERT_TRUE(done) << "cycle " << cycle << ": a cancelled read never came back";
  }
  EXPECT_GT(cancelled, 0);
  // Buffers queued after the cancels are filled: the stream did not stall. 10 s: the real clock
  // runs on while ThreadSanitizer and a loaded machine slow every thread.
  std::vector<ksclient::CompletedFrame> after;
  EXPECT_EQ(STATUS_SUCCESS, pin_->ReadFrames(3, frameBytes_, 2, &after, 10 * kernel::kSecond));
  RecordProperty("filled", filled);
}

}  // namespace
}  // namespace kvz::drivertest
