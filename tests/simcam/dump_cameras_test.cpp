#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "simcam/payload_assembler.h"
#include "simcam/sim_camera.h"
#include "simcam/test_pattern.h"
#include "support/camera_requests.h"
#include "support/jpeg_check.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

using testing::ClassGet;
using testing::Reply;
using testing::ClassSet;

// One stream to run from a dump: what to commit and what its frames must be.
struct StreamCase {
  uint8_t interfaceNumber, endpoint;
  uint8_t format, frame;
  uint32_t interval;
  FormatKind kind;
  uint32_t frameBytes;          // uncompressed: width x height x bits per pixel / 8
  uint16_t width, height;       // MJPEG: the decoded size
};

struct DumpCase {
  const char* file;
  usb::Speed speed;
  uint16_t probeLength;
  bool bulk;
  std::vector<StreamCase> streams;  // streamed together
  std::vector<uint8_t> silent;      // endpoints that must never carry video
};

const DumpCase kDumps[] = {
    {"composite_audio.txt", usb::Speed::High, 26, false,
     {{1, 0x81, 1, 2, 333333, FormatKind::kYuy2, 320 * 240 * 2, 0, 0}}, {0x86, 0x87}},
    {"composite_audio.txt", usb::Speed::High, 26, false,
     {{1, 0x81, 2, 1, 333333, FormatKind::kMjpeg, 0, 640, 480}}, {0x86}},
    {"bulk.txt", usb::Speed::High, 34, true, {{1, 0x82, 1, 2, 333333, FormatKind::kMjpeg, 0, 640, 480}}, {}},
    {"bulk.txt", usb::Speed::High, 34, true, {{1, 0x82, 2, 2, 333333, FormatKind::kYuy2, 320 * 240 * 2, 0, 0}}, {}},
    {"superspeed.txt", usb::Speed::Super, 34, false,
     {{1, 0x81, 1, 2, 333333, FormatKind::kUncompressed, 1280 * 720 * 3 / 2, 0, 0}}, {}},
    {"full_speed.txt", usb::Speed::Full, 26, false,
     {{1, 0x81, 1, 2, 666666, FormatKind::kYuy2, 160 * 120 * 2, 0, 0}}, {}},
    {"two_streams.txt", usb::Speed::High, 34, false,
     {{1, 0x81, 2, 1, 333333, FormatKind::kYuy2, 640 * 360 * 2, 0, 0},
      {2, 0x82, 1, 1, 666666, FormatKind::kUncompressed, 640 * 360, 0, 0}},
     {0x84}},
    {"uvc15_frame_based.txt", usb::Speed::High, 48, false,
     {{1, 0x81, 1, 2, 333333, FormatKind::kFrameBased, 0, 0, 0}}, {}},
    {"still_method3.txt", usb::Speed::High, 34, false,
     {{1, 0x81, 1, 2, 333333, FormatKind::kUncompressed, 320 * 240 * 3 / 2, 0, 0}}, {0x82}},
    {"moved_units.txt", usb::Speed::High, 48, false, {{1, 0x81, 1, 1, 333333, FormatKind::kMjpeg, 0, 320, 240}}, {}},
    {"moved_units.txt", usb::Speed::High, 48, false,
     {{1, 0x81, 2, 1, 333333, FormatKind::kYuy2, 320 * 240 * 2, 0, 0}}, {}},
    {"terminal_two.txt", usb::Speed::High, 34, false,
     {{1, 0x81, 1, 2, 333333, FormatKind::kYuy2, 160 * 120 * 2, 0, 0}}, {}},
    {"vendor_unit_without_registers.txt", usb::Speed::High, 48, false,
     {{1, 0x81, 1, 1, 333333, FormatKind::kMjpeg, 0, 320, 240}}, {}},
};

std::string DumpPath(const char* file) { return std::string(KVZ_SIMCAM_DUMPS) + "/" + file; }

// Runs every committed stream of a camera packet by packet (or read by read) on virtual time.
struct DumpRig {
  explicit DumpRig(CameraProfile profile) : cam(std::move(profile)) {}

  struct Stream {
    StreamCase c;
    UVC_VIDEO_PROBE_COMMIT commit{};
    uint32_t capacity = 0;
    PayloadAssembler assembler;
  };

  void Start(const std::vector<StreamCase>& cases) {
    ASSERT_TRUE(cam.SetConfiguration(cam.Layout().configurationValue, now).completion.irpStatus == STATUS_SUCCESS);
    for (const StreamCase& c : cases) {
      Stream s;
      s.c = c;
      s.commit = testing::CommitOn(cam, c.interfaceNumber, c.format, c.frame, c.interval, now);
      ASSERT_EQ(+s.commit.bFormatIndex, c.format);
      ASSERT_EQ(+s.commit.bFrameIndex, c.frame);
      ASSERT_TRUE(cam.Snapshot(c.interfaceNumber).committed);
      if (cam.Layout().IsBulk(c.interfaceNumber)) {
        s.capacity = s.commit.dwMaxPayloadTransferSize;
      } else {
        // The alternate setting whose bandwidth the camera asked for.
        const std::vector<uint32_t> bw = cam.Layout().StreamingBandwidths(c.interfaceNumber);
        uint8_t alt = 0;
        for (size_t a = 1; a < bw.size(); ++a)
          if (bw[a] == s.commit.dwMaxPayloadTransferSize) alt = static_cast<uint8_t>(a);
        ASSERT_NE(alt, 0) << "no alternate setting of " << +s.commit.dwMaxPayloadTransferSize << " bytes";
        ASSERT_TRUE(cam.SetInterface(c.interfaceNumber, alt, now).completion.irpStatus == STATUS_SUCCESS);
        s.capacity = bw[alt];
      }
      streams.push_back(std::move(s));
    }
  }

  // Until every stream has `frames` frames (or a time limit passes).
  void Run(size_t frames) {
    const bool full = cam.Layout().speed == usb::Speed::Full;
    const uint64_t unit = full ? 10000 : 1250;
    std::vector<uint8_t> buffer;
    for (uint64_t step = 0; step < 8 * 8000; ++step) {
      bool done = true;
      for (Stream& s : streams) done = done && s.assembler.Frames().size() >= frames;
      if (done) return;
      for (Stream& s : streams) {
        buffer.assign(s.capacity, 0);
        if (cam.Layout().IsBulk(s.c.interfaceNumber)) {
          usb::StreamResult r = cam.StreamIn(s.c.endpoint, now, buffer.data(), s.capacity);
          if (r.ready) {
            ASSERT_EQ(r.outcome.completion.irpStatus, STATUS_SUCCESS);
            s.assembler.Add(buffer.data(), r.outcome.completion.length, now);
          }
        } else {
          usb::IsochPacketResult p = cam.IsochInPacket(s.c.endpoint, frame, now, buffer.data(), s.capacity);
          ASSERT_EQ(p.status, USBD_STATUS_SUCCESS);
          ASSERT_LE(p.length, s.capacity);
          s.assembler.Add(buffer.data(), p.length, now);
        }
      }
      ++frame;
      now += unit;
    }
  }

  SimCamera cam;
  std::vector<Stream> streams;
  uint64_t now = 10000000;
  uint64_t frame = 0;
};

class DumpCameraTest : public ::testing::TestWithParam<DumpCase> {};

TEST_P(DumpCameraTest, LoadsAndStreams) {
  const DumpCase& c = GetParam();
  std::optional<CameraProfile> profile = LoadRawDescriptorProfile(DumpPath(c.file), nullptr);
  ASSERT_TRUE(profile.has_value()) << c.file;
  DumpRig rig(*profile);
  EXPECT_EQ(rig.cam.GetSpeed(), c.speed);
  EXPECT_EQ(rig.cam.Layout().IsBulk(), c.bulk);
  EXPECT_EQ(DecodeValue(ClassGet(rig.cam, GET_LEN, VS_PROBE_CONTROL, 1, 2).data, 0, 2, false), c.probeLength);
  EXPECT_EQ(ClassGet(rig.cam, GET_CUR, VS_PROBE_CONTROL, 1, c.probeLength).data.size(), c.probeLength);
  rig.Start(c.streams);
  if (HasFatalFailure()) return;
  rig.Run(3);
  if (HasFatalFailure()) return;

  for (const DumpRig::Stream& s : rig.streams) {
    const std::vector<AssembledFrame>& frames = const_cast<PayloadAssembler&>(s.assembler).Frames();
    ASSERT_GE(frames.size(), 3u) << "interface " << int(s.c.interfaceNumber);
    EXPECT_EQ(s.assembler.BadHeaders(), 0u);
    std::vector<size_t> sizes;
    for (const AssembledFrame& f : frames) {
      EXPECT_TRUE(f.endOfFrame);
      EXPECT_FALSE(f.error);
      EXPECT_LE(f.data.size(), +s.commit.dwMaxVideoFrameSize);
      sizes.push_back(f.data.size());
      switch (s.c.kind) {
        case FormatKind::kYuy2:
        case FormatKind::kUncompressed:
          EXPECT_EQ(f.data.size(), s.c.frameBytes);
          EXPECT_EQ(+s.commit.dwMaxVideoFrameSize, s.c.frameBytes);
          break;
        case FormatKind::kMjpeg: {
          const testing::JpegInfo j = testing::DecodeJpeg(f.data);
          EXPECT_TRUE(j.ok);
          EXPECT_EQ(j.width, s.c.width);
          EXPECT_EQ(j.height, s.c.height);
          break;
        }
        case FormatKind::kFrameBased:
          EXPECT_GT(f.data.size(), 0u);
          break;
      }
    }
    // Frames of one stream follow each other with the frame numbers the camera counted.
    if (s.c.kind != FormatKind::kMjpeg) {
      for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_EQ(FrameNumberOfYuy2(frames[i].data.data(), frames[i].data.size()),
                  FrameNumberOfYuy2(frames[i - 1].data.data(), frames[i - 1].data.size()) + 1);
      }
    }
    if (s.c.kind == FormatKind::kFrameBased) {
      EXPECT_NE(sizes.front(), sizes.back());  // variable-size frames
    }
  }

  // Audio, vendor and still endpoints carry no video.
  std::vector<uint8_t> buffer(4096);
  for (uint8_t endpoint : c.silent) {
    EXPECT_EQ(rig.cam.IsochInPacket(endpoint, rig.frame, rig.now, buffer.data(), 1024).length, 0u) << int(endpoint);
    if (endpoint != 0x87) {
      EXPECT_FALSE(rig.cam.StreamIn(endpoint, rig.now, buffer.data(), 4096).ready) << int(endpoint);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Dumps, DumpCameraTest, ::testing::ValuesIn(kDumps),
                         [](const ::testing::TestParamInfo<DumpCase>& i) {
                           std::string name = i.param.file;
                           name = name.substr(0, name.find('.'));
                           return name + "_" + std::to_string(i.index);
                         });

TEST(DumpCameras, StillMethodThreeComesOnTheBulkStillEndpoint) {
  std::optional<CameraProfile> profile = LoadRawDescriptorProfile(DumpPath("still_method3.txt"), nullptr);
  ASSERT_TRUE(profile.has_value());
  DumpRig rig(*profile);
  rig.Start({{1, 0x81, 1, 2, 333333, FormatKind::kUncompressed, 0, 0, 0}});
  ASSERT_FALSE(HasFatalFailure());
  // 640x480 I420 still, sent on endpoint 0x82 after the trigger asks for a bulk transmission.
  ASSERT_TRUE(ClassSet(rig.cam, VS_STILL_PROBE_CONTROL, 1, {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}).Ok());
  testing::Reply probe = ClassGet(rig.cam, GET_CUR, VS_STILL_PROBE_CONTROL, 1, 11);
  ASSERT_TRUE(ClassSet(rig.cam, VS_STILL_COMMIT_CONTROL, 1, probe.data).Ok());
  std::vector<uint8_t> buffer(65536);
  EXPECT_FALSE(rig.cam.StreamIn(0x82, rig.now, buffer.data(), 65536).ready);  // nothing before the trigger
  ASSERT_TRUE(ClassSet(rig.cam, VS_STILL_IMAGE_TRIGGER_CONTROL, 1, {UVC_STILL_TRIGGER_TRANSMIT_BULK}).Ok());
  PayloadAssembler still;
  for (int i = 0; i < 1000 && still.Frames().empty(); ++i) {
    usb::StreamResult r = rig.cam.StreamIn(0x82, rig.now, buffer.data(), 65536);
    ASSERT_TRUE(r.ready);
    still.Add(buffer.data(), r.outcome.completion.length, rig.now);
  }
  ASSERT_EQ(still.Frames().size(), 1u);
  EXPECT_TRUE(still.Frames()[0].still);
  EXPECT_EQ(still.Frames()[0].data.size(), 640u * 480 * 3 / 2);
  // The video stream never carries the still.
  rig.Run(2);
  for (const AssembledFrame& f : rig.streams[0].assembler.Frames()) EXPECT_FALSE(f.still);
}

TEST(DumpCameras, FramesTheCameraCannotMakeAreRefused) {
  // The bulk dump with its 640x480 MJPEG frame made 0 wide and its 320x240 YUY2 frame 65535 x 65535.
  std::optional<CameraProfile> profile = LoadRawDescriptorProfile(DumpPath("bulk.txt"), nullptr);
  ASSERT_TRUE(profile.has_value());
  std::vector<uint8_t> config = profile->configurationDescriptor;
  int frames = 0;
  for (size_t at = 0; at + 9 <= config.size(); at += config[at]) {
    if (config[at] < 26 || config[at + 1] != CS_INTERFACE || config[at + 3] != 2) continue;
    if (config[at + 2] == VS_FRAME_MJPEG) {
      config[at + 5] = config[at + 6] = 0;
      ++frames;
    } else if (config[at + 2] == VS_FRAME_UNCOMPRESSED) {
      std::fill(config.begin() + at + 5, config.begin() + at + 9, 0xFF);
      ++frames;
    }
  }
  ASSERT_EQ(frames, 2);
  profile->configurationDescriptor = config;
  SimCamera cam(*profile);
  cam.SetConfiguration(1, 0);
  for (uint8_t format : {1, 2}) {
    UVC_VIDEO_PROBE_COMMIT p{};
    p.bFormatIndex = format;
    p.bFrameIndex = 2;
    std::vector<uint8_t> bytes(34);
    std::memcpy(bytes.data(), &p, sizeof(p));
    EXPECT_TRUE(ClassSet(cam, VS_PROBE_CONTROL, 1, bytes).Stalled()) << int(format);
    EXPECT_EQ(cam.Snapshot().requestErrorCode, UVC_ERROR_OUT_OF_RANGE);
  }
}

// Controls live at the entities the descriptors number, in whatever order they come.
TEST(DumpCameras, ControlsAnswerAtTheEntitiesTheDescriptorsGive) {
  const struct {
    const char* file;
    uint8_t entity, selector;
    bool answers;
  } cases[] = {
      {"moved_units.txt", 3, PU_BRIGHTNESS_CONTROL, true},
      {"moved_units.txt", 2, PU_BRIGHTNESS_CONTROL, false},  // the extension unit has selector 1 only
      {"moved_units.txt", 2, 1, true},
      {"moved_units.txt", 1, CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, true},
      {"terminal_two.txt", 2, CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, true},
      {"terminal_two.txt", 1, PU_BRIGHTNESS_CONTROL, true},
      {"terminal_two.txt", 1, CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, false},  // gain, which unit 1 lacks
  };
  for (const auto& c : cases) {
    std::optional<CameraProfile> profile = LoadRawDescriptorProfile(DumpPath(c.file), nullptr);
    ASSERT_TRUE(profile.has_value()) << c.file;
    SimCamera cam(*profile);
    const Reply reply = ClassGet(cam, GET_MIN, c.selector, static_cast<uint16_t>(c.entity << 8), 4);
    EXPECT_EQ(c.answers, reply.Ok()) << c.file << " entity " << +c.entity << " selector " << +c.selector;
  }
}

TEST(DumpCameras, TextDumpParsing) {
  EXPECT_EQ(ParseHexDump("# a comment 12 34\n12 01, 0A\tff\n"), (std::vector<uint8_t>{0x12, 0x01, 0x0A, 0xFF}));
  EXPECT_FALSE(ParseHexDump("12 1 00").has_value());  // a lone digit
  EXPECT_FALSE(ParseHexDump("12 zz").has_value());
}

}  // namespace
}  // namespace kvz::simcam
