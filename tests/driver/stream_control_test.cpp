// The device's stream control on a started camera: alternate-setting choice and selection,
// zero bandwidth, frame intervals, GET_CUR with retry, and stream calls without a stream.
#include <gtest/gtest.h>

#include <algorithm>

#include "device_bench.h"
#include "driver/pins/format_table.h"
#include "kvz/kernel_testing.h"
#include "kvz/system_testing.h"
#include "usb/usb_limits.h"
#include "usbdlib.h"

namespace kvz::drivertest {
namespace {

using StreamControl = DeviceBench;

// The high-speed profile's alternate settings carry 128, 512, 1024, 2048 and 3072 bytes.
TEST_F(StreamControl, AlternateSettingByBandwidth) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  CameraDevice* camera = Camera();
  struct Case {
    ULONG payload;
    uint8_t alternate;
  } cases[] = {{0, 0}, {128, 1}, {500, 2}, {1024, 3}, {3000, 5}, {3073, 5}};
  for (const Case& c : cases) {
    ASSERT_EQ(STATUS_SUCCESS, camera->Streams()->SelectStreamingAltSetting(c.payload));
    EXPECT_EQ(c.alternate, camera_->Snapshot().streamingAlternate) << c.payload;
    // Selected once on the way from zero bandwidth: a second configuration changes nothing.
    ASSERT_EQ(STATUS_SUCCESS, camera->Streams()->SelectStreamingAltSetting(3072));
    EXPECT_EQ(c.alternate, camera_->Snapshot().streamingAlternate) << c.payload;
    ASSERT_EQ(STATUS_SUCCESS, camera->Streams()->SelectZeroBandwidth());
    EXPECT_EQ(0, camera_->Snapshot().streamingAlternate);
  }
}

// A USB 3 camera on Windows 7 takes the largest setting whatever the payload; on Windows 8 the
// first that fits.
TEST_F(StreamControl, Usb3OnWindows7TakesTheLargest) {
  for (bool windows7 : {true, false}) {
    kernel::SetSystemVersion(windows7 ? kernel::SystemVersion::Windows7() : kernel::SystemVersion::Windows8());
    Plug(Profile::kUsb3);
    ASSERT_EQ(STATUS_SUCCESS, Start());
    // The profile's six streaming alternate settings, 1024 to 49152 bytes per interval.
    EXPECT_EQ(windows7 ? 6 : 1, Camera()->ChooseAltSetting(100)) << windows7;
    EXPECT_EQ(windows7 ? 6 : 2, Camera()->ChooseAltSetting(2000)) << windows7;
    EXPECT_EQ(6, Camera()->ChooseAltSetting(0xFFFFFFFF)) << windows7;
    Unload();
  }
}

// Selection failures: a record claiming more pipes than the device's record holds is refused
// before anything is sent; a request block error under IRP success is a failure, and the
// streaming selection falls back to zero bandwidth.
TEST_F(StreamControl, SelectionFailures) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  CameraDevice* camera = Camera();
  UCHAR record[128] = {};
  auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
  info->Length = sizeof(record);
  info->InterfaceNumber = 1;
  info->NumberOfPipes = 9;
  camera_->ClearLog();
  EXPECT_EQ(STATUS_INVALID_PARAMETER, camera->SelectAltSetting(info, sizeof(record)));
  EXPECT_EQ(0u, Count(simcam::RequestKind::kSetInterface));

  camera_->Configure([](simcam::CameraFaults& faults, simcam::ControlTable&, simcam::RegisterFile&,
                        simcam::CameraOptions&) {
    simcam::RequestFault fault;
    fault.target = simcam::RequestTarget::kSetInterface;
    fault.kind = simcam::RequestFaultKind::kUrbErrorIrpSuccess;
    fault.urbStatus = USBD_STATUS_STALL_PID;
    faults.requests.push_back(fault);
  });
  EXPECT_FALSE(NT_SUCCESS(camera->Streams()->SelectStreamingAltSetting(1024)));
  EXPECT_EQ(0, camera_->Snapshot().streamingAlternate);
  ASSERT_EQ(STATUS_SUCCESS, camera->Streams()->SelectStreamingAltSetting(1024));
  EXPECT_EQ(3, camera_->Snapshot().streamingAlternate);
}

// The first listed interval equal to the request or, for a non-zero request, above it; else the
// last. A request one unit above a listed interval (a rate rounded: 15 fps is 666667) is that
// interval; two units above is not. Zero intervals are skipped; without intervals a request stays
// and 0 gets 30 fps.
TEST_F(StreamControl, PickFrameInterval) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  ULONG listed[] = {333333, 666666, 1000000};
  ULONG withZero[] = {0, 500000};
  FrameEntry entry{};
  struct Case {
    PULONG intervals;
    LONG count;
    ULONGLONG requested;
    ULONG picked;
  } cases[] = {
      {listed, 3, 0, 1000000},       {listed, 3, 400000, 666666},   {listed, 3, 666666, 666666},
      {listed, 3, 2000000, 1000000}, {listed, 3, 1ull << 33, 1000000}, {withZero, 2, 0, 500000},
      {nullptr, 0, 400000, 400000},  {nullptr, 0, 0, 333333},
      {listed, 3, 666667, 666666},   {listed, 3, 666668, 1000000},  {listed, 3, 333334, 333333},
      {listed, 3, 333335, 666666},
  };
  for (const Case& c : cases) {
    entry.Intervals = c.intervals;
    entry.IntervalCount = c.count;
    EXPECT_EQ(c.picked, Camera()->PickFrameInterval(entry, c.requested)) << c.requested;
  }
}

// Without a stream: suspend succeeds at once, a resume asks for a fresh start, and a stop of a
// stream that never started fails without touching the settings.
TEST_F(StreamControl, CallsWithoutAStream) {
  Plug(Profile::kIsoch);
  ASSERT_EQ(STATUS_SUCCESS, Start());
  EXPECT_EQ(kStatusRestartStream, Camera()->Streams()->SuspendStream(0));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, Camera()->Streams()->StartStream(0, 640 * 480 * 2, nullptr, 1))
      << "no payload was ever committed";
  FrameBuffer* frame = nullptr;
  PUCHAR data = nullptr;
  EXPECT_EQ(0u, Camera()->Streams()->TakeFrame(&frame, &data, 1));
  EXPECT_EQ(nullptr, frame);
}

// GET_CUR on the vendor unit is retried 100 ms apart while the camera reports a suspended state,
// ten requests at most (each of which the request sender itself retries).
TEST_F(StreamControl, GetCurWithRetry) {
  for (uint32_t answers : {30u, 0u}) {
    Plug(Profile::kIsoch);
    ASSERT_EQ(STATUS_SUCCESS, Start());
    camera_->Configure([&](simcam::CameraFaults& faults, simcam::ControlTable&, simcam::RegisterFile&,
                           simcam::CameraOptions&) {
      simcam::RequestFault fault;
      fault.match.bRequest = 0x81;
      fault.match.wValue = 0x0100;
      fault.kind = simcam::RequestFaultKind::kPowerStateInvalid;
      fault.count = answers;
      faults.requests.push_back(fault);
    });
    EXPECT_EQ(answers ? STATUS_SUCCESS : STATUS_POWER_STATE_INVALID, Camera()->GetCurWithRetry()) << answers;
    Unload();
  }
}

using StreamingControl = StreamingBench;

// A still configured while capture runs (1280 x 720 beside the 640 x 480 capture) leaves the
// device's frame size, to which the region set fits the exposure window, at the capture stream's.
TEST_F(StreamingControl, StillConfigurationKeepsTheCaptureFrameSize) {
  Plug(Profile::kIsoch);
  RunCapture();
  LONG width = 0, height = 0;
  Camera()->Controls()->GetFrameSize(&width, &height);
  ASSERT_EQ(640, width);
  ASSERT_EQ(480, height);
  ULONG pins = 0, still = 0;
  ASSERT_EQ(STATUS_SUCCESS, filter_->PinCount(&pins));
  for (GUID category{}; still < pins; ++still)
    if (NT_SUCCESS(filter_->PinCategory(still, &category)) && category == PINNAME_VIDEO_STILL) break;
  ASSERT_LT(still, pins);
  std::vector<ksclient::Bytes> ranges;
  ASSERT_EQ(STATUS_SUCCESS, filter_->PinDataRanges(still, &ranges));
  const auto large = std::find_if(ranges.begin(), ranges.end(), [](const ksclient::Bytes& r) {
    const auto* range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(r.data());
    return r.size() == sizeof(KS_DATARANGE_VIDEO) && range->VideoInfoHeader.bmiHeader.biWidth == 1280;
  });
  ASSERT_NE(ranges.end(), large);
  ksclient::Bytes format;
  ASSERT_EQ(STATUS_SUCCESS, filter_->Intersect(still, {*large}, &format));
  std::unique_ptr<ksclient::KsPinClient> stillPin;
  ASSERT_EQ(STATUS_SUCCESS, filter_->CreatePin(still, format, &stillPin));
  ASSERT_EQ(STATUS_SUCCESS, stillPin->SetState(KSSTATE_ACQUIRE));
  Camera()->Controls()->GetFrameSize(&width, &height);
  EXPECT_EQ(640, width);
  EXPECT_EQ(480, height);
  EXPECT_EQ(STATUS_SUCCESS, stillPin->SetState(KSSTATE_STOP));
}

// A RUN that the transport refuses (no transfer can be made) leaves the pin in PAUSE; the next
// RUN from PAUSE starts the transport with the payload committed at ACQUIRE and streams, without
// a new negotiation, on either transport.
TEST_F(StreamingControl, RunFromPauseAfterARefusedStartUsesTheCommittedPayload) {
  for (Profile profile : {Profile::kIsoch, Profile::kBulk}) {
    SCOPED_TRACE(ProfileName(profile));
    Plug(profile);
    ASSERT_NO_FATAL_FAILURE(OpenCapturePin());
    ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_ACQUIRE));
    ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));
    const size_t commits = Commits();
    kernel::FailAllocationsRandomly(1.0, 1, kTagTransferUrb);
    EXPECT_FALSE(NT_SUCCESS(pin_->SetState(KSSTATE_RUN)));
    kernel::ClearPoolFaults();
    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(STATUS_SUCCESS, pin_->GetState(&state));
    ASSERT_EQ(KSSTATE_PAUSE, state);
    ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
    EXPECT_EQ(STATUS_SUCCESS, ReadFrames(3));
    EXPECT_EQ(commits, Commits());
    CloseClients();
    Unload();
  }
}

// Two clients each open a still pin (one per filter) while capture runs; one closes. The
// camera's button still triggers a still for the other, and once both are closed it does not.
TEST_F(StreamingControl, ButtonTriggersWhileAnyStillPinIsOpen) {
  Plug(Profile::kIsoch);
  RunCapture();
  std::unique_ptr<ksclient::KsFilterClient> second;
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &second));
  std::unique_ptr<ksclient::KsPinClient> stills[2];
  ksclient::KsFilterClient* filters[2] = {filter_.get(), second.get()};
  for (int i = 0; i < 2; ++i) {
    ULONG pins = 0, still = 0;
    ASSERT_EQ(STATUS_SUCCESS, filters[i]->PinCount(&pins));
    for (GUID category{}; still < pins; ++still)
      if (NT_SUCCESS(filters[i]->PinCategory(still, &category)) && category == PINNAME_VIDEO_STILL) break;
    ASSERT_LT(still, pins);
    std::vector<ksclient::Bytes> ranges;
    ASSERT_EQ(STATUS_SUCCESS, filters[i]->PinDataRanges(still, &ranges));
    ksclient::Bytes format;
    ASSERT_EQ(STATUS_SUCCESS, filters[i]->Intersect(still, {ranges.front()}, &format));
    ASSERT_EQ(STATUS_SUCCESS, filters[i]->CreatePin(still, format, &stills[i]));
  }
  auto press = [this] {
    const uint32_t before = camera_->Snapshot().stillTriggers;
    camera_->PressButton();
    camera_->ReleaseButton();
    Wait(100 * 10000);
    return camera_->Snapshot().stillTriggers - before;
  };
  ASSERT_EQ(1u, press());
  stills[0].reset();
  EXPECT_EQ(1u, press()) << "one of two still pins closed";
  stills[1].reset();
  EXPECT_EQ(0u, press()) << "both still pins closed";
  second.reset();
}

}  // namespace
}  // namespace kvz::drivertest
