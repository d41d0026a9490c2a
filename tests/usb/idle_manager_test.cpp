// The idle manager over the class driver's power path, the bus and the simulated camera: the
// 2 s ticks, D3 after idle and D0 on a busy mark (Vista and later), the idle notification and
// D2 (earlier systems), busy counting, shutdown, failed power requests, and a stop that leaves
// nothing outstanding.
#include <gtest/gtest.h>

#include <atomic>

#include "kvz/kernel_testing.h"
#include "kvz/kernel_thread.h"
#include "kvz/system_testing.h"
#include "primitives/driver_memory.h"
#include "support/camera_start.h"
#include "support/pool_object.h"
#include "support/usb_bench.h"
#include "usb/idle_manager.h"
#include "usb/usb_limits.h"

namespace kvz::usbtest {
namespace {

using kvz::kernel::AdvanceClock;
using kvz::kernel::kMillisecond;
using kvz::kernel::kSecond;
using kvz::kernel::Now;
using kvz::kernel::SystemVersion;

constexpr ULONG kTagPowerRequest = 'rwPI';  // the power manager's own request record

struct PowerChange {
  int64_t time;
  DEVICE_POWER_STATE state;
};

class IdleManagerTest : public UsbBench {
 protected:
  void SetUp() override {
    UsbBench::SetUp();
    StartCameraWith([this] { DestroyManager(); });
  }
  void TearDown() override {
    UsbBench::TearDown();
    kvz::kernel::SetSystemVersion(SystemVersion::Windows10(19045));
  }

  void Start(SystemVersion version, bool runIdleCallback = true) {
    kvz::kernel::SetSystemVersion(version);
    portOptions.runIdleCallback = runIdleCallback;
    ASSERT_EQ(STATUS_SUCCESS, Boot(simcam::HighSpeedIsochCamera(DriverGuids())));
    manager_ = MakeManager();
    camera_->ClearLog();
    started_ = Now();
    manager_->Start();
  }

  IdleManager* MakeManager() { return PoolNew<IdleManager>('SSlC', Usb(), Device()); }

  // What the device's release does.
  void DestroyManager() {
    if (!manager_) return;
    manager_->Disable();
    manager_->Stop();
    PoolDelete(manager_);
  }

  // The device's busy mark as filter creation makes it, and the pin's wait for D0.
  void MarkBusy() {
    manager_->Busy();
    if (Device()->GetPowerState() == PowerDeviceD0) manager_->CancelIdleIrp();
    else manager_->RequestPowerUp();
    manager_->PowerUpAndWait();
  }

  std::vector<PowerChange> PowerChanges() const {
    std::vector<PowerChange> changes;
    for (const auto& r : camera_->Log())
      if (r.kind == simcam::RequestKind::kPower)
        changes.push_back({static_cast<int64_t>(r.time), static_cast<DEVICE_POWER_STATE>(r.value)});
    return changes;
  }

  DEVICE_POWER_STATE PortState() const { return port_->PowerState(); }

  IdleManager* manager_ = nullptr;
  int64_t started_ = 0;
};

struct FirstTickCase {
  const char* name;
  SystemVersion version;
  DEVICE_POWER_STATE state;
  bool notification;
};

class IdleFirstTickTest : public IdleManagerTest, public ::testing::WithParamInterface<FirstTickCase> {};

TEST_P(IdleFirstTickTest, AnIdleDeviceIsLoweredOnTheFirstTickTwoSecondsAfterStart) {
  const FirstTickCase& c = GetParam();
  Start(c.version);
  AdvanceClock(1900 * kMillisecond);
  EXPECT_TRUE(PowerChanges().empty());
  EXPECT_FALSE(port_->IdleNotificationPending());
  AdvanceClock(200 * kMillisecond);
  const auto changes = PowerChanges();
  ASSERT_EQ(1u, changes.size());
  EXPECT_EQ(c.state, changes[0].state);
  EXPECT_GE(changes[0].time, started_ + 2 * kSecond);
  EXPECT_EQ(c.state, PortState());
  EXPECT_EQ(c.state, Device()->GetPowerState());
  EXPECT_EQ(c.notification, port_->IdleNotificationPending());
  // Lowered once: no further request while nothing changes.
  AdvanceClock(10 * kSecond);
  EXPECT_EQ(1u, PowerChanges().size());
}

INSTANTIATE_TEST_SUITE_P(
    Systems, IdleFirstTickTest,
    ::testing::Values(FirstTickCase{"WindowsXp", SystemVersion::WindowsXp(), PowerDeviceD2, true},
                      FirstTickCase{"Vista", SystemVersion::Vista(), PowerDeviceD3, false},
                      FirstTickCase{"Windows7", SystemVersion::Windows7(), PowerDeviceD3, false},
                      FirstTickCase{"Windows10", SystemVersion::Windows10(19045), PowerDeviceD3, false}),
    [](const ::testing::TestParamInfo<FirstTickCase>& info) { return std::string(info.param.name); });

TEST_F(IdleManagerTest, BusyBringsTheDeviceToD0AndTheLastIdleMarkLowersItAgain) {
  Start(SystemVersion::Windows10(19045));
  AdvanceClock(2100 * kMillisecond);
  ASSERT_EQ(PowerDeviceD3, PortState());
  MarkBusy();
  MarkBusy();
  EXPECT_EQ(PowerDeviceD0, PortState());
  EXPECT_EQ(2, manager_->GetBusyCount());
  manager_->Idle();
  AdvanceClock(10 * kSecond);
  EXPECT_EQ(PowerDeviceD0, PortState());
  const int64_t idle = Now();
  manager_->Idle();
  AdvanceClock(2100 * kMillisecond);
  // The pins' waits ask for D0 again; the only lowering is the last change.
  const auto changes = PowerChanges();
  ASSERT_GE(changes.size(), 3u);
  for (size_t i = 1; i + 1 < changes.size(); ++i) EXPECT_EQ(PowerDeviceD0, changes[i].state) << i;
  EXPECT_EQ(PowerDeviceD3, changes.back().state);
  EXPECT_GE(changes.back().time, idle + 2 * kSecond);
}

// A busy mark (a filter opening) that lands while the idle work item's D3 request is on its way,
// not yet recorded by the device: once the mark (with the power-up it asks for in D3) returns,
// the device is in D0, and it is not lowered afterwards while the mark holds.
TEST_F(IdleManagerTest, BusyMarkWhileTheWorkItemLowersTheDeviceLeavesItInD0) {
  KEVENT lowering, release;
  KeInitializeEvent(&lowering, NotificationEvent, FALSE);
  KeInitializeEvent(&release, NotificationEvent, FALSE);
  std::atomic<bool> held{false};
  onSetPower = [&](DEVICE_POWER_STATE to) {
    if (to != PowerDeviceD3 || held.exchange(true)) return;
    KeSetEvent(&lowering, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
  };
  Start(SystemVersion::Windows10(19045));
  LARGE_INTEGER timeout;
  timeout.QuadPart = -3 * kSecond;
  ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&lowering, Executive, KernelMode, FALSE, &timeout));
  DEVICE_POWER_STATE stateAfterMark = PowerDeviceUnspecified;
  size_t changesAfterMark = 0;
  {
    kvz::kernel::KernelThread opener("filter create", [&] {
      manager_->Busy();
      if (Device()->GetPowerState() == PowerDeviceD0) manager_->CancelIdleIrp();
      else manager_->RequestPowerUp();
      stateAfterMark = Device()->GetPowerState();
      changesAfterMark = PowerChanges().size();
    });
    AdvanceClock(10 * kMillisecond);
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
  }
  EXPECT_EQ(PowerDeviceD0, stateAfterMark);
  AdvanceClock(10 * kSecond);
  onSetPower = nullptr;
  const auto changes = PowerChanges();
  for (size_t i = changesAfterMark; i < changes.size(); ++i)
    EXPECT_NE(PowerDeviceD3, changes[i].state) << "lowered after the busy mark, change " << i;
  EXPECT_EQ(PowerDeviceD0, PortState());
  EXPECT_EQ(PowerDeviceD0, Device()->GetPowerState());
  manager_->Idle();
}

TEST_F(IdleManagerTest, BusyInD2PowersUpAndBusyInD0WithdrawsTheNotification) {
  Start(SystemVersion::WindowsXp());
  AdvanceClock(2100 * kMillisecond);
  ASSERT_EQ(PowerDeviceD2, PortState());
  MarkBusy();
  EXPECT_EQ(PowerDeviceD0, PortState());
  EXPECT_TRUE(port_->IdleNotificationPending());
  MarkBusy();
  EXPECT_FALSE(port_->IdleNotificationPending());
  EXPECT_EQ(0u, kvz::kernel::PoolStatsForTag(kTagIdleCallback).liveBlocks);
  AdvanceClock(10 * kSecond);
  EXPECT_EQ(PowerDeviceD0, PortState());
}

TEST_F(IdleManagerTest, ASuccessfulNotificationSkipsThirtyTicks) {
  Start(SystemVersion::WindowsXp(), false);
  AdvanceClock(2100 * kMillisecond);
  ASSERT_TRUE(port_->IdleNotificationPending());
  port_->CompleteIdleNotification(STATUS_SUCCESS);
  AdvanceClock(kMillisecond);
  ASSERT_FALSE(port_->IdleNotificationPending());
  const int64_t completed = Now();
  AdvanceClock(completed + 61 * kSecond + 900 * kMillisecond - Now());
  EXPECT_FALSE(port_->IdleNotificationPending());
  AdvanceClock(200 * kMillisecond);
  EXPECT_TRUE(port_->IdleNotificationPending());
}

struct NotificationFailureCase {
  const char* name;
  NTSTATUS status;
  DEVICE_POWER_STATE after;
};

class IdleNotificationFailureTest : public IdleManagerTest,
                                    public ::testing::WithParamInterface<NotificationFailureCase> {};

TEST_P(IdleNotificationFailureTest, AFailedNotificationBringsASuspendedDeviceBack) {
  Start(SystemVersion::WindowsXp());
  AdvanceClock(2100 * kMillisecond);
  ASSERT_EQ(PowerDeviceD2, PortState());
  port_->CompleteIdleNotification(GetParam().status);
  AdvanceClock(10 * kMillisecond);
  EXPECT_EQ(GetParam().after, PortState());
}

INSTANTIATE_TEST_SUITE_P(Statuses, IdleNotificationFailureTest,
                         ::testing::Values(NotificationFailureCase{"Unsuccessful", STATUS_UNSUCCESSFUL, PowerDeviceD0},
                                           NotificationFailureCase{"Cancelled", STATUS_CANCELLED, PowerDeviceD0},
                                           NotificationFailureCase{"NotSupported", STATUS_NOT_SUPPORTED, PowerDeviceD2},
                                           NotificationFailureCase{"PowerStateInvalid", STATUS_POWER_STATE_INVALID,
                                                                   PowerDeviceD2}),
                         [](const ::testing::TestParamInfo<NotificationFailureCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(IdleManagerTest, ASecondNotificationWhileOneIsPendingIsRefused) {
  Start(SystemVersion::Windows10(19045), false);
  EXPECT_EQ(STATUS_PENDING, manager_->SubmitIdleIrp());
  EXPECT_EQ(STATUS_DEVICE_BUSY, manager_->SubmitIdleIrp());
  manager_->CancelIdleIrp();
  EXPECT_FALSE(port_->IdleNotificationPending());
  AdvanceClock(2100 * kMillisecond);
  ASSERT_EQ(PowerDeviceD3, PortState());
  EXPECT_EQ(STATUS_POWER_STATE_INVALID, manager_->SubmitIdleIrp());
}

TEST_F(IdleManagerTest, StartAbovePassiveLevelArmsNoTimer) {
  kvz::kernel::SetSystemVersion(SystemVersion::Windows10(19045));
  ASSERT_EQ(STATUS_SUCCESS, Boot(simcam::HighSpeedIsochCamera(DriverGuids())));
  manager_ = MakeManager();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  manager_->Start();
  KeLowerIrql(old);
  AdvanceClock(10 * kSecond);
  EXPECT_EQ(PowerDeviceD0, PortState());
}

TEST_F(IdleManagerTest, AfterShutdownTheDeviceStaysUp) {
  Start(SystemVersion::Windows10(19045));
  EXPECT_TRUE(NT_SUCCESS(manager_->Shutdown()));
  AdvanceClock(10 * kSecond);
  EXPECT_EQ(PowerDeviceD0, PortState());
}

TEST_F(IdleManagerTest, AFailedPowerRequestNeitherBlocksNorStaysPending) {
  Start(SystemVersion::Windows10(19045));
  AdvanceClock(2100 * kMillisecond);
  ASSERT_EQ(PowerDeviceD3, PortState());
  kvz::kernel::FailNthAllocation(1, kTagPowerRequest);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, manager_->PowerUpAndWait());
  kvz::kernel::ClearPoolFaults();
  EXPECT_EQ(PowerDeviceD3, PortState());
  // The next power-up is really requested.
  EXPECT_EQ(STATUS_PENDING, manager_->PowerUpAndWait());
  EXPECT_EQ(PowerDeviceD0, PortState());
}

TEST_F(IdleManagerTest, ResumeBeforeSleepPowersUpADeviceSuspendedByTheNotification) {
  Start(SystemVersion::WindowsXp());
  AdvanceClock(2100 * kMillisecond);
  ASSERT_EQ(PowerDeviceD2, PortState());
  manager_->Resume();
  AdvanceClock(10 * kMillisecond);
  EXPECT_EQ(PowerDeviceD0, PortState());
}

struct RemovalCase {
  const char* name;
  SystemVersion version;
  bool runIdleCallback;
  int64_t removedAfter;
};

class IdleRemovalTest : public IdleManagerTest, public ::testing::WithParamInterface<RemovalCase> {};

// Unplugged in any state, the next busy mark and the device's release still return.
TEST_P(IdleRemovalTest, RemovalLeavesNothingWaiting) {
  const RemovalCase& c = GetParam();
  Start(c.version, c.runIdleCallback);
  AdvanceClock(c.removedAfter);
  port_->Unplug();
  Usb()->MarkRemoved();
  AdvanceClock(10 * kMillisecond);
  EXPECT_FALSE(port_->IdleNotificationPending());
  MarkBusy();
  manager_->Idle();
  AdvanceClock(5 * kSecond);
}

INSTANTIATE_TEST_SUITE_P(
    Stages, IdleRemovalTest,
    ::testing::Values(RemovalCase{"BeforeTheFirstTick", SystemVersion::Windows10(19045), true, kSecond},
                      RemovalCase{"InD3", SystemVersion::Windows10(19045), true, 2100 * kMillisecond},
                      RemovalCase{"NotificationPending", SystemVersion::WindowsXp(), false, 2100 * kMillisecond},
                      RemovalCase{"InD2", SystemVersion::WindowsXp(), true, 2100 * kMillisecond}),
    [](const ::testing::TestParamInfo<RemovalCase>& info) { return std::string(info.param.name); });

// Stop returns only once the notification, a slow power-up and the work item have finished.
TEST_F(IdleManagerTest, StopWaitsForEverythingOutstanding) {
  Start(SystemVersion::WindowsXp(), false);
  AdvanceClock(2100 * kMillisecond);
  ASSERT_TRUE(port_->IdleNotificationPending());
  usb::BusFault slow;
  slow.request = usb::BusRequest::kSetPower;
  slow.kind = usb::BusFault::Kind::kDelay;
  slow.delay = 100 * kMillisecond;
  port_->ArmBusFault(slow);
  EXPECT_EQ(STATUS_PENDING, manager_->RequestPowerUp());
  const int64_t stopping = Now();
  manager_->Disable();
  manager_->Stop();
  EXPECT_GE(Now() - stopping, 100 * kMillisecond);
  EXPECT_FALSE(port_->IdleNotificationPending());
  EXPECT_EQ(0u, kvz::kernel::PoolStatsForTag(kTagIdleCallback).liveBlocks);
  PoolDelete(manager_);
}

// A stop at the very moment of a tick: whichever runs first, nothing is queued afterwards.
TEST_F(IdleManagerTest, StopAtTheMomentOfATickLeavesNothingBehind) {
  Start(SystemVersion::Windows10(19045));
  for (int round = 0; round < 8; ++round) {
    IdleManager* manager = manager_;
    kvz::kernel::KernelThread stopper("stopper", [manager] {
      LARGE_INTEGER delay;
      delay.QuadPart = kIdleTickDue;
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      manager->Stop();
    });
    stopper.Join();
    PoolDelete(manager_);
    AdvanceClock(5 * kSecond);
    if (PortState() != PowerDeviceD0) {
      manager_ = MakeManager();
      manager_->PowerUpAndWait();
    } else {
      manager_ = MakeManager();
    }
    manager_->Start();
  }
}

}  // namespace
}  // namespace kvz::usbtest
