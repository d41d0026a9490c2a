// What the control property sets and the settings loader need of the camera device. The
// kernel-streaming device's Context holds the device's control context as this interface; until the Context is
// set the handlers answer without touching anything.
#pragma once
#include <wdm.h>
#include <ks.h>

#include "common/face_services.h"

namespace kvz {

class UsbDevice;
class DeviceSettings;
class CameraControlHandler;
class VideoProcAmpHandler;
class PrivateControlHandler;
class RegionControlHandler;
class ExtensionUnitHandler;
class PinDevice;
class FlickerControl;

// The camera's USB endpoint and its settings, for the property sets and the pins alike.
class CameraDeviceCore {
 public:
  virtual UsbDevice* GetUsbDevice() = 0;
  virtual DeviceSettings* GetSettings() = 0;

 protected:
  CameraDeviceCore() = default;
  ~CameraDeviceCore() = default;
};

class CameraDeviceControls : public FaceWorkHost, public FaceWindowTarget, public CameraDeviceCore {
 public:

  virtual CameraControlHandler* GetCameraControlHandler() = 0;
  virtual VideoProcAmpHandler* GetVideoProcAmpHandler() = 0;
  virtual PrivateControlHandler* GetPrivateControlHandler() = 0;
  virtual RegionControlHandler* GetRegionControlHandler() = 0;
  // The handler of the extension unit whose GUID is the set, or null.
  virtual ExtensionUnitHandler* FindExtensionUnit(const GUID& set) = 0;
  // The camera has a vendor extension unit with the face-exposure window control.
  virtual bool HasFaceExposureWindow() = 0;

  // Flicker detection of the frame processor (postproc/flicker/flicker_control.h).
  virtual FlickerControl* GetFlickerControl() = 0;

  // Switches the face-region exposure's window off; a result the callers may ignore (the window
  // itself is set through FaceWindowTarget).
  virtual NTSTATUS ClearFaceExposure() = 0;
  virtual VOID GetFrameSize(LONG* width, LONG* height) = 0;
  // Busy count of the idle manager: non-zero while a filter instance holds the device.
  virtual LONG GetIdleState() = 0;

  // Set before system sleep; the settings loader consults and clears it.
  virtual bool GetResumeFlag() = 0;
  virtual VOID ClearResumeFlag() = 0;

  // What the capture filter and its pins use; a device without pins answers null.
  virtual PinDevice* GetPinDevice() { return nullptr; }

 protected:
  CameraDeviceControls() = default;
  ~CameraDeviceControls() = default;
};

// The one way from a kernel-streaming object (device, filter factory, filter or pin) to the camera
// device's control context its KS device holds as Context; null when the object or the Context is missing. A request
// reaches it through its filter: DeviceOf(KsGetFilterFromIrp(irp)).
CameraDeviceControls* DeviceOf(PVOID ksObject);

}  // namespace kvz
