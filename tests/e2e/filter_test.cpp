// The filter as an application finds it on each camera: its interfaces, categories and pins,
// the formats it offers (derived here from the camera's own descriptors), and the intersection.
#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>

#include "e2e_bench.h"
#include "ksmedia.h"

namespace kvz::e2e {
namespace {

using Offer = std::tuple<uint32_t, int, int>;  // subtype, width, height

struct CameraCase {
  const char* camera;
  bool stills;
};

class FilterTest : public E2eBench, public ::testing::WithParamInterface<CameraCase> {};

// What the camera's descriptors say the capture pin must offer: YUY2 and RGB24 for every
// uncompressed frame, MJPG for every MJPEG frame.
std::set<Offer> OffersOfCamera(const simcam::DescriptorLayout& layout) {
  std::set<Offer> offers;
  for (const simcam::FormatLayout& f : layout.formats)
    for (const simcam::FrameLayout& fr : f.frames) {
      if (f.kind == simcam::FormatKind::kMjpeg) {
        offers.insert({kMjpg, fr.width, fr.height});
      } else if (f.kind == simcam::FormatKind::kYuy2) {
        offers.insert({kYuy2, fr.width, fr.height});
        offers.insert({kRgb24, fr.width, fr.height});
      }
    }
  return offers;
}

TEST_P(FilterTest, InterfacesCategoriesPinsAndFormatsFollowTheCamera) {
  ASSERT_TRUE(Boot(GetParam().camera));
  EXPECT_EQ(1u, ksclient::EnumerateInterfaces(KSCATEGORY_CAPTURE).size());
  EXPECT_EQ(1u, ksclient::EnumerateInterfaces(KSCATEGORY_VIDEO).size());

  std::vector<GUID> categories;
  ASSERT_EQ(STATUS_SUCCESS, Filter().Categories(&categories));
  for (const GUID& g : {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE, KSCATEGORY_VIDEO_CAMERA})
    EXPECT_NE(categories.end(), std::find(categories.begin(), categories.end(), g));

  ULONG pins = 0;
  ASSERT_EQ(STATUS_SUCCESS, Filter().PinCount(&pins));
  EXPECT_EQ(GetParam().stills ? 3u : 2u, pins);
  const capture::PinIds ids = capture::FindPins(Filter());
  EXPECT_EQ(kCapturePin, ids.capture);
  EXPECT_EQ(GetParam().stills ? kStillPin : -1, ids.still);
  for (ULONG pin = 0; pin < pins; ++pin) {
    KSPIN_DATAFLOW flow{};
    ASSERT_EQ(STATUS_SUCCESS, Filter().PinDataFlow(pin, &flow));
    EXPECT_EQ(static_cast<int>(pin) == ids.capture || static_cast<int>(pin) == ids.still ? KSPIN_DATAFLOW_OUT
                                                                                          : KSPIN_DATAFLOW_IN,
              flow)
        << "pin " << pin;
  }

  // Every offered size comes as a VIDEOINFO and a VIDEOINFO2 range.
  std::vector<Bytes> raw;
  ASSERT_EQ(STATUS_SUCCESS, Filter().PinDataRanges(kCapturePin, &raw));
  std::set<Offer> info, info2;
  for (const capture::VideoRange& r : capture::ParseVideoRanges(raw)) {
    (r.videoInfo2 ? info2 : info).insert({r.subtype, r.width, std::abs(r.height)});
    EXPECT_LE(r.minInterval, r.maxInterval);
    EXPECT_GT(r.minInterval, 0);
  }
  const std::set<Offer> expected = OffersOfCamera(Camera().Layout());
  EXPECT_EQ(expected, info);
  EXPECT_EQ(expected, info2);
}

INSTANTIATE_TEST_SUITE_P(Cameras, FilterTest,
                         ::testing::Values(CameraCase{"isoch", true}, CameraCase{"bulk", true}, CameraCase{"usb3", true},
                                           CameraCase{"minimal", false}),
                         [](const auto& info) { return std::string(info.param.camera); });

using IntersectionTest = E2eBench;

// The intersection answers a size query, then the whole format for the range it was given, and
// the format it proposes is one the pin accepts. Formats that do not fit the pin are refused.
TEST_F(IntersectionTest, ProposesAcceptableFormatsAndRefusesBadOnes) {
  ASSERT_TRUE(Boot("isoch"));
  const capture::VideoRange range = Range(kCapturePin, kYuy2, 320, 240);
  Bytes format;
  ASSERT_EQ(STATUS_SUCCESS, Filter().Intersect(kCapturePin, {range.raw}, &format));
  capture::VideoFormat f;
  ASSERT_TRUE(capture::ParseVideoFormat(format, &f));
  EXPECT_EQ(kYuy2, f.subtype);
  EXPECT_EQ(320, f.width);
  EXPECT_EQ(240, f.height);
  EXPECT_EQ(320u * 240 * 2, f.sizeImage);
  EXPECT_EQ(range.defaultInterval, f.interval);

  auto patched = [&](auto edit) {
    Bytes copy = format;
    KS_DATAFORMAT_VIDEOINFOHEADER v;
    std::memcpy(&v, copy.data(), sizeof(v));
    edit(v);
    std::memcpy(copy.data(), &v, sizeof(v));
    return copy;
  };
  const struct {
    const char* name;
    Bytes format;
  } bad[] = {
      {"size not offered", patched([](auto& v) { v.VideoInfoHeader.bmiHeader.biWidth = 330; })},
      {"odd width", patched([](auto& v) { v.VideoInfoHeader.bmiHeader.biWidth = 321; })},
      {"biSize too small", patched([](auto& v) { v.VideoInfoHeader.bmiHeader.biSize = 12; })},
      {"biSize past the format", patched([](auto& v) { v.VideoInfoHeader.bmiHeader.biSize = 4096; })},
      {"wrong bit count", patched([](auto& v) { v.VideoInfoHeader.bmiHeader.biBitCount = 24; })},
      {"truncated", Bytes(format.begin(), format.begin() + sizeof(KSDATAFORMAT) + 8)},
  };
  for (const auto& b : bad) {
    std::unique_ptr<KsPinClient> pin;
    EXPECT_FALSE(NT_SUCCESS(Filter().CreatePin(kCapturePin, b.format, &pin))) << b.name;
  }
  std::unique_ptr<KsPinClient> pin;
  ASSERT_EQ(STATUS_SUCCESS, Filter().CreatePin(kCapturePin, format, &pin));
  pin->Close();
}

}  // namespace
}  // namespace kvz::e2e
