#include "driver/controls/private_control_handler.h"

#include "driver/controls/camera_device_controls.h"
#include "driver/controls/control_constants.h"
#include "driver/controls/control_property_data.h"
#include "driver/settings/device_settings.h"
#include "postproc/flicker/flicker_control.h"
#include "postproc/base/frame_device.h"
#include "usb/usb_device.h"

namespace kvz {
namespace {

// Private property data.
constexpr ULONG kValueOffset = 28;
constexpr ULONG kMaximumOffset = 32;
constexpr ULONG kTextOffset = 32;
constexpr ULONG kTextRoom = kPrivateDataSize - kTextOffset;
constexpr LONGLONG kFlagsManual = 2;
constexpr LONGLONG kCapsAutoManual = 3;

constexpr char kSavePath[] = "\\Registry\\MACHINE\\SOFTWARE\\TQ5517K\\CONTROLSAVE";
constexpr char kSaveFile[] = "Fenr5517k.ini";

enum PrivateId : ULONG {
  kHFlip = 0,
  kVFlip = 1,
  kZoom = 4,
  kTilt = 5,
  kPan = 6,
  kRotation = 7,
  kFixedZero8 = 8,
  kIgnored9 = 9,
  kIgnored10 = 10,
  kIgnored12 = 12,
  kOutDoor = 13,
  kSavePathText = 14,
  kSaveFileText = 15,
  kWbRed = 16,
  kWbGreen = 17,
  kWbBlue = 18,
  kFixedZero19 = 19,
  kImageQuality = 20,
  kPanel = 22,
  kFixedOne23 = 23,
};

struct Range {
  LONGLONG maximum;
  LONGLONG minimum;
  LONGLONG step;
  LONGLONG defaultValue;
  LONGLONG flags;
  LONGLONG capabilities;
};
constexpr Range kZoomRange = {kZoomScaleMax, kZoomScaleNone, 1, kZoomScaleNone, kFlagsManual, kFlagsManual};
constexpr Range kPanRange = {16, -16, 1, 0, kFlagsManual, kFlagsManual};
constexpr Range kRotationRange = {3, 0, 1, 0, kFlagsManual, kFlagsManual};
constexpr Range kGainRange = {255, 0, 256, 128, kFlagsManual, kCapsAutoManual};
constexpr LONG kGainMaximum = 255;
constexpr LONG kRotationMask = 3;

ControlHandler* LookupHandler(CameraDeviceControls* device) { return device->GetPrivateControlHandler(); }

LONG ValueOf(PVOID data) {
  LONG value;
  RtlCopyMemory(&value, static_cast<PUCHAR>(data) + kValueOffset, sizeof(value));
  return value;
}

VOID PutValue(PVOID data, LONG value) { RtlCopyMemory(static_cast<PUCHAR>(data) + kValueOffset, &value, sizeof(value)); }

VOID PutRange(PVOID data, const Range& range) {
  RtlCopyMemory(static_cast<PUCHAR>(data) + kMaximumOffset, &range, sizeof(range));
}

VOID PutText(PVOID data, const char* text, ULONG size) {
  RtlCopyMemory(static_cast<PUCHAR>(data) + kTextOffset, text, size <= kTextRoom ? size : kTextRoom);
}

}  // namespace

PrivateControlHandler::PrivateControlHandler(CameraDeviceControls* camera)
    : camera_(camera), device_(camera ? camera->GetUsbDevice() : nullptr) {
  RtlZeroMemory(items_, sizeof(items_));
}

PrivateControlHandler::~PrivateControlHandler() { FreePropertyItems(items_, &propertyItemCount_); }

NTSTATUS PrivateControlHandler::BuildPropertySet() {
  PAGED_CODE();
  StartPropertyItems(items_);
  for (ULONG id = 0; id < kPrivateItemCount; ++id) {
    PKSPROPERTY_ITEM item = &items_[propertyItemCount_];
    if (!NT_SUCCESS(BuildRangedPropertyItem(this, id, nullptr, PrivateControlGetHandler, PrivateControlSetHandler, item,
                                            kValuesAsRead))) {
      continue;
    }
    item->MinProperty = kPrivateDataSize;
    item->MinData = kPrivateDataSize;
    ++propertyItemCount_;
  }
  return STATUS_SUCCESS;
}

NTSTATUS PrivateControlHandler::Get(PKSPROPERTY property, PVOID data, ULONG dataLength) {
  PAGED_CODE();
  CameraDeviceControls* camera = camera_;
  if (!camera) return STATUS_SUCCESS;
  if (!data || dataLength < kPrivateDataSize) return STATUS_BUFFER_TOO_SMALL;
  DeviceSettings* s = camera->GetSettings();
  switch (property->Id) {
    case kHFlip:
      PutValue(data, LoadSetting(s->hFlip));
      return STATUS_SUCCESS;
    case kVFlip:
      PutValue(data, LoadSetting(s->vFlip));
      return STATUS_SUCCESS;
    case kZoom:
      PutValue(data, LoadSetting(s->zoomScale));
      PutRange(data, kZoomRange);
      return STATUS_SUCCESS;
    case kTilt:
      PutValue(data, LoadSetting(s->panUpDownSize));
      PutRange(data, kPanRange);
      return STATUS_SUCCESS;
    case kPan:
      PutValue(data, LoadSetting(s->panLeftRightSize));
      PutRange(data, kPanRange);
      return STATUS_SUCCESS;
    case kRotation:
      PutValue(data, LoadSetting(s->rotation));
      PutRange(data, kRotationRange);
      return STATUS_SUCCESS;
    case kFixedZero8:
    case kIgnored9:
    case kIgnored10:
    case kIgnored12:
    case kFixedZero19:
      PutValue(data, 0);
      return STATUS_SUCCESS;
    case kOutDoor:
      PutValue(data, LoadSetting(s->outDoor));
      return STATUS_SUCCESS;
    case kSavePathText:
      PutText(data, kSavePath, sizeof(kSavePath));
      return STATUS_SUCCESS;
    case kSaveFileText:
      PutText(data, kSaveFile, sizeof(kSaveFile));
      return STATUS_SUCCESS;
    case kWbRed:
      PutValue(data, LoadSetting(s->wbRed));
      PutRange(data, kGainRange);
      return STATUS_SUCCESS;
    case kWbGreen:
      PutValue(data, LoadSetting(s->wbGreen));
      PutRange(data, kGainRange);
      return STATUS_SUCCESS;
    case kWbBlue:
      PutValue(data, LoadSetting(s->wbBlue));
      PutRange(data, kGainRange);
      return STATUS_SUCCESS;
    case kImageQuality:
      PutValue(data, LoadSetting(s->imageQuality));
      return STATUS_SUCCESS;
    case kPanel:
      return STATUS_SUCCESS;
    case kFixedOne23:
      PutValue(data, 1);
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS PrivateControlHandler::Set(PKSPROPERTY property, PVOID data, ULONG dataLength) {
  PAGED_CODE();
  CameraDeviceControls* camera = camera_;
  if (!camera) return STATUS_SUCCESS;
  if (!data || dataLength < kPrivateDataSize) return STATUS_BUFFER_TOO_SMALL;
  DeviceSettings* s = camera->GetSettings();
  LONG value = ValueOf(data);
  LONG* field = nullptr;
  const char* name = nullptr;
  switch (property->Id) {
    // Written at once like the other image settings: the capture RUN reloads the stored values.
    case kHFlip:
      field = &s->hFlip;
      name = "HFlip";
      break;
    case kVFlip:
      field = &s->vFlip;
      name = "VFlip";
      break;
    case kIgnored9:
    case kIgnored10:
    case kIgnored12:
    case kSavePathText:
    case kSaveFileText:
      return STATUS_SUCCESS;
    case kZoom:
      field = &s->zoomScale;
      name = "ZoomScale";
      break;
    case kTilt:
      field = &s->panUpDownSize;
      name = "PanUpDownSize";
      break;
    case kPan:
      field = &s->panLeftRightSize;
      name = "PanLeftRightSize";
      break;
    case kRotation:
      value &= kRotationMask;
      field = &s->rotation;
      name = "Rotation";
      break;
    case kWbRed:
    case kWbGreen:
    case kWbBlue:
      value = value < 0 ? 0 : (value > kGainMaximum ? kGainMaximum : value);
      PutValue(data, value);
      field = property->Id == kWbRed ? &s->wbRed : (property->Id == kWbGreen ? &s->wbGreen : &s->wbBlue);
      name = property->Id == kWbRed ? "Wb_R" : (property->Id == kWbGreen ? "Wb_G" : "Wb_B");
      break;
    case kImageQuality:
      field = &s->imageQuality;
      name = "ImageQuality";
      break;
    case kPanel:
      field = &s->panel4K;
      name = "4KPanel";
      break;
    case kOutDoor: {
      StoreSetting(s->outDoor, value);
      s->WriteDwordValue("OutDoor", s->ValuesKey(), value);
      camera->GetFlickerControl()->RequestFlickerRedetect();
      UCHAR frequency = 0;
      if (value != 1) {
        const SHORT powerLine = LoadSetting(s->records[kRecordPowerLine].current);
        frequency = static_cast<UCHAR>(powerLine ? powerLine : LoadSetting(s->flickerDetectValue));
      }
      const USHORT unit = device_->ProcessingUnitIndex();
      return unit ? s->SetCurrent(device_, kPuPowerLine << 8, unit, &frequency, 1) : STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
  StoreSetting(*field, value);
  s->WriteDwordValue(name, s->ValuesKey(), value);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PrivateControlGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  return DispatchControlProperty(irp, LookupHandler, property, data, true);
}

NTSTATUS NTAPI PrivateControlSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  return DispatchControlProperty(irp, LookupHandler, property, data, false);
}

}  // namespace kvz
