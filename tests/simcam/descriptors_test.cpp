#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "simcam/camera_profile.h"
#include "simcam/descriptor_layout.h"
#include "simcam/sim_camera.h"
#include "support/camera_requests.h"
#include "usbdlib.h"
#include "uvc.h"

namespace kvz::simcam {
namespace {

using testing::TestGuids;

struct ProfileCase {
  const char* name;
  CameraProfile (*make)();
  usb::Speed speed;
  uint16_t bcdUSB;
  bool bulk;
  std::vector<uint32_t> bandwidths;  // per streaming alternate setting
  size_t formats;
  bool stills;
  bool extensionUnits;
  bool interrupt;
};

const ProfileCase kProfiles[] = {
    {"HighSpeedIsoch", [] { return HighSpeedIsochCamera(TestGuids()); }, usb::Speed::High, 0x0200, false,
     {0, 128, 512, 1024, 2048, 3072}, 2, true, true, true},
    {"Bulk", [] { return BulkCamera(TestGuids()); }, usb::Speed::High, 0x0200, true, {512}, 2, true, true, true},
    {"SuperSpeedIsoch", [] { return SuperSpeedIsochCamera(TestGuids()); }, usb::Speed::Super, 0x0300, false,
     {0, 1024, 3072, 8192, 16384, 24576, 49152}, 2, true, true, true},
    {"Minimal", [] { return MinimalCamera(); }, usb::Speed::High, 0x0200, false, {0, 512, 1024, 3072}, 1, false, false,
     false},
};

class ProfileTest : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileTest, DescriptorsReadBackAndWalk) {
  const ProfileCase& c = GetParam();
  SimCamera cam(c.make());
  testing::Reply dev = testing::GetDescriptor(cam, USB_DEVICE_DESCRIPTOR_TYPE, 18);
  ASSERT_TRUE(dev.Ok());
  ASSERT_EQ(dev.data.size(), 18u);
  auto* d = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(dev.data.data());
  EXPECT_EQ(d->bcdUSB, c.bcdUSB);
  EXPECT_EQ(d->bNumConfigurations, 1);

  // A 9-byte read first, then wTotalLength, as a driver reads it.
  testing::Reply head = testing::GetDescriptor(cam, USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
  ASSERT_EQ(head.data.size(), 9u);
  const uint16_t total = static_cast<uint16_t>(head.data[2] | head.data[3] << 8);
  testing::Reply full = testing::GetDescriptor(cam, USB_CONFIGURATION_DESCRIPTOR_TYPE, total);
  ASSERT_EQ(full.data.size(), total);
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(full.data.data());
  EXPECT_EQ(config->bNumInterfaces, 2);

  PUSB_INTERFACE_DESCRIPTOR vc = USBD_ParseConfigurationDescriptorEx(config, config, 0, -1, -1, -1, -1);
  ASSERT_NE(vc, nullptr);
  EXPECT_EQ(vc->bInterfaceClass, CC_VIDEO);
  EXPECT_EQ(vc->bInterfaceSubClass, SC_VIDEOCONTROL);
  EXPECT_EQ(vc->bNumEndpoints, c.interrupt ? 1 : 0);
  PUSB_INTERFACE_DESCRIPTOR vs = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
  ASSERT_NE(vs, nullptr);
  EXPECT_EQ(vs->bInterfaceSubClass, SC_VIDEOSTREAMING);
  EXPECT_EQ(vs->bNumEndpoints, c.bulk ? 1 : 0);

  // Alternate settings found one after another from the previous hit.
  size_t alternates = 1;
  for (PUSB_INTERFACE_DESCRIPTOR a = vs;;) {
    a = USBD_ParseConfigurationDescriptorEx(config, a + 1, 1, alternates, -1, -1, -1);
    if (!a) break;
    EXPECT_EQ(a->bAlternateSetting, alternates);
    ++alternates;
  }
  EXPECT_EQ(alternates, c.bulk ? 1u : c.bandwidths.size());

  const DescriptorLayout& layout = cam.Layout();
  EXPECT_EQ(layout.speed, c.speed);
  EXPECT_EQ(layout.IsBulk(), c.bulk);
  EXPECT_EQ(layout.StreamingBandwidths(), c.bandwidths);
  ASSERT_EQ(layout.formats.size(), c.formats);
  ASSERT_NE(layout.Unit(kCameraTerminalId), nullptr);
  EXPECT_EQ(layout.Unit(kCameraTerminalId)->terminalType, ITT_CAMERA);
  ASSERT_NE(layout.Unit(kProcessingUnitId), nullptr);
  EXPECT_EQ(layout.Unit(kProcessingUnitId)->subtype, VC_PROCESSING_UNIT);
  EXPECT_EQ(cam.Profile().vendorUnitId != 0, c.extensionUnits);
  EXPECT_EQ(cam.Profile().testUnitId != 0, c.extensionUnits);
  EXPECT_EQ(layout.stillCaptureMethod != 0, c.stills);
  EXPECT_EQ(layout.InterruptEndpoint().has_value(), c.interrupt);
}

INSTANTIATE_TEST_SUITE_P(Profiles, ProfileTest, ::testing::ValuesIn(kProfiles),
                         [](const ::testing::TestParamInfo<ProfileCase>& i) { return std::string(i.param.name); });

TEST(Descriptors, ShortReadsAreHonoured) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  EXPECT_EQ(testing::GetDescriptor(cam, USB_DEVICE_DESCRIPTOR_TYPE, 8).data.size(), 8u);
  EXPECT_EQ(testing::GetDescriptor(cam, USB_DEVICE_DESCRIPTOR_TYPE, 64).data.size(), 18u);
  const size_t total = cam.ConfigurationDescriptor().size();
  EXPECT_EQ(testing::GetDescriptor(cam, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0xFFFF).data.size(), total);
}

TEST(Descriptors, HighSpeedCameraFormatsFramesAndStills) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  const DescriptorLayout& layout = cam.Layout();
  const FormatLayout* yuy2 = layout.Format(1);
  const FormatLayout* mjpeg = layout.Format(2);
  ASSERT_TRUE(yuy2 && mjpeg);
  EXPECT_EQ(yuy2->kind, FormatKind::kYuy2);
  EXPECT_EQ(mjpeg->kind, FormatKind::kMjpeg);
  ASSERT_NE(yuy2->Frame(4), nullptr);
  EXPECT_EQ(yuy2->Frame(4)->width, 1280);
  EXPECT_EQ(yuy2->Frame(4)->intervals, (std::vector<uint32_t>{1000000, 2000000}));
  EXPECT_EQ(yuy2->Frame(1)->intervals.size(), 4u);
  ASSERT_NE(mjpeg->Frame(3), nullptr);
  EXPECT_EQ(mjpeg->Frame(3)->height, 1080);
  EXPECT_EQ(mjpeg->Frame(3)->intervals.front(), 333333u);
  EXPECT_EQ(yuy2->stills.size(), 3u);
  EXPECT_EQ(mjpeg->stills.size(), 2u);
  EXPECT_EQ(layout.stillCaptureMethod, 2);
}

TEST(Descriptors, ControlHeaderCoversEveryUnit) {
  SimCamera cam(HighSpeedIsochCamera(TestGuids()));
  const std::vector<uint8_t> config = cam.ConfigurationDescriptor();
  // Find the VC header and walk wTotalLength bytes: terminal 1, unit 2, two extension units, output terminal.
  size_t at = 0;
  while (at < config.size() && !(config[at + 1] == CS_INTERFACE && config[at + 2] == VC_HEADER)) at += config[at];
  ASSERT_LT(at, config.size());
  const size_t end = at + (config[at + 5] | config[at + 6] << 8);
  std::vector<uint8_t> subtypes;
  for (size_t p = at + config[at]; p < end; p += config[p]) subtypes.push_back(config[p + 2]);
  EXPECT_EQ(subtypes, (std::vector<uint8_t>{VC_INPUT_TERMINAL, VC_PROCESSING_UNIT, VC_EXTENSION_UNIT, VC_EXTENSION_UNIT,
                                            VC_OUTPUT_TERMINAL}));
  const UnitLayout* vendor = cam.Layout().Unit(cam.Profile().vendorUnitId);
  ASSERT_NE(vendor, nullptr);
  EXPECT_EQ(vendor->guid, TestGuids().vendorUnit);
  for (unsigned selector : {1u, 2u, 3u, 27u, 28u}) EXPECT_TRUE(vendor->HasControlBit(selector - 1)) << selector;
}

TEST(Descriptors, HighBandwidthEndpointEncoding) {
  EndpointLayout e;
  e.attributes = USB_ENDPOINT_TYPE_ISOCHRONOUS;
  for (auto [w, bytes] : {std::pair<uint16_t, uint32_t>{0x0C00, 2048}, {0x1400, 3072}, {0x0400, 1024}, {0x13FC, 3060}, {0x0080, 128}}) {
    e.wMaxPacketSize = w;
    EXPECT_EQ(e.BytesPerInterval(usb::Speed::High), bytes) << std::hex << w;
  }
  e.wMaxPacketSize = 0x1400;
  EXPECT_EQ(e.BytesPerInterval(usb::Speed::Full), 1024u);
}

TEST(Descriptors, RawDescriptorFileLoadsLikeTheBuiltOne) {
  const CameraProfile built = HighSpeedIsochCamera(TestGuids());
  const std::string path = ::testing::TempDir() + "/simcam_raw_descriptors.bin";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(built.deviceDescriptor.data()), built.deviceDescriptor.size());
    out.write(reinterpret_cast<const char*>(built.configurationDescriptor.data()), built.configurationDescriptor.size());
  }
  const VendorGuids guids = TestGuids();
  std::optional<CameraProfile> raw = LoadRawDescriptorProfile(path, &guids);
  std::remove(path.c_str());
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->deviceDescriptor, built.deviceDescriptor);
  EXPECT_EQ(raw->configurationDescriptor, built.configurationDescriptor);
  EXPECT_EQ(raw->vendorUnitId, built.vendorUnitId);
  EXPECT_EQ(raw->testUnitId, built.testUnitId);
  SimCamera cam(*raw);
  EXPECT_EQ(cam.Layout().StreamingBandwidths(), (std::vector<uint32_t>{0, 128, 512, 1024, 2048, 3072}));
  EXPECT_EQ(testing::ReadRegister(cam, 0x20FF), 0xB3);
}

TEST(Descriptors, RawDescriptorsRejectTruncatedInput) {
  const CameraProfile built = MinimalCamera();
  std::vector<uint8_t> bytes = built.deviceDescriptor;
  bytes.insert(bytes.end(), built.configurationDescriptor.begin(), built.configurationDescriptor.end());
  EXPECT_TRUE(RawDescriptorProfile(bytes, nullptr).has_value());
  bytes.pop_back();
  EXPECT_FALSE(RawDescriptorProfile(bytes, nullptr).has_value());
  EXPECT_FALSE(RawDescriptorProfile({1, 2, 3}, nullptr).has_value());
}

}  // namespace
}  // namespace kvz::simcam
