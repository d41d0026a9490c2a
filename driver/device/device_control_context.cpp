// The device's control context: the property sets' view of the camera device.
#include "driver/device/device_control_context.h"

#include "driver/device/camera_device.h"
#include "driver/pins/unit_container.h"
#include "postproc/processor/frame_processor.h"
#include "usb/idle_manager.h"

namespace kvz {

DeviceControlContext::DeviceControlContext(CameraDeviceBase* device)
    : device_(device), width_(640), height_(480) {}

UsbDevice* DeviceControlContext::GetUsbDevice() { return device_->GetUsbDevice(); }

DeviceSettings* DeviceControlContext::GetSettings() { return device_->GetSettings(); }

NTSTATUS DeviceControlContext::SetFaceRectangle(const RegionRect& rect, LONG width, LONG height) {
  return device_->SetFaceRectangle(rect, width, height);
}

VOID DeviceControlContext::SetFaceWorkFlags(LONG bits) { device_->SetFaceWorkFlags(bits); }

VOID DeviceControlContext::ClearFaceWorkFlags(LONG bits) { device_->ClearFaceWorkFlags(bits); }

CameraControlHandler* DeviceControlContext::GetCameraControlHandler() {
  return device_->units_ ? device_->units_->CameraTerminal() : nullptr;
}

VideoProcAmpHandler* DeviceControlContext::GetVideoProcAmpHandler() {
  return device_->units_ ? device_->units_->ProcessingUnit() : nullptr;
}

PrivateControlHandler* DeviceControlContext::GetPrivateControlHandler() {
  return device_->units_ ? device_->units_->PrivateHandler() : nullptr;
}

RegionControlHandler* DeviceControlContext::GetRegionControlHandler() {
  return device_->units_ ? device_->units_->RegionHandler() : nullptr;
}

ExtensionUnitHandler* DeviceControlContext::FindExtensionUnit(const GUID& set) {
  return device_->units_ ? device_->units_->FindExtensionUnit(set) : nullptr;
}

bool DeviceControlContext::HasFaceExposureWindow() { return device_->hasFaceExposureWindow_; }

FlickerControl* DeviceControlContext::GetFlickerControl() { return &device_->processor_; }

NTSTATUS DeviceControlContext::ClearFaceExposure() { return device_->ClearFaceExposure(); }

VOID DeviceControlContext::GetFrameSize(LONG* width, LONG* height) {
  *width = ReadFlag(width_);
  *height = ReadFlag(height_);
}

VOID DeviceControlContext::SetFrameSize(LONG width, LONG height) {
  InterlockedExchange(&width_, width);
  InterlockedExchange(&height_, height);
}

LONG DeviceControlContext::GetIdleState() {
  return device_->idleManager_ ? device_->idleManager_->GetBusyCount() : 0;
}

bool DeviceControlContext::GetResumeFlag() { return ReadFlag(resumeFlag_) != 0; }

VOID DeviceControlContext::ClearResumeFlag() { InterlockedExchange(&resumeFlag_, 0); }

PinDevice* DeviceControlContext::GetPinDevice() { return device_; }

CameraDevice* CameraOf(PVOID ksObject) {
  auto* context = static_cast<DeviceControlContext*>(DeviceOf(ksObject));
  return context ? static_cast<CameraDevice*>(context->Device()) : nullptr;
}

}  // namespace kvz
