#include "driver/controls/camera_device_controls.h"


namespace kvz {

CameraDeviceControls* DeviceFromKsDevice(PKSDEVICE device) {
  return device ? static_cast<CameraDeviceControls*>(device->Context) : nullptr;
}

CameraDeviceControls* DeviceFromIrp(PIRP irp) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  return filter ? DeviceFromKsDevice(KsGetDevice(filter)) : nullptr;
}

}  // namespace kvz
