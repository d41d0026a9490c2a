#include "driver/controls/control_handler.h"

#include "driver/controls/camera_device_controls.h"
#include "driver/controls/control_constants.h"
#include "driver/settings/device_settings.h"
#include "driver/controls/exposure_conversion.h"
#include "driver/controls/uvc_control.h"
#include "primitives/driver_memory.h"
#include "usb/usb_device.h"
#include "uvcmodel/uvc_model.h"

namespace kvz {
namespace {

constexpr ULONG kMembersLists = 2;
constexpr ULONG kMaxControlBytes = 4;

// The blocks of one value description, allocated together and freed on any failure.
struct ValueBlocks {
  PKSPROPERTY_STEPPING_LONG stepping;
  LONG* defaultValue;
  PKSPROPERTY_MEMBERSLIST members;
  PKSPROPERTY_VALUES values;
};

PVOID AllocateZeroed(SIZE_T size, ULONG tag) {
  PVOID block = ExAllocatePoolWithTag(DriverPoolType, size, tag);
  if (block) RtlZeroMemory(block, size);
  return block;
}

VOID FreeValueBlocks(ValueBlocks* blocks) {
  if (blocks->stepping) ExFreePoolWithTag(blocks->stepping, kTagStepping);
  if (blocks->defaultValue) ExFreePoolWithTag(blocks->defaultValue, kTagDefault);
  if (blocks->members) ExFreePoolWithTag(blocks->members, kTagMembersList);
  if (blocks->values) ExFreePoolWithTag(blocks->values, kTagValues);
}

NTSTATUS AllocateRangeBlocks(ValueBlocks* blocks) {
  blocks->stepping =
      static_cast<PKSPROPERTY_STEPPING_LONG>(AllocateZeroed(sizeof(KSPROPERTY_STEPPING_LONG), kTagStepping));
  blocks->defaultValue = static_cast<LONG*>(AllocateZeroed(sizeof(LONG), kTagDefault));
  return blocks->stepping && blocks->defaultValue ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS AllocateDescriptionBlocks(ValueBlocks* blocks) {
  blocks->members = static_cast<PKSPROPERTY_MEMBERSLIST>(
      AllocateZeroed(kMembersLists * sizeof(KSPROPERTY_MEMBERSLIST), kTagMembersList));
  blocks->values = static_cast<PKSPROPERTY_VALUES>(AllocateZeroed(sizeof(KSPROPERTY_VALUES), kTagValues));
  return blocks->members && blocks->values ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID FillItem(ULONG propertyId, PFNKSHANDLER getHandler, PFNKSHANDLER setHandler, const KSPROPERTY_VALUES* values,
              PKSPROPERTY_ITEM item) {
  RtlZeroMemory(item, sizeof(*item));
  item->PropertyId = propertyId;
  item->GetPropertyHandler = getHandler;
  item->MinProperty = sizeof(KSPROPERTY);
  // The value sets size their data themselves: a node request's layout is larger than the plain
  // one, and a size query must answer the one it needs.
  item->MinData = 0;
  item->SetPropertyHandler = setHandler;
  item->Values = values;
}

// Links the stepping range and the default into a two-list description and writes the item.
VOID CompleteItem(ValueBlocks* blocks, ULONG propertyId, PFNKSHANDLER getHandler, PFNKSHANDLER setHandler,
                  PKSPROPERTY_ITEM item) {
  KSPROPERTY_MEMBERSLIST* members = blocks->members;
  members[0].MembersHeader.MembersFlags = KSPROPERTY_MEMBER_RANGES;
  members[0].MembersHeader.MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
  members[0].MembersHeader.MembersCount = 1;
  members[0].Members = blocks->stepping;
  members[1].MembersHeader.MembersFlags = KSPROPERTY_MEMBER_VALUES;
  members[1].MembersHeader.MembersSize = sizeof(LONG);
  members[1].MembersHeader.MembersCount = 1;
  members[1].MembersHeader.Flags = KSPROPERTY_MEMBER_FLAG_DEFAULT;
  members[1].Members = blocks->defaultValue;
  blocks->values->PropTypeSet.Set = KSPROPTYPESETID_General;
  blocks->values->PropTypeSet.Id = VT_I4;
  blocks->values->MembersListCount = kMembersLists;
  blocks->values->MembersList = members;
  FillItem(propertyId, getHandler, setHandler, blocks->values, item);
}

}  // namespace

ControlHandler::ControlHandler() = default;

ULONG ControlHandler::GetPropertyItems(const KSPROPERTY_ITEM** items) const {
  if (items) *items = propertyItems_;
  return propertyItemCount_;
}

ULONG ControlHandler::GetEventItems(const KSEVENT_ITEM** items) const {
  if (items) *items = eventItems_;
  return eventItemCount_;
}

UnitControlHandler::UnitControlHandler(const UvcUnit& unit, CameraDeviceControls* camera, PFNKSHANDLER getHandler,
                                       PFNKSHANDLER setHandler)
    : camera_(camera),
      device_(camera ? camera->GetUsbDevice() : nullptr),
      controlBits_(UnitControlBits(unit)),
      unitId_(unit.Id),
      getHandler_(getHandler),
      setHandler_(setHandler) {}

NTSTATUS UnitControlHandler::Get(PKSPROPERTY property, PVOID data, ULONG dataLength) {
  PAGED_CODE();
  if (!camera_) return STATUS_SUCCESS;
  return GetControl(property, data, dataLength, camera_->GetSettings());
}

NTSTATUS UnitControlHandler::Set(PKSPROPERTY property, PVOID data, ULONG dataLength) {
  PAGED_CODE();
  if (!camera_) return STATUS_SUCCESS;
  return SetControl(property, data, dataLength, camera_->GetSettings());
}

USHORT UnitControlHandler::UnitIndex() const { return device_->ControlIndex(static_cast<USHORT>(unitId_ << 8)); }

DeviceSettings* UnitControlHandler::Settings() const { return camera_ ? camera_->GetSettings() : nullptr; }

bool UnitControlHandler::OfferRangedControl(ULONG propertyId, UvcRangeControl** control, PropertyValueKind kind) {
  if (!*control) return false;
  if (NT_SUCCESS(BuildRangedPropertyItem(this, propertyId, *control, getHandler_, setHandler_,
                                         &propertyItems_[propertyItemCount_], kind))) {
    ++propertyItemCount_;
    return true;
  }
  DestroyUvcControl(*control);
  *control = nullptr;
  return false;
}

VOID UnitControlHandler::OfferFixedControl(ULONG propertyId, LONG maximum, LONG minimum, LONG defaultValue) {
  if (NT_SUCCESS(BuildFixedPropertyItem(this, propertyId, maximum, minimum, 1, defaultValue, getHandler_, setHandler_,
                                        &propertyItems_[propertyItemCount_]))) {
    ++propertyItemCount_;
  }
}

NTSTATUS QueryControlRange(UvcRangeControl* range, PKSPROPERTY_STEPPING_LONG stepping, LONG* defaultValue) {
  SHORT minimum = 0;
  SHORT maximum = 0;
  SHORT resolution = 0;
  SHORT def = 0;
  NTSTATUS status = range->GetMin(&minimum);
  if (NT_SUCCESS(status)) status = range->GetMax(&maximum);
  if (NT_SUCCESS(status)) status = range->GetRes(&resolution);
  if (NT_SUCCESS(status)) status = range->GetDef(&def);
  if (!NT_SUCCESS(status)) return status;
  stepping->SteppingDelta = static_cast<ULONG>(static_cast<LONG>(resolution));
  stepping->Reserved = 0;
  stepping->Bounds.SignedMinimum = minimum;
  stepping->Bounds.SignedMaximum = maximum;
  *defaultValue = def;
  return STATUS_SUCCESS;
}

NTSTATUS BuildRangedPropertyItem(ControlHandler*, ULONG propertyId, UvcRangeControl* range, PFNKSHANDLER getHandler,
                                 PFNKSHANDLER setHandler, PKSPROPERTY_ITEM item, PropertyValueKind kind) {
  PAGED_CODE();
  if (!range) {
    FillItem(propertyId, getHandler, setHandler, nullptr, item);
    return STATUS_SUCCESS;
  }
  ValueBlocks blocks = {};
  NTSTATUS status = AllocateRangeBlocks(&blocks);
  if (NT_SUCCESS(status)) status = QueryControlRange(range, blocks.stepping, blocks.defaultValue);
  if (NT_SUCCESS(status)) {
    KSPROPERTY_BOUNDS_LONG& bounds = blocks.stepping->Bounds;
    switch (kind) {
      case kValuesExposureLog:
        bounds.SignedMinimum = ExposureTimeToLog(static_cast<USHORT>(bounds.SignedMinimum));
        bounds.SignedMaximum = ExposureTimeToLog(static_cast<USHORT>(bounds.SignedMaximum));
        *blocks.defaultValue = ExposureTimeToLog(static_cast<USHORT>(*blocks.defaultValue));
        break;
      case kValuesDefaultZero:
        *blocks.defaultValue = 0;
        break;
      case kValuesDefaultOne:
        *blocks.defaultValue = 1;
        break;
      case kValuesDefaultTwo:
        *blocks.defaultValue = 2;
        break;
      case kValuesAsRead:
        break;
    }
    status = AllocateDescriptionBlocks(&blocks);
  }
  if (!NT_SUCCESS(status)) {
    FreeValueBlocks(&blocks);
    return status;
  }
  CompleteItem(&blocks, propertyId, getHandler, setHandler, item);
  return STATUS_SUCCESS;
}

NTSTATUS BuildFixedPropertyItem(ControlHandler*, ULONG propertyId, LONG maximum, LONG minimum, ULONG steppingDelta,
                                LONG defaultValue, PFNKSHANDLER getHandler, PFNKSHANDLER setHandler,
                                PKSPROPERTY_ITEM item) {
  PAGED_CODE();
  ValueBlocks blocks = {};
  NTSTATUS status = AllocateRangeBlocks(&blocks);
  if (NT_SUCCESS(status)) status = AllocateDescriptionBlocks(&blocks);
  if (!NT_SUCCESS(status)) {
    FreeValueBlocks(&blocks);
    return status;
  }
  blocks.stepping->SteppingDelta = steppingDelta;
  blocks.stepping->Bounds.SignedMinimum = minimum;
  blocks.stepping->Bounds.SignedMaximum = maximum;
  *blocks.defaultValue = defaultValue;
  CompleteItem(&blocks, propertyId, getHandler, setHandler, item);
  return STATUS_SUCCESS;
}

VOID FreePropertyItems(PKSPROPERTY_ITEM items, ULONG* count) {
  for (ULONG i = 0; items && i < *count; ++i) {
    auto* values = const_cast<PKSPROPERTY_VALUES>(items[i].Values);
    if (!values) continue;
    auto* members = const_cast<PKSPROPERTY_MEMBERSLIST>(values->MembersList);
    for (ULONG m = 0; members && m < values->MembersListCount; ++m) {
      if (members[m].Members) ExFreePool(const_cast<PVOID>(members[m].Members));
    }
    if (members) ExFreePoolWithTag(members, kTagMembersList);
    ExFreePoolWithTag(values, kTagValues);
    items[i].Values = nullptr;
  }
  *count = 0;
}

// The model's length pass keeps every bControlSize byte inside its descriptor.
ULONG UnitControlBits(const UvcUnit& unit) {
  const ULONG size = unit.ControlSize < kMaxControlBytes ? unit.ControlSize : kMaxControlBytes;
  ULONG bits = 0;
  for (ULONG i = 0; unit.Controls && i < size; ++i) bits |= static_cast<ULONG>(unit.Controls[i]) << (8 * i);
  return bits;
}

VOID CopyControlLimits(UvcRangeControl* control, ControlRecord* record) {
  SHORT value = 0;
  if (NT_SUCCESS(control->GetMax(&value))) StoreSetting(record->maximum, value);
  if (NT_SUCCESS(control->GetMin(&value))) StoreSetting(record->minimum, value);
  if (NT_SUCCESS(control->GetDef(&value))) StoreSetting(record->defaultValue, value);
}

}  // namespace kvz
