// Formats offered by the pins from the camera's descriptors and a FORMAT.CFG written by the test:
// output formats, interposed sizes and their intervals.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "kvz/system_testing.h"
#include "support/camera_start.h"

namespace kvz::usbtest {
namespace {

constexpr ULONG kFps30 = 333333;

struct FormatFileCase {
  const char* name;
  std::string file;  // empty: no file
  ULONG captureFrames;
  ULONG captureRanges;
  ULONG stillRanges;
  std::function<void(const FormatTable& capture, const FormatTable& still)> check;
};

class FormatFileTest : public UsbBench, public ::testing::WithParamInterface<FormatFileCase> {
 protected:
  void SetUp() override {
    UsbBench::SetUp();
    folder_ = ::testing::TempDir() + "kvz_formats_" + std::to_string(getpid());
    std::filesystem::create_directories(folder_);
    kvz::kernel::SetSystemRootFolder(folder_);
    onStart = [](TestCameraDevice& d) { return StartCamera(d, false); };
    onRelease = [](TestCameraDevice& d) { StopCamera(d); };
  }
  void TearDown() override {
    UsbBench::TearDown();
    kvz::kernel::SetSystemRootFolder("");
    std::filesystem::remove_all(folder_);
  }
  std::string folder_;
};

TEST_P(FormatFileTest, OffersWhatTheFileAsks) {
  const FormatFileCase& c = GetParam();
  if (!c.file.empty()) std::ofstream(folder_ + "/Format.cfg", std::ios::binary) << c.file;
  ASSERT_EQ(STATUS_SUCCESS, Boot(simcam::HighSpeedIsochCamera(DriverGuids())));
  const FormatTable& capture = *Device()->formats.Capture();
  const FormatTable& still = *Device()->formats.Still();
  EXPECT_EQ(c.captureFrames, capture.FrameCount());
  EXPECT_EQ(c.captureRanges, capture.DataRangeCount());
  EXPECT_EQ(c.stillRanges, still.DataRangeCount());
  if (c.check) c.check(capture, still);
}

void ExpectAdded(const FormatTable& t, ULONG offered, USHORT w, USHORT h, ULONG source, USHORT sourceWidth,
                 ULONG interval) {
  FrameEntry e;
  ASSERT_TRUE(t.FindFrameEntry(offered, w, h, &e)) << w << "x" << h;
  EXPECT_EQ(1u, e.AddedByConfig);
  EXPECT_EQ(source, e.SourceCode);
  EXPECT_EQ(sourceWidth, e.SourceWidth);
  ASSERT_EQ(1, e.IntervalCount);
  EXPECT_EQ(interval, e.Intervals[0]);
}

std::string Yuy2Sizes(const std::string& count, const std::string& entries) {
  return "[INTERPOSITION_YUY2]\r\nCOUNT=" + count + "\r\n" + entries;
}

std::string Yuy2Entry(int i, int w, int h, const std::string& more = "") {
  return "[INTERPOSITION_YUY2_" + std::to_string(i) + "]\r\nWIDTH=" + std::to_string(w) + "\r\nHEIGHT=" +
         std::to_string(h) + "\r\n" + more;
}

// The camera: YUY2 640x480, 320x240, 160x120, 1280x720 and MJPEG 640x480, 1280x720, 1920x1080,
// with YUY2 stills 640x480, 320x240, 1280x720 and MJPEG stills 640x480, 1280x720. On this system
// the capture pin offers 1920x1080 only as MJPG.
INSTANTIATE_TEST_SUITE_P(
    Files, FormatFileTest,
    ::testing::Values(
        FormatFileCase{"NoFile", "", 7, 22, 16,
                       [](const FormatTable& c, const FormatTable&) {
                         FrameEntry e;
                         EXPECT_TRUE(c.FindFrameEntry(kSubtypeMjpg, 1920, 1080, &e));
                         EXPECT_TRUE(c.FindFrameEntry(kSubtypeRgb24, 640, 480, &e));
                       }},
        FormatFileCase{"MjpegAsRgb24WithAnExtraSize",
                       "[OUTPUT_FORMAT]\r\nRGB24=1\r\nYUY2=1\r\n[INTERPOSITION_RGB24]\r\nCOUNT=1\r\n"
                       "[INTERPOSITION_RGB24_0]\r\nWIDTH=800\r\nHEIGHT=600\r\nFRAMERATE=30\r\n",
                       8, 22, 16,
                       [](const FormatTable& c, const FormatTable&) {
                         FrameEntry e;
                         EXPECT_FALSE(c.FindFrameEntry(kSubtypeMjpg, 640, 480, &e));
                         ExpectAdded(c, kSubtypeRgb24, 800, 600, kSubtypeMjpg, 640, kFps30);
                       }},
        FormatFileCase{"Yuy2Off", "[OUTPUT_FORMAT]\r\nYUY2=0\r\n", 7, 6, 4,
                       [](const FormatTable& c, const FormatTable&) {
                         FrameEntry e;
                         EXPECT_FALSE(c.FindFrameEntry(kSubtypeRgb24, 640, 480, &e));
                       }},
        FormatFileCase{"MjpgOff", "[OUTPUT_FORMAT]\r\nMJPG=0\r\n", 7, 16, 12, nullptr},
        FormatFileCase{"ZeroRateTakesTheSourceFramesFirst",
                       Yuy2Sizes("1", Yuy2Entry(0, 960, 540, "FRAMERATE=0\r\n")), 8, 26, 16,
                       [](const FormatTable& c, const FormatTable&) {
                         ExpectAdded(c, kSubtypeYuy2, 960, 540, kSubtypeYuy2, 640, kFps30);
                       }},
        FormatFileCase{"NegativeCount", Yuy2Sizes("-1", Yuy2Entry(0, 960, 540)), 7, 22, 16, nullptr},
        FormatFileCase{"HugeCountIsCapped", Yuy2Sizes("99999999", Yuy2Entry(0, 960, 540)), 8, 26, 16, nullptr},
        FormatFileCase{"MissingEntrySkipped",
                       Yuy2Sizes("3", Yuy2Entry(0, 960, 540) + Yuy2Entry(2, 800, 600, "FRAMERATE=15\r\n")), 9, 30, 16,
                       [](const FormatTable& c, const FormatTable&) {
                         ExpectAdded(c, kSubtypeYuy2, 800, 600, kSubtypeYuy2, 640, 666666);
                       }},
        FormatFileCase{"OddWidthAndExistingSizeSkipped",
                       Yuy2Sizes("2", Yuy2Entry(0, 961, 540) + Yuy2Entry(1, 320, 240)), 7, 22, 16, nullptr},
        FormatFileCase{"StillSize",
                       "[INTERPOSITION_STILL_YUY2]\r\nCOUNT=1\r\n[INTERPOSITION_STILL_YUY2_0]\r\nWIDTH=800\r\n"
                       "HEIGHT=600\r\n",
                       7, 22, 20,
                       [](const FormatTable&, const FormatTable& s) {
                         ExpectAdded(s, kSubtypeYuy2, 800, 600, kSubtypeYuy2, 640, 10000000);
                       }},
        FormatFileCase{"LfOnlyFileChangesNothing", "[OUTPUT_FORMAT]\nYUY2=0\nMJPG=0\n", 7, 22, 16, nullptr}),
    [](const ::testing::TestParamInfo<FormatFileCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::usbtest
