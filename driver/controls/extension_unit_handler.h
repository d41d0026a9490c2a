// One property set per UVC extension unit, keyed by its GUID: item 0 the unit's identity, items
// 1 to 32 its controls as raw bytes. The vendor unit's handler also carries the one-byte camera
// registers (camera_register_access.h).
#pragma once
#include <wdm.h>
#include <ks.h>

#include "driver/controls/control_constants.h"
#include "driver/controls/control_handler.h"

namespace kvz {

class UsbDevice;
class UvcControl;
struct UvcUnit;

class ExtensionUnitHandler final : public ControlHandler {
 public:
  static constexpr ULONG kSelectors = kXuMaxControls + 1;

  // unit: the extension unit, whose bmControls stay readable until the set is built; its
  // interface is the low byte of every request's wIndex. The identity (item 0) is its descriptor's
  // bytes from the GUID on, as far as the descriptor has them.
  ExtensionUnitHandler(const UvcUnit& unit, UsbDevice* device);
  ~ExtensionUnitHandler();

  // STATUS_INSUFFICIENT_RESOURCES and no items when the unit announces more than 33 controls.
  NTSTATUS BuildPropertySet() override;
  NTSTATUS Get(PKSPROPERTY property, PVOID data, ULONG dataLength) override;
  NTSTATUS Set(PKSPROPERTY property, PVOID data, ULONG dataLength) override;

  const GUID& UnitGuid() const { return guid_; }
  // The wIndex of the unit's requests: unit id and interface number.
  USHORT UnitIndex() const { return static_cast<USHORT>(unitId_ << 8 | interfaceNumber_); }
  UsbDevice* Device() const { return device_; }

 private:
  friend NTSTATUS ReadExtensionControl(ExtensionUnitHandler*, ULONG, PVOID, ULONG, ULONG, ULONG*);
  friend NTSTATUS WriteExtensionControl(ExtensionUnitHandler*, ULONG, PVOID, ULONG, ULONG);
  friend NTSTATUS GetControlLength(ExtensionUnitHandler*, ULONG, USHORT*);
  friend bool HasExtensionControl(const ExtensionUnitHandler*, ULONG);

  UsbDevice* device_;
  UvcControl* controls_[kSelectors] = {};
  const UCHAR* bmControls_;
  ULONG controlSize_;
  GUID guid_ = {};
  UCHAR unitId_ = 0;
  UCHAR interfaceNumber_ = 0;
  KSPROPERTY_ITEM items_[kSelectors];
  UCHAR identity_[kXuIdentitySize] = {};
};

// bufferLength: room in buffer. length: 0 keeps the control's length, otherwise it replaces it
// (for this and later requests). Selector 0 of a read answers the 25-byte identity. A buffer
// shorter than the control's length is STATUS_BUFFER_TOO_SMALL and nothing is sent. Each takes
// the register lock; a read's *transferred is the length it asked for, never above bufferLength.
NTSTATUS ReadExtensionControl(ExtensionUnitHandler* handler, ULONG selector, PVOID buffer, ULONG bufferLength,
                              ULONG length, ULONG* transferred = nullptr);
NTSTATUS WriteExtensionControl(ExtensionUnitHandler* handler, ULONG selector, PVOID buffer, ULONG bufferLength,
                               ULONG length);
// Asks the camera (GET_LEN) under the register lock; on success the control takes the answer as
// its length.
NTSTATUS GetControlLength(ExtensionUnitHandler* handler, ULONG selector, USHORT* length);
bool HasExtensionControl(const ExtensionUnitHandler* handler, ULONG selector);
ULONG CountSetBits(const UCHAR* bytes, ULONG count);

NTSTATUS NTAPI ExtensionUnitGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS NTAPI ExtensionUnitSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data);

}  // namespace kvz
