#include "driver/camera_register_access.h"

#include "driver/control_constants.h"
#include "driver/extension_unit_handler.h"
#include "usb/usb_device.h"

namespace kvz {
namespace {

constexpr ULONG kAddressBytes = 2;
constexpr ULONG kDataBytes = 1;

}  // namespace

NTSTATUS ReadCameraRegister(ExtensionUnitHandler* vendorUnit, USHORT address, UCHAR* value) {
  PAGED_CODE();
  if (!vendorUnit || !value) return STATUS_INVALID_PARAMETER;
  UsbDevice* device = vendorUnit->Device();
  device->AcquireRegisterAccess();
  USHORT wireAddress = address;
  NTSTATUS status = WriteExtensionControl(vendorUnit, kXuRegisterAddress, &wireAddress, kAddressBytes, kAddressBytes);
  if (NT_SUCCESS(status)) {
    UCHAR byte = 0;
    status = ReadExtensionControl(vendorUnit, kXuRegisterData, &byte, kDataBytes, kDataBytes);
    if (NT_SUCCESS(status)) *value = byte;
  }
  device->ReleaseRegisterAccess();
  return status;
}

NTSTATUS WriteCameraRegister(ExtensionUnitHandler* vendorUnit, USHORT address, UCHAR value) {
  PAGED_CODE();
  if (!vendorUnit) return STATUS_INVALID_PARAMETER;
  UsbDevice* device = vendorUnit->Device();
  device->AcquireRegisterAccess();
  USHORT wireAddress = address;
  NTSTATUS status = WriteExtensionControl(vendorUnit, kXuRegisterAddress, &wireAddress, kAddressBytes, kAddressBytes);
  if (NT_SUCCESS(status)) status = WriteExtensionControl(vendorUnit, kXuRegisterData, &value, kDataBytes, kDataBytes);
  device->ReleaseRegisterAccess();
  return status;
}

}  // namespace kvz
