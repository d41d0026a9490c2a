// The interrupt reader, the test stream and the idle manager under the bus's two-completion-
// thread mode, for ThreadSanitizer: button presses while another thread cancels and restarts the
// status reader, the test stream's isochronous completions on the other bus thread, and busy
// and idle marks landing on the idle ticks. Registered with CTest only in the tsan build (label
// "stress"); run by hand.
#include <gtest/gtest.h>

#include <atomic>

#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "primitives/driver_memory.h"
#include "support/camera_start.h"
#include "support/pool_object.h"
#include "support/recording_device.h"
#include "support/stream_host.h"
#include "support/usb_bench.h"
#include "usb/idle_manager.h"
#include "usb/interrupt_pipe_reader.h"
#include "usb/test_stream_reader.h"
#include "usb/usb_limits.h"

namespace kvz::usbtest {
namespace {

using kvz::kernel::kMillisecond;

VOID Sleep(int64_t duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -duration;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

class ReadersStress : public UsbBench {
 protected:
  void SetUp() override {
    UsbBench::SetUp();
    portOptions.twoCompletionThreads = true;
    StartCameraWith([this] {
      if (interrupt_) interrupt_->CancelInterruptIrp();
      PoolDelete(interrupt_);
      PoolDelete(test_);
      if (idle_) {
        idle_->Disable();
        idle_->Stop();
      }
      PoolDelete(idle_);
      delete host_;
      host_ = nullptr;
      delete recorder_;
      recorder_ = nullptr;
    });
    ASSERT_EQ(STATUS_SUCCESS, Boot(simcam::HighSpeedIsochCamera(DriverGuids())));
    recorder_ = new RecordingDevice(Usb()->KsDevice());
    recorder_->SetStillPinOpen(1);
    host_ = new BenchStreamHost(Device());
    interrupt_ = PoolNew<InterruptPipeReader>('pIlC', recorder_->GetLowerStackSize(), 0, Device()->interruptInterface,
                                              recorder_);
    test_ = PoolNew<TestStreamReader>('VPGB', Device()->streamingInterface, 5, 0, Usb()->GetLowerStackSize(), Usb(),
                                      host_);
    idle_ = PoolNew<IdleManager>('SSlC', Usb(), Device());
  }

  RecordingDevice* recorder_ = nullptr;
  BenchStreamHost* host_ = nullptr;
  InterruptPipeReader* interrupt_ = nullptr;
  TestStreamReader* test_ = nullptr;
  IdleManager* idle_ = nullptr;
};

TEST_F(ReadersStress, StatusReaderAndTestStreamRunAtOnceWithoutRaces) {
  std::atomic<bool> stop{false};
  InterruptPipeReader* reader = interrupt_;
  simcam::SimCamera* camera = camera_.get();
  ASSERT_EQ(STATUS_SUCCESS, reader->Start());
  kvz::kernel::KernelThread presser("presser", [&] {
    while (!stop) {
      camera->PressButton();
      Sleep(3 * kMillisecond);
    }
  });
  kvz::kernel::KernelThread cycler("cycler", [&] {
    while (!stop) {
      Sleep(17 * kMillisecond);
      reader->CancelInterruptIrp();
      EXPECT_EQ(STATUS_SUCCESS, reader->Start());
    }
  });
  ULONG result = 0;
  for (int run = 0; run < 3; ++run) {
    EXPECT_EQ(STATUS_SUCCESS, test_->Run(&result));
    EXPECT_EQ(0x1234u, result);
  }
  stop = true;
  presser.Join();
  cycler.Join();
  EXPECT_GT(recorder_->Packets().size(), 10u);
  reader->CancelInterruptIrp();
  EXPECT_EQ(0u, kvz::kernel::PoolStatsForTag(kTagTransferData).liveBlocks);
}

TEST_F(ReadersStress, BusyAndIdleMarksLandOnTheTicks) {
  IdleManager* idle = idle_;
  TestCameraDevice* device = Device();
  idle->Start();
  kvz::kernel::KernelThread marker("marker", [&] {
    for (int round = 0; round < 12; ++round) {
      // An idle spell of exactly one tick period: the busy mark and the tick come at once.
      Sleep(-kIdleTickDue);
      idle->Busy();
      if (device->GetPowerState() == PowerDeviceD0) idle->CancelIdleIrp();
      else idle->RequestPowerUp();
      idle->PowerUpAndWait();
      Sleep(5 * kMillisecond);
      idle->Idle();
    }
  });
  marker.Join();
  idle->Disable();
  idle->Stop();
  PoolDelete(idle_);
}

}  // namespace
}  // namespace kvz::usbtest
