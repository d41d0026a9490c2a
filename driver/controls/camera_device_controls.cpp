#include "driver/controls/camera_device_controls.h"

namespace kvz {

CameraDeviceControls* DeviceOf(PVOID ksObject) {
  PKSDEVICE device = ksObject ? KsGetDevice(ksObject) : nullptr;
  return device ? static_cast<CameraDeviceControls*>(device->Context) : nullptr;
}

}  // namespace kvz
