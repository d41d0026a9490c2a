#include "driver/device/camera_register_access.h"

#include "driver/controls/control_constants.h"
#include "driver/controls/extension_unit_handler.h"
#include "common/sensor_register.h"
#include "usb/usb_device.h"

namespace kvz {
namespace {

bool HasRegisterControls(const ExtensionUnitHandler* vendorUnit) {
  return HasExtensionControl(vendorUnit, kXuRegisterAddress) && HasExtensionControl(vendorUnit, kXuRegisterData);
}

}  // namespace

NTSTATUS ReadCameraRegister(ExtensionUnitHandler* vendorUnit, USHORT address, UCHAR* value) {
  PAGED_CODE();
  if (!vendorUnit || !value || !HasRegisterControls(vendorUnit)) return STATUS_INVALID_PARAMETER;
  return ReadSensorRegister(vendorUnit->Device()->Services(), address, value);
}

NTSTATUS WriteCameraRegister(ExtensionUnitHandler* vendorUnit, USHORT address, UCHAR value) {
  PAGED_CODE();
  if (!vendorUnit || !HasRegisterControls(vendorUnit)) return STATUS_INVALID_PARAMETER;
  return WriteSensorRegister(vendorUnit->Device()->Services(), address, value);
}

}  // namespace kvz
