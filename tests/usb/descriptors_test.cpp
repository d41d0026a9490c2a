// The configuration walk over the bus and the simulated camera: the built-in profiles, and
// hand-made malformed descriptors, each rule one row.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <uvc.h>

#include "driver/controls/extension_unit_handler.h"
#include "driver/controls/private_control_handler.h"
#include "driver/controls/video_proc_amp_handler.h"
#include "driver/controls/region_control_handler.h"
#include "kvz/system_testing.h"
#include "simcam/descriptor_builder.h"
#include "support/camera_start.h"
#include "tests/uvcmodel/support/descriptor_edits.h"
#include "uvcmodel/vendor_unit_guids.h"

namespace kvz {

template <>
struct TestSeam<UnitContainer> {
  static ULONG ExtensionUnitCount(const UnitContainer& units) { return units.extensionUnitCount_; }
};

}  // namespace kvz

namespace kvz::usbtest {
namespace {

using simcam::CameraDescription;
using namespace kvz::descriptortest;

uint32_t Fps(uint32_t fps) { return 10000000 / fps; }

class DescriptorTest : public UsbBench {
 protected:
  void SetUp() override {
    UsbBench::SetUp();
    onStart = [](TestCameraDevice& d) { return StartCamera(d); };
    onRelease = [](TestCameraDevice& d) { StopCamera(d); };
  }
  std::vector<ULONG> Bandwidth() const {
    BandwidthEntry entries[kMaxAlternateSettings];
    const ULONG n = Device()->units->CopyBandwidthTable(entries);
    std::vector<ULONG> out;
    for (ULONG i = 0; i < n; ++i) out.push_back(entries[i].BytesPerInterval);
    return out;
  }
  const FormatTable& Capture() const { return *Device()->formats.Capture(); }
};

struct ProfileCase {
  const char* name;
  std::function<simcam::CameraProfile()> profile;
  ULONG bulk;
  std::vector<ULONG> bandwidth;
  ULONG captureFrames;
  ULONG captureRanges;
  ULONG stillRanges;
  ULONG pinCount;
  ULONG nodeCount;
  ULONG vendorFlag;
  bool interruptPipe;
};

class ProfileWalkTest : public DescriptorTest, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(ProfileWalkTest, BuiltInProfileParsesAndSelects) {
  const ProfileCase& c = GetParam();
  ASSERT_EQ(STATUS_SUCCESS, Boot(c.profile()));
  TestCameraDevice* d = Device();
  EXPECT_EQ(c.bulk, d->bulk);
  EXPECT_EQ(c.bandwidth, Bandwidth());
  EXPECT_EQ(c.captureFrames, Capture().FrameCount());
  EXPECT_EQ(c.captureRanges, Capture().DataRangeCount());
  EXPECT_EQ(c.stillRanges, d->formats.Still()->DataRangeCount());
  EXPECT_EQ(c.pinCount, d->pinCount);
  EXPECT_EQ(c.nodeCount, d->nodeCount);
  EXPECT_EQ(c.vendorFlag, d->units->HasFaceExposureWindow() ? 1u : 0u);
  EXPECT_EQ(c.vendorFlag != 0, d->units->RegionHandler() != nullptr);
  EXPECT_NE(nullptr, d->units->CameraTerminal());
  EXPECT_NE(nullptr, d->units->ProcessingUnit());
  ASSERT_EQ(c.interruptPipe, d->interruptInterface != nullptr);
  if (c.interruptPipe) {
    EXPECT_EQ(1u, d->interruptInterface->NumberOfPipes);
  }
  EXPECT_EQ(1, d->streamingInterface->InterfaceNumber);
  EXPECT_TRUE(camera_->Snapshot().configured);
  if (c.vendorFlag) {
    EXPECT_EQ(camera_->Profile().vendorUnitId << 8, d->usb.VendorUnitIndex());
  }
  // Every frame's intervals run shortest first, and every data range stands for a frame.
  for (ULONG i = 0; i < Capture().FrameCount(); ++i) {
    const FrameEntry& e = Capture().Frame(i);
    for (LONG k = 1; k < e.IntervalCount; ++k) EXPECT_LT(e.Intervals[k - 1], e.Intervals[k]);
  }
  FrameEntry entry;
  for (ULONG i = 0; i < Capture().DataRangeCount(); ++i) EXPECT_TRUE(Capture().GetDataRangeFormat(i, &entry)) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ProfileWalkTest,
    ::testing::Values(
        ProfileCase{"HighSpeed", [] { return simcam::HighSpeedIsochCamera(DriverGuids()); }, 0,
                    {0, 128, 512, 1024, 2048, 3072}, 7, 22, 16, 3, 5, 1, true},
        ProfileCase{"Bulk", [] { return simcam::BulkCamera(DriverGuids()); }, 1, {}, 7, 22, 16, 3, 5, 1, true},
        ProfileCase{"SuperSpeed", [] { return simcam::SuperSpeedIsochCamera(DriverGuids()); }, 0,
                    {0, 1024, 3072, 8192, 16384, 24576, 49152}, 7, 22, 16, 3, 5, 1, true},
        ProfileCase{"Minimal", [] { return simcam::MinimalCamera(); }, 0, {0, 512, 1024, 3072}, 2, 8, 0, 2, 3, 0,
                    false}),
    [](const ::testing::TestParamInfo<ProfileCase>& info) { return std::string(info.param.name); });

// ---- Hand-made descriptors ------------------------------------------------------------------

simcam::CameraProfile FromBytes(const Descriptors& d, usb::Speed speed = usb::Speed::High) {
  simcam::CameraProfile p;
  p.name = "hand-made";
  p.speed = speed;
  p.deviceDescriptor = d.device;
  p.configurationDescriptor = d.config;
  return p;
}

struct MalformedCase {
  const char* name;
  std::function<Descriptors()> make;
};

class RejectedDescriptorTest : public DescriptorTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(RejectedDescriptorTest, StartFailsWithDeviceDataError) {
  EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Boot(FromBytes(GetParam().make())));
}

// The model's rules are tested in tests/uvcmodel; these rows show that a refusal of the
// configuration read, of the length pass and of the walk each fails the start.
INSTANTIATE_TEST_SUITE_P(
    Rules, RejectedDescriptorTest,
    ::testing::Values(
        MalformedCase{"ZeroLength", [] { return With([](Descriptors& d) { d.config[Find(d.config, 0x24, 5, 2)[0]] = 0; }); }},
        MalformedCase{"ConfigurationTotalBelowNine", [] { return With([](Descriptors& d) { d.config[2] = 8, d.config[3] = 0; }); }},
        MalformedCase{"VcHeaderSubtype",
                      [] { return With([](Descriptors& d) { d.config[Find(d.config, 0x24, 1, 1)[0] + 2] = 3; }); }}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.name); });

struct AcceptedCase {
  const char* name;
  std::function<Descriptors()> make;
  std::function<void(const DescriptorTest&, TestCameraDevice&)> check;
  usb::Speed speed = usb::Speed::High;
};

class AcceptedDescriptorTest : public DescriptorTest, public ::testing::WithParamInterface<AcceptedCase> {
 public:
  using DescriptorTest::Bandwidth;
  using DescriptorTest::Capture;
};

TEST_P(AcceptedDescriptorTest, StartSucceedsWithTheSoundReading) {
  ASSERT_EQ(STATUS_SUCCESS, Boot(FromBytes(GetParam().make(), GetParam().speed)));
  GetParam().check(*this, *Device());
}

// The 640 x 480 YUY2 frame's entry.
const FrameEntry* FindFrame(const FormatTable& t, ULONG code, USHORT w, USHORT h) {
  for (ULONG i = 0; i < t.FrameCount(); ++i)
    if (t.Frame(i).SourceCode == code && t.Frame(i).Width == w && t.Frame(i).Height == h) return &t.Frame(i);
  return nullptr;
}

CameraDescription OneYuy2Frame(std::vector<uint32_t> intervals, uint16_t width = 640, uint16_t height = 480) {
  CameraDescription c = simcam::MinimalDescription();
  c.formats[0].frames = {{width, height, std::move(intervals)}};
  return c;
}

Descriptors FourExtensionUnitsWithAWideOne() {
  CameraDescription c = simcam::HighSpeedIsochDescription(DriverGuids());
  std::vector<uint8_t> wide;
  for (uint8_t s = 1; s <= 34; ++s) wide.push_back(s);
  c.extensionUnits.insert(c.extensionUnits.begin(), {7, GUID{0x11, 0, 0, {0}}, wide});
  c.extensionUnits.push_back({8, GUID{0x22, 0, 0, {0}}, {1}});
  c.extensionUnits.push_back({9, GUID{0x33, 0, 0, {0}}, {1}});
  return Built(c);
}

Descriptors TwoStreamingInterfaces() {
  Descriptors d = HighSpeed();
  const size_t from = Find(d.config, 4, -1, 2)[0];
  std::vector<uint8_t> copy(d.config.begin() + static_cast<long>(from), d.config.end());
  for (size_t at : Find(copy, 4)) copy[at + 2] = 2;
  AddTotal(d.config, 2, static_cast<int>(copy.size()));
  d.config[4] = 3;
  d.config.insert(d.config.end(), copy.begin(), copy.end());
  return d;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AcceptedDescriptorTest,
    ::testing::Values(
        AcceptedCase{"VcHeaderTotalPastTheEnd",
                     [] { return With([](Descriptors& d) { d.config[Find(d.config, 0x24, 1, 1)[0] + 5] = 0xFF, d.config[Find(d.config, 0x24, 1, 1)[0] + 6] = 0xFF; }); },
                     [](const DescriptorTest&, TestCameraDevice& d) { EXPECT_EQ(2u, TestSeam<UnitContainer>::ExtensionUnitCount(*d.units)); }},
        AcceptedCase{"VsHeaderTotalPastTheEnd",
                     [] { return With([](Descriptors& d) { d.config[Find(d.config, 0x24, 1, 2)[0] + 4] = 0xFF, d.config[Find(d.config, 0x24, 1, 2)[0] + 5] = 0xFF; }); },
                     [](const DescriptorTest&, TestCameraDevice& d) { EXPECT_EQ(7u, d.formats.Capture()->FrameCount()); }},
        AcceptedCase{"CameraTerminalTooShortForItsControlsIsPassedOver",
                     [] {
                       return With([](Descriptors& d) {
                         const size_t at = Find(d.config, 0x24, 2, 1)[0];
                         Truncate(d.config, at, static_cast<uint8_t>(15 + d.config[at + 14] - 1));
                       });
                     },
                     [](const DescriptorTest&, TestCameraDevice& d) { EXPECT_EQ(nullptr, d.units->CameraTerminal()); }},
        AcceptedCase{"EndpointOfAnotherTypeGivesNoBandwidth",
                     [] { return With([](Descriptors& d) { d.config[Find(d.config, 5)[2] + 1] = 0x25; }); },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       EXPECT_EQ(std::vector<ULONG>({0, 128, 0, 1024, 2048, 3072}),
                                 static_cast<const AcceptedDescriptorTest&>(t).Bandwidth());
                     }},
        AcceptedCase{"ThreeTransactionsOf1024",
                     [] { return With([](Descriptors& d) { const size_t at = Find(d.config, 5)[2]; d.config[at + 4] = 0x00, d.config[at + 5] = 0x14; }); },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       EXPECT_EQ(3072u, static_cast<const AcceptedDescriptorTest&>(t).Bandwidth()[2]);
                     }},
        // Bits 13 to 15 are reserved: 1000 bytes in two transactions.
        AcceptedCase{"ReservedBitsAreNeitherSizeNorTransactions",
                     [] { return With([](Descriptors& d) { const size_t at = Find(d.config, 5)[2]; d.config[at + 4] = 0xE8, d.config[at + 5] = 0xEB; }); },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       EXPECT_EQ(2000u, static_cast<const AcceptedDescriptorTest&>(t).Bandwidth()[2]);
                     }},
        AcceptedCase{"SuperSpeedWithoutCompanionUsesMaxPacketSize",
                     [] {
                       Descriptors d = Built(simcam::SuperSpeedIsochDescription(DriverGuids()));
                       d.config[Find(d.config, 0x30)[1] + 1] = 0x31;
                       return d;
                     },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       EXPECT_EQ(1024u, static_cast<const AcceptedDescriptorTest&>(t).Bandwidth()[1]);
                     },
                     usb::Speed::Super},
        AcceptedCase{"IntervalsSortedZeroDropped",
                     [] { return Built(OneYuy2Frame({Fps(5), 0, Fps(30), Fps(15)})); },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       const FrameEntry* e = FindFrame(static_cast<const AcceptedDescriptorTest&>(t).Capture(),
                                                       kSubtypeYuy2, 640, 480);
                       ASSERT_NE(nullptr, e);
                       ASSERT_EQ(3, e->IntervalCount);
                       EXPECT_EQ(Fps(30), e->Intervals[0]);
                       EXPECT_EQ(Fps(15), e->Intervals[1]);
                       EXPECT_EQ(Fps(5), e->Intervals[2]);
                     }},
        AcceptedCase{"ContinuousIntervalsAreMinimumAndMaximum",
                     [] {
                       Descriptors d = Built(OneYuy2Frame({Fps(30), Fps(5), 10000}));
                       const size_t at = Find(d.config, 0x24, 5, 2)[0];
                       d.config[at + 25] = 0;  // dwMin, dwMax, dwStep follow
                       return d;
                     },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       const FrameEntry* e = FindFrame(static_cast<const AcceptedDescriptorTest&>(t).Capture(),
                                                       kSubtypeYuy2, 640, 480);
                       ASSERT_NE(nullptr, e);
                       ASSERT_EQ(2, e->IntervalCount);
                       EXPECT_EQ(Fps(30), e->Intervals[0]);
                       EXPECT_EQ(Fps(5), e->Intervals[1]);
                     }},
        AcceptedCase{"ZeroWidthFrameDropped", [] { return Built(OneYuy2Frame({Fps(30)}, 0, 480)); },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       EXPECT_EQ(0u, static_cast<const AcceptedDescriptorTest&>(t).Capture().FrameCount());
                     }},
        AcceptedCase{"HugeFrameDropped", [] { return Built(OneYuy2Frame({Fps(30)}, 640, 9000)); },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       EXPECT_EQ(0u, static_cast<const AcceptedDescriptorTest&>(t).Capture().FrameCount());
                     }},
        AcceptedCase{"OtherUncompressedFormatIsNotYuy2",
                     [] { return With([](Descriptors& d) { const size_t at = Find(d.config, 0x24, 4, 2)[0]; d.config[at + 5] = 'N', d.config[at + 6] = 'V', d.config[at + 7] = '1', d.config[at + 8] = '2'; }); },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       const FormatTable& c = static_cast<const AcceptedDescriptorTest&>(t).Capture();
                       EXPECT_EQ(3u, c.FrameCount());
                       EXPECT_EQ(6u, c.DataRangeCount());
                       FrameEntry e;
                       EXPECT_FALSE(c.FindFrameEntry(kSubtypeYuy2, 640, 480, &e));
                       EXPECT_TRUE(c.FindFrameEntry(kSubtypeMjpg, 640, 480, &e));
                     }},
        AcceptedCase{"Yuy2GuidWithTwelveBitsIsNotYuy2",
                     [] { return With([](Descriptors& d) { d.config[Find(d.config, 0x24, 4, 2)[0] + 21] = 12; }); },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       EXPECT_EQ(3u, static_cast<const AcceptedDescriptorTest&>(t).Capture().FrameCount());
                     }},
        AcceptedCase{"FramesStopAtAForeignSubtype",
                     [] { return With([](Descriptors& d) { d.config[Find(d.config, 0x24, 5, 2)[1] + 2] = 0x0D; }); },
                     [](const DescriptorTest& t, TestCameraDevice&) {
                       const FormatTable& c = static_cast<const AcceptedDescriptorTest&>(t).Capture();
                       FrameEntry e;
                       EXPECT_TRUE(c.FindFrameEntry(kSubtypeYuy2, 640, 480, &e));
                       EXPECT_FALSE(c.FindFrameEntry(kSubtypeYuy2, 320, 240, &e));
                     }},
        AcceptedCase{"ExtensionUnitLimits", FourExtensionUnitsWithAWideOne,
                     [](const DescriptorTest&, TestCameraDevice& d) {
                       // The 34-control unit is left out; of the rest only three are taken.
                       EXPECT_EQ(3u, TestSeam<UnitContainer>::ExtensionUnitCount(*d.units));
                       EXPECT_EQ(nullptr, d.units->FindExtensionUnit(GUID{0x11, 0, 0, {0}}));
                       EXPECT_NE(nullptr, d.units->FindExtensionUnit(GUID{0x22, 0, 0, {0}}));
                       EXPECT_EQ(nullptr, d.units->FindExtensionUnit(GUID{0x33, 0, 0, {0}}));
                       EXPECT_EQ(6u, d.nodeCount);
                     }},
        AcceptedCase{"ControlInterfaceWithAnAlternateSetting",
                     [] {
                       return With([](Descriptors& d) {
                         const size_t at = Find(d.config, 4, -1, 2)[0];
                         const uint8_t alternate[] = {9, 4, 0, 1, 0, 0x0E, 1, 0, 0};
                         d.config.insert(d.config.begin() + static_cast<long>(at), alternate, alternate + 9);
                         AddTotal(d.config, 2, 9);
                       });
                     },
                     [](const DescriptorTest& t, TestCameraDevice& d) {
                       EXPECT_EQ(7u, static_cast<const AcceptedDescriptorTest&>(t).Capture().FrameCount());
                       EXPECT_EQ(1, d.streamingInterface->InterfaceNumber);
                       EXPECT_NE(nullptr, d.interruptInterface);
                     }},
        AcceptedCase{"SecondStreamingInterfaceIgnored", TwoStreamingInterfaces,
                     [](const DescriptorTest& t, TestCameraDevice& d) {
                       EXPECT_EQ(7u, static_cast<const AcceptedDescriptorTest&>(t).Capture().FrameCount());
                       EXPECT_EQ(1, d.streamingInterface->InterfaceNumber);
                     }}),
    [](const ::testing::TestParamInfo<AcceptedCase>& info) { return std::string(info.param.name); });

struct SetCase {
  const char* name;
  std::function<simcam::CameraProfile()> profile;
  std::vector<const GUID*> filterSets;
  ULONG eventSets;
  std::vector<ULONG> extensionNodeSets;
};

class PropertySetTest : public DescriptorTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(PropertySetTest, FilterAndNodeTablesFollowTheUnits) {
  ASSERT_EQ(STATUS_SUCCESS, Boot(GetParam().profile()));
  TestCameraDevice* d = Device();
  const std::vector<const GUID*>& sets = GetParam().filterSets;
  ASSERT_EQ(sets.size(), d->filterAutomation.PropertySetsCount);
  for (size_t i = 0; i < sets.size(); ++i) {
    EXPECT_TRUE(IsEqualGUID(*sets[i], *d->filterAutomation.PropertySets[i].Set)) << i;
    EXPECT_NE(0u, d->filterAutomation.PropertySets[i].PropertiesCount) << i;
  }
  EXPECT_EQ(GetParam().eventSets, d->filterAutomation.EventSetsCount);
  const std::vector<ULONG>& xu = GetParam().extensionNodeSets;
  ASSERT_EQ(3 + xu.size(), d->nodeCount);
  EXPECT_TRUE(IsEqualGUID(KSNODETYPE_VIDEO_CAMERA_TERMINAL, *d->nodes[0].Type));
  EXPECT_TRUE(IsEqualGUID(PROPSETID_VIDCAP_CAMERACONTROL, *d->nodes[0].AutomationTable->PropertySets[0].Set));
  EXPECT_TRUE(IsEqualGUID(PROPSETID_VIDCAP_VIDEOPROCAMP, *d->nodes[1].AutomationTable->PropertySets[0].Set));
  for (size_t i = 0; i < xu.size(); ++i) {
    EXPECT_TRUE(IsEqualGUID(KSNODETYPE_DEV_SPECIFIC, *d->nodes[2 + i].Type));
    EXPECT_EQ(xu[i], d->nodes[2 + i].AutomationTable->PropertySetsCount) << i;
  }
  const KSNODE_DESCRIPTOR& streaming = d->nodes[d->nodeCount - 1];
  EXPECT_TRUE(IsEqualGUID(KSNODETYPE_VIDEO_STREAMING, *streaming.Type));
  ASSERT_EQ(3u, streaming.AutomationTable->PropertySetsCount);
  EXPECT_TRUE(IsEqualGUID(PROPSETID_VIDCAP_VIDEOCONTROL, *streaming.AutomationTable->PropertySets[0].Set));
  EXPECT_TRUE(IsEqualGUID(PROPSETID_VIDCAP_DROPPEDFRAMES, *streaming.AutomationTable->PropertySets[2].Set));
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, PropertySetTest,
    ::testing::Values(
        SetCase{"VendorAndTestUnits", [] { return simcam::HighSpeedIsochCamera(DriverGuids()); },
                {&PROPSETID_VIDCAP_CAMERACONTROL, &PROPSETID_VIDCAP_VIDEOPROCAMP, &VendorUnitGuids[0], &TestUnitGuid,
                 &PROPSETID_KVZ_PRIVATE, &PROPSETID_KVZ_REGION, &PROPSETID_VIDCAP_VIDEOCONTROL, &PROPSETID_VIDCAP_VIDEOCOMPRESSION},
                1,
                {1, 2}},
        SetCase{"NoExtensionUnits", [] { return simcam::MinimalCamera(); },
                {&PROPSETID_VIDCAP_CAMERACONTROL, &PROPSETID_VIDCAP_VIDEOPROCAMP, &PROPSETID_KVZ_PRIVATE,
                 &PROPSETID_VIDCAP_VIDEOCONTROL, &PROPSETID_VIDCAP_VIDEOCOMPRESSION},
                0,
                {}}),
    [](const ::testing::TestParamInfo<SetCase>& info) { return std::string(info.param.name); });

TEST_F(DescriptorTest, FailedConfigurationSelectionFailsTheStart) {
  auto camera = simcam::HighSpeedIsochCamera(DriverGuids());
  simcam::RequestFault fault;
  fault.target = simcam::RequestTarget::kSetConfiguration;
  fault.kind = simcam::RequestFaultKind::kUrbErrorIrpSuccess;
  fault.urbStatus = USBD_STATUS_STALL_PID;
  onStart = [fault, this](TestCameraDevice& d) {
    camera_->ArmRequestFault(fault);
    return StartCamera(d);
  };
  EXPECT_FALSE(NT_SUCCESS(Boot(camera)));
}

TEST_F(DescriptorTest, Windows2000TakesDefaultUnitsAndSkipsMissingInterfaceNumbers) {
  kvz::kernel::SetSystemVersion({5, 0, 2195, 4, 0});
  // The camera is the second function: interface numbers 1 and 2 of two.
  CameraDescription c = simcam::MinimalDescription();
  c.firstInterface = 1;
  c.processingUnitControls = 0;
  onStart = [this](TestCameraDevice& d) {
    camera_->Configure([](simcam::CameraFaults&, simcam::ControlTable& controls, simcam::RegisterFile&,
                          simcam::CameraOptions&) {
      controls.Set(simcam::kProcessingUnitId, PU_BRIGHTNESS_CONTROL, simcam::MakeRangeControl(2, -10, 10, 1, 0, true));
    });
    return StartCamera(d);
  };
  const NTSTATUS status = Boot(FromBytes(Built(c)));
  kvz::kernel::SetSystemVersion(kvz::kernel::SystemVersion::Windows10(19045));
  ASSERT_EQ(STATUS_SUCCESS, status);
  // The processing unit announces nothing; the default unit (id 2) offers every control the camera
  // answers, and only those.
  ASSERT_NE(nullptr, Device()->units->ProcessingUnit());
  EXPECT_TRUE(Device()->units->ProcessingUnit()->HasControl(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS));
  EXPECT_FALSE(Device()->units->ProcessingUnit()->HasControl(KSPROPERTY_VIDEOPROCAMP_CONTRAST));
  EXPECT_EQ(2u, Device()->formats.Capture()->FrameCount());
}

TEST_F(DescriptorTest, ConfigurationLongerThanItsFirstReadIsReadAgainWhole) {
  ASSERT_EQ(STATUS_SUCCESS, Boot(simcam::MinimalCamera()));
  std::vector<uint16_t> lengths;
  for (const auto& r : camera_->Log())
    if (r.kind == simcam::RequestKind::kControl && r.setup.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
        (r.setup.wValue >> 8) == USB_CONFIGURATION_DESCRIPTOR_TYPE)
      lengths.push_back(r.setup.wLength);
  const auto& config = camera_->Profile().configurationDescriptor;
  EXPECT_EQ(std::vector<uint16_t>({9, static_cast<uint16_t>(config.size())}), lengths);
  EXPECT_EQ(config.size(), Device()->configurationLength);
}

}  // namespace
}  // namespace kvz::usbtest
