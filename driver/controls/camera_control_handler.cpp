#include "driver/controls/camera_control_handler.h"

#include <ksmedia.h>

#include "driver/controls/camera_device_controls.h"
#include "driver/settings/config_file.h"
#include "driver/controls/control_constants.h"
#include "driver/controls/control_property_data.h"
#include "driver/settings/device_settings.h"
#include "driver/controls/exposure_conversion.h"
#include "driver/controls/uvc_control.h"
#include "postproc/base/frame_device.h"
#include "usb/usb_device.h"
#include "uvcmodel/uvc_model.h"

namespace kvz {
namespace {

constexpr WCHAR kPropertyFile[] = u"\\SystemRoot\\PPTCFG.CFG";

// bmControls bits of the camera terminal.
constexpr ULONG kCtAutoExposureModeBit = 1u << 1;
constexpr ULONG kCtAutoExposurePriorityBit = 1u << 2;
constexpr ULONG kCtExposureTimeBit = 1u << 3;

constexpr ULONG kManual = KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL;
constexpr ULONG kAuto = KSPROPERTY_CAMERACONTROL_FLAGS_AUTO;

struct FixedItem {
  ULONG id;
  LONG maximum;
  LONG minimum;
  LONG defaultValue;
};
// Digital zoom, pan, tilt and roll done on the frames.
constexpr FixedItem kFixedItems[] = {
    {KSPROPERTY_CAMERACONTROL_ZOOM, kZoomScaleMax, kZoomScaleNone, kZoomScaleNone},
    {KSPROPERTY_CAMERACONTROL_PAN, 16, -16, 0},
    {KSPROPERTY_CAMERACONTROL_TILT, 16, -16, 0},
    {KSPROPERTY_CAMERACONTROL_ROLL, 3, 0, 0},
};

// A property is switched off only by a key of the property file that is present and 0.
bool KeyEnabled(ULONG id) {
  LONG enabled = 1;
  return !NT_SUCCESS(ReadCameraControlFlag(kPropertyFile, id, &enabled)) || enabled != 0;
}

ControlHandler* LookupHandler(CameraDeviceControls* device) { return device->GetCameraControlHandler(); }

// The driver's own zoom, pan, tilt and roll: the setting and its registry value name.
LONG* DigitalSetting(DeviceSettings* settings, ULONG id, const char** name) {
  switch (id) {
    case KSPROPERTY_CAMERACONTROL_PAN:
      *name = "PanLeftRightSize";
      return &settings->panLeftRightSize;
    case KSPROPERTY_CAMERACONTROL_TILT:
      *name = "PanUpDownSize";
      return &settings->panUpDownSize;
    case KSPROPERTY_CAMERACONTROL_ROLL:
      *name = "Rotation";
      return &settings->rotation;
    case KSPROPERTY_CAMERACONTROL_ZOOM:
      *name = "ZoomScale";
      return &settings->zoomScale;
    default:
      return nullptr;
  }
}

UvcRangeControl* CreateBooleanControl(UsbDevice* device, USHORT selector, USHORT terminal, SHORT defaultValue) {
  UvcRangeControl* control = CreateUvcRangeControl(device, selector, terminal, 2, kTagPresetControl);
  if (control) {
    control->PresetMax(1);
    control->PresetMin(0);
    control->PresetRes(1);
    control->PresetDef(defaultValue);
  }
  return control;
}

template <class T>
T Clamp(T value, T low, T high) {
  return value < low ? low : (value > high ? high : value);
}

}  // namespace

CameraControlHandler::CameraControlHandler(const UvcUnit& terminal, CameraDeviceControls* camera)
    : UnitControlHandler(terminal, camera, CameraControlGetHandler, CameraControlSetHandler) {
  RtlZeroMemory(items_, sizeof(items_));
}

CameraControlHandler::~CameraControlHandler() {
  FreePropertyItems(items_, &propertyItemCount_);
  FreeControlObjects();
}

VOID CameraControlHandler::FreeControlObjects() {
  DestroyUvcControl(exposureTime_);
  DestroyUvcControl(autoExposureMode_);
  DestroyUvcControl(autoExposurePriority_);
  DestroyUvcControl(privacy_);
  exposureTime_ = nullptr;
  autoExposureMode_ = nullptr;
  autoExposurePriority_ = nullptr;
  privacy_ = nullptr;
}

NTSTATUS CameraControlHandler::BuildPropertySet() {
  PAGED_CODE();
  StartPropertyItems(items_);
  DeviceSettings* settings = Settings();
  const ULONG controls = controlBits_;
  const bool exposureKey = KeyEnabled(KSPROPERTY_CAMERACONTROL_EXPOSURE);

  const USHORT terminal = UnitIndex();
  if (controls & kCtAutoExposurePriorityBit) {
    autoExposurePriority_ = CreateBooleanControl(device_, kCtAutoExposurePriority, terminal, 1);
    if (OfferRangedControl(KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY, &autoExposurePriority_, kValuesAsRead) &&
        settings) {
      CopyControlLimits(autoExposurePriority_, &settings->records[kRecordLowLight]);
    }
  }
  if ((controls & kCtAutoExposureModeBit) && exposureKey) {
    autoExposureMode_ = CreateUvcControl(device_, kCtAutoExposureMode, terminal, 1, kTagPlainControl);
  }
  if ((controls & kCtExposureTimeBit) && exposureKey) {
    exposureTime_ = CreateUvcRangeControl(device_, kCtExposureTime, terminal, 2, kTagRangeControl);
    if (OfferRangedControl(KSPROPERTY_CAMERACONTROL_EXPOSURE, &exposureTime_, kValuesExposureLog)) {
      SHORT value = 0;
      if (settings) {
        ControlRecord* record = &settings->records[kRecordExposure];
        if (NT_SUCCESS(exposureTime_->GetMax(&value))) {
          StoreSetting(settings->exposureTimeMaximum, static_cast<USHORT>(value));
          StoreSetting(record->maximum, ExposureTimeToLog(static_cast<USHORT>(value)));
        }
        if (NT_SUCCESS(exposureTime_->GetMin(&value))) {
          StoreSetting(settings->exposureTimeMinimum, static_cast<USHORT>(value));
          StoreSetting(record->minimum, ExposureTimeToLog(static_cast<USHORT>(value)));
        }
        if (NT_SUCCESS(exposureTime_->GetDef(&value))) {
          StoreSetting(settings->exposureTimeDefault, static_cast<USHORT>(value));
          StoreSetting(record->defaultValue, ExposureTimeToLog(static_cast<USHORT>(value)));
        }
      }
    }
  }
  if (KeyEnabled(KSPROPERTY_CAMERACONTROL_PRIVACY)) {
    privacy_ = CreateBooleanControl(device_, kCtPrivacy, terminal, 0);
    if (OfferRangedControl(KSPROPERTY_CAMERACONTROL_PRIVACY, &privacy_, kValuesAsRead) && settings) {
      CopyControlLimits(privacy_, &settings->records[kRecordPrivacy]);
    }
  }
  for (const FixedItem& fixed : kFixedItems) {
    OfferFixedControl(fixed.id, fixed.maximum, fixed.minimum, fixed.defaultValue);
  }
  return STATUS_SUCCESS;
}

bool CameraControlHandler::HasControl(ULONG propertyId) const {
  switch (propertyId) {
    case KSPROPERTY_CAMERACONTROL_EXPOSURE:
      return exposureTime_ != nullptr;
    case KSPROPERTY_CAMERACONTROL_PRIVACY:
      return privacy_ != nullptr;
    case KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY:
      return autoExposurePriority_ != nullptr;
    default:
      return false;
  }
}

NTSTATUS CameraControlHandler::GetControl(PKSPROPERTY property, PVOID data, ULONG dataLength,
                                          DeviceSettings* settings) {
  ControlPropertyData layout;
  NTSTATUS status = MapControlPropertyData(property, data, dataLength, &layout);
  if (!NT_SUCCESS(status)) return status;

  const char* name = nullptr;
  if (LONG* stored = DigitalSetting(settings, property->Id, &name)) {
    *layout.value = LoadSetting(*stored);
    *layout.flags = kManual;
    *layout.capabilities = kManual;
    return STATUS_SUCCESS;
  }
  switch (property->Id) {
    case KSPROPERTY_CAMERACONTROL_EXPOSURE:
      if (!exposureTime_) return STATUS_NOT_SUPPORTED;
      return GetExposure(layout.value, layout.flags, layout.capabilities);
    case KSPROPERTY_CAMERACONTROL_PRIVACY: {
      if (!privacy_) return STATUS_NOT_SUPPORTED;
      const LONG privacy = LoadSetting(settings->privacyFlag);
      *layout.value = privacy;
      StoreSetting(settings->records[kRecordPrivacy].current, static_cast<SHORT>(privacy));
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY: {
      if (!autoExposurePriority_) return STATUS_NOT_SUPPORTED;
      SHORT answer[2] = {};
      status = autoExposurePriority_->GetCur(answer);
      ControlRecord* record = &settings->records[kRecordLowLight];
      if (NT_SUCCESS(status)) StoreSetting(record->current, answer[0]);
      *layout.value = LoadSetting(record->current);
      *layout.flags = kManual;
      *layout.capabilities = kManual;
      return status;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS CameraControlHandler::GetExposure(LONG* value, ULONG* flags, ULONG* capabilities) {
  CameraDeviceControls* camera = camera_;
  DeviceSettings* settings = camera->GetSettings();
  if (autoExposureMode_) {
    *capabilities = kAuto | kManual;
    *flags = LoadSetting(settings->autoExposal) == kAutoExposalAuto ? kAuto : kManual;
    StoreSetting(settings->autoExposal, *flags == kAuto ? kAutoExposalAuto : kAutoExposalManual);
  } else {
    *capabilities = kManual;
  }
  NTSTATUS status = STATUS_SUCCESS;
  ControlRecord* record = &settings->records[kRecordExposure];
  if (*flags & kManual) {
    USHORT answer[2] = {};
    status = exposureTime_->GetCur(answer);
    if (NT_SUCCESS(status)) StoreSetting(record->current, ExposureTimeToLog(answer[0]));
    if (camera->HasFaceExposureWindow()) camera->ClearFaceExposure();
  }
  *value = LoadSetting(record->current);
  return status;
}

NTSTATUS CameraControlHandler::SetControl(PKSPROPERTY property, PVOID data, ULONG dataLength,
                                          DeviceSettings* settings) {
  ControlPropertyData layout;
  NTSTATUS status = MapControlPropertyData(property, data, dataLength, &layout);
  if (!NT_SUCCESS(status)) return status;
  const SHORT value = SetValueOf(layout);

  const char* name = nullptr;
  if (LONG* stored = DigitalSetting(settings, property->Id, &name)) {
    StoreSetting(*stored, static_cast<LONG>(value));
    settings->WriteDwordValue(name, settings->ValuesKey(), value);
    return STATUS_SUCCESS;
  }
  switch (property->Id) {
    case KSPROPERTY_CAMERACONTROL_EXPOSURE:
      if (!exposureTime_) return STATUS_NOT_SUPPORTED;
      return SetExposure(value, *layout.flags);
    case KSPROPERTY_CAMERACONTROL_PRIVACY:
      if (!privacy_) return STATUS_NOT_SUPPORTED;
      if (value != 0 && value != 1) return STATUS_INVALID_PARAMETER;
      StoreSetting(settings->records[kRecordPrivacy].current, value);
      StoreSetting(settings->privacyFlag, value);
      settings->WriteDwordValue("PrivacyFlag", settings->ValuesKey(), value);
      ApplyPrivacy();
      return STATUS_SUCCESS;
    case KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY: {
      if (!autoExposurePriority_) return STATUS_NOT_SUPPORTED;
      SHORT buffer = value;
      status = autoExposurePriority_->SetCur(&buffer);
      if (NT_SUCCESS(status)) StoreSetting(settings->records[kRecordLowLight].current, value);
      return status;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

// The time of a logarithmic exposure, within the camera's limits, as a 4-byte SET_CUR.
NTSTATUS CameraControlHandler::SendExposureTime(LONG logValue) {
  DeviceSettings* settings = camera_->GetSettings();
  const USHORT low = LoadSetting(settings->exposureTimeMinimum);
  const USHORT high = LoadSetting(settings->exposureTimeMaximum);
  ULONG time = ExposureLogToTime(logValue);
  if (time > high) time = high;
  if (time < low) time = low;
  return settings->SetCurrent(device_, kCtExposureTime << 8, UnitIndex(), &time, sizeof(time));
}

NTSTATUS CameraControlHandler::SetExposure(LONG value, ULONG flags) {
  DeviceSettings* settings = camera_->GetSettings();
  ControlRecord* record = &settings->records[kRecordExposure];
  if (!autoExposureMode_) {
    const NTSTATUS status = SendExposureTime(value);
    if (NT_SUCCESS(status)) StoreSetting(record->current, static_cast<SHORT>(value));
    return status;
  }
  NTSTATUS status;
  if (flags == kAuto) {
    UCHAR mode = kAeModeAperturePriority;
    status = autoExposureMode_->SetCur(&mode);
    if (NT_SUCCESS(status)) {
      StoreSetting(settings->autoExposureMode, kAeModeAperturePriority);
      StoreSetting(settings->autoExposureActive, 1);
      StoreSetting(settings->autoExposal, kAutoExposalAuto);
      StoreSetting(record->current, static_cast<SHORT>(value));
    }
  } else {
    StoreSetting(settings->autoExposureMode, kAeModeManual);
    if (InterlockedExchange(&settings->autoExposureActive, 0) == 1) {
      UCHAR mode = kAeModeManual;
      autoExposureMode_->SetCur(&mode);
    }
    const LONG clamped = Clamp<LONG>(value, LoadSetting(record->minimum), LoadSetting(record->maximum));
    status = SendExposureTime(clamped);
    if (NT_SUCCESS(status)) {
      StoreSetting(record->current, static_cast<SHORT>(clamped));
      StoreSetting(settings->autoExposal, kAutoExposalManual);
    }
  }
  settings->WriteDwordValue("AutoExposal", settings->ValuesKey(), LoadSetting(settings->autoExposal));
  settings->WriteShortValue("Exposal", settings->ValuesKey(), LoadSetting(record->current));
  return status;
}

NTSTATUS CameraControlHandler::ApplyManualExposure(LONG logValue) {
  CameraDeviceControls* camera = camera_;
  if (!camera) return STATUS_SUCCESS;
  DeviceSettings* settings = camera->GetSettings();
  if (autoExposureMode_) {
    UCHAR mode = static_cast<UCHAR>(LoadSetting(settings->autoExposureMode));
    autoExposureMode_->SetCur(&mode);
  }
  if (!exposureTime_) return STATUS_SUCCESS;
  StoreSetting(settings->records[kRecordExposure].current, static_cast<SHORT>(logValue));
  return SendExposureTime(logValue);
}

NTSTATUS CameraControlHandler::ApplyPrivacy() {
  CameraDeviceControls* camera = camera_;
  if (!camera || !privacy_) return STATUS_SUCCESS;
  SHORT value = static_cast<SHORT>(LoadSetting(camera->GetSettings()->privacyFlag));
  privacy_->SetCur(&value);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI CameraControlGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  return DispatchControlValueProperty(irp, LookupHandler, property, data, true);
}

NTSTATUS NTAPI CameraControlSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  return DispatchControlValueProperty(irp, LookupHandler, property, data, false);
}

}  // namespace kvz
