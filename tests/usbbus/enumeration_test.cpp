#include <gtest/gtest.h>

#include "kvz/usb_bus.h"
#include "simcam/camera_description.h"
#include "simcam/camera_profile.h"
#include "simcam/sim_camera.h"
#include "support/bus_client.h"

namespace kvz::usb {
namespace {

using testing::BusClient;
using testing::TestGuids;

struct EnumerationCase {
  const char* name;
  simcam::CameraProfile (*make)();
  bool bulk;
  std::vector<uint16_t> alternates;  // MaximumPacketSize of the streaming pipe per alternate setting 1..n
};

const EnumerationCase kCases[] = {
    {"HighSpeed", [] { return simcam::HighSpeedIsochCamera(TestGuids()); }, false, {128, 512, 1024, 2048, 3072}},
    {"SuperSpeed", [] { return simcam::SuperSpeedIsochCamera(TestGuids()); }, false, {1024, 3072, 8192, 16384, 24576, 49152}},
    {"Bulk", [] { return simcam::BulkCamera(TestGuids()); }, true, {}},
    {"Minimal", [] { return simcam::MinimalCamera(); }, false, {512, 1024, 3072}},
};

class EnumerationTest : public ::testing::TestWithParam<EnumerationCase> {};

TEST_P(EnumerationTest, ConfigurationAndAlternateSettingsGiveTheirPipes) {
  const EnumerationCase& c = GetParam();
  UsbBus bus;
  auto camera = std::make_shared<simcam::SimCamera>(c.make());
  BusClient client(bus.Plug(camera));

  std::vector<uint8_t> device;
  ASSERT_EQ(client.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 18, &device), STATUS_SUCCESS);
  EXPECT_EQ(device, camera->DeviceDescriptor());
  EXPECT_EQ(client.ReadConfiguration(), camera->ConfigurationDescriptor());

  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  EXPECT_NE(client.ConfigurationHandle(), nullptr);
  PUSBD_INTERFACE_INFORMATION streaming = client.Interface(1);
  EXPECT_EQ(streaming->Class, CC_VIDEO);
  EXPECT_EQ(streaming->SubClass, SC_VIDEOSTREAMING);
  ASSERT_EQ(streaming->NumberOfPipes, c.bulk ? 1u : 0u);
  if (c.bulk) {
    EXPECT_EQ(streaming->Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(streaming->Pipes[0].MaximumPacketSize, 512);
    EXPECT_EQ(streaming->Pipes[0].EndpointAddress, 0x81);
  }
  PUSBD_INTERFACE_INFORMATION control = client.Interface(0);
  EXPECT_EQ(control->SubClass, SC_VIDEOCONTROL);
  if (camera->Layout().InterruptEndpoint()) {
    ASSERT_EQ(control->NumberOfPipes, 1u);
    EXPECT_EQ(control->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(control->Pipes[0].MaximumPacketSize, 16);
  }

  for (size_t alt = 1; alt <= c.alternates.size(); ++alt) {
    ASSERT_EQ(client.SelectAlternate(1, static_cast<uint8_t>(alt)), STATUS_SUCCESS) << alt;
    PUSBD_INTERFACE_INFORMATION info = client.Interface(1);
    EXPECT_EQ(info->AlternateSetting, alt);
    ASSERT_EQ(info->NumberOfPipes, 1u);
    EXPECT_EQ(info->Pipes[0].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(info->Pipes[0].MaximumPacketSize, c.alternates[alt - 1]) << alt;
    EXPECT_NE(info->Pipes[0].PipeHandle, nullptr);
    EXPECT_EQ(camera->Snapshot().streamingAlternate, alt);
  }
  ASSERT_EQ(client.SelectAlternate(1, 0), STATUS_SUCCESS);
  EXPECT_EQ(client.Interface(1)->NumberOfPipes, c.bulk ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Profiles, EnumerationTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<EnumerationCase>& i) { return std::string(i.param.name); });

TEST(Enumeration, SuccessCompletesAsynchronouslyAtDispatchLevel) {
  UsbBus bus;
  BusClient client(bus.Plug(std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids()))));
  std::vector<uint8_t> buffer(18);
  URB urb{};
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), USB_DEVICE_DESCRIPTOR_TYPE, 0, 0,
                               buffer.data(), nullptr, 18, nullptr);
  auto r = client.SubmitAsync(&urb);
  EXPECT_EQ(r->callStatus, STATUS_PENDING);
  ASSERT_TRUE(r->Wait());
  EXPECT_FALSE(r->completedInsideCall);
  EXPECT_EQ(r->completionIrql, DISPATCH_LEVEL);
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
}

TEST(Enumeration, ImmediateFailuresMayCompleteInsideTheCall) {
  UsbBus bus;
  BusClient client(bus.Plug(std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids()))));
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  URB urb{};
  std::vector<uint8_t> data(64);
  UsbBuildInterruptOrBulkTransferRequest(&urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                         reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), data.data(), nullptr, 64,
                                         USBD_TRANSFER_DIRECTION_IN, nullptr);
  auto r = client.SubmitAsync(&urb);
  EXPECT_EQ(r->callStatus, STATUS_INVALID_PARAMETER);
  ASSERT_TRUE(r->Wait(0));
  EXPECT_TRUE(USBD_ERROR(urb.UrbHeader.Status));
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  URB bad{};
  bad.UrbHeader.Length = sizeof(struct _URB_HEADER);
  bad.UrbHeader.Function = 0x0030;
  EXPECT_EQ(client.Submit(&bad), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bad.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
}

TEST(Enumeration, SelectInterfaceOfAMissingAlternateFails) {
  UsbBus bus;
  BusClient client(bus.Plug(std::make_shared<simcam::SimCamera>(simcam::MinimalCamera())));
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  USBD_STATUS urbStatus = 0;
  EXPECT_FALSE(NT_SUCCESS(client.SelectAlternate(1, 9, &urbStatus)));
  EXPECT_TRUE(USBD_ERROR(urbStatus));
}

TEST(Enumeration, RawDescriptorProfileEnumerates) {
  const simcam::CameraProfile built = simcam::SuperSpeedIsochCamera(TestGuids());
  std::vector<uint8_t> bytes = built.deviceDescriptor;
  bytes.insert(bytes.end(), built.configurationDescriptor.begin(), built.configurationDescriptor.end());
  const simcam::VendorGuids guids = TestGuids();
  auto raw = simcam::RawDescriptorProfile(bytes, &guids);
  ASSERT_TRUE(raw.has_value());
  EXPECT_EQ(raw->speed, Speed::Super);
  UsbBus bus;
  BusClient client(bus.Plug(std::make_shared<simcam::SimCamera>(*raw)));
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  ASSERT_EQ(client.SelectAlternate(1, 6), STATUS_SUCCESS);
  EXPECT_EQ(client.Interface(1)->Pipes[0].MaximumPacketSize, 49152);
}

TEST(Enumeration, CameraThatIsNotTheFirstFunction) {
  simcam::CameraDescription d = simcam::HighSpeedIsochDescription(TestGuids());
  d.firstInterface = 2;
  const simcam::VendorGuids guids = TestGuids();
  auto camera = std::make_shared<simcam::SimCamera>(simcam::ProfileFromDescription(d, &guids));
  EXPECT_EQ(camera->Layout().controlInterface, 2);
  EXPECT_EQ(camera->Layout().streamingInterface, 3);
  UsbBus bus;
  PortOptions options;
  options.interfaceNumber = 2;
  UsbPortHandle port = bus.Plug(camera, options);
  EXPECT_EQ(port.HardwareIds()[0], u"USB\\VID_1D6B&PID_0102&REV_0100&MI_02");
  BusClient client(port);
  ASSERT_EQ(client.Configure(), STATUS_SUCCESS);
  ASSERT_EQ(client.SelectAlternate(3, 5), STATUS_SUCCESS);
  EXPECT_EQ(client.Interface(3)->Pipes[0].MaximumPacketSize, 3072);
  std::vector<uint8_t> probe(26);
  EXPECT_EQ(client.ClassRequest(true, GET_CUR, VS_PROBE_CONTROL << 8, 0x0003, &probe), STATUS_SUCCESS);
  std::vector<uint8_t> contrast(2);
  EXPECT_EQ(client.ClassRequest(true, GET_CUR, PU_CONTRAST_CONTROL << 8, 0x0202, &contrast), STATUS_SUCCESS);
  // Interface 0 belongs to another function of the device.
  EXPECT_EQ(client.ClassRequest(true, GET_CUR, PU_CONTRAST_CONTROL << 8, 0x0200, &contrast), STATUS_UNSUCCESSFUL);
}

TEST(Enumeration, HardwareIdentifiersNameTheFunction) {
  UsbBus bus;
  UsbPortHandle port = bus.Plug(std::make_shared<simcam::SimCamera>(simcam::HighSpeedIsochCamera(TestGuids())));
  const std::vector<std::u16string> ids = port.HardwareIds();
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0], u"USB\\VID_1D6B&PID_0102&REV_0100&MI_00");
  EXPECT_EQ(ids[1], u"USB\\VID_1D6B&PID_0102&MI_00");
  EXPECT_EQ(ids[0].substr(31, 2), u"MI");
  EXPECT_EQ(port.Description().hardwareIds, ids);
  EXPECT_TRUE(port.Description().capabilities.SurpriseRemovalOK);
}

}  // namespace
}  // namespace kvz::usb
