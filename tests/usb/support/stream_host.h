// The camera device's streaming alternate-setting selection, as the test stream uses it: the
// first alternate setting whose bandwidth carries the payload (the last when none does), zero
// bandwidth remembered by a mark. Every selection sent is recorded.
#pragma once

#include <usbdlib.h>

#include <algorithm>
#include <vector>

#include "test_camera_device.h"
#include "usb/test_stream_reader.h"

namespace kvz::usbtest {

class BenchStreamHost final : public TestStreamHost {
 public:
  explicit BenchStreamHost(TestCameraDevice* device) : device_(device) {}
  ~BenchStreamHost() = default;

  NTSTATUS SelectStreamingAltSetting(ULONG payloadSize) override {
    if (!zeroBandwidth) return STATUS_SUCCESS;
    BandwidthEntry table[kMaxAlternateSettings];
    const ULONG count = device_->units->CopyBandwidthTable(table);
    UCHAR alternate = count ? static_cast<UCHAR>(count - 1) : 0;
    for (ULONG i = 0; i < count; ++i) {
      if (table[i].BytesPerInterval >= payloadSize) {
        alternate = static_cast<UCHAR>(i);
        break;
      }
    }
    const NTSTATUS status = Select(alternate);
    zeroBandwidth = false;
    if (!NT_SUCCESS(status)) SelectZeroBandwidth();
    return status;
  }

  NTSTATUS SelectZeroBandwidth() override {
    if (zeroBandwidth) return STATUS_SUCCESS;
    const NTSTATUS status = Select(0);
    if (NT_SUCCESS(status)) zeroBandwidth = true;
    return status;
  }

  VOID ClearZeroBandwidthMark() override { zeroBandwidth = false; }
  bool IsUsb3() override { return device_->usb3; }

  bool zeroBandwidth = true;
  std::vector<UCHAR> selections;

 private:
  NTSTATUS Select(UCHAR alternate) {
    selections.push_back(alternate);
    PUSBD_INTERFACE_INFORMATION record = device_->streamingInterface;
    const ULONG size = GET_SELECT_INTERFACE_REQUEST_SIZE(1);
    std::vector<UCHAR> block(std::max<size_t>(size, sizeof(URB)), 0);
    auto* urb = reinterpret_cast<PURB>(block.data());
    UsbBuildSelectInterfaceRequest(urb, size, device_->configurationHandle, record->InterfaceNumber, alternate);
    urb->UrbSelectInterface.Interface.NumberOfPipes = 1;
    NTSTATUS status = device_->usb.SubmitUrbSync(urb);
    if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
      RtlCopyMemory(record, &urb->UrbSelectInterface.Interface, sizeof(USBD_INTERFACE_INFORMATION));
      record->Length = sizeof(USBD_INTERFACE_INFORMATION);
    }
    return status;
  }

  TestCameraDevice* device_;
};

}  // namespace kvz::usbtest
