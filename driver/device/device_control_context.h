// The device's control context, what the property sets and the settings loader find as the KS
// device's Context (DeviceOf): the control handlers, the frame size the region set fits to, the
// resume flag, and the way to the device's pins. The device holds it; CameraOf finds the device
// behind it for the device's own dispatch.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "driver/controls/camera_device_controls.h"

namespace kvz {

class CameraDeviceBase;
class CameraDevice;

class DeviceControlContext final : public CameraDeviceControls {
 public:
  explicit DeviceControlContext(CameraDeviceBase* device);
  DeviceControlContext(const DeviceControlContext&) = delete;
  DeviceControlContext& operator=(const DeviceControlContext&) = delete;
  ~DeviceControlContext() = default;

  CameraDeviceBase* Device() const { return device_; }

  // --- CameraDeviceCore, FaceWindowTarget and FaceWorkHost: the device's.
  UsbDevice* GetUsbDevice() override;
  DeviceSettings* GetSettings() override;
  NTSTATUS SetFaceRectangle(const RegionRect& rect, LONG width, LONG height) override;
  VOID SetFaceWorkFlags(LONG bits) override;
  VOID ClearFaceWorkFlags(LONG bits) override;

  // --- CameraDeviceControls.
  CameraControlHandler* GetCameraControlHandler() override;
  VideoProcAmpHandler* GetVideoProcAmpHandler() override;
  PrivateControlHandler* GetPrivateControlHandler() override;
  RegionControlHandler* GetRegionControlHandler() override;
  ExtensionUnitHandler* FindExtensionUnit(const GUID& set) override;
  bool HasFaceExposureWindow() override;
  FlickerControl* GetFlickerControl() override;
  NTSTATUS ClearFaceExposure() override;
  VOID GetFrameSize(LONG* width, LONG* height) override;
  LONG GetIdleState() override;
  bool GetResumeFlag() override;
  VOID ClearResumeFlag() override;
  PinDevice* GetPinDevice() override;

  // The capture stream's negotiated frame size (PinDevice::SetStreamFormat).
  VOID SetFrameSize(LONG width, LONG height);
  // System sleep: the next settings load knows the camera came back from it.
  VOID MarkResume() { InterlockedExchange(&resumeFlag_, 1); }

 private:
  // Every member is initialised here: the pool hands out blocks that are not zeroed.
  CameraDeviceBase* device_;
  volatile LONG width_{};
  volatile LONG height_{};
  volatile LONG resumeFlag_{};
};

// The camera device behind a KS object's control context (DeviceOf); null without one.
CameraDevice* CameraOf(PVOID ksObject);

}  // namespace kvz
