// What the camera device offers the pins and post-processing: the frame processor's pipeline and
// flicker detection, the face-exposure window and the device's view of a frame's settings.
#include "driver/device/camera_device.h"
#include "driver/device/camera_device_limits.h"
#include "driver/controls/control_constants.h"
#include "postproc/processor/frame_processor.h"
#include "driver/pins/unit_container.h"

namespace kvz {

VOID CameraDeviceBase::ResetFlickerDetection() {
  processor_.Flicker()->Reset(Services(), static_cast<UCHAR>(chipFamily_), 0);
}

// The camera's face-exposure window off (15 zero bytes to the vendor unit, under the
// face-exposure mutex). Only a camera whose vendor unit has the window.
NTSTATUS CameraDeviceBase::ClearFaceExposure() {
  if (!hasFaceExposureWindow_) return STATUS_SUCCESS;
  return processor_.FaceExposure()->ClearFaceExposureLocked();
}

NTSTATUS CameraDeviceBase::SetFaceRectangle(const RegionRect& rect, LONG width, LONG height) {
  return processor_.FaceExposure()->SetFaceRectangle(rect, width, height);
}

VOID CameraDeviceBase::ReadFaceWorkSwitches(FaceWorkSwitches* switches) {
  switches->faceDetectEnable = LoadSetting(settings_.faceDetectEnable);
  switches->autoExposal = LoadSetting(settings_.autoExposal);
  switches->workFlags = faceWork_.Read();
}

// Sensor registers exist only on an identified chip: without one, post-processing gets nothing
// to send register requests through (and measures no flicker).
CameraServices* CameraDeviceBase::Services() { return IsChipIdentified() ? usb_.Services() : nullptr; }

VOID CameraDeviceBase::ReadFrameSettings(FrameSettings* frame) const {
  const DeviceSettings& s = settings_;
  frame->privacy = LoadSetting(s.records[kRecordPrivacy].current);
  frame->zoomScale = LoadSetting(s.zoomScale);
  frame->panUpDownSize = LoadSetting(s.panUpDownSize);
  frame->panLeftRightSize = LoadSetting(s.panLeftRightSize);
  frame->hFlip = LoadSetting(s.hFlip);
  frame->vFlip = LoadSetting(s.vFlip);
  frame->powerLineFrequency = LoadSetting(s.records[kRecordPowerLine].current);
  frame->outDoor = LoadSetting(s.outDoor);
  frame->autoExposureMode = LoadSetting(s.autoExposureMode);
}

VOID CameraDeviceBase::StoreFlickerDetectValue(LONG value) { StoreSetting(settings_.flickerDetectValue, value); }

}  // namespace kvz
