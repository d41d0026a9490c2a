#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "simcam/mjpeg_encoder.h"
#include "simcam/payload_assembler.h"
#include "simcam/recorded_frames.h"
#include "simcam/sim_camera.h"
#include "simcam/test_pattern.h"
#include "support/camera_requests.h"
#include "support/jpeg_check.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

using testing::Commit;
using testing::TestGuids;

constexpr uint64_t kMicroframe = 1250;  // 100-ns units

// Streams an isochronous camera microframe by microframe into an assembler.
struct IsochRig {
  explicit IsochRig(CameraProfile profile, CameraOptions options = {}) : cam(std::move(profile), options) {}
  void Start(uint8_t format, uint8_t frame, uint32_t interval, uint8_t alternate) {
    EXPECT_TRUE(cam.SetConfiguration(1, now).completion.irpStatus == STATUS_SUCCESS);
    commit = Commit(cam, format, frame, interval, now);
    EXPECT_TRUE(cam.SetInterface(1, alternate, now).completion.irpStatus == STATUS_SUCCESS);
    capacity = cam.Layout().StreamingBandwidths().at(alternate);
  }
  // Runs until `frames` frames were assembled or `limit` microframes passed.
  void Run(size_t frames, uint64_t limit = 2000000) {
    std::vector<uint8_t> packet(capacity);
    for (uint64_t i = 0; i < limit && assembler.Frames().size() < frames; ++i) {
      usb::IsochPacketResult r = cam.IsochInPacket(kVideoEndpoint, microframe, now, packet.data(), capacity);
      packets.push_back(r.length);
      if (r.status == USBD_STATUS_SUCCESS) assembler.Add(packet.data(), r.length, now);
      ++microframe;
      now += kMicroframe;
    }
  }
  SimCamera cam;
  UVC_VIDEO_PROBE_COMMIT commit{};
  uint32_t capacity = 0;
  uint64_t now = 10000000;
  uint64_t microframe = 0;
  PayloadAssembler assembler;
  std::vector<uint32_t> packets;
};

TEST(PayloadStream, Yuy2FramesAtTheCommittedInterval) {
  IsochRig rig(HighSpeedIsochCamera(TestGuids()));
  rig.Start(1, 2, 666666, 5);  // 320x240 at 15 fps on the 3x1024 setting
  rig.Run(6);
  std::vector<AssembledFrame>& frames = rig.assembler.Frames();
  ASSERT_EQ(frames.size(), 6u);
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].data.size(), 320u * 240 * 2);
    EXPECT_TRUE(frames[i].endOfFrame);
    EXPECT_FALSE(frames[i].error);
    EXPECT_EQ(FrameNumberOfYuy2(frames[i].data.data(), frames[i].data.size()), i);
    if (i > 0) {
      // Frames begin exactly one interval apart; the presentation time counts the 48 MHz clock.
      EXPECT_NEAR(frames[i].presentationTime - frames[i - 1].presentationTime, 666666 * 4.8, 1);
    }
  }
  EXPECT_EQ(rig.assembler.BadHeaders(), 0u);
  EXPECT_GT(rig.assembler.EmptyPayloads(), 0u);  // idle microframes between frames
  for (uint32_t n : rig.packets) EXPECT_LE(n, 3072u);
}

TEST(PayloadStream, FidTogglesAndEofEndsEachFrame) {
  IsochRig rig(HighSpeedIsochCamera(TestGuids()));
  rig.Start(1, 3, 333333, 1);  // 160x120 on the 128-byte setting: 334 payloads per frame
  std::vector<uint8_t> packet(rig.capacity);
  int fid = -1;
  bool lastHadEof = false;
  int toggles = 0, eofs = 0;
  size_t frameBytes = 0;
  for (int i = 0; i < 8 * 200; ++i) {
    usb::IsochPacketResult r = rig.cam.IsochInPacket(kVideoEndpoint, i, rig.now, packet.data(), rig.capacity);
    rig.now += kMicroframe;
    if (r.length == 0) continue;
    ASSERT_GE(r.length, 12u);
    EXPECT_EQ(packet[0], 12);
    EXPECT_EQ(packet[1] & 0x8C, 0x8C);
    const int f = packet[1] & UVC_STREAM_FID;
    if (fid >= 0 && f != fid) {
      // FID changes exactly where a frame ended with EOF, never inside one.
      EXPECT_TRUE(lastHadEof) << "FID changed inside a frame at payload " << i;
      ++toggles;
    } else if (fid >= 0) {
      EXPECT_FALSE(lastHadEof) << "a frame went on after its EOF at payload " << i;
    }
    fid = f;
    lastHadEof = packet[1] & UVC_STREAM_EOF;
    frameBytes += r.length - 12;
    if (lastHadEof) {
      ++eofs;
      EXPECT_EQ(frameBytes, 160u * 120 * 2);
      frameBytes = 0;
    }
  }
  EXPECT_GE(eofs, 4);
  EXPECT_GE(toggles, eofs - 1);
  EXPECT_LE(toggles, eofs);
}

TEST(PayloadStream, NothingBeforeCommitOrOnAlternateZero) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.SetConfiguration(1, 0);
  std::vector<uint8_t> packet(3072);
  EXPECT_EQ(cam.IsochInPacket(kVideoEndpoint, 0, 0, packet.data(), 3072).length, 0u);
  Commit(cam, 1, 1, 333333);
  EXPECT_EQ(cam.IsochInPacket(kVideoEndpoint, 1, 1250, packet.data(), 3072).length, 0u);
  cam.SetInterface(1, 5, 2500);
  EXPECT_GT(cam.IsochInPacket(kVideoEndpoint, 2, 3750, packet.data(), 3072).length, 12u);
  cam.SetInterface(1, 0, 5000);
  EXPECT_EQ(cam.IsochInPacket(kVideoEndpoint, 3, 6250, packet.data(), 3072).length, 0u);
  EXPECT_FALSE(cam.Snapshot().streaming);
}

TEST(PayloadStream, StillTriggerSendsOneStillFrame) {
  IsochRig rig(HighSpeedIsochCamera(TestGuids()));
  rig.Start(1, 3, 333333, 5);
  testing::ClassSet(rig.cam, VS_STILL_COMMIT_CONTROL, 1, {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0});  // 320x240
  rig.Run(1);
  testing::ClassSet(rig.cam, VS_STILL_IMAGE_TRIGGER_CONTROL, 1, {1});
  rig.Run(4);
  std::vector<AssembledFrame>& frames = rig.assembler.Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_FALSE(frames[0].still);
  EXPECT_TRUE(frames[1].still);
  EXPECT_EQ(frames[1].data.size(), 320u * 240 * 2);
  EXPECT_FALSE(frames[2].still);
  EXPECT_EQ(frames[2].data.size(), 160u * 120 * 2);
}

TEST(PayloadStream, MjpegFramesDecodableSizes) {
  IsochRig rig(HighSpeedIsochCamera(TestGuids()));
  rig.Start(2, 1, 333333, 5);
  rig.Run(3);
  ASSERT_EQ(rig.assembler.Frames().size(), 3u);
  for (const AssembledFrame& f : rig.assembler.Frames()) {
    EXPECT_TRUE(f.endOfFrame);
    const testing::JpegInfo j = testing::DecodeJpeg(f.data);
    ASSERT_TRUE(j.ok);
    EXPECT_EQ(j.width, 640u);
    EXPECT_EQ(j.height, 480u);
    EXPECT_LE(f.data.size(), +rig.commit.dwMaxVideoFrameSize);
  }
}

// A recorded camera replays its files in name order, then from the first again, and only those.
TEST(PayloadStream, RecordedMjpegFramesReplayInNameOrder) {
  const std::string folder = ::testing::TempDir() + "/kvz_recorded_frames";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::vector<std::vector<uint8_t>> pictures;
  for (int i = 0; i < 2; ++i)
    pictures.push_back(EncodeYuy2AsJpeg(MakeYuy2Frame(320, 240, 10 + i), 320, 240, 75, true));
  auto write = [&](const char* name, const std::vector<uint8_t>& bytes) {
    std::ofstream(folder + "/" + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                               static_cast<std::streamsize>(bytes.size()));
  };
  write("frame-b.JPG", pictures[1]);
  write("frame-a.jpg", pictures[0]);
  write("notes.txt", {1, 2, 3});
  std::string error;
  CameraOptions options;
  options.recordedMjpeg = LoadJpegFolder(folder, &error);
  ASSERT_TRUE(options.recordedMjpeg) << error;
  ASSERT_EQ(2u, options.recordedMjpeg->size());

  IsochRig rig(HighSpeedIsochCamera(TestGuids()), options);
  rig.Start(2, 1, 333333, 5);
  rig.Run(3);
  ASSERT_EQ(rig.assembler.Frames().size(), 3u);
  EXPECT_EQ(rig.assembler.Frames()[0].data, pictures[0]);
  EXPECT_EQ(rig.assembler.Frames()[1].data, pictures[1]);
  EXPECT_EQ(rig.assembler.Frames()[2].data, pictures[0]);

  std::filesystem::remove_all(folder);
  EXPECT_FALSE(LoadJpegFolder(folder, &error));
}

struct HeaderFaultCase {
  const char* name;
  HeaderFault fault;
  bool badHeader;  // the assembler refuses the packet
  bool error;      // the frame comes out marked
  bool still;
};

class HeaderFaultTest : public ::testing::TestWithParam<HeaderFaultCase> {};

TEST_P(HeaderFaultTest, OneFrameCarriesTheFault) {
  const HeaderFaultCase& c = GetParam();
  IsochRig rig(HighSpeedIsochCamera(TestGuids()));
  rig.cam.ArmFrameFault(1, FrameFault{c.fault, false, 0, 0});
  rig.Start(1, 3, 333333, 1);
  rig.Run(3);
  std::vector<AssembledFrame>& frames = rig.assembler.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(rig.assembler.BadHeaders(), c.badHeader ? 1u : 0u);
  EXPECT_FALSE(frames[0].error);
  EXPECT_EQ(frames[1].error, c.error);
  EXPECT_EQ(frames[1].still, c.still);
  EXPECT_FALSE(frames[2].error);
  if (c.badHeader) {
    EXPECT_LT(frames[1].data.size(), 160u * 120 * 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Faults, HeaderFaultTest,
                         ::testing::Values(HeaderFaultCase{"BadLength", HeaderFault::kBadLength, true, false, false},
                                           HeaderFaultCase{"NoEoh", HeaderFault::kNoEndOfHeader, true, false, false},
                                           HeaderFaultCase{"NoScr", HeaderFault::kNoSourceClock, true, false, false},
                                           HeaderFaultCase{"NoPts", HeaderFault::kNoPresentationTime, true, false, false},
                                           HeaderFaultCase{"Err", HeaderFault::kError, false, true, false},
                                           HeaderFaultCase{"StiMidFrame", HeaderFault::kStillMidFrame, false, false, true}),
                         [](const ::testing::TestParamInfo<HeaderFaultCase>& i) { return std::string(i.param.name); });

TEST(PayloadStream, LostEofAndSizeFaults) {
  IsochRig rig(HighSpeedIsochCamera(TestGuids()));
  rig.cam.ArmFrameFault(0, FrameFault{HeaderFault::kNone, true, 0, 0});
  rig.cam.ArmFrameFault(1, FrameFault{HeaderFault::kNone, false, 100, 0});
  rig.cam.ArmFrameFault(2, FrameFault{HeaderFault::kNone, false, -100, 0});
  rig.Start(1, 3, 333333, 1);
  rig.Run(3);
  std::vector<AssembledFrame>& frames = rig.assembler.Frames();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_FALSE(frames[0].endOfFrame);  // ended by the next frame's FID
  EXPECT_EQ(frames[0].data.size(), 38400u);
  EXPECT_EQ(frames[1].data.size(), 38500u);
  EXPECT_EQ(frames[2].data.size(), 38300u);
}

// A lost payload fails its packet or bulk read with a transaction error and no data; the camera
// goes on with the rest of the frame and the next ones.
TEST(PayloadStream, LostPayloadsFailOnTheBus) {
  IsochRig rig(HighSpeedIsochCamera(TestGuids()));
  FrameFault lostSecond;
  lostSecond.lostPayload = 1;
  FrameFault lostLast;
  lostLast.lostLastPayload = true;
  rig.cam.ArmFrameFault(1, lostSecond);
  rig.cam.ArmFrameFault(2, lostLast);
  rig.Start(1, 3, 333333, 1);  // 128-byte packets: 116 bytes of the frame each
  std::vector<uint8_t> packet(rig.capacity);
  uint32_t failed = 0;
  for (uint64_t i = 0; i < 2000000 && rig.assembler.Frames().size() < 4; ++i) {
    const usb::IsochPacketResult r = rig.cam.IsochInPacket(kVideoEndpoint, rig.microframe++, rig.now, packet.data(), rig.capacity);
    rig.now += kMicroframe;
    if (r.status == USBD_STATUS_SUCCESS) {
      rig.assembler.Add(packet.data(), r.length, rig.now);
      continue;
    }
    EXPECT_EQ(r.status, USBD_STATUS_XACT_ERROR);
    EXPECT_EQ(r.length, 0u);
    ++failed;
  }
  EXPECT_EQ(failed, 2u);
  std::vector<AssembledFrame>& frames = rig.assembler.Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].data.size(), 38400u);
  EXPECT_EQ(frames[1].data.size(), 38400u - 116);
  EXPECT_TRUE(frames[1].endOfFrame);
  EXPECT_EQ(frames[2].data.size(), 38400u - 38400 % 116);
  EXPECT_FALSE(frames[2].endOfFrame);  // ended by the next frame's FID
  EXPECT_EQ(frames[3].data, MakeYuy2Frame(160, 120, 3));

  SimCamera cam(BulkCamera(TestGuids()));
  cam.SetConfiguration(1, 0);
  const UVC_VIDEO_PROBE_COMMIT c = Commit(cam, 1, 3, 333333, 0);  // 160x120: one payload a frame
  cam.ArmFrameFault(1, lostLast);
  PayloadAssembler assembler;
  std::vector<uint8_t> buffer(c.dwMaxPayloadTransferSize);
  uint64_t now = 0;
  failed = 0;
  for (int i = 0; i < 1000 && assembler.Frames().size() < 2; ++i) {
    usb::StreamResult r = cam.StreamIn(kVideoEndpoint, now, buffer.data(), c.dwMaxPayloadTransferSize);
    if (!r.ready) {
      now = r.readyAt;
      continue;
    }
    if (r.outcome.completion.irpStatus != STATUS_SUCCESS) {
      EXPECT_EQ(r.outcome.completion.urbStatus, USBD_STATUS_XACT_ERROR);
      EXPECT_EQ(r.outcome.completion.length, 0u);
      ++failed;
      continue;
    }
    assembler.Add(buffer.data(), r.outcome.completion.length, now);
  }
  EXPECT_EQ(failed, 1u);
  ASSERT_EQ(assembler.Frames().size(), 2u);
  EXPECT_EQ(assembler.Frames()[0].data, MakeYuy2Frame(160, 120, 0));
  EXPECT_EQ(assembler.Frames()[1].data, MakeYuy2Frame(160, 120, 2));
}

TEST(PayloadStream, InjectedShortPackets) {
  IsochRig rig(HighSpeedIsochCamera(TestGuids()));
  rig.Start(1, 3, 333333, 1);
  rig.cam.Configure([](CameraFaults& f, ControlTable&, RegisterFile&, CameraOptions&) {
    for (uint32_t n : {0u, 1u, 5u, 11u}) f.injectedPackets.push_back(n);
  });
  rig.Run(1);
  ASSERT_GE(rig.packets.size(), 4u);
  EXPECT_EQ((std::vector<uint32_t>(rig.packets.begin(), rig.packets.begin() + 4)), (std::vector<uint32_t>{0, 1, 5, 11}));
  EXPECT_EQ(rig.assembler.BadHeaders(), 3u);
  EXPECT_EQ(rig.assembler.Frames().at(0).data.size(), 38400u);
}

TEST(PayloadStream, BulkPayloadsCarryWholeFrames) {
  SimCamera cam(BulkCamera(TestGuids()));
  cam.SetConfiguration(1, 0);
  const UVC_VIDEO_PROBE_COMMIT c = Commit(cam, 1, 1, 333333, 0);  // 640x480: 10 payloads of 64 KiB
  PayloadAssembler assembler;
  std::vector<uint8_t> buffer(c.dwMaxPayloadTransferSize);
  uint64_t now = 0, firstFrameDone = 0;
  std::vector<uint64_t> frameStarts;
  for (int i = 0; i < 1000 && assembler.Frames().size() < 3; ++i) {
    usb::StreamResult r = cam.StreamIn(kVideoEndpoint, now, buffer.data(), c.dwMaxPayloadTransferSize);
    if (!r.ready) {
      ASSERT_GT(r.readyAt, now);
      now = r.readyAt;
      continue;
    }
    ASSERT_EQ(r.outcome.completion.irpStatus, STATUS_SUCCESS);
    EXPECT_LE(r.outcome.completion.length, +c.dwMaxPayloadTransferSize);
    assembler.Add(buffer.data(), r.outcome.completion.length, now);
    if (!firstFrameDone && assembler.Frames().size() == 1) firstFrameDone = now;
  }
  ASSERT_EQ(assembler.Frames().size(), 3u);
  for (const AssembledFrame& f : assembler.Frames()) EXPECT_EQ(f.data.size(), 614400u);
  // High-speed bulk carries about 40 MB/s: the first frame's last payload leaves when its nine
  // payloads of 64 KiB before it have taken about 14.7 ms of the bus.
  EXPECT_NEAR(static_cast<double>(firstFrameDone), 9 * 65536 / 4.0, 20);
  EXPECT_NEAR(assembler.Frames()[1].presentationTime - assembler.Frames()[0].presentationTime, 333333 * 4.8, 1);
}

}  // namespace
}  // namespace kvz::simcam
