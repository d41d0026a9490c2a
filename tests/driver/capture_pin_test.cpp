// The capture pin through the client: the state walk and what it asks of the device, one capture
// owner per device, and frames delivered as YUY2, RGB24 and MJPG with the drops of malformed
// frames and short buffers.
#include <gtest/gtest.h>
#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "driver/settings/device_settings.h"
#include "kvz/kernel_testing.h"
#include "pin_bench.h"
#include "simcam/mjpeg_encoder.h"
#include "simcam/test_pattern.h"

namespace kvz::drivertest {
namespace {

using ksclient::Bytes;

constexpr ULONG kYuy2 = 0x32595559;
constexpr ULONG kMjpg = 0x47504A4D;
constexpr ULONG kFrame640 = 640 * 480 * 2;

std::vector<uint8_t> Yuy2(uint64_t n, uint16_t w = 640, uint16_t h = 480) { return simcam::MakeYuy2Frame(w, h, n); }

std::vector<uint8_t> Jpeg(uint64_t n, uint16_t w = 640, uint16_t h = 480) {
  return simcam::EncodeYuy2AsJpeg(Yuy2(n, w, h), w, h, 90, false);
}

// libjpeg-turbo's reading of a delivered frame: width and height, or 0 x 0.
std::pair<int, int> JpegSize(const Bytes& data) {
  jpeg_decompress_struct info{};
  jpeg_error_mgr error{};
  info.err = jpeg_std_error(&error);
  error.error_exit = [](j_common_ptr) { throw 1; };
  std::pair<int, int> size{0, 0};
  try {
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    std::vector<uint8_t> row(info.output_width * info.output_components);
    while (info.output_scanline < info.output_height) {
      JSAMPROW rows[1] = {row.data()};
      jpeg_read_scanlines(&info, rows, 1);
    }
    jpeg_finish_decompress(&info);
    size = {static_cast<int>(info.output_width), static_cast<int>(info.output_height)};
  } catch (int) {
  }
  jpeg_destroy_decompress(&info);
  return size;
}

class CapturePinTest : public PinBench {
 protected:
  DeviceSettings* Settings() { return LastPinControls()->GetSettings(); }
  // Frames handed in are all given back, whatever happened to them.
  void ExpectFramesReturned() { EXPECT_EQ(Pins().taken.load(), Pins().returned.load()); }
  std::vector<ksclient::CompletedFrame> Read(ksclient::KsPinClient* pin, size_t count, ULONG size = kFrame640,
                                             LONG pitch = 0) {
    std::vector<ksclient::CompletedFrame> frames;
    EXPECT_EQ(STATUS_SUCCESS, pin->ReadFrames(count, size, 1, &frames, 50000000, pitch));
    return frames;
  }
};

TEST_F(CapturePinTest, StateWalkNegotiatesOnceAndDrivesTheStream) {
  Start();
  ClearRequests();
  auto pin = Running(kYuy2, 640, 480);
  ASSERT_TRUE(pin);
  // Probe and commit on the streaming interface with the frame's indices.
  const std::vector<ClassRequest> probes = Sets(0x0100, 0x0001);
  const std::vector<ClassRequest> commits = Sets(0x0200, 0x0001);
  ASSERT_EQ(1u, probes.size());
  ASSERT_EQ(1u, commits.size());
  ASSERT_EQ(26u, probes[0].data.size());
  EXPECT_EQ(1, probes[0].data[2]);
  EXPECT_EQ(1, probes[0].data[3]);
  std::vector<StartCall> starts = Pins().Starts();
  ASSERT_EQ(1u, starts.size());
  EXPECT_EQ(1u, starts[0].streamType);
  EXPECT_EQ(kFrame640, starts[0].frameSize);
  EXPECT_NE(0u, starts[0].payload);
  ASSERT_FALSE(Pins().Formats().empty());
  EXPECT_EQ(640, Pins().Formats().back().sourceWidth);
  EXPECT_EQ(1, Pins().captureRunning.load());

  // PAUSE pauses the transport; RUN starts it afresh with the payload committed before.
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_PAUSE));
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  starts = Pins().Starts();
  ASSERT_EQ(2u, starts.size());
  EXPECT_EQ(starts[0].payload, starts[1].payload);
  EXPECT_EQ(1u, Sets(0x0200, 0x0001).size());

  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_STOP));
  EXPECT_EQ(std::vector<ULONG>{1}, Pins().Stops());
  EXPECT_EQ(0, Pins().captureRunning.load());
}

// A STOP whose stream stop failed leaves the pin paused, and clears the running mark: the RUN
// after it resumes the stream and marks capture running again.
TEST_F(CapturePinTest, RunAfterAFailedStopMarksCaptureRunningAgain) {
  Start();
  auto pin = Running(kYuy2, 640, 480);
  ASSERT_TRUE(pin);
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_PAUSE));
  Pins().stopFails = true;
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_STOP));
  ASSERT_EQ(0, Pins().captureRunning.load());
  Pins().stopFails = false;
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  EXPECT_EQ(2u, Pins().Starts().size());
  EXPECT_EQ(1, Pins().captureRunning.load());
}

TEST_F(CapturePinTest, SecondClientCannotTakeOverTheStream) {
  Start();
  auto first = Running(kYuy2, 640, 480);
  ASSERT_TRUE(first);
  std::unique_ptr<ksclient::KsFilterClient> other;
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &other));
  const ULONG pinId = static_cast<ULONG>(PinOf(PINNAME_VIDEO_CAPTURE));
  std::unique_ptr<ksclient::KsPinClient> second;
  ASSERT_EQ(STATUS_SUCCESS, other->CreatePin(pinId, Format(pinId, kYuy2, 320, 240), &second));
  ClearRequests();
  EXPECT_NE(STATUS_SUCCESS, second->SetState(KSSTATE_RUN));
  // It looked before it touched the camera, and its way back to STOP and its close stop nothing.
  EXPECT_TRUE(Sets(0x0100, 0x0001).empty());
  second.reset();
  other.reset();
  EXPECT_TRUE(Pins().Stops().empty());
  EXPECT_EQ(1u, Pins().Starts().size());

  Pins().Push(1, Yuy2(0));
  Pins().Push(1, Yuy2(1));
  std::vector<ksclient::CompletedFrame> frames = Read(first.get(), 1);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(Yuy2(1), frames[0].data);
}

// A first client whose ACQUIRE failed (a previous capture still marked running) holds no claim:
// another client streams while the first pin stays open.
TEST_F(CapturePinTest, FailedAcquireLeavesTheStreamFree) {
  Start();
  const ULONG pinId = static_cast<ULONG>(PinOf(PINNAME_VIDEO_CAPTURE));
  std::unique_ptr<ksclient::KsPinClient> first;
  ASSERT_EQ(STATUS_SUCCESS, Open(pinId, Format(pinId, kYuy2, 640, 480), &first));
  Pins().captureRunning = 1;
  EXPECT_NE(STATUS_SUCCESS, first->SetState(KSSTATE_RUN));
  Pins().captureRunning = 0;
  std::unique_ptr<ksclient::KsFilterClient> other;
  ASSERT_EQ(STATUS_SUCCESS, ksclient::KsFilterClient::Open(device_->Top(), u"GLOBAL", &other));
  std::unique_ptr<ksclient::KsPinClient> second;
  ASSERT_EQ(STATUS_SUCCESS, other->CreatePin(pinId, Format(pinId, kYuy2, 320, 240), &second));
  EXPECT_EQ(STATUS_SUCCESS, second->SetState(KSSTATE_RUN));
}

TEST_F(CapturePinTest, Yuy2FramesArriveByteExactAfterTheFirst) {
  Start();
  auto pin = Running(kYuy2, 640, 480);
  ASSERT_TRUE(pin);
  for (uint64_t n = 0; n < 4; ++n) Pins().Push(1, Yuy2(n));
  std::vector<ksclient::CompletedFrame> frames = Read(pin.get(), 3);
  ASSERT_EQ(3u, frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(kFrame640, frames[i].header.DataUsed);
    EXPECT_EQ(Yuy2(i + 1), frames[i].data) << i;
    EXPECT_EQ(sizeof(KS_FRAME_INFO), frames[i].frameInfo.ExtendedHeaderSize);
  }
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S request{};
  request.Property.Set = PROPSETID_VIDCAP_DROPPEDFRAMES;
  request.Property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped = request;
  ASSERT_EQ(STATUS_SUCCESS, pin->Property(&request, sizeof(request), &dropped, sizeof(dropped)));
  EXPECT_EQ(kFrame640, dropped.AverageFrameSize);
  EXPECT_EQ(0, dropped.DropCount);
  ExpectFramesReturned();
}

struct DropCase {
  const char* name;
  void (*setup)();
  std::vector<uint8_t> (*bad)();
};

class CaptureDropTest : public CapturePinTest, public ::testing::WithParamInterface<DropCase> {};

TEST_P(CaptureDropTest, BadFrameIsGivenBackAndTheBufferWaitsForTheNext) {
  Start();
  auto pin = Running(kYuy2, 640, 480);
  ASSERT_TRUE(pin);
  Pins().Push(1, Yuy2(0));
  GetParam().setup();
  Pins().Push(1, GetParam().bad());
  std::unique_ptr<ksclient::StreamRead> read = pin->QueueRead(kFrame640);
  ASSERT_EQ(STATUS_TIMEOUT, read->Request()->Wait(20000000));
  Pins().processReturnsNull = false;
  Pins().Push(1, Yuy2(7));
  KsPinAttemptProcessing(Pins().Registered(1), FALSE);
  ASSERT_EQ(STATUS_SUCCESS, read->Request()->Wait(20000000));
  EXPECT_EQ(kFrame640, read->Headers().header.DataUsed);
  EXPECT_TRUE(std::equal(read->Data().begin(), read->Data().begin() + kFrame640, Yuy2(7).begin()));
  ExpectFramesReturned();
}

INSTANTIATE_TEST_SUITE_P(
    Frames, CaptureDropTest,
    ::testing::Values(DropCase{"OneByteShort", [] {}, [] {
                                 std::vector<uint8_t> f = Yuy2(3);
                                 f.pop_back();
                                 return f;
                               }},
                      DropCase{"ProcessorHasNoBuffer", [] { Pins().processReturnsNull = true; }, [] { return Yuy2(3); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CapturePinTest, ShortClientBufferDropsInsteadOfOverrunning) {
  Start();
  for (ULONG code : {kYuy2, 0u, kMjpg}) {
    Pins().ClearFrames();
    auto pin = Running(code, 640, 480);
    ASSERT_TRUE(pin) << code;
    Settings()->records[kRecordPowerLine].current = 2;
    const std::vector<uint8_t> frame = code == kMjpg ? Jpeg(1) : Yuy2(1);
    Pins().Push(1, code == kMjpg ? Jpeg(0) : Yuy2(0));
    Pins().Push(1, frame);
    const ULONG needed = code == kMjpg ? static_cast<ULONG>(frame.size()) : code == 0 ? 640 * 480 * 3 : kFrame640;
    std::unique_ptr<ksclient::StreamRead> read = pin->QueueRead(needed - 1);
    EXPECT_EQ(STATUS_TIMEOUT, read->Request()->Wait(20000000)) << code;
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_STOP));
    read->Request()->Wait(20000000);
    ExpectFramesReturned();
  }
}

TEST_F(CapturePinTest, Rgb24MatchesAnIndependentConversion) {
  Start();
  auto pin = Running(0, 640, 480);
  ASSERT_TRUE(pin);
  Pins().Push(1, Yuy2(0));
  const std::vector<uint8_t> source = Yuy2(5);
  Pins().Push(1, source);
  std::vector<ksclient::CompletedFrame> frames = Read(pin.get(), 1, 640 * 480 * 3);
  ASSERT_EQ(1u, frames.size());
  ASSERT_EQ(640u * 480 * 3, frames[0].header.DataUsed);
  int worst = 0;
  for (int y = 0; y < 480; ++y) {
    for (int x = 0; x < 640; ++x) {
      const uint8_t* pair = &source[(y * 640 + (x & ~1)) * 2];
      const double l = 1.164 * ((x & 1 ? pair[2] : pair[0]) - 16.0);
      const double u = pair[1] - 128.0, v = pair[3] - 128.0;
      const double expected[3] = {l + 2.017 * u, l - 0.392 * u - 0.813 * v, l + 1.596 * v};
      const uint8_t* got = &frames[0].data[((479 - y) * 640 + x) * 3];
      for (int c = 0; c < 3; ++c) {
        const int e = static_cast<int>(std::lround(std::min(255.0, std::max(0.0, expected[c]))));
        worst = std::max(worst, std::abs(e - got[c]));
      }
    }
  }
  EXPECT_LE(worst, 2);
}

TEST_F(CapturePinTest, SurfacePitchWidensAndAnOddPitchIsIgnored) {
  Start();
  auto pin = Running(kYuy2, 640, 480);
  ASSERT_TRUE(pin);
  for (uint64_t n = 0; n < 3; ++n) Pins().Push(1, Yuy2(n));
  std::vector<ksclient::CompletedFrame> wide = Read(pin.get(), 1, 800 * 480 * 2, 1600);
  ASSERT_EQ(1u, wide.size());
  EXPECT_EQ(800u * 480 * 2, wide[0].header.DataUsed);
  // The widened picture keeps the left edge of the camera's (in the video range it went through).
  const int edge = std::min(235, std::max(16, static_cast<int>(Yuy2(1)[0])));
  EXPECT_NEAR(edge, wide[0].data[0], 2);
}

TEST_F(CapturePinTest, SurfacePitchThatIsNoWidthIsIgnored) {
  Start();
  auto pin = Running(kYuy2, 640, 480);
  ASSERT_TRUE(pin);
  for (uint64_t n = 0; n < 3; ++n) Pins().Push(1, Yuy2(n));
  std::vector<ksclient::CompletedFrame> frames = Read(pin.get(), 1, 900 * 480 * 2, 1602);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(kFrame640, frames[0].header.DataUsed);
}

TEST_F(CapturePinTest, MjpegPassesThroughOrIsReencoded) {
  Start();
  auto pin = Running(kMjpg, 640, 480);
  ASSERT_TRUE(pin);
  DeviceSettings* settings = Settings();
  // Each setting that changes the picture, alone; zoom at the no-zoom value itself and one above.
  struct Step {
    const char* name;
    LONG powerLine, hFlip, vFlip, zoom, privacy, orientation;
    bool sameBytes, decoded;
  };
  const Step steps[] = {
      {"nothing", 2, 0, 0, 10, 0, 0, true, false},          {"flicker detection", 0, 0, 0, 10, 0, 0, true, true},
      {"mirror", 2, 1, 0, 10, 0, 0, false, true},           {"flip", 2, 0, 1, 10, 0, 0, false, true},
      {"zoom one step", 2, 0, 0, 11, 0, 0, false, true},    {"privacy", 2, 0, 0, 10, 1, 0, false, true},
      {"turned display", 2, 0, 0, 10, 0, 1, false, true},
  };
  Pins().Push(1, Jpeg(0));
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    settings->records[kRecordPowerLine].current = static_cast<SHORT>(s.powerLine);
    settings->hFlip = s.hFlip;
    settings->vFlip = s.vFlip;
    settings->zoomScale = s.zoom;
    settings->records[kRecordPrivacy].current = static_cast<SHORT>(s.privacy);
    Pins().displayOrientation = s.orientation;
    const int processed = Pins().processed;
    const std::vector<uint8_t> frame = Jpeg(2);
    Pins().Push(1, frame);
    std::vector<ksclient::CompletedFrame> frames = Read(pin.get(), 1, 640 * 480 * 2);
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(s.sameBytes, frames[0].data == frame);
    EXPECT_EQ(s.decoded, Pins().processed > processed);
    EXPECT_EQ(std::make_pair(640, 480), JpegSize(frames[0].data));
  }
  ExpectFramesReturned();
}

// Face detection is offered frames as the camera sent them, taken before the frame processor
// changes the frame in place (here it inverts it): the camera's YUY2 frame for YUY2 and RGB24
// streams, the compressed frame for MJPG passed through, the decoded picture for MJPG decoded.
TEST_F(CapturePinTest, FaceDetectionIsOfferedTheFrameAsTheCameraSentIt) {
  Start();
  const struct {
    const char* name;
    ULONG code, readSize;
    LONG powerLine, mjpeg;
  } cases[] = {
      {"YUY2", kYuy2, kFrame640, 2, 0},
      {"RGB24", 0, 640 * 480 * 3, 2, 0},
      {"MJPG passed through", kMjpg, kFrame640, 2, 1},
      {"MJPG decoded", kMjpg, kFrame640, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pins().ClearFrames();
    {
      std::lock_guard<std::mutex> hold(Pins().lock);
      Pins().offers.clear();
    }
    auto pin = Running(c.code, 640, 480);
    ASSERT_TRUE(pin);
    Settings()->records[kRecordPowerLine].current = static_cast<SHORT>(c.powerLine);
    Pins().processInverts = true;
    std::vector<std::vector<uint8_t>> sent, pictures;
    for (uint64_t n = 0; n < 8; ++n) {
      pictures.push_back(Yuy2(n));
      sent.push_back(c.code == kMjpg ? Jpeg(n) : Yuy2(n));
      Pins().Push(1, sent.back());
    }
    EXPECT_EQ(7u, Read(pin.get(), 7, c.readSize).size());
    Pins().processInverts = false;
    std::lock_guard<std::mutex> hold(Pins().lock);
    ASSERT_FALSE(Pins().offers.empty());
    for (const auto& offer : Pins().offers) {
      EXPECT_EQ(640, offer.width);
      EXPECT_EQ(480, offer.height);
      EXPECT_EQ(c.mjpeg, offer.mjpeg);
      if (c.code != kMjpg || c.mjpeg) {
        EXPECT_NE(sent.end(), std::find(sent.begin(), sent.end(), offer.frame));
        continue;
      }
      // Decoded: within JPEG's loss of one of the camera's pictures, not of its inverse.
      ASSERT_EQ(kFrame640, offer.frame.size());
      double best = 255;
      for (const auto& picture : pictures) {
        double sum = 0;
        for (size_t i = 0; i < picture.size(); ++i) sum += std::abs(int(picture[i]) - int(offer.frame[i]));
        best = std::min(best, sum / picture.size());
      }
      EXPECT_LT(best, 8.0);
    }
  }
}

TEST_F(CapturePinTest, MjpegHeadersAreReadInsideTheFrame) {
  Start();
  auto pin = Running(kMjpg, 640, 480);
  ASSERT_TRUE(pin);
  Settings()->records[kRecordPowerLine].current = 2;
  Pins().Push(1, Jpeg(0));
  // A picture of another size, and a frame that ends inside its start-of-frame segment.
  Pins().Push(1, Jpeg(1, 1280, 720));
  std::vector<uint8_t> cut = Jpeg(1);
  for (size_t i = 0; i + 1 < cut.size(); ++i) {
    if (cut[i] == 0xFF && cut[i + 1] == 0xC0) {
      cut.resize(i + 6);
      break;
    }
  }
  Pins().Push(1, cut);
  const std::vector<uint8_t> good = Jpeg(3);
  Pins().Push(1, good);
  std::vector<ksclient::CompletedFrame> frames = Read(pin.get(), 1, 640 * 480 * 2);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(good, frames[0].data);
  EXPECT_EQ(4, Pins().returned.load());
}

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

TEST_F(CapturePinTest, Yuy2WidthChangeKeepsTheStreamAndWidensFrames) {
  Start();
  const ULONG pinId = static_cast<ULONG>(PinOf(PINNAME_VIDEO_CAPTURE));
  Bytes format = Format(pinId, kYuy2, 640, 480);
  std::unique_ptr<ksclient::KsPinClient> pin;
  ASSERT_EQ(STATUS_SUCCESS, Open(pinId, format, &pin));
  for (LONG width : {801, -640, 0, 8194}) {
    Bytes odd = format;
    BitmapOf(odd)->biWidth = width;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, pin->SetDataFormat(odd)) << width;
  }
  Bytes wide = format;
  BitmapOf(wide)->biWidth = 800;
  BitmapOf(wide)->biSizeImage = 800 * 480 * 2;
  ASSERT_EQ(STATUS_SUCCESS, pin->SetDataFormat(wide));
  Bytes current;
  ASSERT_EQ(STATUS_SUCCESS, pin->GetDataFormat(&current));
  EXPECT_EQ(640, BitmapOf(current)->biWidth);
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  for (uint64_t n = 0; n < 3; ++n) Pins().Push(1, Yuy2(n));
  std::vector<ksclient::CompletedFrame> frames = Read(pin.get(), 1, 800 * 480 * 2);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(800u * 480 * 2, frames[0].header.DataUsed);

  // While running no change is taken, a width request or any other: the format reported and
  // the frames delivered stay as they were.
  Bytes narrower = format;
  BitmapOf(narrower)->biWidth = 720;
  BitmapOf(narrower)->biSizeImage = 720 * 480 * 2;
  Bytes slower = format;
  reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(slower.data())->VideoInfoHeader.AvgTimePerFrame = 666666;
  for (const Bytes& change : {narrower, slower}) {
    EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, pin->SetDataFormat(change));
    Bytes reported;
    ASSERT_EQ(STATUS_SUCCESS, pin->GetDataFormat(&reported));
    EXPECT_EQ(current, reported);
    Pins().Push(1, Yuy2(3));
    frames = Read(pin.get(), 1, 800 * 480 * 2);
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(800u * 480 * 2, frames[0].header.DataUsed);
  }
}

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

// Each allocation of a pin's creation and walk to RUN fails once in turn: every run ends with a
// clear status, and the bench's unload check finds nothing left behind.
TEST_F(CapturePinTest, AllocationFailuresInCreateAndRunLeaveNothingBehind) {
  Start();
  for (ULONG code : {kYuy2, kMjpg}) {
    const ULONG pinId = static_cast<ULONG>(PinOf(PINNAME_VIDEO_CAPTURE));
    const Bytes format = Format(pinId, code, 640, 480);
    ASSERT_FALSE(format.empty());
    bool ran = false;
    uint64_t failedRuns = 0;
    for (uint64_t n = 1; n < 60 && !ran; ++n) {
      Pins().ClearFrames();
      std::unique_ptr<ksclient::KsPinClient> pin;
      kernel::FailNthAllocation(n);
      NTSTATUS status = Open(pinId, format, &pin);
      if (status == STATUS_SUCCESS) status = pin->SetState(KSSTATE_RUN);
      kernel::FailNthAllocation(0);
      ran = status == STATUS_SUCCESS;
      failedRuns += ran ? 0 : 1;
      if (pin) {
        if (ran) {
          Pins().Push(1, code == kMjpg ? Jpeg(0) : Yuy2(0));
          Pins().Push(1, code == kMjpg ? Jpeg(1) : Yuy2(1));
          EXPECT_EQ(1u, Read(pin.get(), 1).size());
        }
        pin->SetState(KSSTATE_STOP);
      }
      pin.reset();
      EXPECT_EQ(0, Pins().captureRunning.load()) << n;
    }
    EXPECT_TRUE(ran) << code;
    // The pin's own allocations (object, format copy, descriptor and framing copies, probe,
    // work buffers) each failed once.
    EXPECT_GE(failedRuns, 6u) << code;
  }
}

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

struct AddedSizeCase {
  const char* name;
  const char* formatFile;
  ULONG code;
  LONG width, height;
  bool mjpegCamera;
};

class AddedSizeTest : public CapturePinTest, public ::testing::WithParamInterface<AddedSizeCase> {};

// Sizes the format file adds come from a smaller camera frame: the client still gets its size.
TEST_P(AddedSizeTest, FramesArriveAtTheOfferedSize) {
  WriteSystemFile("FORMAT.CFG", GetParam().formatFile);
  Start();
  auto pin = Running(GetParam().code, GetParam().width, GetParam().height);
  ASSERT_TRUE(pin);
  Settings()->records[kRecordPowerLine].current = 2;
  for (uint64_t n = 0; n < 3; ++n) Pins().Push(1, GetParam().mjpegCamera ? Jpeg(n) : Yuy2(n));
  const ULONG bytes = static_cast<ULONG>(GetParam().width * GetParam().height * (GetParam().code == 0 ? 3 : 2));
  std::vector<ksclient::CompletedFrame> frames = Read(pin.get(), 2, bytes);
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(bytes, frames[1].header.DataUsed);
  ASSERT_FALSE(Pins().Formats().empty());
  EXPECT_EQ(640, Pins().Formats().back().sourceWidth);
  EXPECT_EQ(GetParam().width, Pins().Formats().back().width);
  ExpectFramesReturned();
}

INSTANTIATE_TEST_SUITE_P(
    Files, AddedSizeTest,
    ::testing::Values(
        AddedSizeCase{"Yuy2",
                      "[INTERPOSITION_YUY2]\r\nCOUNT=1\r\n[INTERPOSITION_YUY2_0]\r\nWIDTH=960\r\nHEIGHT=540\r\n"
                      "FRAMERATE=30\r\n",
                      0x32595559, 960, 540, false},
        AddedSizeCase{"MjpegOfferedAsRgb24",
                      "[OUTPUT_FORMAT]\r\nRGB24=1\r\nYUY2=1\r\n[INTERPOSITION_RGB24]\r\nCOUNT=1\r\n"
                      "[INTERPOSITION_RGB24_0]\r\nWIDTH=800\r\nHEIGHT=600\r\nFRAMERATE=30\r\n",
                      0, 800, 600, true},
        AddedSizeCase{"MjpegCameraSizeAsRgb24", "[OUTPUT_FORMAT]\r\nRGB24=1\r\nYUY2=1\r\n", 0, 640, 480, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

struct CountCase {
  const char* name;
  LONGLONG formatInterval;  // as the client's format says
  LONGLONG unit;            // the interval the count is in
  LONGLONG jitter = 0;      // how much later (or earlier) than two intervals the late frame comes
};

class DropCountTest : public CapturePinTest, public ::testing::WithParamInterface<CountCase> {};

// A frame that comes two intervals after the one before counts one dropped frame, in the interval
// the camera committed, whatever the format names (none, or one between the listed intervals);
// jitter under half an interval rounds to the nearest picture.
TEST_P(DropCountTest, LateFrameCountsTheMissedOnes) {
  Start();
  const ULONG pinId = static_cast<ULONG>(PinOf(PINNAME_VIDEO_CAPTURE));
  Bytes format = Format(pinId, kYuy2, 640, 480, 333333);
  reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.AvgTimePerFrame =
      GetParam().formatInterval;
  std::unique_ptr<ksclient::KsPinClient> pin;
  ASSERT_EQ(STATUS_SUCCESS, Open(pinId, format, &pin));
  ASSERT_EQ(STATUS_SUCCESS, pin->SetMasterClock(true));
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  Pins().Push(1, Yuy2(0));
  Pins().Push(1, Yuy2(1));
  std::vector<ksclient::CompletedFrame> first = Read(pin.get(), 1);
  ASSERT_EQ(1u, first.size());
  EXPECT_EQ(1, first[0].frameInfo.PictureNumber);
  EXPECT_EQ(0, first[0].frameInfo.DropCount);
  EXPECT_NE(0u, first[0].header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);

  LARGE_INTEGER wait;
  wait.QuadPart = -(2 * GetParam().unit + GetParam().jitter);
  KeDelayExecutionThread(KernelMode, FALSE, &wait);
  Pins().Push(1, Yuy2(2));
  std::vector<ksclient::CompletedFrame> late = Read(pin.get(), 1);
  ASSERT_EQ(1u, late.size());
  EXPECT_EQ(3, late[0].frameInfo.PictureNumber);
  EXPECT_EQ(1, late[0].frameInfo.DropCount);
}

INSTANTIATE_TEST_SUITE_P(Intervals, DropCountTest,
                         ::testing::Values(CountCase{"FormatInterval", 333333, 333333},
                                           // The probe asks for the longest interval of the frame.
                                           CountCase{"NoneInTheFormat", 0, 2000000},
                                           CountCase{"LateFrameAQuarterEarly", 333333, 333333, -83333},
                                           CountCase{"LateFrameAQuarterLate", 333333, 333333, 83333},
                                           // 20 fps is not listed: the camera commits 15 fps.
                                           CountCase{"BetweenListedIntervals", 500000, 666666}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::drivertest

namespace kvz::drivertest {
namespace {

// A width request, in any state: what the pin then reports (the format's biSizeImage and
// SampleSize, the dropped-frames property's average frame size) is what it delivers, so buffers
// sized from the format take every frame. A buffer's surface pitch asks a width for that buffer
// (sized for it) and for no later one.
struct WidthCase {
  const char* name;
  KSSTATE state;  // where the request is made
  LONG width;     // asked of a 320 x 240 YUY2 pin, with the height 120 (the pin keeps its own); 0: none
  LONG pitch;     // lSurfacePitch of the first buffer read (0: none)
  NTSTATUS status;
  LONG delivered;  // width of the first frame; every later buffer, without a pitch, gets the format's
};

void PrintTo(const WidthCase& c, std::ostream* os) { *os << c.name; }

class CaptureWidthTest : public CapturePinTest, public ::testing::WithParamInterface<WidthCase> {
 protected:
  ULONG AverageFrameSize(ksclient::KsPinClient* pin) {
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S request{};
    request.Property.Set = PROPSETID_VIDCAP_DROPPEDFRAMES;
    request.Property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer = request;
    EXPECT_EQ(STATUS_SUCCESS, pin->Property(&request, sizeof(request), &answer, sizeof(answer)));
    return answer.AverageFrameSize;
  }
};

TEST_P(CaptureWidthTest, ReportedSizeIsDeliveredSize) {
  const WidthCase& c = GetParam();
  Start();
  const ULONG pinId = static_cast<ULONG>(PinOf(PINNAME_VIDEO_CAPTURE));
  Bytes format = Format(pinId, kYuy2, 320, 240);
  ASSERT_FALSE(format.empty());
  std::unique_ptr<ksclient::KsPinClient> pin;
  ASSERT_EQ(STATUS_SUCCESS, Open(pinId, format, &pin));
  for (KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
    if (s <= c.state) {
      ASSERT_EQ(STATUS_SUCCESS, pin->SetState(s));
    }
  }
  if (c.width != 0) {
    Bytes request = Format(pinId, kYuy2, 160, 120);
    ASSERT_FALSE(request.empty());
    BitmapOf(request)->biWidth = c.width;
    BitmapOf(request)->biSizeImage = static_cast<ULONG>(c.width) * 120 * 2;
    reinterpret_cast<KSDATAFORMAT*>(request.data())->SampleSize = BitmapOf(request)->biSizeImage;
    EXPECT_EQ(c.status, pin->SetDataFormat(request));
  }
  if (c.state != KSSTATE_RUN) {
    ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  }

  Bytes reported;
  ASSERT_EQ(STATUS_SUCCESS, pin->GetDataFormat(&reported));
  const ULONG image = BitmapOf(reported)->biSizeImage;
  EXPECT_EQ(320, BitmapOf(reported)->biWidth);
  EXPECT_EQ(image, reinterpret_cast<KSDATAFORMAT*>(reported.data())->SampleSize);
  EXPECT_EQ(image, AverageFrameSize(pin.get()));
  const ULONG first = static_cast<ULONG>(c.delivered) * 240 * 2;
  for (uint64_t n = 0; n < 4; ++n) Pins().Push(1, Yuy2(n, 320, 240));
  std::vector<ksclient::CompletedFrame> frames = Read(pin.get(), 1, std::max(first, image), c.pitch);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(first, frames[0].header.DataUsed);
  // A buffer sized from the format: the pitch of the buffer before does not outlast it.
  frames = Read(pin.get(), 2, image);
  ASSERT_EQ(2u, frames.size());
  for (const ksclient::CompletedFrame& frame : frames) EXPECT_EQ(image, frame.header.DataUsed);
}

INSTANTIATE_TEST_SUITE_P(
    States, CaptureWidthTest,
    ::testing::Values(WidthCase{"NarrowedInStop", KSSTATE_STOP, 160, 0, STATUS_SUCCESS, 160},
                      WidthCase{"WidenedInStop", KSSTATE_STOP, 640, 0, STATUS_SUCCESS, 640},
                      WidthCase{"LargestSideInStop", KSSTATE_STOP, 8192, 0, STATUS_SUCCESS, 8192},
                      WidthCase{"OnePastTheLargestSide", KSSTATE_STOP, 8194, 0, STATUS_INVALID_PARAMETER, 320},
                      WidthCase{"RefusedInAcquire", KSSTATE_ACQUIRE, 160, 0, STATUS_INVALID_DEVICE_STATE, 320},
                      WidthCase{"RefusedInPause", KSSTATE_PAUSE, 160, 0, STATUS_INVALID_DEVICE_STATE, 320},
                      WidthCase{"RefusedInRun", KSSTATE_RUN, 160, 0, STATUS_INVALID_DEVICE_STATE, 320},
                      WidthCase{"PitchOfTheRequest", KSSTATE_STOP, 640, 1280, STATUS_SUCCESS, 640},
                      WidthCase{"PitchWiderThanTheRequest", KSSTATE_STOP, 160, 1280, STATUS_SUCCESS, 640},
                      WidthCase{"PitchWiderThanThePin", KSSTATE_RUN, 0, 1280, STATUS_SUCCESS, 640},
                      WidthCase{"PitchOfTheLargestSide", KSSTATE_RUN, 0, 16384, STATUS_SUCCESS, 8192},
                      WidthCase{"PitchOnePastTheLargestSide", KSSTATE_RUN, 0, 16388, STATUS_SUCCESS, 320}),
    [](const ::testing::TestParamInfo<WidthCase>& info) { return std::string(info.param.name); });

// The size a width request reports is the width asked x the pin's height x 2, taken in 64 bits:
// on a pin whose format was made 262,144 rows tall, 8192 pixels reach 4 GiB and are refused
// where a 32-bit size would wrap to 0.
TEST_F(CapturePinTest, WidthRequestWhoseSizePassesFourGigabytesIsRefused) {
  Start();
  const ULONG pinId = static_cast<ULONG>(PinOf(PINNAME_VIDEO_CAPTURE));
  Bytes format = Format(pinId, kYuy2, 320, 240);
  std::unique_ptr<ksclient::KsPinClient> pin;
  ASSERT_EQ(STATUS_SUCCESS, Open(pinId, format, &pin));
  for (LONG rows : {262143, 262144}) {
    Bytes tall = format;
    BitmapOf(tall)->biHeight = rows;
    BitmapOf(tall)->biSizeImage = 320u * rows * 2;
    ASSERT_EQ(STATUS_SUCCESS, pin->SetDataFormat(tall));
    Bytes wide = tall;
    BitmapOf(wide)->biWidth = 8192;
    EXPECT_EQ(rows == 262143 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER, pin->SetDataFormat(wide)) << rows;
    Bytes reported;
    ASSERT_EQ(STATUS_SUCCESS, pin->GetDataFormat(&reported));
    EXPECT_EQ(rows == 262143 ? 8192u * rows * 2 : 320u * rows * 2, BitmapOf(reported)->biSizeImage) << rows;
  }
}

// A YUY2 width request reaches only the capture pin's YUY2 stream: an RGB24 or MJPG capture pin
// and the still pin refuse it and keep reporting and delivering their own format.
TEST_F(CapturePinTest, Yuy2WidthRequestOnAnotherStreamIsRefused) {
  Start();
  struct Stream {
    GUID category;
    ULONG code;
  };
  for (const Stream& s : {Stream{PINNAME_VIDEO_CAPTURE, 0}, Stream{PINNAME_VIDEO_CAPTURE, kMjpg},
                          Stream{PINNAME_VIDEO_STILL, kYuy2}}) {
    const ULONG pinId = static_cast<ULONG>(PinOf(s.category));
    Bytes format = Format(pinId, s.code, 640, 480);
    ASSERT_FALSE(format.empty()) << s.code;
    std::unique_ptr<ksclient::KsPinClient> pin;
    ASSERT_EQ(STATUS_SUCCESS, Open(pinId, format, &pin));
    Bytes yuy2 = Format(pinId, kYuy2, 640, 480);
    ASSERT_FALSE(yuy2.empty());
    BitmapOf(yuy2)->biWidth = 320;
    BitmapOf(yuy2)->biSizeImage = 320 * 480 * 2;
    EXPECT_EQ(STATUS_NO_MATCH, pin->SetDataFormat(yuy2)) << s.code;
    Bytes reported;
    ASSERT_EQ(STATUS_SUCCESS, pin->GetDataFormat(&reported));
    EXPECT_EQ(format, reported) << s.code;
  }
  // The RGB24 pin still delivers RGB24 at its size.
  const ULONG pinId = static_cast<ULONG>(PinOf(PINNAME_VIDEO_CAPTURE));
  Bytes format = Format(pinId, 0, 640, 480);
  std::unique_ptr<ksclient::KsPinClient> pin;
  ASSERT_EQ(STATUS_SUCCESS, Open(pinId, format, &pin));
  Bytes yuy2 = Format(pinId, kYuy2, 320, 240);
  ASSERT_EQ(STATUS_NO_MATCH, pin->SetDataFormat(yuy2));
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  for (uint64_t n = 0; n < 3; ++n) Pins().Push(1, Yuy2(n));
  std::vector<ksclient::CompletedFrame> frames = Read(pin.get(), 1, 640 * 480 * 3);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(640u * 480 * 3, frames[0].header.DataUsed);
}

}  // namespace
}  // namespace kvz::drivertest
