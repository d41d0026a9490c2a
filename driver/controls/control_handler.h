// Base of every control property set the driver offers for the camera's units, and the builders
// of a property item's value description (stepping range and default).
#pragma once
#include <wdm.h>
#include <ks.h>

namespace kvz {

class CameraDeviceControls;
class UsbDevice;
class UvcRangeControl;
struct ControlRecord;
class DeviceSettings;
struct UvcUnit;

// What is done to a range read from the camera before it describes an item.
enum PropertyValueKind : ULONG {
  kValuesAsRead = 0,
  kValuesExposureLog = 1,  // minimum, maximum and default become logarithmic exposures
  kValuesDefaultZero = 2,
  kValuesDefaultOne = 3,
  kValuesDefaultTwo = 4,
};

class ControlHandler {
 public:
  ControlHandler(const ControlHandler&) = delete;
  ControlHandler& operator=(const ControlHandler&) = delete;

  virtual NTSTATUS BuildPropertySet() = 0;
  // data: the request's data buffer of dataLength bytes (the class driver checked MinData).
  virtual NTSTATUS Get(PKSPROPERTY property, PVOID data, ULONG dataLength) = 0;
  virtual NTSTATUS Set(PKSPROPERTY property, PVOID data, ULONG dataLength) = 0;

  // A count of 0 keeps the set out of the automation tables.
  ULONG GetPropertyItems(const KSPROPERTY_ITEM** items) const;
  ULONG GetEventItems(const KSEVENT_ITEM** items) const;

 protected:
  ControlHandler();
  ~ControlHandler() = default;  // each handler's owner calls the derived destructor

  // A build starts with no items in the handler's own table.
  VOID StartPropertyItems(PKSPROPERTY_ITEM items) {
    propertyItems_ = items;
    propertyItemCount_ = 0;
  }

  PKSPROPERTY_ITEM propertyItems_ = nullptr;
  PKSEVENT_ITEM eventItems_ = nullptr;
  ULONG propertyItemCount_ = 0;
  ULONG eventItemCount_ = 0;
};

// A set of a camera terminal or processing unit: every request is addressed by the unit's id on
// the device's control interface, and the set keeps the device's settings.
class UnitControlHandler : public ControlHandler {
 public:
  // Without a device a request succeeds and does nothing.
  NTSTATUS Get(PKSPROPERTY property, PVOID data, ULONG dataLength) final;
  NTSTATUS Set(PKSPROPERTY property, PVOID data, ULONG dataLength) final;

  // wIndex of the unit: its id, the video control interface.
  USHORT UnitIndex() const;

 protected:
  // unit: its bmControls choose the set's controls; getHandler and setHandler: the set's KS
  // handlers, which every item it builds names.
  UnitControlHandler(const UvcUnit& unit, CameraDeviceControls* camera, PFNKSHANDLER getHandler,
                     PFNKSHANDLER setHandler);
  ~UnitControlHandler() = default;

  // The request of a set whose device is there, with the device's settings.
  virtual NTSTATUS GetControl(PKSPROPERTY property, PVOID data, ULONG dataLength, DeviceSettings* settings) = 0;
  virtual NTSTATUS SetControl(PKSPROPERTY property, PVOID data, ULONG dataLength, DeviceSettings* settings) = 0;

  // Null without a device.
  DeviceSettings* Settings() const;
  // The next item for the control, its range read from the camera. A control whose range cannot
  // be read is not offered: it is destroyed and *control set to null, so that requests, stream
  // starts and the settings loader leave it alone.
  bool OfferRangedControl(ULONG propertyId, UvcRangeControl** control, PropertyValueKind kind);
  // The next item for a value the driver keeps itself.
  VOID OfferFixedControl(ULONG propertyId, LONG maximum, LONG minimum, LONG defaultValue);

  CameraDeviceControls* const camera_;
  UsbDevice* const device_;
  const ULONG controlBits_;  // bmControls, at most 4 bytes

 private:
  const UCHAR unitId_;
  const PFNKSHANDLER getHandler_;
  const PFNKSHANDLER setHandler_;
};

// Fills item with MinProperty 24 and MinData 40. Without a range control the item has no value
// description. On failure the item is not written and nothing stays allocated.
NTSTATUS BuildRangedPropertyItem(ControlHandler* handler, ULONG propertyId, UvcRangeControl* range,
                                 PFNKSHANDLER getHandler, PFNKSHANDLER setHandler, PKSPROPERTY_ITEM item,
                                 PropertyValueKind kind);
NTSTATUS BuildFixedPropertyItem(ControlHandler* handler, ULONG propertyId, LONG maximum, LONG minimum,
                                ULONG steppingDelta, LONG defaultValue, PFNKSHANDLER getHandler,
                                PFNKSHANDLER setHandler, PKSPROPERTY_ITEM item);
// Minimum, maximum, resolution and default, each sign-extended from 16 bits.
NTSTATUS QueryControlRange(UvcRangeControl* range, PKSPROPERTY_STEPPING_LONG stepping, LONG* defaultValue);
// Releases the value descriptions of the first *count items and sets *count to 0.
VOID FreePropertyItems(PKSPROPERTY_ITEM items, ULONG* count);

// A unit's bmControls as a little-endian bit field: its first bControlSize bytes, at most 4.
ULONG UnitControlBits(const UvcUnit& unit);
// The control's maximum, minimum and default into the settings record (each when readable).
VOID CopyControlLimits(UvcRangeControl* control, ControlRecord* record);

}  // namespace kvz
