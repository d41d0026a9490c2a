// Cameras other than the vendor's own high-speed isochronous one, driven through the filter: a
// standard UVC camera without the vendor units, a camera that is a later function of a composite
// device, and a bulk camera whose stream runs from its commit to its pipe reset.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "control_bench.h"
#include "device_bench.h"
#include "ks_client.h"
#include "uvc.h"

namespace kvz::drivertest {
namespace {

using CameraVariants = StreamingBench;

// A camera without the vendor's units is a standard UVC camera: it starts unidentified and
// streams, and nothing the driver sends reaches an entity other than the camera terminal, the
// processing unit and the streaming interface (no register access, no vendor control). So does a
// camera whose vendor unit announces only one of the two register selectors: it has no register
// pair, and neither half of one is sent (only the unit's set asks its control's length).
struct StandardCase {
  const char* name;
  std::function<simcam::CameraDescription()> description;
};

simcam::CameraDescription WithVendorSelectors(std::vector<uint8_t> selectors) {
  simcam::CameraDescription d = DescriptionOf(Profile::kIsoch);
  for (simcam::ExtensionUnitDescription& xu : d.extensionUnits)
    if (xu.guid == DriverGuids().vendorUnit) xu.selectors = selectors;
  return d;
}

class StandardCamera : public CameraVariants, public ::testing::WithParamInterface<StandardCase> {};

TEST_P(StandardCamera, StreamsWithoutVendorRequests) {
  Plug(GetParam().description());
  ASSERT_NO_FATAL_FAILURE(RunCapture());
  EXPECT_FALSE(Camera()->IsChipIdentified());
  ASSERT_EQ(STATUS_SUCCESS, ReadFrames(12));
  const std::set<uint16_t> standard = {0x0100, 0x0200, 0x0001};
  for (const simcam::LoggedRequest& r : camera_->Log()) {
    const bool classRequest = r.kind == simcam::RequestKind::kControl && (r.setup.bmRequestType & 0x60) == 0x20;
    if (classRequest && r.setup.bRequest != GET_LEN) {
      EXPECT_TRUE(standard.count(r.setup.wIndex))
          << "request " << std::hex << int(r.setup.bRequest) << " wValue " << r.setup.wValue << " wIndex "
          << r.setup.wIndex;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cameras, StandardCamera,
                         ::testing::Values(StandardCase{"minimal", simcam::MinimalDescription},
                                           StandardCase{"isochWithoutUnits",
                                                        [] {
                                                          auto d = DescriptionOf(Profile::kIsoch);
                                                          d.extensionUnits.clear();
                                                          return d;
                                                        }},
                                           StandardCase{"vendorUnitWithAddressOnly",
                                                        [] { return WithVendorSelectors({2}); }},
                                           StandardCase{"vendorUnitWithDataOnly",
                                                        [] { return WithVendorSelectors({3}); }}),
                         [](const auto& info) { return std::string(info.param.name); });

class LaterFunction : public CameraVariants {
 protected:
  void PlugLaterFunction() {
    simcam::CameraDescription d = DescriptionOf(Profile::kIsoch);
    d.firstInterface = 2;
    usb::PortOptions port;
    port.interfaceNumber = 2;
    Plug(d, {}, port);
  }
};

// The camera is the second function of a composite device (interfaces 2 and 3, hardware
// identifier MI_02): its vendor unit is found on its own control interface and identifies the chip.
TEST_F(LaterFunction, VendorUnitIsAddressedOnItsInterface) {
  PlugLaterFunction();
  ASSERT_EQ(STATUS_SUCCESS, Start());
  EXPECT_TRUE(Camera()->IsChipIdentified());
  EXPECT_EQ(2, Camera()->InterfaceNumber());
  uint16_t unit = 0;
  for (const simcam::UnitLayout& u : camera_->Layout().units)
    if (u.subtype == VC_EXTENSION_UNIT && u.guid == DriverGuids().vendorUnit) unit = u.id;
  ASSERT_NE(0, unit);
  const auto addressedTo = [&](uint16_t index) {
    return CountRequests([&](const simcam::LoggedRequest& r) {
      return r.kind == simcam::RequestKind::kControl && r.setup.wIndex == index;
    });
  };
  EXPECT_GT(addressedTo(static_cast<uint16_t>(unit << 8 | 2)), 0u);
  EXPECT_EQ(0u, addressedTo(static_cast<uint16_t>(unit << 8)));
}

// The same camera streams: every class request goes to its own interfaces (the terminal, the
// processing unit and the vendor units on interface 2, probe, commit and the streaming alternate
// setting on 3), none to the first function's interfaces 0 and 1.
TEST_F(LaterFunction, StreamsOnItsOwnInterfaces) {
  PlugLaterFunction();
  ASSERT_NO_FATAL_FAILURE(RunCapture());
  ASSERT_EQ(STATUS_SUCCESS, ReadFrames(12));
  size_t perInterface[4] = {};
  for (const simcam::LoggedRequest& r : camera_->Log()) {
    const bool interfaceRequest = r.kind == simcam::RequestKind::kControl && (r.setup.bmRequestType & 0x1F) == 1;
    if (interfaceRequest && (r.setup.wIndex & 0xFF) < 4) ++perInterface[r.setup.wIndex & 0xFF];
    if (r.kind == simcam::RequestKind::kSetInterface && r.interfaceNumber < 4) ++perInterface[r.interfaceNumber];
  }
  EXPECT_EQ(0u, perInterface[0]);
  EXPECT_EQ(0u, perInterface[1]);
  EXPECT_GT(perInterface[2], 0u);
  EXPECT_GT(perInterface[3], 0u);
  EXPECT_GT(CountRequests([](const simcam::LoggedRequest& r) {
              return r.kind == simcam::RequestKind::kControl && r.setup.wIndex == 0x0202;
            }),
            0u);
  EXPECT_GT(CountRequests([](const simcam::LoggedRequest& r) {
              return r.kind == simcam::RequestKind::kSetInterface && r.interfaceNumber == 3 && r.value != 0;
            }),
            0u);
}

// A bulk camera streams from the commit: the driver never selects an alternate setting of its
// streaming interface (that would end the stream), not even for system sleep, and a RUN after
// PAUSE, whose stop reset the pipe, commits again before frames are read.
TEST_F(CameraVariants, BulkStreamRunsFromCommitToPipeReset) {
  Plug(Profile::kBulk);
  ASSERT_NO_FATAL_FAILURE(RunCapture());
  ASSERT_EQ(STATUS_SUCCESS, ReadFrames(3));
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_PAUSE));
  EXPECT_GT(CountRequests([](const simcam::LoggedRequest& r) { return r.kind == simcam::RequestKind::kPipeReset; }),
            0u);
  ASSERT_EQ(STATUS_SUCCESS, pin_->SetState(KSSTATE_RUN));
  ASSERT_EQ(STATUS_SUCCESS, ReadFrames(3));
  // System sleep gives a running stream's bandwidth back: nothing to select on a bulk interface.
  kernel::NotifySystemStateLock(false);
  kernel::NotifySystemStateLock(true);
  EXPECT_EQ(0u, CountRequests([](const simcam::LoggedRequest& r) {
              return r.kind == simcam::RequestKind::kSetInterface && r.interfaceNumber == 1;
            }));
  EXPECT_EQ(2u, Commits());
}

}  // namespace
}  // namespace kvz::drivertest
