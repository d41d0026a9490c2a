#include "driver/controls/extension_unit_handler.h"

#include "driver/controls/camera_device_controls.h"
#include "driver/controls/control_property_data.h"
#include "driver/controls/uvc_control.h"
#include "usb/usb_device.h"
#include "uvcmodel/uvc_limits.h"
#include "uvcmodel/uvc_model.h"

namespace kvz {
namespace {

constexpr USHORT kInitialLength = 2;

// A control length the camera reports: 0 keeps the current one, a huge one is capped.
USHORT SaneLength(USHORT reported, USHORT current) {
  if (reported == 0) return current;
  return reported > kXuMaxControlLength ? kXuMaxControlLength : reported;
}

// Client requests never land between the two halves of a register access, and a control's length
// changes only under this lock.
class RegisterLockHolder {
 public:
  explicit RegisterLockHolder(UsbDevice* device) : device_(device) { device_->AcquireRegisterAccess(); }
  ~RegisterLockHolder() { device_->ReleaseRegisterAccess(); }

 private:
  UsbDevice* device_;
};

UvcControl* ControlOf(UvcControl* const* controls, ULONG selector) {
  return selector < ExtensionUnitHandler::kSelectors ? controls[selector] : nullptr;
}

// Under the register lock: the length this request carries, after a caller's replacement.
USHORT TakeLength(UvcControl* control, ULONG length) {
  if (length) control->SetLength(SaneLength(static_cast<USHORT>(length & 0xFFFF), control->Length()));
  return control->Length();
}

USHORT ValueOf(const UvcControl* control) { return static_cast<USHORT>(control->Selector() << 8); }

}  // namespace

ExtensionUnitHandler::ExtensionUnitHandler(const UvcUnit& unit, UsbDevice* device)
    : device_(device),
      bmControls_(unit.Controls),
      controlSize_(unit.Controls ? unit.ControlSize : 0),
      guid_(unit.Guid),
      unitId_(unit.Id),
      interfaceNumber_(unit.Interface) {
  RtlZeroMemory(items_, sizeof(items_));
  // What the descriptor lacks of the identity stays zero.
  const ULONG length = unit.Descriptor ? unit.Length : 0;
  for (ULONG i = 0; i < kXuIdentitySize && kExtensionUnitGuid + i < length; ++i)
    identity_[i] = unit.Descriptor[kExtensionUnitGuid + i];
}

ExtensionUnitHandler::~ExtensionUnitHandler() {
  for (UvcControl*& control : controls_) {
    DestroyUvcControl(control);
    control = nullptr;
  }
}

ULONG CountSetBits(const UCHAR* bytes, ULONG count) {
  ULONG bits = 0;
  for (ULONG i = 0; bytes && i < count; ++i) {
    for (UCHAR b = bytes[i]; b; b &= static_cast<UCHAR>(b - 1)) ++bits;
  }
  return bits;
}

NTSTATUS ExtensionUnitHandler::BuildPropertySet() {
  PAGED_CODE();
  StartPropertyItems(items_);
  if (CountSetBits(bmControls_, controlSize_) > kSelectors) return STATUS_INSUFFICIENT_RESOURCES;

  if (NT_SUCCESS(BuildRangedPropertyItem(this, 0, nullptr, ExtensionUnitGetHandler, ExtensionUnitSetHandler,
                                         &items_[propertyItemCount_], kValuesAsRead))) {
    items_[propertyItemCount_++].MinData = 0;
  }
  for (ULONG selector = 1; selector <= kXuMaxControls; ++selector) {
    const ULONG byte = (selector - 1) / 8;
    if (byte >= controlSize_ || !(bmControls_[byte] & (1u << ((selector - 1) % 8)))) continue;
    if (NT_SUCCESS(BuildRangedPropertyItem(this, selector, nullptr, ExtensionUnitGetHandler, ExtensionUnitSetHandler,
                                           &items_[propertyItemCount_], kValuesAsRead))) {
      items_[propertyItemCount_++].MinData = 0;
    }
    UvcControl* control = CreateUvcControl(device_, static_cast<USHORT>(selector), UnitIndex(),
                                           kInitialLength, kTagUnitControl);
    controls_[selector] = control;
    if (!control) continue;
    USHORT reported = 0;
    if (NT_SUCCESS(control->GetLen(&reported))) control->SetLength(SaneLength(reported, control->Length()));
  }
  return STATUS_SUCCESS;
}

NTSTATUS ExtensionUnitHandler::Get(PKSPROPERTY property, PVOID data, ULONG dataLength) {
  if (!property || !data) return STATUS_INVALID_PARAMETER;
  return ReadExtensionControl(this, property->Id, data, dataLength, 0);
}

NTSTATUS ExtensionUnitHandler::Set(PKSPROPERTY property, PVOID data, ULONG dataLength) {
  if (!property || !data) return STATUS_INVALID_PARAMETER;
  return WriteExtensionControl(this, property->Id, data, dataLength, 0);
}

bool HasExtensionControl(const ExtensionUnitHandler* handler, ULONG selector) {
  return ControlOf(handler->controls_, selector) != nullptr;
}

NTSTATUS GetControlLength(ExtensionUnitHandler* handler, ULONG selector, USHORT* length) {
  UvcControl* control = ControlOf(handler->controls_, selector);
  if (!length || !control) return STATUS_INVALID_PARAMETER;
  RegisterLockHolder lock(handler->device_);
  USHORT reported = 0;
  const NTSTATUS status = control->GetLen(&reported);
  if (NT_SUCCESS(status)) {
    control->SetLength(SaneLength(reported, control->Length()));
    *length = control->Length();
  }
  return status;
}

// The control's length is taken once, under the register lock, and that one value bounds the
// buffer check, the transfer and what the caller is told: a size query may change it meanwhile.
NTSTATUS ReadExtensionControl(ExtensionUnitHandler* handler, ULONG selector, PVOID buffer, ULONG bufferLength,
                              ULONG length, ULONG* transferred) {
  if (!buffer) return STATUS_INVALID_PARAMETER;
  if (selector == 0) {
    if (bufferLength < kXuIdentitySize) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(buffer, handler->identity_, kXuIdentitySize);
    if (transferred) *transferred = kXuIdentitySize;
    return STATUS_SUCCESS;
  }
  UvcControl* control = ControlOf(handler->controls_, selector);
  if (!control) return STATUS_INVALID_PARAMETER;
  RegisterLockHolder lock(handler->device_);
  const USHORT controlLength = TakeLength(control, length);
  if (bufferLength < controlLength) return STATUS_BUFFER_TOO_SMALL;
  RtlZeroMemory(buffer, controlLength);
  const NTSTATUS status = handler->device_->GetClassRequest(kRequestGetCur, ValueOf(control), control->UnitIndex(),
                                                            buffer, controlLength);
  if (NT_SUCCESS(status) && transferred) *transferred = controlLength;
  return status;
}

NTSTATUS WriteExtensionControl(ExtensionUnitHandler* handler, ULONG selector, PVOID buffer, ULONG bufferLength,
                               ULONG length) {
  if (!buffer) return STATUS_INVALID_PARAMETER;
  UvcControl* control = ControlOf(handler->controls_, selector);
  if (!control) return STATUS_INVALID_PARAMETER;
  RegisterLockHolder lock(handler->device_);
  const USHORT controlLength = TakeLength(control, length);
  if (bufferLength < controlLength) return STATUS_BUFFER_TOO_SMALL;
  return handler->device_->SetClassRequest(kRequestSetCur, ValueOf(control), control->UnitIndex(), buffer,
                                           controlLength);
}

NTSTATUS NTAPI ExtensionUnitGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  CameraDeviceControls* device = DeviceOf(KsGetFilterFromIrp(irp));
  ExtensionUnitHandler* handler = device ? device->FindExtensionUnit(property->Set) : nullptr;
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  const ULONG length = PropertyDataLength(irp);
  if (handler && data && length) {
    ULONG transferred = 0;
    status = ReadExtensionControl(handler, property->Id, data, length, 0, &transferred);
    if (NT_SUCCESS(status)) irp->IoStatus.Information = transferred;
  } else if (handler) {
    USHORT controlLength = 0;
    if (NT_SUCCESS(GetControlLength(handler, property->Id, &controlLength))) {
      irp->IoStatus.Information = controlLength;
    } else if (property->Id == 0) {
      irp->IoStatus.Information = kXuIdentitySize;
    }
    status = STATUS_BUFFER_OVERFLOW;
  }
  irp->IoStatus.Status = status;
  return status;
}

NTSTATUS NTAPI ExtensionUnitSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  CameraDeviceControls* device = DeviceOf(KsGetFilterFromIrp(irp));
  ExtensionUnitHandler* handler = device ? device->FindExtensionUnit(property->Set) : nullptr;
  const NTSTATUS status = handler ? handler->Set(property, data, PropertyDataLength(irp)) : STATUS_NOT_SUPPORTED;
  irp->IoStatus.Status = status;
  return status;
}

}  // namespace kvz
