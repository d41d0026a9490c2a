#include <gtest/gtest.h>

#include <cstring>

#include "simcam/payload_assembler.h"
#include "simcam/sim_camera.h"
#include "simcam/test_pattern.h"
#include "support/camera_requests.h"
#include "support/jpeg_check.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

using testing::ClassGet;
using testing::ClassSet;
using testing::TestGuids;

constexpr uint64_t kMicroframe = 1250;
constexpr uint32_t kQqvga = 160 * 120 * 2;

// 160x120 YUY2 at 30 fps on the 512-byte setting of the high-speed camera, with attacks armed first.
struct Rig {
  explicit Rig(const PayloadAttacks& attacks, uint8_t format = 1, uint8_t frame = 3, uint8_t alternate = 2)
      : cam(HighSpeedIsochCamera(TestGuids())) {
    cam.Configure([&](CameraFaults& f, ControlTable&, RegisterFile&, CameraOptions&) { f.attacks = attacks; });
    cam.SetConfiguration(1, now);
    commit = testing::Commit(cam, format, frame, 333333, now);
    cam.SetInterface(1, alternate, now);
    capacity = cam.Layout().StreamingBandwidths()[alternate];
  }
  // The next `count` payloads, empty ones included.
  std::vector<std::vector<uint8_t>> Packets(size_t count) {
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint8_t> p(capacity);
    for (size_t i = 0; i < count; ++i) {
      usb::IsochPacketResult r = cam.IsochInPacket(kVideoEndpoint, microframe++, now, p.data(), capacity);
      now += kMicroframe;
      out.emplace_back(p.begin(), p.begin() + r.length);
    }
    return out;
  }
  SimCamera cam;
  UVC_VIDEO_PROBE_COMMIT commit{};
  uint32_t capacity = 0;
  uint64_t now = 10000000;
  uint64_t microframe = 0;
};

struct HeaderLengthCase {
  int length;
  uint32_t dataAt;       // where the frame's bytes begin in a payload
  uint8_t timeBits;      // PTS and SCR bits the header claims
};

class HeaderLengthTest : public ::testing::TestWithParam<HeaderLengthCase> {};

TEST_P(HeaderLengthTest, EveryPayloadCarriesTheLengthAndItsDataAfterIt) {
  const HeaderLengthCase& c = GetParam();
  PayloadAttacks a;
  a.headerLength = c.length;
  Rig rig(a);
  const std::vector<uint8_t> frame0 = MakeYuy2Frame(160, 120, 0);
  std::vector<uint8_t> data;
  for (const std::vector<uint8_t>& p : rig.Packets(400)) {
    if (p.empty()) continue;
    ASSERT_GE(p.size(), c.dataAt);
    EXPECT_EQ(p[0], c.length);
    EXPECT_EQ(p[1] & (UVC_STREAM_PTS | UVC_STREAM_SCR), c.timeBits);
    EXPECT_TRUE(p[1] & UVC_STREAM_EOH);
    if (data.size() < frame0.size()) data.insert(data.end(), p.begin() + c.dataAt, p.end());
  }
  ASSERT_GE(data.size(), frame0.size());
  data.resize(frame0.size());
  EXPECT_EQ(data, frame0);
}

INSTANTIATE_TEST_SUITE_P(Attacks, HeaderLengthTest,
                         ::testing::Values(HeaderLengthCase{0, 2, 0x0C}, HeaderLengthCase{1, 2, 0x0C},
                                           HeaderLengthCase{2, 2, 0x00}, HeaderLengthCase{6, 6, 0x04},
                                           HeaderLengthCase{13, 13, 0x0C}, HeaderLengthCase{255, 255, 0x0C}));

TEST(Attacks, HeaderLongerThanThePacketCarriesNoData) {
  PayloadAttacks a;
  a.headerLength = 255;
  Rig rig(a, 1, 3, 1);  // 128-byte packets
  for (const std::vector<uint8_t>& p : rig.Packets(400)) {
    if (p.empty()) continue;
    EXPECT_EQ(p.size(), 128u);
    EXPECT_FALSE(p[1] & UVC_STREAM_EOF);
  }
}

TEST(Attacks, HeaderOnlyPayloadsWhileIdle) {
  PayloadAttacks a;
  a.headerOnlyIdle = true;
  Rig rig(a);
  PayloadAssembler assembler;
  for (const std::vector<uint8_t>& p : rig.Packets(8 * 100)) {
    EXPECT_FALSE(p.empty());
    assembler.Add(p.data(), p.size(), 0);
  }
  EXPECT_EQ(assembler.EmptyPayloads(), 0u);
  EXPECT_GT(assembler.HeaderOnlyPayloads(), 100u);
  // Idle headers keep the FID of the frame before, so a host that opens a frame on any header sees
  // empty ones between the real frames, which still come out whole.
  size_t whole = 0;
  for (const AssembledFrame& f : assembler.Frames()) {
    EXPECT_TRUE(f.data.empty() || f.data.size() == kQqvga) << f.data.size();
    whole += f.data.size() == kQqvga;
  }
  EXPECT_GE(whole, 2u);
}

struct FidCase {
  FidMode mode;
  bool eof;            // some payload carries EOF
  bool changesInFrame; // FID differs between two payloads of one frame
  bool changesAtAll;
};

class FidTest : public ::testing::TestWithParam<FidCase> {};

TEST_P(FidTest, FidAndEofFollowTheMode) {
  const FidCase& c = GetParam();
  PayloadAttacks a;
  a.fid = c.mode;
  Rig rig(a);
  bool eof = false, inFrame = false, changed = false, changedInFrame = false;
  int fid = -1;
  for (const std::vector<uint8_t>& p : rig.Packets(8 * 150)) {
    if (p.empty()) {
      inFrame = false;
      continue;
    }
    const int f = p[1] & UVC_STREAM_FID;
    if (fid >= 0 && f != fid) {
      changed = true;
      changedInFrame = changedInFrame || inFrame;
    }
    fid = f;
    inFrame = !(p[1] & UVC_STREAM_EOF);
    eof = eof || (p[1] & UVC_STREAM_EOF);
  }
  EXPECT_EQ(eof, c.eof);
  EXPECT_EQ(changedInFrame, c.changesInFrame);
  EXPECT_EQ(changed, c.changesAtAll);
}

INSTANTIATE_TEST_SUITE_P(Attacks, FidTest,
                         ::testing::Values(FidCase{FidMode::kToggle, true, false, true},
                                           FidCase{FidMode::kStuck, true, false, false},
                                           FidCase{FidMode::kToggleInsideFrame, true, true, true},
                                           FidCase{FidMode::kStuckLostEof, false, false, false}));

TEST(Attacks, MjpegPictureOfAnotherSize) {
  PayloadAttacks a;
  a.mjpegWidth = 320;
  a.mjpegHeight = 240;
  Rig rig(a, 2, 1, 5);  // the 640x480 MJPEG frame
  PayloadAssembler assembler;
  for (const std::vector<uint8_t>& p : rig.Packets(8 * 100)) assembler.Add(p.data(), p.size(), 0);
  ASSERT_FALSE(assembler.Frames().empty());
  const testing::JpegInfo j = testing::DecodeJpeg(assembler.Frames()[0].data);
  ASSERT_TRUE(j.ok);
  EXPECT_EQ(j.width, 320u);
  EXPECT_EQ(j.height, 240u);
}

TEST(Attacks, ProbeAnswersWithTheChosenSizes) {
  for (int64_t size : {int64_t{0}, int64_t{0xFFFFFFFF}, int64_t{3073}}) {
    PayloadAttacks a;
    a.probeMaxPayloadTransferSize = size;
    a.probeMaxVideoFrameSize = size;
    Rig rig(a);
    EXPECT_EQ(+rig.commit.dwMaxPayloadTransferSize, static_cast<uint32_t>(size));
    EXPECT_EQ(+rig.commit.dwMaxVideoFrameSize, static_cast<uint32_t>(size));
    // The camera still streams what it really negotiated.
    PayloadAssembler assembler;
    for (const std::vector<uint8_t>& p : rig.Packets(8 * 100)) assembler.Add(p.data(), p.size(), 0);
    ASSERT_FALSE(assembler.Frames().empty());
    EXPECT_EQ(assembler.Frames()[0].data.size(), kQqvga);
  }
}

TEST(Attacks, BadPacketsAtTheStartOfEveryTransfer) {
  for (bool carry : {false, true}) {
    PayloadAttacks a;
    a.badPacketsPerTransfer = 3;
    a.badPacketsCarryData = carry;
    a.headerOnlyIdle = true;  // every packet has bytes to carry
    Rig rig(a);
    for (int transfer = 0; transfer < 2; ++transfer) {
      rig.cam.IsochTransferStarts(kVideoEndpoint, 8, rig.now);
      std::vector<uint8_t> p(rig.capacity);
      for (uint32_t i = 0; i < 8; ++i) {
        usb::IsochPacketResult r = rig.cam.IsochInPacket(kVideoEndpoint, rig.microframe++, rig.now, p.data(), rig.capacity);
        rig.now += kMicroframe;
        EXPECT_EQ(r.status, i < 3 ? USBD_STATUS_XACT_ERROR : USBD_STATUS_SUCCESS) << i;
        EXPECT_EQ(r.length > 0, i >= 3 || carry) << i;
      }
    }
  }
}

TEST(Attacks, OversizePacketsFillTheAlternateSetting) {
  PayloadAttacks a;
  a.ignoreNegotiatedPayload = true;
  Rig rig(a, 1, 3, 5);  // 160x120 needs 512-byte payloads; the 3072-byte setting is in use
  ASSERT_LT(+rig.commit.dwMaxPayloadTransferSize, 3072u);
  size_t largest = 0;
  for (const std::vector<uint8_t>& p : rig.Packets(100)) largest = std::max(largest, p.size());
  EXPECT_EQ(largest, 3072u);
}

TEST(Attacks, GarbageTimestampsChangeWithinAFrame) {
  PayloadAttacks a;
  a.garbageTimestamps = true;
  Rig rig(a);
  std::vector<uint32_t> pts;
  for (const std::vector<uint8_t>& p : rig.Packets(20)) {
    if (p.size() >= 12) pts.push_back(p[2] | p[3] << 8 | p[4] << 16 | static_cast<uint32_t>(p[5]) << 24);
  }
  ASSERT_GE(pts.size(), 10u);
  size_t distinct = 0;
  for (size_t i = 1; i < pts.size(); ++i) distinct += pts[i] != pts[i - 1];
  EXPECT_GE(distinct, pts.size() - 2);  // a sane camera keeps one PTS per frame
}

TEST(Attacks, FramesInBursts) {
  PayloadAttacks a;
  a.burstFrames = 3;
  Rig rig(a);
  PayloadAssembler assembler;
  for (const std::vector<uint8_t>& p : rig.Packets(8 * 400)) assembler.Add(p.data(), p.size(), 0);
  const std::vector<AssembledFrame>& frames = assembler.Frames();
  ASSERT_GE(frames.size(), 6u);
  // Three frames start (nearly) together, the next burst three intervals later (48 MHz clock).
  for (size_t i = 1; i < 6; ++i) {
    const double gap = static_cast<uint32_t>(frames[i].presentationTime - frames[i - 1].presentationTime) / 4.8;
    if (i % 3 == 0) EXPECT_GT(gap, 333333.0 * 2) << i;
    else EXPECT_LT(gap, 333333.0 / 2) << i;
  }
}

TEST(Attacks, JitterMovesFrameStarts) {
  PayloadAttacks a;
  a.jitterPercent = 50;
  a.seed = 7;
  Rig rig(a);
  PayloadAssembler assembler;
  for (const std::vector<uint8_t>& p : rig.Packets(8 * 500)) assembler.Add(p.data(), p.size(), 0);
  const std::vector<AssembledFrame>& frames = assembler.Frames();
  ASSERT_GE(frames.size(), 8u);
  double least = 1e9, most = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    const double gap = static_cast<uint32_t>(frames[i].presentationTime - frames[i - 1].presentationTime) / 4.8;
    least = std::min(least, gap);
    most = std::max(most, gap);
    EXPECT_GE(gap, 333333.0 * 0.5 - 1);
    EXPECT_LE(gap, 333333.0 * 1.5 + 1);
  }
  EXPECT_GT(most - least, 333333.0 / 10);
}

TEST(Attacks, ConfigurationDescriptorChangesBetweenReads) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  cam.Configure([](CameraFaults& f, ControlTable&, RegisterFile&, CameraOptions&) { f.attacks.descriptorsChangeBetweenReads = true; });
  const testing::Reply first = testing::GetDescriptor(cam, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
  const testing::Reply second = testing::GetDescriptor(cam, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0xFFFF);
  ASSERT_EQ(first.data.size(), 9u);
  const size_t total1 = first.data[2] | first.data[3] << 8;
  const size_t total2 = second.data[2] | second.data[3] << 8;
  EXPECT_EQ(total1, cam.ConfigurationDescriptor().size());
  EXPECT_GT(total2, total1);
  EXPECT_EQ(second.data.size(), total2);
  // The tail holds a descriptor of length 0, where a careful walker stops.
  EXPECT_EQ(second.data[total1], 0);
}

}  // namespace
}  // namespace kvz::simcam
