// The tests' stand-in for the camera device (no test framework here: the fuzz targets use it
// too): a UsbDevice, the unit container, the pins' format tables, the descriptors and the settings; the KS device's Context
// holds it as CameraDeviceControls.
#pragma once

#include <ks.h>

#include "driver/controls/camera_device_controls.h"
#include "postproc/flicker/flicker_control.h"
#include "driver/settings/device_settings.h"
#include "usb/idle_manager.h"
#include "driver/pins/format_table_builder.h"
#include "driver/pins/unit_container.h"
#include "usb/usb_device.h"

namespace kvz::usbtest {

class TestCameraDevice : public CameraDeviceControls, public FlickerControl, public IdlePowerHost {
 public:
  explicit TestCameraDevice(PKSDEVICE device) : usb(device) {}
  virtual ~TestCameraDevice() = default;

  UsbDevice* GetUsbDevice() override { return &usb; }
  DeviceSettings* GetSettings() override { return &settings; }
  CameraControlHandler* GetCameraControlHandler() override { return units ? units->CameraTerminal() : nullptr; }
  VideoProcAmpHandler* GetVideoProcAmpHandler() override { return units ? units->ProcessingUnit() : nullptr; }
  PrivateControlHandler* GetPrivateControlHandler() override { return units ? units->PrivateHandler() : nullptr; }
  RegionControlHandler* GetRegionControlHandler() override { return units ? units->RegionHandler() : nullptr; }
  ExtensionUnitHandler* FindExtensionUnit(const GUID& set) override {
    return units ? units->FindExtensionUnit(set) : nullptr;
  }
  bool HasFaceExposureWindow() override { return units && units->HasFaceExposureWindow(); }
  FlickerControl* GetFlickerControl() override { return this; }
  // FlickerControl.
  ULONG FlickerState() override { return 0; }
  VOID RequestFlickerRedetect() override {}
  VOID ReleaseFlickerHold() override {}
  NTSTATUS ClearFaceExposure() override { return STATUS_SUCCESS; }
  NTSTATUS SetFaceRectangle(const RegionRect&, LONG, LONG) override { return STATUS_SUCCESS; }
  VOID GetFrameSize(LONG* width, LONG* height) override { *width = 640, *height = 480; }
  LONG GetIdleState() override { return 0; }
  VOID SetFaceWorkFlags(LONG) override {}
  VOID ClearFaceWorkFlags(LONG) override {}
  bool GetResumeFlag() override { return false; }
  VOID ClearResumeFlag() override {}
  // Recorded by the bench's set-power dispatch with interlocked writes, as the camera device
  // records them, and read the same way (the idle manager reads them on other threads).
  DEVICE_POWER_STATE GetPowerState() override {
    return static_cast<DEVICE_POWER_STATE>(InterlockedCompareExchange(&powerState, 0, 0));
  }
  DEVICE_POWER_STATE GetRequestedPowerState() override {
    return static_cast<DEVICE_POWER_STATE>(InterlockedCompareExchange(&requestedPowerState, 0, 0));
  }

  UsbDevice usb;
  DeviceSettings settings;

  UnitContainer* units = nullptr;
  PinFormats formats;
  PUCHAR deviceDescriptor = nullptr;
  PUCHAR configuration = nullptr;
  ULONG configurationLength = 0;
  KSAUTOMATION_TABLE filterAutomation{};
  KSNODE_DESCRIPTOR nodes[kMaxTopologyNodes]{};
  ULONG nodeCount = 0;
  ULONG pinCount = 2;
  PUSBD_INTERFACE_INFORMATION interruptInterface = nullptr;
  PUSBD_INTERFACE_INFORMATION streamingInterface = nullptr;
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
  ULONG bulk = 0;
  bool usb3 = false;
  volatile LONG powerState = PowerDeviceD0;
  volatile LONG requestedPowerState = PowerDeviceUnspecified;
};

}  // namespace kvz::usbtest
