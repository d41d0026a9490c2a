#include "common/sensor_register.h"

namespace kvz {
namespace {

NTSTATUS SelectRegister(CameraServices* device, USHORT address) {
  USHORT bytes = address;  // little-endian on the wire, as in memory
  return device->SetClassRequest(kRequestSetCur, SelectorValue(kXuRegisterAddress), device->VendorUnitIndex(),
                                 &bytes, sizeof(bytes));
}

}  // namespace

NTSTATUS ReadSensorRegister(CameraServices* device, USHORT address, UCHAR* value) {
  if (!device || !value) return STATUS_INVALID_PARAMETER;
  device->AcquireRegisterAccess();
  NTSTATUS status = SelectRegister(device, address);
  if (status == STATUS_SUCCESS) {
    UCHAR byte = *value;
    status = device->GetClassRequest(kRequestGetCur, SelectorValue(kXuRegisterData), device->VendorUnitIndex(),
                                     &byte, 1);
    if (NT_SUCCESS(status)) *value = byte;
  }
  device->ReleaseRegisterAccess();
  return status;
}

NTSTATUS WriteSensorRegister(CameraServices* device, USHORT address, UCHAR value) {
  if (!device) return STATUS_INVALID_PARAMETER;
  device->AcquireRegisterAccess();
  NTSTATUS status = SelectRegister(device, address);
  if (status == STATUS_SUCCESS) {
    status = device->SetClassRequest(kRequestSetCur, SelectorValue(kXuRegisterData), device->VendorUnitIndex(),
                                     &value, 1);
  }
  device->ReleaseRegisterAccess();
  return status;
}

}  // namespace kvz
