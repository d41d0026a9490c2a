#include <gtest/gtest.h>

#include <jpeglib.h>

#include "kvz/usb_bus.h"
#include "simcam/camera_profile.h"
#include "simcam/sim_camera.h"
#include "simcam/test_pattern.h"
#include "support/bus_client.h"

namespace kvz::usb {
namespace {

using testing::BusClient;
using testing::TestGuids;

bool DecodesAt(const std::vector<uint8_t>& jpeg, unsigned width, unsigned height) {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
  bool ok = jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK;
  if (ok) {
    jpeg_start_decompress(&cinfo);
    std::vector<uint8_t> row(cinfo.output_width * cinfo.output_components);
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW rows[1] = {row.data()};
      jpeg_read_scanlines(&cinfo, rows, 1);
    }
    ok = cinfo.output_width == width && cinfo.output_height == height;
    jpeg_finish_decompress(&cinfo);
  }
  jpeg_destroy_decompress(&cinfo);
  return ok;
}

struct StreamCase {
  const char* name;
  simcam::CameraProfile (*make)();
  uint8_t format, frame;
  uint32_t interval;
  uint16_t width, height;
  bool mjpeg;
  bool huffmanTables;
};

simcam::CameraProfile FullSpeedCamera() {
  simcam::CameraDescription d = simcam::MinimalDescription();
  d.name = "full-speed camera";
  d.bcdUSB = 0x0110;
  d.speed = Speed::Full;
  d.formats[0].frames = {{160, 120, {2000000, 1000000}}};
  d.isochAlts = {{256, 0, 0, 0}, {512, 0, 0, 0}, {1023, 0, 0, 0}};
  return simcam::ProfileFromDescription(d, nullptr);
}

const StreamCase kCases[] = {
    {"FullSpeedYuy2", FullSpeedCamera, 1, 1, 2000000, 160, 120, false, true},
    {"Yuy2Vga15", [] { return simcam::HighSpeedIsochCamera(TestGuids()); }, 1, 1, 666666, 640, 480, false, true},
    {"Yuy2Qvga30", [] { return simcam::HighSpeedIsochCamera(TestGuids()); }, 1, 2, 333333, 320, 240, false, true},
    {"Yuy2Hd10", [] { return simcam::HighSpeedIsochCamera(TestGuids()); }, 1, 4, 1000000, 1280, 720, false, true},
    {"MjpegVga30", [] { return simcam::HighSpeedIsochCamera(TestGuids()); }, 2, 1, 333333, 640, 480, true, true},
    {"MjpegHdNoDht", [] { return simcam::HighSpeedIsochCamera(TestGuids()); }, 2, 2, 666666, 1280, 720, true, false},
    {"SuperSpeedYuy2Hd", [] { return simcam::SuperSpeedIsochCamera(TestGuids()); }, 1, 4, 1000000, 1280, 720, false, true},
    {"BulkYuy2Vga", [] { return simcam::BulkCamera(TestGuids()); }, 1, 1, 333333, 640, 480, false, true},
    {"BulkMjpegVga", [] { return simcam::BulkCamera(TestGuids()); }, 2, 1, 333333, 640, 480, true, true},
};

class StreamingTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamingTest, FramesOfTheFrameSizeAtTheCommittedInterval) {
  const StreamCase& c = GetParam();
  UsbBus bus;
  simcam::CameraOptions options;
  options.mjpegHuffmanTables = c.huffmanTables;
  auto camera = std::make_shared<simcam::SimCamera>(c.make(), options);
  BusClient client(bus.Plug(camera));
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  const UVC_VIDEO_PROBE_COMMIT commit = client.Commit(c.format, c.frame, c.interval);
  ASSERT_EQ(+commit.dwFrameInterval, c.interval);

  testing::StreamResult result;
  const size_t frames = 5;
  if (camera->Layout().IsBulk()) {
    result = testing::StreamBulk(client, &client.Interface(1)->Pipes[0], 8, commit.dwMaxPayloadTransferSize, frames);
  } else {
    // The smallest alternate setting that carries the negotiated payload.
    const std::vector<uint32_t> bandwidths = camera->Layout().StreamingBandwidths();
    uint8_t alt = 0;
    for (size_t a = 1; a < bandwidths.size() && !alt; ++a)
      if (bandwidths[a] >= commit.dwMaxPayloadTransferSize) alt = static_cast<uint8_t>(a);
    ASSERT_NE(alt, 0);
    ASSERT_EQ(client.SelectAlternate(1, alt), STATUS_SUCCESS);
    result = testing::StreamIsoch(client, &client.Interface(1)->Pipes[0], 5, 32, frames);
  }
  EXPECT_TRUE(result.allAtDispatch);
  EXPECT_EQ(result.failed, 0u);
  ASSERT_GE(result.frames.size(), frames);
  for (size_t i = 0; i < frames; ++i) {
    const simcam::AssembledFrame& f = result.frames[i];
    EXPECT_TRUE(f.endOfFrame);
    EXPECT_FALSE(f.error);
    if (c.mjpeg) {
      EXPECT_TRUE(DecodesAt(f.data, c.width, c.height)) << i;
    } else {
      EXPECT_EQ(f.data.size(), static_cast<size_t>(c.width) * c.height * 2) << i;
      EXPECT_EQ(simcam::FrameNumberOfYuy2(f.data.data(), f.data.size()), i);
    }
  }
  // Frames begin one interval apart on the kernel clock: their presentation times (48 MHz) and the
  // kernel times at which they end.
  for (size_t i = 1; i < frames; ++i) {
    EXPECT_NEAR(result.frames[i].presentationTime - result.frames[i - 1].presentationTime, c.interval * 4.8, 1.0);
    const double gap = static_cast<double>(result.frames[i].time - result.frames[i - 1].time);
    // The host sees a frame end when its transfer of 32 (micro)frames completes.
    const double transfer = 32.0 * (camera->GetSpeed() == Speed::Full ? 10000 : 1250);
    EXPECT_NEAR(gap, c.interval, transfer + 1) << i;
  }
  EXPECT_EQ(camera->Snapshot().framesSent >= frames, true);
}

INSTANTIATE_TEST_SUITE_P(Profiles, StreamingTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<StreamCase>& i) { return std::string(i.param.name); });

TEST(Streaming, StillTriggerDeliversOneStillFrame) {
  UsbBus bus;
  auto camera = std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids()));
  BusClient client(bus.Plug(camera));
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  client.Commit(1, 3, 333333);
  std::vector<uint8_t> still = {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(client.ClassRequest(false, SET_CUR, VS_STILL_COMMIT_CONTROL << 8, 1, &still), STATUS_SUCCESS);
  std::vector<uint8_t> trigger = {1};
  ASSERT_EQ(client.ClassRequest(false, SET_CUR, VS_STILL_IMAGE_TRIGGER_CONTROL << 8, 1, &trigger), STATUS_SUCCESS);
  ASSERT_EQ(client.SelectAlternate(1, 5), STATUS_SUCCESS);
  testing::StreamResult r = testing::StreamIsoch(client, &client.Interface(1)->Pipes[0], 5, 32, 3);
  ASSERT_GE(r.frames.size(), 3u);
  EXPECT_TRUE(r.frames[0].still);
  EXPECT_EQ(r.frames[0].data.size(), 320u * 240 * 2);
  EXPECT_FALSE(r.frames[1].still);
  EXPECT_EQ(r.frames[1].data.size(), 160u * 120 * 2);
}

TEST(Streaming, InterruptEndpointDeliversButtonPackets) {
  UsbBus bus;
  auto camera = std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids()));
  BusClient client(bus.Plug(camera));
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  PUSBD_PIPE_INFORMATION pipe = &client.Interface(0)->Pipes[0];
  std::vector<uint8_t> buffer(16, 0);
  URB urb{};
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe->PipeHandle,
                                         buffer.data(), nullptr, 16, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                                         nullptr);
  auto r = client.SubmitAsync(&urb);
  EXPECT_EQ(r->callStatus, STATUS_PENDING);
  EXPECT_FALSE(r->Wait(50 * 10000));  // nothing to report yet
  camera->PressButton();
  ASSERT_TRUE(r->Wait(10 * 10000));
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(r->completionIrql, DISPATCH_LEVEL);
  ASSERT_EQ(urb.UrbBulkOrInterruptTransfer.TransferBufferLength, 4u);
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 4), (std::vector<uint8_t>{2, 1, 0, 1}));
}

}  // namespace
}  // namespace kvz::usb
