#include "driver/device/camera_register_access.h"

#include "common/camera_services.h"
#include "common/sensor_register.h"
#include "driver/controls/control_constants.h"
#include "driver/controls/extension_unit_handler.h"
#include "usb/usb_device.h"

namespace kvz {
namespace {

bool HasRegisterControls(const ExtensionUnitHandler* vendorUnit) {
  return HasExtensionControl(vendorUnit, kXuRegisterAddress) && HasExtensionControl(vendorUnit, kXuRegisterData);
}

// The register pair's path over the vendor unit's own controls: each half is that control's
// request with the pair's length, which the control keeps for later requests (two address bytes,
// one data byte), and is addressed to the unit the handler was built for.
class VendorUnitRegisters final : public CameraServices {
 public:
  explicit VendorUnitRegisters(ExtensionUnitHandler* unit) : unit_(unit) {}

  NTSTATUS GetClassRequest(UCHAR, USHORT value, USHORT, PVOID buffer, USHORT length) override {
    return ReadExtensionControl(unit_, value >> 8, buffer, length, length);
  }
  NTSTATUS SetClassRequest(UCHAR, USHORT value, USHORT, PVOID buffer, USHORT length) override {
    return WriteExtensionControl(unit_, value >> 8, buffer, length, length);
  }
  USHORT VendorUnitIndex() const override { return unit_->UnitIndex(); }
  VOID AcquireRegisterAccess() override { unit_->Device()->AcquireRegisterAccess(); }
  VOID ReleaseRegisterAccess() override { unit_->Device()->ReleaseRegisterAccess(); }

 private:
  ExtensionUnitHandler* unit_;
};

}  // namespace

NTSTATUS ReadCameraRegister(ExtensionUnitHandler* vendorUnit, USHORT address, UCHAR* value) {
  PAGED_CODE();
  if (!vendorUnit || !value || !HasRegisterControls(vendorUnit)) return STATUS_INVALID_PARAMETER;
  VendorUnitRegisters registers(vendorUnit);
  return ReadSensorRegister(&registers, address, value);
}

NTSTATUS WriteCameraRegister(ExtensionUnitHandler* vendorUnit, USHORT address, UCHAR value) {
  PAGED_CODE();
  if (!vendorUnit || !HasRegisterControls(vendorUnit)) return STATUS_INVALID_PARAMETER;
  VendorUnitRegisters registers(vendorUnit);
  return WriteSensorRegister(&registers, address, value);
}

}  // namespace kvz
