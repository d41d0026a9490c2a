#include "driver/controls/video_proc_amp_handler.h"

#include <ksmedia.h>

#include "driver/controls/camera_device_controls.h"
#include "driver/settings/config_file.h"
#include "driver/controls/control_constants.h"
#include "driver/controls/control_property_data.h"
#include "driver/settings/device_settings.h"
#include "driver/controls/uvc_control.h"
#include "postproc/flicker/flicker_control.h"
#include "usb/usb_device.h"
#include "uvcmodel/uvc_model.h"

namespace kvz {
namespace {

constexpr WCHAR kPropertyFile[] = u"\\SystemRoot\\pptCfg.CFG";
constexpr ULONG kAutoWhiteBalanceBit = 1u << 12;

constexpr ULONG kManual = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
constexpr ULONG kAuto = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;

struct Preset {
  bool present;
  SHORT maximum;
  SHORT minimum;
  SHORT resolution;
  SHORT defaultValue;
};

struct UnitControl {
  ULONG id;
  ULONG bit;  // bmControls bit of the control the property sends
  USHORT selector;
  ControlRecordIndex record;
  Preset preset;
  PropertyValueKind kind;
};

// In the order the items are built.
constexpr UnitControl kControls[] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 1u << 0, kPuBrightness, kRecordBrightness, {}, kValuesAsRead},
    {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 1u << 1, kPuContrast, kRecordContrast, {}, kValuesAsRead},
    {KSPROPERTY_VIDEOPROCAMP_HUE, 1u << 2, kPuHue, kRecordHue, {}, kValuesAsRead},
    {KSPROPERTY_VIDEOPROCAMP_SATURATION, 1u << 3, kPuSaturation, kRecordSaturation, {}, kValuesAsRead},
    {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 1u << 4, kPuSharpness, kRecordSharpness, {}, kValuesAsRead},
    {KSPROPERTY_VIDEOPROCAMP_GAMMA, 1u << 5, kPuGamma, kRecordGamma, {}, kValuesAsRead},
    {KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 1u << 6, kPuWhiteBalanceTemperature, kRecordWhiteBalance, {},
     kValuesAsRead},
    {KSPROPERTY_VIDEOPROCAMP_GAIN, 1u << 9, kPuGain, kRecordGain, {}, kValuesAsRead},
    {KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION, 1u << 8, kPuBacklight, kRecordBacklight, {}, kValuesAsRead},
    {KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY, 1u << 10, kPuPowerLine, kRecordPowerLine, {true, 2, 0, 1, 0},
     kValuesDefaultOne},
    // Colour enable is sent as saturation: a unit without saturation has nothing to carry it.
    {KSPROPERTY_VIDEOPROCAMP_COLORENABLE, 1u << 3, kPuSaturation, kRecordColorEnable, {true, 1, 0, 1, 1},
     kValuesAsRead},
};

// Flicker detector states during which an automatic power-line set leaves it alone.
constexpr ULONG kFlickerMeasuringFirst = 4;
constexpr ULONG kFlickerMeasuringLast = 6;

bool KeyEnabled(ULONG id) {
  LONG enabled = 1;
  return !NT_SUCCESS(ReadVideoProcAmpFlag(kPropertyFile, id, &enabled)) || enabled != 0;
}

ControlHandler* LookupHandler(CameraDeviceControls* device) { return device->GetVideoProcAmpHandler(); }

// The settings record of a listed property; null for identifiers the set does not list.
const ControlRecordIndex* RecordOf(ULONG id) {
  for (const UnitControl& row : kControls) {
    if (row.id == id) return &row.record;
  }
  return nullptr;
}

}  // namespace

VideoProcAmpHandler::VideoProcAmpHandler(const UvcUnit& unit, CameraDeviceControls* camera)
    : UnitControlHandler(unit, camera, VideoProcAmpGetHandler, VideoProcAmpSetHandler) {
  RtlZeroMemory(items_, sizeof(items_));
}

VideoProcAmpHandler::~VideoProcAmpHandler() {
  FreePropertyItems(items_, &propertyItemCount_);
  FreeControls();
}

VOID VideoProcAmpHandler::FreeControls() {
  for (UvcRangeControl*& control : controls_) {
    DestroyUvcControl(control);
    control = nullptr;
  }
  DestroyUvcControl(autoWhiteBalance_);
  autoWhiteBalance_ = nullptr;
}

bool VideoProcAmpHandler::HasControl(ULONG propertyId) const {
  return propertyId < kPropertyIds && controls_[propertyId] != nullptr;
}

NTSTATUS VideoProcAmpHandler::BuildPropertySet() {
  PAGED_CODE();
  StartPropertyItems(items_);
  DeviceSettings* settings = Settings();
  const ULONG controls = controlBits_;
  const USHORT unit = UnitIndex();

  for (const UnitControl& row : kControls) {
    if (!(controls & row.bit)) continue;
    if (!KeyEnabled(row.id)) continue;
    UvcRangeControl* control = CreateUvcRangeControl(device_, row.selector, unit, 2, kTagRangeControl);
    if (!control) continue;
    if (row.preset.present) {
      control->PresetMax(row.preset.maximum);
      control->PresetMin(row.preset.minimum);
      control->PresetRes(row.preset.resolution);
      if (row.id == KSPROPERTY_VIDEOPROCAMP_COLORENABLE) control->PresetDef(row.preset.defaultValue);
    }
    if (!OfferRangedControl(row.id, &control, row.kind)) continue;
    controls_[row.id] = control;
    if (settings) {
      CopyControlLimits(control, &settings->records[row.record]);
      if (row.id == KSPROPERTY_VIDEOPROCAMP_COLORENABLE) StoreSetting(settings->colorEnable, 1);
    }
  }
  // The automatic white-balance switch goes with the temperature's key.
  if ((controls & kAutoWhiteBalanceBit) && KeyEnabled(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE)) {
    autoWhiteBalance_ = CreateUvcControl(device_, kPuWhiteBalanceAuto, unit, 2, kTagPlainControl);
  }
  return STATUS_SUCCESS;
}

NTSTATUS VideoProcAmpHandler::GetControl(PKSPROPERTY property, PVOID data, ULONG dataLength,
                                         DeviceSettings* settings) {
  const ULONG id = property->Id;
  if (!HasControl(id)) return STATUS_NOT_SUPPORTED;
  ControlPropertyData layout;
  NTSTATUS status = MapControlPropertyData(property, data, dataLength, &layout);
  if (!NT_SUCCESS(status)) return status;
  UvcRangeControl* control = controls_[id];

  switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_COLORENABLE:
      *layout.value = LoadSetting(settings->colorEnable);
      *layout.flags = kManual;
      *layout.capabilities = kManual;
      return STATUS_SUCCESS;
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE: {
      if (autoWhiteBalance_) {
        *layout.capabilities = kAuto | kManual;
        SHORT answer[2] = {};
        if (NT_SUCCESS(autoWhiteBalance_->GetCur(answer))) {
          *layout.flags = answer[0] == 1 ? kAuto : kManual;
        } else {
          *layout.flags = static_cast<ULONG>(LoadSetting(settings->autoWhiteBalance));
        }
      } else {
        *layout.capabilities = kManual;
      }
      StoreSetting(settings->autoWhiteBalance, static_cast<LONG>(*layout.flags));
      ControlRecord* record = &settings->records[kRecordWhiteBalance];
      SHORT answer[2] = {};
      status = control->GetCur(answer);
      if (NT_SUCCESS(status)) StoreSetting(record->current, answer[0]);
      *layout.value = LoadSetting(record->current);
      return status;
    }
    case KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY: {
      ControlRecord* record = &settings->records[kRecordPowerLine];
      *layout.flags = kManual;
      *layout.capabilities = kManual;
      const SHORT stored = LoadSetting(record->current);
      if (LoadSetting(settings->outDoor) == 1 || stored == 0) {
        *layout.value = stored;
        return STATUS_SUCCESS;
      }
      SHORT answer[2] = {};
      status = control->GetCur(answer);
      if (NT_SUCCESS(status)) StoreSetting(record->current, answer[0]);
      *layout.value = LoadSetting(record->current);
      return status;
    }
    default:
      break;
  }
  // Brightness, contrast, hue, saturation, sharpness, gamma, gain, backlight.
  ControlRecord* record = &settings->records[*RecordOf(id)];
  SHORT answer[2] = {};
  status = control->GetCur(answer);
  SHORT value = NT_SUCCESS(status) ? answer[0] : LoadSetting(record->current);
  if (id == KSPROPERTY_VIDEOPROCAMP_SATURATION &&
      (LoadSetting(settings->panel4K) != 0 || LoadSetting(settings->colorEnable) == 0)) {
    value = LoadSetting(record->current);
  }
  StoreSetting(record->current, value);
  *layout.value = value;
  *layout.flags = kManual;
  *layout.capabilities = kManual;
  return status;
}

NTSTATUS VideoProcAmpHandler::SetControl(PKSPROPERTY property, PVOID data, ULONG dataLength,
                                         DeviceSettings* settings) {
  const ULONG id = property->Id;
  const ControlRecordIndex* recordIndex = RecordOf(id);
  if (!recordIndex) {
    settings->SaveRegistryValues(1);
    return STATUS_NOT_SUPPORTED;
  }
  if (!controls_[id]) return STATUS_NOT_SUPPORTED;
  ControlPropertyData layout;
  NTSTATUS status = MapControlPropertyData(property, data, dataLength, &layout);
  if (!NT_SUCCESS(status)) return status;
  UvcRangeControl* control = controls_[id];
  SHORT value = SetValueOf(layout);
  bool save = true;

  switch (id) {
    case KSPROPERTY_VIDEOPROCAMP_SATURATION:
      if (LoadSetting(settings->colorEnable) == 0) {
        status = STATUS_SUCCESS;
      } else {
        SHORT send = settings->PanelSaturation(value);
        status = control->SetCur(&send);
      }
      if (NT_SUCCESS(status)) StoreSetting(settings->records[kRecordSaturation].current, value);
      break;
    case KSPROPERTY_VIDEOPROCAMP_COLORENABLE: {
      if (value != 0 && value != 1) return STATUS_INVALID_PARAMETER;
      SHORT enable = value;
      control->SetCur(&enable);
      SHORT send = value != 0 ? settings->PanelSaturation(LoadSetting(settings->records[kRecordSaturation].current)) : 0;
      status = settings->SetCurrent(device_, kPuSaturation << 8, UnitIndex(), &send, sizeof(send));
      if (NT_SUCCESS(status)) StoreSetting(settings->colorEnable, value);
      break;
    }
    case KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE: {
      ControlRecord* record = &settings->records[kRecordWhiteBalance];
      if (autoWhiteBalance_) {
        const ULONG flags = *layout.flags;
        auto switchAuto = [&](UCHAR on) {
          NTSTATUS sent = settings->SetCurrent(device_, kPuWhiteBalanceAuto << 8, UnitIndex(), &on, 1);
          SHORT wide = on;
          autoWhiteBalance_->SetCur(&wide);
          SHORT readBack[2] = {};
          autoWhiteBalance_->GetCur(readBack);
          return sent;
        };
        if (flags == kAuto) {
          status = switchAuto(1);
          if (NT_SUCCESS(status)) {
            StoreSetting(record->current, value);
            StoreSetting(settings->autoWhiteBalanceWasOn, 1);
          }
        } else {
          // The camera's own automatic mode (its default) refuses a temperature just as the
          // driver's does: a manual value switches off whichever is on.
          SHORT cameraAuto[2] = {};
          const bool cameraIsAuto = NT_SUCCESS(autoWhiteBalance_->GetCur(cameraAuto)) && cameraAuto[0] == 1;
          if (LoadSetting(settings->autoWhiteBalanceWasOn) == 1 || cameraIsAuto) {
            switchAuto(0);
            if (value < LoadSetting(record->minimum)) save = false;
          }
          StoreSetting(settings->autoWhiteBalanceWasOn, 0);
          status = control->SetCur(&value);
          if (NT_SUCCESS(status)) StoreSetting(record->current, value);
        }
        if (NT_SUCCESS(status)) {
          StoreSetting(settings->autoWhiteBalance, static_cast<LONG>(flags));
          settings->WriteDwordValue("AutoWhiteBalance", settings->ValuesKey(), static_cast<LONG>(flags));
        }
      } else {
        status = control->SetCur(&value);
        if (NT_SUCCESS(status)) StoreSetting(record->current, value);
      }
      break;
    }
    case KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY: {
      FlickerControl* flicker = camera_->GetFlickerControl();
      const ULONG state = flicker->FlickerState();
      if (value == 0 && state >= kFlickerMeasuringFirst && state <= kFlickerMeasuringLast) {
        StoreSetting(settings->records[kRecordPowerLine].current, value);
        status = STATUS_SUCCESS;
        break;
      }
      flicker->RequestFlickerRedetect();
      if (value != 0) {
        status = control->SetCur(&value);
        if (NT_SUCCESS(status)) StoreSetting(settings->records[kRecordPowerLine].current, value);
      } else {
        StoreSetting(settings->records[kRecordPowerLine].current, value);
        flicker->ReleaseFlickerHold();
        status = STATUS_SUCCESS;
      }
      break;
    }
    default:
      status = control->SetCur(&value);
      if (NT_SUCCESS(status)) StoreSetting(settings->records[*recordIndex].current, value);
      break;
  }
  if (save) settings->SaveRegistryValues(1);
  return status;
}

NTSTATUS NTAPI VideoProcAmpGetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  return DispatchControlValueProperty(irp, LookupHandler, property, data, true);
}

NTSTATUS NTAPI VideoProcAmpSetHandler(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  return DispatchControlValueProperty(irp, LookupHandler, property, data, false);
}

}  // namespace kvz
