// System sleep and resume while a client keeps buffers queued and reads the dropped-frames
// counts, on the real clock for ThreadSanitizer: the resume renegotiates the running capture pin
// while the class driver's queue threads run its Process. Registered with CTest only in the tsan
// build (label "stress"); run by hand.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <memory>
#include <vector>

#include "device_bench.h"
#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"

namespace kvz::drivertest {
namespace {

using kernel::kMillisecond;

class ResumeStress : public RealClockStreamingBench {};

TEST_F(ResumeStress, SleepAndResumeWhileBuffersArrive) {
  kernel::SetSystemVersion(kernel::SystemVersion::Windows10(10587));
  Plug(Profile::kIsoch);
  ASSERT_NO_FATAL_FAILURE(RunCapture());
  ASSERT_EQ(STATUS_SUCCESS, ReadFrames(3));
  kernel::SetClockMode(kernel::ClockMode::Real);

  std::atomic<bool> stop{false};
  std::atomic<int> counts{0};
  kernel::KernelThread dropped("dropped frames", [&] {
    while (!stop) {
      KSPROPERTY_DROPPEDFRAMES_CURRENT_S request{};
      request.Property.Set = PROPSETID_VIDCAP_DROPPEDFRAMES;
      request.Property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
      request.Property.Flags = KSPROPERTY_TYPE_GET;
      KSPROPERTY_DROPPEDFRAMES_CURRENT_S value = request;
      if (NT_SUCCESS(pin_->Property(&request, sizeof(request), &value, sizeof(value)))) ++counts;
      Wait(2 * kMillisecond);
    }
  });
  for (int cycle = 0; cycle < 16; ++cycle) {
    // No buffer queued for a while: a frame stays ready in the driver when the system sleeps.
    Wait(80 * kMillisecond);
    kernel::NotifySystemStateLock(false);
    Wait(10 * kMillisecond);
    // The resume's probe is answered "suspended" twice (50 ms apart); buffers arrive all through
    // the resume, from its settle delay to the stream running again.
    simcam::RequestFault suspended;
    suspended.match.bmRequestType = 0x21;
    suspended.match.bRequest = 0x01;  // SET_CUR
    suspended.match.wValue = 0x0100;  // VS_PROBE_CONTROL
    suspended.match.wIndex = camera_->Layout().streamingInterface;
    suspended.kind = simcam::RequestFaultKind::kPowerStateInvalid;
    suspended.count = 2;
    camera_->ArmRequestFault(suspended);
    std::atomic<bool> resumed{false};
    kernel::KernelThread resume("resume", [&] {
      kernel::NotifySystemStateLock(true);
      resumed = true;
    });
    // The first buffer lands at a different point of the resume in each cycle; none is
    // cancelled, every one is filled once the stream runs again.
    std::deque<std::unique_ptr<ksclient::StreamRead>> reads;
    Wait((185 + 3 * cycle) * kMillisecond);
    while (!resumed) {
      reads.push_back(pin_->QueueRead(frameBytes_));
      Wait(15 * kMillisecond);
    }
    resume.Join();
    bool filled = true;
    for (const auto& read : reads) filled = read->Request()->Wait(10 * kernel::kSecond) == STATUS_SUCCESS && filled;
    EXPECT_TRUE(filled) << "cycle " << cycle;
    if (!filled) break;
  }
  stop = true;
  dropped.Join();
  EXPECT_GT(counts.load(), 0);
  // The last resume left the stream running.
  EXPECT_NE(0, camera_->Snapshot().streamingAlternate);
  EXPECT_TRUE(camera_->Snapshot().streaming);
  // 10 s: the real clock runs on while ThreadSanitizer and a loaded machine slow every thread.
  std::vector<ksclient::CompletedFrame> after;
  EXPECT_EQ(STATUS_SUCCESS, pin_->ReadFrames(3, frameBytes_, 2, &after, 10 * kernel::kSecond));
}

}  // namespace
}  // namespace kvz::drivertest
