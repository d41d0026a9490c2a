// The loading of the registry's stored values into the device's settings record and, through the
// unit and terminal handlers the property sets were built from, into the camera.
#include <ksmedia.h>

#include "driver/controls/camera_control_handler.h"
#include "driver/controls/camera_device_controls.h"
#include "driver/controls/control_constants.h"
#include "driver/controls/exposure_conversion.h"
#include "driver/controls/video_proc_amp_handler.h"
#include "driver/settings/device_settings.h"
#include "driver/settings/registry_access.h"
#include "postproc/base/frame_device.h"
#include "usb/usb_device.h"

namespace kvz {
namespace {

// The processing-unit values loaded, ranged and sent the same way.
struct RangedUnitValue {
  const char* name;
  ControlRecordIndex record;
  USHORT selector;
  ULONG propertyId;
};
constexpr RangedUnitValue kPictureValues[] = {
    {"Brightness", kRecordBrightness, kPuBrightness, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS},
    {"Contrast", kRecordContrast, kPuContrast, KSPROPERTY_VIDEOPROCAMP_CONTRAST},
    {"Hue", kRecordHue, kPuHue, KSPROPERTY_VIDEOPROCAMP_HUE},
    {"Saturation", kRecordSaturation, kPuSaturation, KSPROPERTY_VIDEOPROCAMP_SATURATION},
    {"Sharpness", kRecordSharpness, kPuSharpness, KSPROPERTY_VIDEOPROCAMP_SHARPNESS},
    {"Gamma", kRecordGamma, kPuGamma, KSPROPERTY_VIDEOPROCAMP_GAMMA},
};
constexpr RangedUnitValue kBacklightValue = {"BackLight", kRecordBacklight, kPuBacklight,
                                             KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION};

}  // namespace

NTSTATUS DeviceSettings::LoadRegistryValues(CameraDeviceControls* device) {
  PAGED_CODE();
  UsbDevice* usb = device->GetUsbDevice();
  VideoProcAmpHandler* unit = device->GetVideoProcAmpHandler();
  CameraControlHandler* terminal = device->GetCameraControlHandler();
  // Only controls the sets built are sent: each goes to the unit or terminal it was built from.
  const USHORT unitIndex = unit ? unit->UnitIndex() : 0;
  const USHORT terminalIndex = terminal ? terminal->UnitIndex() : 0;
  auto unitHas = [unit](ULONG id) { return unit && unit->HasControl(id); };
  auto terminalHas = [terminal](ULONG id) { return terminal && terminal->HasControl(id); };
  PUNICODE_STRING key = &valuesKey_;

  ReadDwordValue("4KPanel", key, &panel4K, 0);
  LONG installFlag = 0;
  ReadDwordValue("InstallFlag", key, &installFlag, 0);
  WriteDwordValue("InstallFlag", key, 0);
  const bool firstRun = installFlag == 1;

  // First run: the camera's own default, stored when the camera gave one.
  auto loadPicture = [&](const RangedUnitValue& v) {
    ControlRecord* record = &records[v.record];
    bool fromCamera = false;
    if (firstRun) {
      SHORT answer[2] = {};
      if (NT_SUCCESS(usb->GetClassRequest(kRequestGetDef, v.selector << 8, unitIndex, answer, 2))) {
        StoreSetting(record->current, answer[0]);
        WriteShortValue(v.name, key, answer[0]);
        fromCamera = true;
      }
    }
    if (!fromCamera) ReadRangedValue(v.name, key, record);
    SHORT send = LoadSetting(record->current);
    if (v.record == kRecordSaturation) send = PanelSaturation(send);
    SetCurrent(usb, v.selector << 8, unitIndex, &send, sizeof(send));
  };
  for (const RangedUnitValue& v : kPictureValues) {
    if (unitHas(v.propertyId)) loadPicture(v);
  }

  ReadDwordValue("HFlip", key, &hFlip, 0);
  ReadDwordValue("VFlip", key, &vFlip, 0);

  ControlRecord* powerLine = &records[kRecordPowerLine];
  StoreSetting(powerLine->defaultValue, 1);
  if (unitHas(KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY)) ReadRangedValue("Powerline_Frequency", key, powerLine);
  const LONG powerLineValue = LoadSetting(powerLine->current);
  ReadDwordValue("FlickerDetectValue", key, &flickerDetectValue, powerLineValue);
  ReadDwordValue("FlickerSetValue", key, &flickerSetValue, powerLineValue);
  ReadDwordValue("OutDoor", key, &outDoor, 0);
  if (unitHas(KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY)) {
    UCHAR frequency = 0;
    if (LoadSetting(outDoor) != 1) {
      frequency = static_cast<UCHAR>(powerLineValue ? powerLineValue : LoadSetting(flickerDetectValue));
    }
    SetCurrent(usb, kPuPowerLine << 8, unitIndex, &frequency, 1);
  }

  ReadDwordValue("AutoWhiteBalance", key, &autoWhiteBalance, 0);
  ReadDwordValue("Wb_R", key, &wbRed, 128);
  ReadDwordValue("Wb_G", key, &wbGreen, 128);
  ReadDwordValue("Wb_B", key, &wbBlue, 128);
  if (unitHas(KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE)) {
    ReadRangedValue("Whitebalance", key, &records[kRecordWhiteBalance]);
  }
  // Not sent (the camera keeps its own gain), but read so that a save writes back what is stored.
  if (unitHas(KSPROPERTY_VIDEOPROCAMP_GAIN)) ReadRangedValue("Gain", key, &records[kRecordGain]);
  if (unit && unit->HasAutoWhiteBalance()) {
    if (LoadSetting(autoWhiteBalance) == 1) {
      UCHAR on = 1;
      SetCurrent(usb, kPuWhiteBalanceAuto << 8, unitIndex, &on, 1);
      StoreSetting(autoWhiteBalanceWasOn, 1);
    } else {
      if (device->GetResumeFlag()) {
        SHORT answer[2] = {};
        if (NT_SUCCESS(usb->GetClassRequest(kRequestGetCur, kPuWhiteBalanceAuto << 8, unitIndex, answer,
                                            2)) &&
            answer[0] == 1) {
          device->ClearResumeFlag();
          StoreSetting(autoWhiteBalanceWasOn, 1);
        }
      }
      if (InterlockedExchange(&autoWhiteBalanceWasOn, 0)) {
        UCHAR off = 0;
        SetCurrent(usb, kPuWhiteBalanceAuto << 8, unitIndex, &off, 1);
      }
    }
  }

  if (unitHas(kBacklightValue.propertyId)) loadPicture(kBacklightValue);

  ReadDwordValue("Rotation", key, &rotation, 0);
  ReadDwordValue("PrivacyFlag", key, &privacyFlag, 0);
  StoreSetting(records[kRecordPrivacy].current, static_cast<SHORT>(LoadSetting(privacyFlag)));

  ReadDwordValue("Colorenable", key, &colorEnable, 1);
  if (unitHas(KSPROPERTY_VIDEOPROCAMP_COLORENABLE) && unitHas(KSPROPERTY_VIDEOPROCAMP_SATURATION)) {
    SHORT send = LoadSetting(colorEnable) != 0 ? PanelSaturation(LoadSetting(records[kRecordSaturation].current)) : 0;
    SetCurrent(usb, kPuSaturation << 8, unitIndex, &send, sizeof(send));
  }

  ReadDwordValue("ZoomScale", key, &zoomScale, kZoomScaleNone);
  ReadDwordValue("PanUpDownSize", key, &panUpDownSize, 0);
  ReadDwordValue("PanLeftRightSize", key, &panLeftRightSize, 0);
  if (terminalHas(KSPROPERTY_CAMERACONTROL_AUTO_EXPOSURE_PRIORITY)) {
    ReadRangedValue("LowLight", key, &records[kRecordLowLight]);
  }
  ReadDwordValue("AutoExposal", key, &autoExposal, kAutoExposalAuto);

  const bool exposureBuilt = terminalHas(KSPROPERTY_CAMERACONTROL_EXPOSURE);
  ControlRecord* exposure = &records[kRecordExposure];
  auto sendExposure = [&]() {
    ULONG time = ExposureLogToTime(LoadSetting(exposure->current));
    SetCurrent(usb, kCtExposureTime << 8, terminalIndex, &time, sizeof(time));
  };
  if (exposureBuilt) {
    bool fromCamera = false;
    if (firstRun) {
      USHORT answer[2] = {};
      if (NT_SUCCESS(usb->GetClassRequest(kRequestGetDef, kCtExposureTime << 8, terminalIndex, answer, 2))) {
        const SHORT logValue = static_cast<SHORT>(ExposureTimeToLog(answer[0]));
        StoreSetting(exposure->current, logValue);
        WriteShortValue("Exposal", key, logValue);
        fromCamera = true;
      }
    }
    if (!fromCamera) ReadRangedValue("Exposal", key, exposure);
    sendExposure();
  }
  if (terminal && terminal->HasAutoExposureMode()) {
    const bool automatic = LoadSetting(autoExposal) == kAutoExposalAuto;
    UCHAR mode = automatic ? kAeModeAperturePriority : kAeModeManual;
    StoreSetting(autoExposureMode, mode);
    SetCurrent(usb, kCtAutoExposureMode << 8, terminalIndex, &mode, 1);
    if (!automatic && exposureBuilt) sendExposure();
    StoreSetting(autoExposureActive, automatic ? 1 : 0);
  }

  ReadDwordValue("ImageQuality", key, &imageQuality, 1);
  ReadDwordValue("RgbIrCamera", key, &rgbIrCamera, 0);
  ReadDwordValue("AWBCheck", key, &awbCheck, 0);
  StoreSetting(regionWord, kRegionWordLoaded);

  ULONG faceDetect = kMissing;
  const NTSTATUS status = QueryRegistryDword(&oemKey_, "FaceDetectEnable", &faceDetect);
  StoreSetting(faceDetectEnable, NT_SUCCESS(status) && faceDetect != kMissing ? static_cast<LONG>(faceDetect) : 0);
  return status;
}

}  // namespace kvz
