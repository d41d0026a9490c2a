// The isochronous stream reader against the simulated camera: frames reassembled exactly,
// damaged frames discarded and counted, stills, retries, pause, stop and removal.
#include <gtest/gtest.h>

#include "kvz/kernel_testing.h"
#include "kvz/system_testing.h"
#include "simcam/test_pattern.h"
#include "support/stream_bench.h"
#include "usb/usb_limits.h"
#include "support/transfer_loopback.h"

namespace kvz {

template <>
struct TestSeam<IsochStreamReader> {
  static ULONG Stride(const IsochStreamReader& reader) { return reader.stride_; }
  static ULONG SlotBufferSize(const IsochStreamReader& reader) { return reader.slotBufferSize_; }
};

}  // namespace kvz

namespace kvz::usbtest {
namespace {

using kvz::kernel::kMillisecond;
using kvz::kernel::kSecond;
using kvz::kernel::Now;

constexpr uint8_t kYuy2 = 1;
constexpr uint8_t kMjpeg = 2;
constexpr uint8_t kYuy2Small = 3;  // 160 x 120
constexpr uint8_t kStillMedium = 2;  // 320 x 240 still of the YUY2 format
constexpr uint32_t k30Fps = 333333;
constexpr ULONG kSmallFrame = 160 * 120 * 2;
constexpr uint8_t kLargestAlternate = 5;

std::vector<uint32_t> FrameNumbers(const std::vector<Frame>& frames) {
  std::vector<uint32_t> numbers;
  for (const Frame& f : frames) numbers.push_back(simcam::FrameNumberOfYuy2(f.data(), f.size()));
  return numbers;
}

// ---- Payload rules, payload by payload --------------------------------------------------------

// One payload as the bus hands it over: its header's bmHeaderInfo (kNoHeader: a zero-length
// packet), bytes of data after the header, all of value tag, and the packet's status.
constexpr UCHAR kNoHeader = 0;
constexpr UCHAR kFid0 = 0x8C;  // EOH, SCR, PTS
constexpr UCHAR kFid1 = 0x8D;
constexpr UCHAR kEof = 0x02;
constexpr UCHAR kErr = 0x40;

struct Payload {
  UCHAR info;
  UCHAR tag;
  USHORT bytes;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
};

// kRestart: the reader stopped and started again with the camera streaming on; kRestartAfresh:
// the device selected an alternate setting in between, so the camera begins a new stream.
enum class Before { kNothing, kPause, kResume, kRestart, kRestartAfresh };

// One isochronous transfer of up to eight packets (the rest empty); on the bulk transport each
// payload is a transfer of its own, a failed status failing it. Frames are taken after each
// transfer, so a transfer ends at most one good frame (the capture stream hands out its newest).
struct Transfer {
  std::vector<Payload> payloads;
  ULONG missedFrames = 0;  // isochronous: the bus skipped this many 1 ms frames before it
  Before before = Before::kNothing;
};

struct DeliveredFrame {
  UCHAR tag;
  ULONG size;
  bool operator==(const DeliveredFrame& o) const { return tag == o.tag && size == o.size; }
};

USBD_INTERFACE_INFORMATION LoopbackInterface(ULONG maximumPacketSize) {
  USBD_INTERFACE_INFORMATION info{};
  info.Length = sizeof(info);
  info.NumberOfPipes = 1;
  info.Pipes[0].MaximumPacketSize = static_cast<USHORT>(maximumPacketSize);
  info.Pipes[0].PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(0x1000));
  return info;
}

class IsochReaderTest : public StreamBench {
 protected:
  void SetUp() override {
    // The loopback lives as long as the process: its own blocks are no leak of any test.
    TransferLoopback::Instance();
    kvz::kernel::CheckUnload();
    StreamBench::SetUp();
    BootStreaming(simcam::HighSpeedIsochCamera(DriverGuids()));
  }
  // Commits a frame, selects bandwidth and starts the reader for the capture pin.
  NTSTATUS StartVideo(uint8_t format = kYuy2, uint8_t frame = kYuy2Small, ULONG packets = 32,
                      uint8_t alternate = kLargestAlternate) {
    const UVC_VIDEO_PROBE_COMMIT committed = Commit(format, frame, k30Fps);
    EXPECT_EQ(STATUS_SUCCESS, SelectAlternate(alternate));
    MakeIsoch();
    return isoch_->Start(committed.dwMaxVideoFrameSize, packets, committed.dwMaxPayloadTransferSize, Interface(),
                         Pin(kStreamCapture), kStreamCapture);
  }
  // Pending transfers sampled every 250 us for `window`: the longest stretch with fewer than
  // `normal` of them in flight.
  int64_t LongestDip(size_t normal, int64_t window) {
    int64_t longest = 0, start = -1;
    const int64_t end = Now() + window;
    while (Now() < end) {
      const bool dip = port_->PendingRequests() < normal;
      if (dip && start < 0) start = Now();
      if (!dip && start >= 0) {
        longest = std::max(longest, Now() - start);
        start = -1;
      }
      Sleep(kMillisecond / 4);
    }
    return longest;
  }

  // Scripted payloads through a reader on the transfer loopback.
  static constexpr ULONG kStride = 64;
  static constexpr ULONG kPackets = 8;

  TransferLoopback::Held TakeHeld() {
    TransferLoopback::Held held;
    // Failed and paused transfers come back after their retry delay.
    for (int i = 0; i < 100 && !TransferLoopback::Instance().Take(&held); ++i) Sleep(kMillisecond);
    EXPECT_NE(nullptr, held.irp);
    return held;
  }
  static void Fill(PUCHAR data, const Payload& p) {
    data[0] = 12;
    data[1] = p.info;
    memset(data + 2, 0, 10);
    memset(data + 12, p.tag, p.bytes);
  }
  static ULONG LengthOf(const Payload& p) { return p.info == kNoHeader ? 0 : 12u + p.bytes; }

  void CompleteIsoch(const Transfer& transfer) {
    TransferLoopback::Held held = TakeHeld();
    if (!held.irp) return;
    struct _URB_ISOCH_TRANSFER& t = held.urb->UrbIsochronousTransfer;
    auto* data = static_cast<PUCHAR>(t.TransferBuffer);
    for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
      const Payload p = i < transfer.payloads.size() ? transfer.payloads[i] : Payload{kNoHeader, 0, 0};
      if (p.info != kNoHeader) Fill(data + t.IsoPacket[i].Offset, p);
      t.IsoPacket[i].Length = LengthOf(p);
      t.IsoPacket[i].Status = p.status;
    }
    nextFrame_ += transfer.missedFrames;
    t.StartFrame = nextFrame_;
    nextFrame_ += kPackets / 8;
    held.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    TransferLoopback::Complete(held, STATUS_SUCCESS);
  }
  void CompleteBulk(const Payload& p) {
    TransferLoopback::Held held = TakeHeld();
    if (!held.irp) return;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER& t = held.urb->UrbBulkOrInterruptTransfer;
    if (p.info != kNoHeader) Fill(static_cast<PUCHAR>(t.TransferBuffer), p);
    t.TransferBufferLength = LengthOf(p);
    held.urb->UrbHeader.Status = p.status;
    TransferLoopback::Complete(held, USBD_SUCCESS(p.status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL);
  }
  void TakeDelivered(StreamReaderCore& reader) {
    while (FrameBuffer* frame = reader.TakeReadyFrame(kStreamCapture)) {
      const ULONG size = UsableFrameLength(frame);
      delivered_.push_back({size ? frame->data[0] : UCHAR{0}, size});
      for (ULONG i = 0; i < size; ++i) {
        if (frame->data[i] != frame->data[0]) ADD_FAILURE() << "frame of two payloads' tags";
        if (frame->data[i] != frame->data[0]) break;
      }
      reader.ReturnFrameBuffer(frame, kStreamCapture);
    }
  }
  // Completes the transfers in order, taking the frames delivered after each.
  void Run(const std::vector<Transfer>& transfers, StreamReaderCore& reader, StreamTransport& transport, bool bulk,
           PUSBD_INTERFACE_INFORMATION info = nullptr) {
    for (const Transfer& transfer : transfers) {
      if (transfer.before == Before::kRestart || transfer.before == Before::kRestartAfresh) {
        ASSERT_EQ(STATUS_SUCCESS, transport.Stop(kStreamCapture));
        if (transfer.before == Before::kRestartAfresh) transport.AlternateSettingSelected();
        ASSERT_EQ(STATUS_SUCCESS, transport.Start(4096, kPackets, kStride, info, Pin(kStreamCapture), kStreamCapture));
      } else if (transfer.before != Before::kNothing) {
        ASSERT_EQ(STATUS_SUCCESS, transport.SetTransportPaused(transfer.before == Before::kPause ? 1 : 0));
      }
      if (bulk) {
        for (const Payload& p : transfer.payloads) {
          CompleteBulk(p);
          TakeDelivered(reader);
        }
      } else {
        CompleteIsoch(transfer);
        TakeDelivered(reader);
      }
    }
  }
  ULONG nextFrame_ = 100;
  std::vector<DeliveredFrame> delivered_;
};

TEST_F(IsochReaderTest, ReassemblesTheCamerasYuy2FramesExactly) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 6));
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
  EXPECT_EQ(0, isoch_->TransfersInFlight());
  const std::vector<Frame> frames = Frames(kStreamCapture);
  for (const Frame& f : frames) EXPECT_TRUE(IsCameraYuy2Frame(f, 160, 120));
  const StreamCounters c = isoch_->Counters();
  EXPECT_EQ(0u, c.discarded);
  EXPECT_EQ(frames.size(), c.delivered);
}

TEST_F(IsochReaderTest, ReassemblesMjpegFramesThatDecodeAtTheirSize) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo(kMjpeg, 1));
  ASSERT_TRUE(WaitFrames(kStreamCapture, 4));
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
  for (const Frame& f : Frames(kStreamCapture)) EXPECT_TRUE(DecodesAsJpeg(f, 640, 480));
}

// A format the rows stream: from the built high-speed camera, or from a descriptor dump.
struct Picture {
  const char* dump;  // nullptr: the built camera
  uint8_t format;
  uint8_t frame;
  uint16_t width;
  uint16_t height;
  uint8_t bitsPerPixel;  // 0: MJPEG
  uint8_t alternate;     // the streaming alternate setting selected
};
constexpr Picture kQqvgaYuy2{nullptr, kYuy2, kYuy2Small, 160, 120, 16, kLargestAlternate};
constexpr Picture kVgaMjpeg{nullptr, kMjpeg, 1, 640, 480, 0, kLargestAlternate};
constexpr Picture kHdNv12{"superspeed.txt", 1, 2, 1280, 720, 12, 4};

// Uncompressed frames are the camera's YUY2 test picture of the frame number they carry, cut
// to the format's size.
bool IsCameraFrame(const Frame& frame, const Picture& p) {
  const size_t bytes = static_cast<size_t>(p.width) * p.height * p.bitsPerPixel / 8;
  if (frame.size() != bytes) return false;
  std::vector<uint8_t> expected =
      simcam::MakeYuy2Frame(p.width, p.height, simcam::FrameNumberOfYuy2(frame.data(), frame.size()));
  expected.resize(bytes);
  return frame == expected;
}

struct FrameFaultCase {
  const char* name;
  simcam::FrameFault fault;
  uint32_t lostFrames;  // frames from the damaged one on that never arrive whole
  uint32_t discarded = 1;
  Picture picture = kQqvgaYuy2;
};

class IsochFrameFaultTest : public IsochReaderTest, public ::testing::WithParamInterface<FrameFaultCase> {
 protected:
  void SetUp() override {
    const char* dump = GetParam().picture.dump;
    if (!dump) return IsochReaderTest::SetUp();
    TransferLoopback::Instance();
    kvz::kernel::CheckUnload();
    StreamBench::SetUp();
    const simcam::VendorGuids guids = DriverGuids();
    auto profile = simcam::LoadRawDescriptorProfile(std::string(KVZ_SIMCAM_DUMPS) + "/" + dump, &guids);
    ASSERT_TRUE(profile.has_value());
    BootStreaming(*profile);
  }
};

// Frame 3 is damaged: it (and, where the damage may have cut the next frame's beginning, that
// one) is discarded and counted; every frame delivered is exactly one of the camera's, and the
// frame after the damage arrives whole.
TEST_P(IsochFrameFaultTest, DamagedFrameIsDiscardedAndCounted) {
  const FrameFaultCase& c = GetParam();
  const Picture& p = c.picture;
  camera_->ArmFrameFault(3, c.fault);
  ASSERT_EQ(STATUS_SUCCESS, StartVideo(p.format, p.frame, 32, p.alternate));
  ASSERT_TRUE(WaitFrames(kStreamCapture, 7));
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
  const std::vector<Frame> frames = Frames(kStreamCapture);
  if (p.bitsPerPixel == 0) {
    for (const Frame& f : frames) EXPECT_TRUE(DecodesAsJpeg(f, p.width, p.height));
  } else {
    for (const Frame& f : frames) EXPECT_TRUE(IsCameraFrame(f, p));
    const std::vector<uint32_t> numbers = FrameNumbers(frames);
    for (uint32_t n : numbers) EXPECT_TRUE(n < 3 || n >= 3 + c.lostFrames) << n;
    EXPECT_EQ(1, std::count(numbers.begin(), numbers.end(), 3 + c.lostFrames)) << "the frame after the damage";
  }
  EXPECT_EQ(c.discarded, isoch_->Counters().discarded);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, IsochFrameFaultTest,
    ::testing::Values(FrameFaultCase{"BadHeaderLength", HeaderFault(simcam::HeaderFault::kBadLength), 1},
                      FrameFaultCase{"NoEndOfHeader", HeaderFault(simcam::HeaderFault::kNoEndOfHeader), 1},
                      FrameFaultCase{"NoSourceClock", HeaderFault(simcam::HeaderFault::kNoSourceClock), 1},
                      FrameFaultCase{"NoPresentationTime", HeaderFault(simcam::HeaderFault::kNoPresentationTime), 1},
                      FrameFaultCase{"ErrorBit", HeaderFault(simcam::HeaderFault::kError), 1},
                      FrameFaultCase{"StillBitInsideAVideoFrame", HeaderFault(simcam::HeaderFault::kStillMidFrame), 1},
                      FrameFaultCase{"Overflow", OversizeFault(), 1},
                      FrameFaultCase{"LostEndOfFrame", LostEofFault(), 1},
                      FrameFaultCase{"HeaderOnlyFrame", HeaderOnlyFrameFault(), 1},
                      FrameFaultCase{"LostPacket", LostPayloadFault(2), 1},
                      // The lost packet may as well have been the next frame's first.
                      FrameFaultCase{"LostEndOfFramePacket", LostLastPayloadFault(), 2, 2},
                      FrameFaultCase{"MjpegLostEndOfFrame", LostEofFault(), 1, 1, kVgaMjpeg},
                      FrameFaultCase{"MjpegLostPacket", LostPayloadFault(3), 1, 1, kVgaMjpeg},
                      FrameFaultCase{"MjpegLostEndOfFramePacket", LostLastPayloadFault(), 2, 2, kVgaMjpeg},
                      FrameFaultCase{"Nv12LostEndOfFrame", LostEofFault(), 1, 1, kHdNv12},
                      FrameFaultCase{"Nv12LostPacket", LostPayloadFault(3), 1, 1, kHdNv12},
                      FrameFaultCase{"Nv12LostEndOfFramePacket", LostLastPayloadFault(), 2, 2, kHdNv12}),
    [](const ::testing::TestParamInfo<FrameFaultCase>& info) { return info.param.name; });

// Completions held back longer than the queue lasts: the bus runs out of transfers, starts the
// stream afresh later, and what the camera sent meanwhile is lost without an error on any packet.
// The frame that lost its middle is discarded.
TEST_F(IsochReaderTest, MicroframesTheBusMissedDiscardTheFrameTheyCut) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo(kYuy2, 1));  // 640 x 480: a frame fills most of its interval
  ASSERT_TRUE(WaitFrames(kStreamCapture, 2));
  usb::BusFault stall;
  stall.request = usb::BusRequest::kTransfer;
  stall.kind = usb::BusFault::Kind::kDelay;
  stall.delay = 20 * kMillisecond;  // 5 transfers of 4 ms: the bus runs dry after 16 ms
  stall.count = 5;
  port_->ArmBusFault(stall);
  ASSERT_TRUE(WaitFrames(kStreamCapture, Frames(kStreamCapture).size() + 3));
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
  for (const Frame& f : Frames(kStreamCapture)) EXPECT_TRUE(IsCameraYuy2Frame(f, 640, 480));
  EXPECT_EQ(1u, isoch_->Counters().discarded);
}

TEST_F(IsochReaderTest, ShortPacketsAndErrorPacketsWithDataDamageTheirFrames) {
  camera_->Configure([](simcam::CameraFaults& f, auto&, auto&, auto&) {
    f.attacks.badPacketsPerTransfer = 1;
    f.attacks.badPacketsCarryData = true;
  });
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  Sleep(400 * kMillisecond);
  camera_->Configure([](simcam::CameraFaults& f, auto&, auto&, auto&) {
    f.attacks.badPacketsPerTransfer = 0;
    for (uint32_t n = 1; n < 12; ++n) f.injectedPackets.push_back(n);
  });
  Sleep(400 * kMillisecond);
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
  for (const Frame& f : Frames(kStreamCapture)) EXPECT_TRUE(IsCameraYuy2Frame(f, 160, 120));
  EXPECT_GE(isoch_->Counters().discarded, 2u);
}

class IsochStillTest : public IsochReaderTest, public ::testing::WithParamInterface<CaptureRestart> {};

// The still pin stays registered while the capture stream pauses or stops and starts again: its
// buffers stay, and a still triggered afterwards reaches it.
TEST_P(IsochStillTest, StillFramesGoToTheStillPinOnly) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_EQ(STATUS_SUCCESS, CommitStill(kYuy2, kStillMedium));
  ASSERT_EQ(STATUS_SUCCESS, isoch_->Start(320 * 240 * 2, 0, 0, nullptr, Pin(kStreamStill), kStreamStill));
  // The bandwidth is given back with the stop, and the restart selects it again.
  StillsAcrossACaptureRestart(
      isoch_, GetParam(), [this] { ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(0)); },
      [this] {
        ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(kLargestAlternate));
        ASSERT_EQ(STATUS_SUCCESS,
                  isoch_->Start(kSmallFrame, 32, 3072, Interface(), Pin(kStreamCapture), kStreamCapture));
      });
}

INSTANTIATE_TEST_SUITE_P(CaptureRestarts, IsochStillTest,
                         ::testing::Values(CaptureRestart::kNone, CaptureRestart::kPause, CaptureRestart::kStop),
                         CaptureRestartName);

TEST_F(IsochReaderTest, FailedTransferIsSentAgainFiveMillisecondsLater) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 1));
  simcam::TransferFault fault;
  fault.kind = simcam::TransferFaultKind::kIrpFailure;
  camera_->ArmTransferFault(USB_ENDPOINT_TYPE_ISOCHRONOUS, fault);
  const int64_t dip = LongestDip(5, 40 * kMillisecond);
  // Sampled every 250 us: the dip is seen up to one sample late at either end.
  EXPECT_GE(dip, 5 * kMillisecond - kMillisecond / 4);
  EXPECT_LE(dip, 5 * kMillisecond + kMillisecond / 2);
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
}

TEST_F(IsochReaderTest, PausedTransfersKeepCyclingWithoutFramesAndResumeGoesOn) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 2));
  ASSERT_EQ(STATUS_SUCCESS, isoch_->SetTransportPaused(1));
  Sleep(10 * kMillisecond);
  const size_t before = Frames(kStreamCapture).size();
  const uint64_t completed = port_->CompletedTransfers();
  Sleep(300 * kMillisecond);
  EXPECT_EQ(before, Frames(kStreamCapture).size());
  // Each transfer takes 4 ms of bus time and waits 5 ms before it goes again.
  EXPECT_GT(port_->CompletedTransfers(), completed + 50);
  EXPECT_EQ(5, isoch_->TransfersInFlight());
  ASSERT_EQ(STATUS_SUCCESS, isoch_->SetTransportPaused(0));
  ASSERT_TRUE(WaitFrames(kStreamCapture, before + 3));
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
  // The frame the pause cut is discarded, not delivered with a gap.
  for (const Frame& f : Frames(kStreamCapture)) EXPECT_TRUE(IsCameraYuy2Frame(f, 160, 120));
  EXPECT_EQ(STATUS_UNSUCCESSFUL, isoch_->SetTransportPaused(1));
}

// A pause inside a frame, after each of its first eight packets in turn: the frame it cut is
// discarded, never delivered with a gap, and the next frame arrives whole.
TEST_F(IsochReaderTest, FrameCutByAPauseIsDiscarded) {
  TransferLoopback& loopback = TransferLoopback::Instance();
  USBD_INTERFACE_INFORMATION info = LoopbackInterface(kStride);
  IsochStreamReader reader(&info, 5, 0, loopback.Device()->GetLowerStackSize(), loopback.Device(), false);
  ASSERT_EQ(STATUS_SUCCESS, reader.Start(4096, kPackets, 0, &info, Pin(kStreamCapture), kStreamCapture));
  std::vector<DeliveredFrame> expected;
  for (ULONG cut = 1; cut <= kPackets; ++cut) {
    const UCHAR tag = static_cast<UCHAR>(2 * cut);
    const UCHAR fid = cut % 2 ? kFid1 : kFid0;
    const UCHAR nextFid = cut % 2 ? kFid0 : kFid1;
    Transfer before;  // idle packets, then the frame's first `cut` packets
    before.payloads.assign(kPackets - cut, Payload{kNoHeader, 0, 0});
    before.payloads.insert(before.payloads.end(), cut, Payload{fid, tag, 20});
    Transfer paused{{{fid, tag, 20}}, 0, Before::kPause};
    Transfer rest{{{fid, tag, 20}, {static_cast<UCHAR>(fid | kEof), tag, 20}}, 0, Before::kResume};
    Transfer next{{{nextFid, static_cast<UCHAR>(tag + 1), 20}, {static_cast<UCHAR>(nextFid | kEof), static_cast<UCHAR>(tag + 1), 20}}};
    Run({before, paused, rest, next}, reader, reader, false);
    expected.push_back({static_cast<UCHAR>(tag + 1), 40});
  }
  EXPECT_EQ(expected, delivered_);
  EXPECT_EQ(kPackets, reader.Counters().discarded);
  EXPECT_EQ(STATUS_SUCCESS, reader.Stop(kStreamCapture));
}

// The pin keeps every video buffer, so frames begin without one; buffers given back in the
// middle of such a frame must not start it without its beginning.
TEST_F(IsochReaderTest, BufferGivenBackMidFrameDoesNotStartAHeadlessFrame) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo(kYuy2, 1));  // 640 x 480: a frame takes most of its interval
  HoldVideoFrames(true);
  ASSERT_TRUE(WaitFrames(kStreamCapture, 10));
  // One buffer at a time, at points all over a frame; each is taken and kept again.
  for (int i = 0; i < 12; ++i) {
    Sleep(70 * kMillisecond + (i * 7 % 33) * kMillisecond);
    ReleaseOneHeldFrame();
  }
  HoldVideoFrames(false);
  ASSERT_TRUE(WaitFrames(kStreamCapture, Frames(kStreamCapture).size() + 2));
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
  for (const Frame& f : Frames(kStreamCapture)) EXPECT_TRUE(IsCameraYuy2Frame(f, 640, 480));
  EXPECT_GT(isoch_->Counters().dropped, 0u);
}

TEST_F(IsochReaderTest, StartWhilePausedStopsTheOldTransfersFirst) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_EQ(STATUS_SUCCESS, isoch_->SetTransportPaused(1));
  EXPECT_EQ(STATUS_SUCCESS,
            isoch_->Start(kSmallFrame, 32, 3072, Interface(), Pin(kStreamCapture), kStreamCapture));
  EXPECT_EQ(5, isoch_->TransfersInFlight());
  const size_t before = Frames(kStreamCapture).size();
  ASSERT_TRUE(WaitFrames(kStreamCapture, before + 3));
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
  EXPECT_EQ(0, isoch_->TransfersInFlight());
}

TEST_F(IsochReaderTest, StopWaitsForTransfersWithoutLimit) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 1));
  usb::BusFault slow;
  slow.request = usb::BusRequest::kTransfer;
  slow.kind = usb::BusFault::Kind::kDelay;
  slow.delay = 2 * kSecond;
  slow.count = 0;
  port_->ArmBusFault(slow);
  usb::BusFault abortFails;
  abortFails.request = usb::BusRequest::kAbortPipe;
  port_->ArmBusFault(abortFails);
  Sleep(30 * kMillisecond);  // every slot resubmitted under the fault
  const int64_t start = Now();
  EXPECT_EQ(STATUS_UNSUCCESSFUL, isoch_->Stop(kStreamCapture));
  EXPECT_GE(Now() - start, 1 * kSecond);
  EXPECT_EQ(0, isoch_->TransfersInFlight());
  EXPECT_EQ(0u, port_->PendingRequests());
}

// Removal before, while and after streaming: the transfers end with STATUS_NO_SUCH_DEVICE and
// are freed; stop and the destructor leave nothing (the unload check at tear-down).
enum class RemovalStage { kBeforeStart, kStreaming, kPaused, kStillRegistered };

class IsochRemovalTest : public IsochReaderTest, public ::testing::WithParamInterface<RemovalStage> {};

TEST_P(IsochRemovalTest, SurpriseRemovalLeavesNothingBehind) {
  const RemovalStage stage = GetParam();
  if (stage == RemovalStage::kBeforeStart) {
    Commit(kYuy2, kYuy2Small, k30Fps);
    ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(kLargestAlternate));
    port_->Unplug();
    Usb()->MarkRemoved();
    MakeIsoch();
    isoch_->Start(kSmallFrame, 32, 3072, Interface(), Pin(kStreamCapture), kStreamCapture);
  } else {
    ASSERT_EQ(STATUS_SUCCESS, StartVideo());
    ASSERT_TRUE(WaitFrames(kStreamCapture, 1));
    if (stage == RemovalStage::kPaused) {
      ASSERT_EQ(STATUS_SUCCESS, isoch_->SetTransportPaused(1));
    }
    if (stage == RemovalStage::kStillRegistered) {
      ASSERT_EQ(STATUS_SUCCESS, isoch_->Start(320 * 240 * 2, 0, 0, nullptr, Pin(kStreamStill), kStreamStill));
    }
    port_->Unplug();
    Usb()->MarkRemoved();
  }
  Sleep(20 * kMillisecond);
  if (stage != RemovalStage::kPaused) {
    EXPECT_EQ(0, isoch_->TransfersInFlight());
  }
  isoch_->Stop(kStreamStill);
  EXPECT_EQ(STATUS_NO_SUCH_DEVICE, isoch_->Stop(kStreamCapture));
  EXPECT_EQ(0, isoch_->TransfersInFlight());
  DestroyReader();
}

INSTANTIATE_TEST_SUITE_P(Stages, IsochRemovalTest,
                         ::testing::Values(RemovalStage::kBeforeStart, RemovalStage::kStreaming, RemovalStage::kPaused,
                                           RemovalStage::kStillRegistered));

TEST_F(IsochReaderTest, DestroyingARunningReaderStopsItFirst) {
  ASSERT_EQ(STATUS_SUCCESS, StartVideo());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 1));
  DestroyReader();
  EXPECT_EQ(0u, port_->PendingRequests());
}

TEST_F(IsochReaderTest, NoCompleteSlotFailsTheStartAndFreesEverything) {
  Commit(kYuy2, kYuy2Small, k30Fps);
  ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(kLargestAlternate));
  MakeIsoch();
  kvz::kernel::FailAllocationsRandomly(1.0, 1, kTagTransferUrb);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES,
            isoch_->Start(kSmallFrame, 32, 3072, Interface(), Pin(kStreamCapture), kStreamCapture));
  kvz::kernel::ClearPoolFaults();
  EXPECT_EQ(kTransportStopped, isoch_->State());
  EXPECT_EQ(0u, kvz::kernel::PoolStatsForTag(kTagFrameData).liveBlocks);
  EXPECT_EQ(0u, kvz::kernel::PoolStatsForTag(kTagTransferData).liveBlocks);
  // One slot that cannot be made is left out; the others stream.
  kvz::kernel::FailNthAllocation(3, kTagTransferUrb);
  ASSERT_EQ(STATUS_SUCCESS, isoch_->Start(kSmallFrame, 32, 3072, Interface(), Pin(kStreamCapture), kStreamCapture));
  EXPECT_EQ(4, isoch_->TransfersInFlight());
  ASSERT_TRUE(WaitFrames(kStreamCapture, 2));
  EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
}

struct StrideCase {
  const char* name;
  bool windows7;
  ULONG payload;
  ULONG packets;
  NTSTATUS status;
  ULONG stride;  // 0: the pipe's packet size
};

class IsochStrideTest : public StreamBench, public ::testing::WithParamInterface<StrideCase> {};

// A USB 3 camera on Windows 7 strides by its payload rounded up to 1024; zero and huge payloads
// and packet counts no transfer can hold are caught.
TEST_P(IsochStrideTest, StrideFollowsTheSystemAndStaysInBounds) {
  const StrideCase& c = GetParam();
  kvz::kernel::SetSystemVersion(c.windows7 ? kvz::kernel::SystemVersion::Windows7()
                                            : kvz::kernel::SystemVersion::Windows8());
  BootStreaming(simcam::SuperSpeedIsochCamera(DriverGuids()));
  Commit(kYuy2, kYuy2Small, k30Fps);
  ASSERT_EQ(STATUS_SUCCESS, SelectAlternate(2));
  MakeIsoch();
  EXPECT_EQ(c.status, isoch_->Start(kSmallFrame, c.packets, c.payload, Interface(), Pin(kStreamCapture),
                                    kStreamCapture));
  if (NT_SUCCESS(c.status)) {
    const ULONG stride = c.stride ? c.stride : Interface()->Pipes[0].MaximumPacketSize;
    EXPECT_EQ(stride, TestSeam<IsochStreamReader>::Stride(*isoch_));
    EXPECT_EQ(c.packets * stride + 1024, TestSeam<IsochStreamReader>::SlotBufferSize(*isoch_));
    EXPECT_TRUE(WaitFrames(kStreamCapture, 1));
    EXPECT_EQ(STATUS_SUCCESS, isoch_->Stop(kStreamCapture));
  }
  kvz::kernel::SetSystemVersion(kvz::kernel::SystemVersion{});
}

INSTANTIATE_TEST_SUITE_P(
    Strides, IsochStrideTest,
    ::testing::Values(StrideCase{"Windows7Rounded", true, 3000, 128, STATUS_SUCCESS, 3072},
                      StrideCase{"Windows7ZeroPayloadUsesThePipe", true, 0, 32, STATUS_SUCCESS, 0},
                      StrideCase{"Windows7HugePayloadCapped", true, 0xFFFFFFFF, 32, STATUS_SUCCESS, 49152},
                      StrideCase{"Windows8UsesThePipe", false, 3000, 32, STATUS_SUCCESS, 0},
                      StrideCase{"NoPackets", false, 3000, 0, STATUS_INVALID_PARAMETER, 0},
                      StrideCase{"TooManyPackets", false, 3000, 4096, STATUS_INVALID_PARAMETER, 0}),
    [](const ::testing::TestParamInfo<StrideCase>& info) { return info.param.name; });

// The bus stand-in never reports a packet longer than its stride: such transfers go to a loopback
// lower device and are completed by hand, and delivered to the bench's capture pin.
class IsochLoopbackTest : public IsochReaderTest {};

// A packet longer than its stride adds at most a stride's bytes, never the next packet's header
// and data.
TEST_F(IsochLoopbackTest, PacketLongerThanItsStrideAddsAtMostAStride) {
  constexpr ULONG kStride = 64;
  TransferLoopback& loopback = TransferLoopback::Instance();
  USBD_INTERFACE_INFORMATION info{};
  info.Length = sizeof(info);
  info.NumberOfPipes = 1;
  info.Pipes[0].MaximumPacketSize = kStride;
  info.Pipes[0].PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(0x1000));
  IsochStreamReader reader(&info, 1, 0, loopback.Device()->GetLowerStackSize(), loopback.Device(), false);
  ASSERT_EQ(STATUS_SUCCESS, reader.Start(4096, 2, 0, &info, Pin(kStreamCapture), kStreamCapture));
  TransferLoopback::Held held;
  ASSERT_TRUE(loopback.Take(&held));
  struct _URB_ISOCH_TRANSFER& t = held.urb->UrbIsochronousTransfer;
  auto* data = static_cast<PUCHAR>(t.TransferBuffer);
  // Headers with PTS and SCR; the second ends the frame.
  memset(data, 0x11, kStride);
  data[0] = 12, data[1] = 0x8C;
  memset(data + kStride, 0x22, 20);
  data[kStride] = 12, data[kStride + 1] = 0x8E;
  t.IsoPacket[0].Length = kStride + 30;
  t.IsoPacket[1].Length = 20;
  held.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  TransferLoopback::Complete(held, STATUS_SUCCESS);

  std::vector<uint8_t> expected(kStride - 12, 0x11);
  expected.insert(expected.end(), 8, 0x22);
  if (FrameBuffer* frame = reader.TakeReadyFrame(kStreamCapture)) {
    EXPECT_EQ(expected, std::vector<uint8_t>(frame->data, frame->data + UsableFrameLength(frame)));
    reader.ReturnFrameBuffer(frame, kStreamCapture);
  } else {
    EXPECT_EQ(1u, reader.Counters().discarded);
  }
  EXPECT_EQ(STATUS_SUCCESS, reader.Stop(kStreamCapture));
}

// A still cut by the capture stream's stop gives its buffer back to the still pin, which stays
// registered; the still pin's stop frees its buffers.
TEST_F(IsochLoopbackTest, StillCutByTheCaptureStopKeepsItsBuffer) {
  constexpr ULONG kStride = 64;
  TransferLoopback& loopback = TransferLoopback::Instance();
  USBD_INTERFACE_INFORMATION info{};
  info.Length = sizeof(info);
  info.NumberOfPipes = 1;
  info.Pipes[0].MaximumPacketSize = kStride;
  info.Pipes[0].PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<uintptr_t>(0x1000));
  IsochStreamReader reader(&info, 1, 0, loopback.Device()->GetLowerStackSize(), loopback.Device(), false);
  const size_t before = kvz::kernel::PoolStatsForTag(kTagFrameData).liveBlocks;
  ASSERT_EQ(STATUS_SUCCESS, reader.Start(4096, 2, 0, &info, Pin(kStreamCapture), kStreamCapture));
  ASSERT_EQ(STATUS_SUCCESS, reader.Start(4096, 0, 0, nullptr, Pin(kStreamStill), kStreamStill));
  TransferLoopback::Held held;
  ASSERT_TRUE(loopback.Take(&held));
  struct _URB_ISOCH_TRANSFER& t = held.urb->UrbIsochronousTransfer;
  auto* data = static_cast<PUCHAR>(t.TransferBuffer);
  // The first payload of a still (STI, no end of frame) in a still buffer.
  memset(data, 0x33, kStride);
  data[0] = 12, data[1] = 0xAC;
  t.IsoPacket[0].Length = kStride;
  t.IsoPacket[1].Length = 0;
  held.urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
  TransferLoopback::Complete(held, STATUS_SUCCESS);
  EXPECT_EQ(STATUS_SUCCESS, reader.Stop(kStreamCapture));
  EXPECT_EQ(before + kStillFrameBuffers, kvz::kernel::PoolStatsForTag(kTagFrameData).liveBlocks);
  EXPECT_EQ(STATUS_SUCCESS, reader.Stop(kStreamStill));
  EXPECT_EQ(before, kvz::kernel::PoolStatsForTag(kTagFrameData).liveBlocks);
}

struct PayloadRuleCase {
  const char* name;
  std::vector<Transfer> transfers;
  std::vector<DeliveredFrame> delivered;
  ULONG discarded;
  bool isochOnly = false;
};

void PrintTo(const DeliveredFrame& f, std::ostream* os) { *os << "{" << +f.tag << ", " << f.size << "}"; }

struct RuleRow {
  PayloadRuleCase rule;
  bool bulk;
};

class PayloadRuleTest : public IsochReaderTest, public ::testing::WithParamInterface<RuleRow> {};

// Payloads in a chosen order through the reader's real completion path: which frames come out
// whole and how many are discarded.
TEST_P(PayloadRuleTest, FramesFollowThePayloadRules) {
  const RuleRow& row = GetParam();
  TransferLoopback& loopback = TransferLoopback::Instance();
  USBD_INTERFACE_INFORMATION info = LoopbackInterface(kStride);
  StreamCounters counters{};
  if (row.bulk) {
    BulkStreamReader reader(&info, 0, loopback.Device()->GetLowerStackSize(), loopback.Device());
    ASSERT_EQ(STATUS_SUCCESS, reader.Start(4096, kStride, &info, Pin(kStreamCapture), kStreamCapture));
    Run(row.rule.transfers, reader, reader, true, &info);
    counters = reader.Counters();
    EXPECT_EQ(STATUS_SUCCESS, reader.Stop(kStreamCapture));
  } else {
    IsochStreamReader reader(&info, 5, 0, loopback.Device()->GetLowerStackSize(), loopback.Device(), false);
    ASSERT_EQ(STATUS_SUCCESS, reader.Start(4096, kPackets, 0, &info, Pin(kStreamCapture), kStreamCapture));
    Run(row.rule.transfers, reader, reader, false, &info);
    counters = reader.Counters();
    EXPECT_EQ(STATUS_SUCCESS, reader.Stop(kStreamCapture));
  }
  EXPECT_EQ(row.rule.delivered, delivered_);
  EXPECT_EQ(row.rule.discarded, counters.discarded);
}

const Payload kLost{kNoHeader, 0, 0, USBD_STATUS_XACT_ERROR};

const PayloadRuleCase kPayloadRules[] = {
    {"WholeFramesAcrossTransfers",
     {{{{kFid0, 1, 40}, {kFid0, 1, 40}}}, {{{kFid0 | kEof, 1, 20}, {kFid1, 2, 40}}}, {{{kFid1 | kEof, 2, 10}}}},
     {{1, 100}, {2, 50}}, 0},
    // The frame whose end of frame never came is not glued to the next one.
    {"NewFrameIdEndsAFrameWithoutItsEnd",
     {{{{kFid0, 1, 40}, {kFid0, 1, 40}}}, {{{kFid1, 2, 40}, {kFid1 | kEof, 2, 40}}}, {{{kFid0 | kEof, 3, 30}}}},
     {{2, 80}, {3, 30}}, 1},
    // An end of frame in a separate header-only payload still ends the frame whole.
    {"EndOfFrameInAHeaderOnlyPayload",
     {{{{kFid0, 1, 40}, {kFid0 | kEof, 1, 0}}}, {{{kFid1, 2, 20}, {kFid1 | kEof, 2, 0}}}},
     {{1, 40}, {2, 20}}, 0},
    // Header-only payloads with the finished frame's ID between frames are no frame at all.
    {"HeaderOnlyPayloadsBetweenFramesAreNoFrame",
     {{{{kFid0 | kEof, 1, 30}}}, {{{kFid0, 0, 0}, {kFid0, 0, 0}, {kFid1, 2, 30}, {kFid1 | kEof, 2, 30}}}},
     {{1, 30}, {2, 60}}, 0},
    // A frame of headers only is empty: discarded, never delivered as a good frame.
    {"HeaderOnlyFrameIsDiscarded",
     {{{{kFid0, 0, 0}, {kFid0 | kEof, 0, 0}, {kFid1 | kEof, 2, 30}}}},
     {{2, 30}}, 1},
    {"ErrorBitDiscardsItsFrame",
     {{{{kFid0 | kErr, 1, 30}, {kFid0 | kEof, 1, 30}, {kFid1 | kEof, 2, 30}}}},
     {{2, 30}}, 1},
    {"LostPacketWithoutDataDiscardsItsFrame",
     {{{{kFid0, 1, 30}, kLost, {kFid0 | kEof, 1, 30}, {kFid1 | kEof, 2, 30}}}},
     {{2, 30}}, 1},
    {"LostPacketWithDataDiscardsItsFrame",
     {{{{kFid0, 1, 30}, {kFid0, 1, 30, USBD_STATUS_CRC}, {kFid0 | kEof, 1, 30}, {kFid1 | kEof, 2, 30}}}},
     {{2, 30}}, 1},
    // A loss inside a frame: the next frame's first payload comes after readable ones of the
    // damaged frame, so it begins whole.
    {"LossInsideAFrameSparesTheNext",
     {{{{kFid0, 1, 30}, kLost, {kFid0, 1, 30}, {kFid1, 2, 30}, {kFid1 | kEof, 2, 30}}}},
     {{2, 60}}, 1},
    // Right before a new frame ID a loss may have held that frame's beginning.
    {"LossRightBeforeANewFrameDiscardsItToo",
     {{{{kFid0, 1, 30}, kLost, {kFid1, 2, 30}, {kFid1 | kEof, 2, 30}}}, {{{kFid0 | kEof, 3, 30}}}},
     {{3, 30}}, 2},
    // A loss after an end of frame: the next frame may lack its beginning.
    {"LossBetweenFramesDiscardsTheNext",
     {{{{kFid0 | kEof, 1, 30}}}, {{kLost, {kFid1, 2, 30}, {kFid1 | kEof, 2, 30}}}, {{{kFid0 | kEof, 3, 30}}}},
     {{1, 30}, {3, 30}}, 1},
    // The bus skipped frames between two transfers: what the camera sent then is lost.
    {"GapBetweenTransfersDiscardsTheFrame",
     {{{{kFid0, 1, 30}}}, {{{kFid0 | kEof, 1, 30}}, 1}, {{{kFid1 | kEof, 2, 30}}}},
     {{2, 30}}, 1, true},
    // A pause at a chosen packet: the frame it cuts is discarded, never delivered with a gap.
    {"PauseInsideAFrame",
     {{{{kFid0, 1, 30}, {kFid0, 1, 30}}},
      {{{kFid0, 1, 30}}, 0, Before::kPause},
      {{{kFid0, 1, 30}, {kFid0 | kEof, 1, 30}}, 0, Before::kResume},
      {{{kFid1 | kEof, 2, 30}}}},
     {{2, 30}}, 1},
    // A pause right after an end of frame: the frame that begins after it may lack its beginning.
    {"PauseAtAFrameBoundary",
     {{{{kFid0 | kEof, 1, 30}}},
      {{{kFid1, 2, 30}}, 0, Before::kPause},
      {{{kFid1 | kEof, 2, 30}}, 0, Before::kResume},
      {{{kFid0 | kEof, 3, 30}}}},
     {{1, 30}, {3, 30}}, 1},
    // A stop and start inside a frame while the camera streams on (the alternate setting kept):
    // the rest of that frame is not delivered as a frame.
    {"RestartInsideAFrameWithTheSettingKept",
     {{{{kFid0, 1, 30}, {kFid0, 1, 30}}},
      {{{kFid0, 1, 30}, {kFid0 | kEof, 1, 30}}, 0, Before::kRestart},
      {{{kFid1 | kEof, 2, 30}}}},
     {{2, 30}}, 1, true},
    // With an alternate setting selected in between the camera begins afresh: its first frame is
    // whole and delivered.
    {"RestartWithTheSettingSelectedAgain",
     {{{{kFid0, 1, 30}, {kFid0, 1, 30}}},
      {{{kFid1, 2, 30}, {kFid1 | kEof, 2, 30}}, 0, Before::kRestartAfresh},
      {{{kFid0 | kEof, 3, 30}}}},
     {{2, 60}, {3, 30}}, 0},
};

std::vector<RuleRow> PayloadRuleRows() {
  std::vector<RuleRow> rows;
  for (bool bulk : {false, true})
    for (const PayloadRuleCase& rule : kPayloadRules)
      if (!bulk || !rule.isochOnly) rows.push_back({rule, bulk});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Rules, PayloadRuleTest, ::testing::ValuesIn(PayloadRuleRows()),
                         [](const ::testing::TestParamInfo<RuleRow>& info) {
                           return std::string(info.param.bulk ? "Bulk" : "Isoch") + info.param.rule.name;
                         });

}  // namespace
}  // namespace kvz::usbtest
