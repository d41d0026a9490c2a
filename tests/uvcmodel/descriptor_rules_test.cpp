// The descriptor rules and the configuration walk on hand-made malformed descriptors, each rule
// one row: the model refuses them with STATUS_DEVICE_DATA_ERROR.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/descriptor_edits.h"
#include "uvcmodel/descriptor_rules.h"
#include "uvcmodel/uvc_model.h"

namespace kvz::descriptortest {
namespace {

// What a device's start asks of the model: the device descriptor's check, then the walk over
// the configuration as read.
NTSTATUS Walk(const Descriptors& d) {
  bool usb3 = false;
  NTSTATUS status = CheckDeviceDescriptor(d.device.data(), static_cast<ULONG>(d.device.size()), &usb3);
  if (!NT_SUCCESS(status)) return status;
  UvcModel model;
  status = model.Parse(d.config.data(), static_cast<ULONG>(d.config.size()), 0, usb3, true);
  return NT_SUCCESS(status) ? model.WalkStatus() : status;
}

struct MalformedCase {
  const char* name;
  std::function<Descriptors()> make;
};

class RejectedDescriptorTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(RejectedDescriptorTest, WalkFailsWithDeviceDataError) {
  EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, Walk(GetParam().make()));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RejectedDescriptorTest,
    ::testing::Values(
        MalformedCase{"ZeroLength", [] { return With([](Descriptors& d) { d.config[Find(d.config, 0x24, 5, 2)[0]] = 0; }); }},
        MalformedCase{"OneByteLength",
                      [] { return With([](Descriptors& d) { d.config[Find(d.config, 0x24, 5, 2)[1]] = 1; }); }},
        MalformedCase{"PastTheEnd", [] { return With([](Descriptors& d) { d.config[Find(d.config, 5)[0]] = 200; }); }},
        MalformedCase{"DeviceDescriptorShort", [] { return With([](Descriptors& d) { d.device.resize(8); }); }},
        MalformedCase{"DeviceDescriptorType", [] { return With([](Descriptors& d) { d.device[1] = 2; }); }},
        MalformedCase{"ConfigurationType", [] { return With([](Descriptors& d) { d.config[1] = 4; }); }},
        MalformedCase{"ConfigurationTotalBelowNine", [] { return With([](Descriptors& d) { d.config[2] = 8, d.config[3] = 0; }); }},
        MalformedCase{"InterfaceShort", [] { return With([](Descriptors& d) { Truncate(d.config, Find(d.config, 4)[1], 8); }); }},
        MalformedCase{"EndpointShort", [] { return With([](Descriptors& d) { Truncate(d.config, Find(d.config, 5)[0], 6); }); }},
        MalformedCase{"VcHeaderShort",
                      [] { return With([](Descriptors& d) { Truncate(d.config, Find(d.config, 0x24, 1, 1)[0], 11); }); }},
        MalformedCase{"VcHeaderSubtype",
                      [] { return With([](Descriptors& d) { d.config[Find(d.config, 0x24, 1, 1)[0] + 2] = 3; }); }},
        MalformedCase{"ProcessingUnitShort", [] {
                        return With([](Descriptors& d) {
                          const size_t at = Find(d.config, 0x24, 5, 1)[0];
                          Truncate(d.config, at, static_cast<uint8_t>(8 + d.config[at + 7] - 1));
                        });
                      }},
        MalformedCase{"ExtensionUnitShort", [] {
                        return With([](Descriptors& d) {
                          const size_t at = Find(d.config, 0x24, 6, 1)[0];
                          const uint8_t p = d.config[at + 21];
                          Truncate(d.config, at, static_cast<uint8_t>(24 + p + d.config[at + 22 + p] - 1));
                        });
                      }},
        MalformedCase{"InputHeaderShort",
                      [] { return With([](Descriptors& d) { Truncate(d.config, Find(d.config, 0x24, 1, 2)[0], 12); }); }},
        MalformedCase{"UncompressedFormatShort",
                      [] { return With([](Descriptors& d) { Truncate(d.config, Find(d.config, 0x24, 4, 2)[0], 26); }); }},
        MalformedCase{"MjpegFormatShort",
                      [] { return With([](Descriptors& d) { Truncate(d.config, Find(d.config, 0x24, 6, 2)[0], 10); }); }},
        MalformedCase{"FrameShortForItsIntervals", [] {
                        return With([](Descriptors& d) {
                          const size_t at = Find(d.config, 0x24, 5, 2)[0];
                          Truncate(d.config, at, static_cast<uint8_t>(d.config[at] - 4));
                        });
                      }},
        MalformedCase{"ContinuousFrameShort", [] {
                        return With([](Descriptors& d) {
                          const size_t at = Find(d.config, 0x24, 7, 2)[0];
                          d.config[at + 25] = 0;
                          Truncate(d.config, at, 34);
                        });
                      }},
        MalformedCase{"StillFrameShort", [] {
                        return With([](Descriptors& d) {
                          const size_t at = Find(d.config, 0x24, 3, 2)[0];
                          Truncate(d.config, at, static_cast<uint8_t>(6 + 4 * d.config[at + 4] - 1));
                        });
                      }}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kvz::descriptortest
