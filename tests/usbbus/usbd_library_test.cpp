#include <gtest/gtest.h>

#include <cstring>

#include "simcam/camera_profile.h"
#include "support/bus_client.h"
#include "usbdlib.h"
#include "uvc.h"

namespace kvz::usb {
namespace {

using testing::TestGuids;

std::vector<uint8_t> Configuration() { return simcam::HighSpeedIsochCamera(TestGuids()).configurationDescriptor; }

PUSB_CONFIGURATION_DESCRIPTOR AsConfig(std::vector<uint8_t>& bytes) {
  return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
}

TEST(ParseConfigurationDescriptorEx, WildcardsAndCriteria) {
  std::vector<uint8_t> bytes = Configuration();
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
  PUSB_INTERFACE_DESCRIPTOR any = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1);
  ASSERT_NE(any, nullptr);
  EXPECT_EQ(any->bInterfaceNumber, 0);
  PUSB_INTERFACE_DESCRIPTOR streaming = USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, CC_VIDEO, SC_VIDEOSTREAMING, -1);
  ASSERT_NE(streaming, nullptr);
  EXPECT_EQ(streaming->bInterfaceNumber, 1);
  EXPECT_EQ(streaming->bAlternateSetting, 0);
  PUSB_INTERFACE_DESCRIPTOR alt3 = USBD_ParseConfigurationDescriptorEx(config, config, 1, 3, -1, -1, -1);
  ASSERT_NE(alt3, nullptr);
  EXPECT_EQ(alt3->bAlternateSetting, 3);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 1, 9, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, 0xFF, -1, -1), nullptr);
}

TEST(ParseConfigurationDescriptorEx, StartPositionIsInclusive) {
  std::vector<uint8_t> bytes = Configuration();
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
  PUSB_INTERFACE_DESCRIPTOR first = USBD_ParseConfigurationDescriptorEx(config, config, 1, -1, -1, -1, -1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, first, 1, -1, -1, -1, -1), first);
  PUSB_INTERFACE_DESCRIPTOR next =
      USBD_ParseConfigurationDescriptorEx(config, reinterpret_cast<PUCHAR>(first) + first->bLength, 1, -1, -1, -1, -1);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->bAlternateSetting, 1);
  // Outside the configuration: nothing.
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, bytes.data() + bytes.size(), -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, nullptr, -1, -1, -1, -1, -1), nullptr);
}

TEST(ParseConfigurationDescriptorEx, StaysInsideMalformedDescriptors) {
  std::vector<uint8_t> bytes = Configuration();
  // wTotalLength cut just before the streaming interface: it must not be found.
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
  PUSB_INTERFACE_DESCRIPTOR streaming = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
  ASSERT_NE(streaming, nullptr);
  const size_t at = reinterpret_cast<PUCHAR>(streaming) - bytes.data();
  std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + at + 4);  // half a descriptor at the end
  AsConfig(cut)->wTotalLength = static_cast<USHORT>(cut.size());
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(cut), AsConfig(cut), 1, -1, -1, -1, -1), nullptr);
  // A descriptor of length 0 ends the walk.
  std::vector<uint8_t> zero = bytes;
  const size_t previous = [&] {
    size_t p = 0;
    while (p + zero[p] < at) p += zero[p];
    return p;
  }();
  zero[previous] = 0;
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(AsConfig(zero), AsConfig(zero), 1, -1, -1, -1, -1), nullptr);
}

TEST(CreateConfigurationRequestEx, RecordsPointIntoTheUrbWithRoomPerEndpoint) {
  std::vector<uint8_t> bytes = Configuration();
  PUSB_CONFIGURATION_DESCRIPTOR config = AsConfig(bytes);
  PUSB_INTERFACE_DESCRIPTOR control = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
  PUSB_INTERFACE_DESCRIPTOR streaming = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
  ASSERT_TRUE(control && streaming);
  // A driver that wants room for one pipe on the streaming interface says so in its copy.
  streaming->bNumEndpoints = 1;
  USBD_INTERFACE_LIST_ENTRY list[3] = {{control, nullptr}, {streaming, nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2));
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
  const PUCHAR begin = reinterpret_cast<PUCHAR>(urb);
  ASSERT_EQ(reinterpret_cast<PUCHAR>(list[0].Interface), reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface));
  EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface), reinterpret_cast<PUCHAR>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(1));
  EXPECT_LE(reinterpret_cast<PUCHAR>(list[1].Interface) + list[1].Interface->Length, begin + urb->UrbHeader.Length);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(list[i].Interface->Length, GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(list[i].Interface->InterfaceNumber, i);
    EXPECT_EQ(list[i].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[i].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  }
  ExFreePool(urb);
  USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, empty), nullptr);
}

TEST(Macros, SizesFollowTheRecords) {
  EXPECT_EQ(GET_USBD_INTERFACE_SIZE(1), sizeof(USBD_INTERFACE_INFORMATION));
  EXPECT_EQ(GET_USBD_INTERFACE_SIZE(3), sizeof(USBD_INTERFACE_INFORMATION) + 2 * sizeof(USBD_PIPE_INFORMATION));
  EXPECT_EQ(GET_SELECT_INTERFACE_REQUEST_SIZE(1), sizeof(struct _URB_SELECT_INTERFACE));
  EXPECT_EQ(GET_ISO_URB_SIZE(128), sizeof(struct _URB_ISOCH_TRANSFER) + 128 * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
  EXPECT_EQ(GET_ISO_URB_SIZE(128), 152u + 12 * 128);
  EXPECT_EQ(GET_SELECT_INTERFACE_REQUEST_SIZE(2), 56u + 24 * 2);
#endif
}

}  // namespace
}  // namespace kvz::usb
