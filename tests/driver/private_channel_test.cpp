// The private "\ZEMT" channel through the driver's request hooks: names, checks in their order,
// the test stream with and without a running capture, concurrency, sleep, PnP stop.
#include <gtest/gtest.h>

#include "device_bench.h"
#include "driver/device/driver_entry.h"
#include "kvz/io_testing.h"
#include "kvz/kernel_thread.h"
#include "common/sensor_register.h"

namespace kvz::drivertest {
namespace {

constexpr LONGLONG kMs = 10000;
constexpr uint16_t kTestResult = 0x1234;  // what the camera's test unit reports when done

class PrivateChannel : public DeviceBench {
 protected:
  // The test unit's registers as a poll beside a capture reads them: 0x0602 is ready from its
  // third read on (never when !finishes), 0x0605 counts tenths of a second since start_.
  void ScriptTestProgress(bool finishes) {
    camera_->Configure([this, finishes](simcam::CameraFaults&, simcam::ControlTable&,
                                        simcam::RegisterFile& registers, simcam::CameraOptions&) {
      registers.Script(0x0602, [this, finishes](uint64_t) { return static_cast<uint8_t>(finishes && ++reads_ >= 3); });
      registers.Script(0x0605, [this](uint64_t now) { return static_cast<uint8_t>((now - start_) / (100 * kMs)); });
    });
  }
  // As while a capture pin runs: its filter holds the device busy.
  void BeginCapture() {
    Camera()->CancelIdleTimer();
    Camera()->SetCaptureRunning(1);
  }
  void EndCapture() {
    Camera()->SetCaptureRunning(0);
    Camera()->RestartIdleTimer();
  }

  uint64_t start_ = 0;
  int reads_ = 0;
};

// A name differing only in letter case is the channel; one character more or less goes to the
// class driver, which knows no such object.
TEST_F(PrivateChannel, NameMatchesWithoutCase) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  struct Case {
    const char16_t* name;
    bool channel;
  } cases[] = {{u"\\ZEMT", true}, {u"\\zEmt", true}, {u"\\ZEM", false}, {u"\\ZEMTS", false}};
  for (const Case& c : cases) {
    std::unique_ptr<kernel::ClientFile> file;
    const std::u16string name(c.name);
    const NTSTATUS status =
        kernel::ClientFile::OpenOnDevice(device_->Top(), name.data(), name.size() * 2, nullptr, &file);
    EXPECT_EQ(c.channel, NT_SUCCESS(status)) << std::string(name.begin(), name.end());
    if (!c.channel || !NT_SUCCESS(status)) continue;
    ULONG result = 0;
    EXPECT_EQ(STATUS_SUCCESS, PrivateRequest(*file, kIoctlPrivateTest, 4, &result, nullptr));
    EXPECT_EQ(kTestResult, result);
  }
}

// The checks in their order: control code, output length, then the test runs; Information is 4
// only when it ran.
TEST_F(PrivateChannel, RequestChecks) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  struct Case {
    ULONG code;
    ULONG output;
    NTSTATUS status;
    ULONG_PTR information;
  } cases[] = {
      {0x223C08, 4, STATUS_NOT_SUPPORTED, 0},
      {kIoctlPrivateTest, 2, STATUS_BUFFER_TOO_SMALL, 0},
      {kIoctlPrivateTest, 4, STATUS_SUCCESS, 4},
  };
  for (const Case& c : cases) {
    ULONG result = 0;
    ULONG_PTR information = 99;
    EXPECT_EQ(c.status, PrivateRequest(*file, c.code, c.output, &result, &information)) << std::hex << c.code;
    EXPECT_EQ(c.information, information);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(kTestResult, result);
    }
  }
}

// Without the test unit, or on a bulk camera (which has no test stream), the test cannot run.
TEST_F(PrivateChannel, CamerasWithoutTheTest) {
  simcam::CameraDescription noTestUnit = DescriptionOf(Profile::kIsoch);
  noTestUnit.extensionUnits.pop_back();
  Plug(noTestUnit);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  ULONG_PTR information = 99;
  EXPECT_EQ(STATUS_NOT_SUPPORTED, PrivateRequest(*file, kIoctlPrivateTest, 4, nullptr, &information));
  EXPECT_EQ(0u, information);
  file.reset();
  Unload();

  Plug(Profile::kBulk);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  EXPECT_EQ(STATUS_NOT_SUPPORTED, PrivateRequest(*file, kIoctlPrivateTest, 4, nullptr, &information));
  EXPECT_EQ(0, Camera()->GetCaptureRunning());
}

// A second request while a test runs is refused; the first completes with the result.
TEST_F(PrivateChannel, SecondRequestWhileRunning) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  ULONG first = 0;
  NTSTATUS firstStatus = STATUS_PENDING;
  kernel::KernelThread client("first test request", [&] {
    firstStatus = PrivateRequest(*file, kIoctlPrivateTest, 4, &first, nullptr);
  });
  Wait(100 * kMs);
  ULONG_PTR information = 99;
  EXPECT_EQ(STATUS_TOO_MANY_COMMANDS, PrivateRequest(*file, kIoctlPrivateTest, 4, nullptr, &information));
  EXPECT_EQ(0u, information);
  client.Join();
  EXPECT_EQ(STATUS_SUCCESS, firstStatus);
  EXPECT_EQ(kTestResult, first);
}

// After a PnP stop the channel answers without touching the freed test reader; after the next
// start the test runs again.
TEST_F(PrivateChannel, AfterPnpStop) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  ASSERT_EQ(STATUS_SUCCESS, device_->QueryStop());
  ASSERT_EQ(STATUS_SUCCESS, device_->Stop());
  EXPECT_EQ(STATUS_NOT_SUPPORTED, PrivateRequest(*file, kIoctlPrivateTest, 4, nullptr, nullptr));
  ASSERT_EQ(STATUS_SUCCESS, Start());
  ULONG result = 0;
  EXPECT_EQ(STATUS_SUCCESS, PrivateRequest(*file, kIoctlPrivateTest, 4, &result, nullptr));
  EXPECT_EQ(kTestResult, result);
}

// A PnP stop while a test runs stops the test and frees the reader only after it ended.
TEST_F(PrivateChannel, StopWhileTestRuns) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  NTSTATUS status = STATUS_PENDING;
  kernel::KernelThread client("test request", [&] { status = PrivateRequest(*file, kIoctlPrivateTest, 4, nullptr, nullptr); });
  Wait(300 * kMs);
  ASSERT_EQ(STATUS_PENDING, status);
  ASSERT_EQ(STATUS_SUCCESS, device_->QueryStop());
  ASSERT_EQ(STATUS_SUCCESS, device_->Stop());
  EXPECT_NE(STATUS_PENDING, status) << "the stop waited for the test to end";
  client.Join();
  EXPECT_FALSE(NT_SUCCESS(status));
}

// With a capture running the camera is polled instead. Ready in the third pass: the result after
// two 200 ms waits. Never ready: STATUS_IO_TIMEOUT after 50 passes, not a success.
TEST_F(PrivateChannel, PollingBesideACapture) {
  for (bool finishes : {true, false}) {
    Plug(Profile::kIsoch);
    ASSERT_EQ(STATUS_SUCCESS, Start());
    std::unique_ptr<kernel::ClientFile> file;
    ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
    // Each pass reads 0x0602 once: progress moves every pass, ready from the third on.
    reads_ = 0;
    ScriptTestProgress(finishes);
    BeginCapture();
    const uint64_t start = start_ = KeQueryInterruptTime();
    ULONG result = 0;
    ULONG_PTR information = 0;
    const NTSTATUS status = PrivateRequest(*file, kIoctlPrivateTest, 4, &result, &information);
    const uint64_t took = KeQueryInterruptTime() - start;
    if (finishes) {
      EXPECT_EQ(STATUS_SUCCESS, status);
      EXPECT_EQ(400 * kMs, static_cast<LONGLONG>(took / (100 * kMs) * (100 * kMs)));
    } else {
      EXPECT_EQ(STATUS_IO_TIMEOUT, status);
      EXPECT_EQ(50 * 200 * kMs, static_cast<LONGLONG>(took / (100 * kMs) * (100 * kMs)));
    }
    EndCapture();
    file.reset();
    Unload();
  }
}

// The poll's register pairs while another thread sends pairs of its own: at the camera every
// address request is followed by its own data request, never by a second address.
TEST_F(PrivateChannel, PollPairsNeverInterleaveWithOtherRegisterPairs) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  ScriptTestProgress(true);
  BeginCapture();
  camera_->ClearLog();
  start_ = KeQueryInterruptTime();
  constexpr int kPairs = 100;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  {
    kernel::KernelThread writer("register pairs", [&] {
      for (int i = 0; i < kPairs; ++i)
        WriteSensorRegister(Camera()->GetUsbDevice()->Services(), static_cast<USHORT>(0x1000 + i), 0x5A);
    });
    ULONG result = 0;
    ULONG_PTR information = 0;
    status = PrivateRequest(*file, kIoctlPrivateTest, 4, &result, &information);
  }
  EXPECT_EQ(STATUS_SUCCESS, status);
  const uint16_t vendor = static_cast<uint16_t>(camera_->Profile().vendorUnitId << 8);
  int pairs = 0;
  uint8_t previous = 3;
  for (const simcam::LoggedRequest& r : camera_->Log()) {
    const uint8_t selector = static_cast<uint8_t>(r.setup.wValue >> 8);
    if (r.kind != simcam::RequestKind::kControl || r.setup.wIndex != vendor || (selector != 2 && selector != 3))
      continue;
    EXPECT_NE(previous, selector) << "after " << pairs << " pairs";
    previous = selector;
    if (selector == 3) ++pairs;
  }
  EXPECT_GT(pairs, kPairs);  // the poll's pairs are among them
  EndCapture();
  file.reset();
  Unload();
}

// The test stream and a capture pin take the capture stream from one owner record. A pin
// holding it in ACQUIRE or PAUSE refuses the test (busy), and the pin then streams as if no test
// had been asked for; a pin's ACQUIRE while the test runs is refused, and after the test the pin
// streams.
class PrivateChannelWithPin : public StreamingBench {
 protected:
  void OpenPin() {
    ASSERT_NO_FATAL_FAILURE(OpenCapturePin());
  }
  void ExpectStreams(const char* when) {
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
      ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(state)) << when;
    EXPECT_EQ(1, Camera()->GetCaptureRunning()) << when;
    EXPECT_NE(0, camera_->Snapshot().streamingAlternate) << when;
    EXPECT_EQ(STATUS_SUCCESS, ReadFrames(3)) << when;
  }
};

TEST_F(PrivateChannelWithPin, TestAndCaptureExcludeEachOther) {
  for (KSSTATE held : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
    const char* when = held == KSSTATE_ACQUIRE ? "ACQUIRE" : "PAUSE";
    Plug(Profile::kIsoch);
    ASSERT_NO_FATAL_FAILURE(OpenPin());
    std::unique_ptr<kernel::ClientFile> file;
    ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
      ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(state)) << when;
      if (state == held) break;
    }
    ULONG result = 0;
    EXPECT_EQ(STATUS_DEVICE_BUSY, PrivateRequest(*file, kIoctlPrivateTest, 4, &result, nullptr)) << when;
    EXPECT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN)) << when;
    EXPECT_EQ(1, Camera()->GetCaptureRunning()) << when;
    EXPECT_NE(0, camera_->Snapshot().streamingAlternate) << when;
    EXPECT_EQ(STATUS_SUCCESS, ReadFrames(3)) << when;
    ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
    file.reset();
    CloseClients();
    Unload();
  }

  Plug(Profile::kIsoch);
  ASSERT_NO_FATAL_FAILURE(OpenPin());
  std::unique_ptr<kernel::ClientFile> file;
  ASSERT_EQ(STATUS_SUCCESS, OpenPrivate(&file));
  NTSTATUS testStatus = STATUS_PENDING;
  {
    kernel::KernelThread client("test request", [&] {
      ULONG result = 0;
      testStatus = PrivateRequest(*file, kIoctlPrivateTest, 4, &result, nullptr);
    });
    Wait(100 * kMs);
    ASSERT_EQ(STATUS_PENDING, testStatus);
    EXPECT_FALSE(NT_SUCCESS(pin_->SetState(KSSTATE_ACQUIRE))) << "ACQUIRE during the test";
    client.Join();
  }
  EXPECT_EQ(STATUS_SUCCESS, testStatus);
  ExpectStreams("after the test");
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_STOP));
}

}  // namespace
}  // namespace kvz::drivertest
