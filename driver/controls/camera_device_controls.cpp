#include "driver/controls/camera_device_controls.h"

#include "usb/usb_device.h"

namespace kvz {

CameraDeviceControls* DeviceFromKsDevice(PKSDEVICE device) {
  return device ? static_cast<CameraDeviceControls*>(device->Context) : nullptr;
}

CameraDeviceControls* DeviceFromIrp(PIRP irp) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  return filter ? DeviceFromKsDevice(KsGetDevice(filter)) : nullptr;
}

CameraDeviceControls* DeviceFromUsbDevice(UsbDevice* device) {
  return device ? DeviceFromKsDevice(device->KsDevice()) : nullptr;
}

}  // namespace kvz
