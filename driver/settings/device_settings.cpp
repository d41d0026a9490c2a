#include "driver/settings/device_settings.h"

#include <ntstrsafe.h>

#include "common/uvc_codes.h"
#include "driver/settings/registry_access.h"
#include "postproc/base/frame_device.h"
#include "usb/usb_device.h"

namespace kvz {
namespace {

constexpr LONG kConstructedRecordWord = 0x40001;
constexpr SHORT kPanelSaturationOffset = 13;
constexpr WCHAR kClassKeyFormat[] = u"\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\%ws\\%ws";
constexpr WCHAR kRotationKeyFormat[] =
    u"\\Registry\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\%ws\\RotationDisableParameters\\%d.%d";
constexpr WCHAR kOemKey[] = u"\\Registry\\MACHINE\\SOFTWARE\\Brevik\\Camera\\Integrated";

struct SavedRecord {
  const char* name;
  ControlRecordIndex record;
};
constexpr SavedRecord kSavedRecords[] = {
    {"Brightness", kRecordBrightness}, {"Contrast", kRecordContrast},   {"Hue", kRecordHue},
    {"Saturation", kRecordSaturation}, {"Sharpness", kRecordSharpness}, {"Gamma", kRecordGamma},
    {"Gain", kRecordGain},             {"Whitebalance", kRecordWhiteBalance}, {"BackLight", kRecordBacklight},
    {"PowerLine_Frequency", kRecordPowerLine}, {"Exposal", kRecordExposure},
};

VOID InitPath(PWSTR buffer, PUNICODE_STRING string) {
  size_t chars = 0;
  if (!NT_SUCCESS(RtlStringCchLengthW(buffer, kRegistryPathChars, &chars))) chars = 0;
  string->Buffer = buffer;
  string->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
  string->MaximumLength = static_cast<USHORT>(kRegistryPathChars * sizeof(WCHAR));
}

// A path that does not fit its buffer is left empty: a cut path would name another key.
template <class... Args>
VOID FormatKeyPath(PWSTR buffer, PUNICODE_STRING string, PCWSTR format, Args... args) {
  if (!NT_SUCCESS(RtlStringCchPrintfW(buffer, kRegistryPathChars, format, args...))) buffer[0] = 0;
  InitPath(buffer, string);
}

}  // namespace

DeviceSettings::DeviceSettings() {
  RtlZeroMemory(this, sizeof(*this));
  autoExposureMode = kAeModeAperturePriority;
  zoomScale = kZoomScaleNone;
  privateSetValue = 1;
  records[kRecordLowLight].extra1 = static_cast<SHORT>(kConstructedRecordWord & 0xFFFF);
  records[kRecordLowLight].extra2 = static_cast<SHORT>(kConstructedRecordWord >> 16);
  InitPath(controlPath, &controlKey_);
  InitPath(valuesPath, &valuesKey_);
  InitPath(rotationPath, &rotationKey_);
  InitPath(oemPath, &oemKey_);
}

VOID DeviceSettings::BuildRegistryPaths(PCWSTR driverKey) {
  PAGED_CODE();
  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof(version));
  version.dwOSVersionInfoSize = sizeof(version);
  RtlGetVersion(&version);
  FormatKeyPath(controlPath, &controlKey_, kClassKeyFormat, driverKey, u"CONTROL");
  FormatKeyPath(valuesPath, &valuesKey_, kClassKeyFormat, driverKey, u"VIDEOPROCAMP");
  FormatKeyPath(rotationPath, &rotationKey_, kRotationKeyFormat, driverKey, static_cast<int>(version.dwMajorVersion),
                static_cast<int>(version.dwMinorVersion));
  FormatKeyPath(oemPath, &oemKey_, kOemKey);
}

NTSTATUS DeviceSettings::ReadRegistryOptions() {
  PAGED_CODE();
  ULONG apply = 0;
  const NTSTATUS applyStatus = QueryRegistryDword(&controlKey_, "ApplyRegistryValues", &apply);
  applyRegistryValues = static_cast<LONG>(apply);
  ULONG debug = 0;
  const NTSTATUS status = QueryRegistryDword(&controlKey_, "DebugMessage", &debug);
  debugMessage = NT_SUCCESS(applyStatus) && apply == 1 ? static_cast<LONG>(debug & 0xFF) : 0;
  return status;
}

NTSTATUS DeviceSettings::ReadRangedValue(const char* name, PUNICODE_STRING key, ControlRecord* record) {
  ULONG value = kMissing;
  const NTSTATUS status = QueryRegistryDword(key, name, &value);
  const SHORT stored = static_cast<SHORT>(value & 0xFFFF);
  if (!NT_SUCCESS(status) || value == kMissing || stored > LoadSetting(record->maximum) ||
      stored < LoadSetting(record->minimum)) {
    StoreSetting(record->current, LoadSetting(record->defaultValue));
  } else {
    StoreSetting(record->current, stored);
  }
  return status;
}

NTSTATUS DeviceSettings::ReadDwordValue(const char* name, PUNICODE_STRING key, LONG* out, LONG defaultValue) {
  ULONG value = kMissing;
  const NTSTATUS status = QueryRegistryDword(key, name, &value);
  StoreSetting(*out, !NT_SUCCESS(status) || value == kMissing ? defaultValue : static_cast<LONG>(value));
  return status;
}

NTSTATUS DeviceSettings::WriteShortValue(const char* name, PUNICODE_STRING key, SHORT value) {
  return WriteRegistryDword(key, name, static_cast<ULONG>(static_cast<LONG>(value)));
}

NTSTATUS DeviceSettings::WriteDwordValue(const char* name, PUNICODE_STRING key, LONG value) {
  return WriteRegistryDword(key, name, static_cast<ULONG>(value));
}

NTSTATUS DeviceSettings::SetCurrent(UsbDevice* device, USHORT value, USHORT index, PVOID buffer, USHORT length) {
  return device->SetClassRequest(kRequestSetCur, value, index, buffer, length);
}

SHORT DeviceSettings::PanelSaturation(SHORT saturation) const {
  if (!LoadSetting(panel4K)) return saturation;
  return saturation >= kPanelSaturationOffset + 1 ? static_cast<SHORT>(saturation - kPanelSaturationOffset) : 0;
}

NTSTATUS DeviceSettings::SaveRegistryValues(ULONG flag) {
  PAGED_CODE();
  if (!flag) return STATUS_SUCCESS;
  PUNICODE_STRING key = &valuesKey_;
  for (const SavedRecord& saved : kSavedRecords) {
    WriteShortValue(saved.name, key, LoadSetting(records[saved.record].current));
  }
  WriteDwordValue("HFlip", key, LoadSetting(hFlip));
  WriteDwordValue("VFlip", key, LoadSetting(vFlip));
  WriteShortValue("LowLight", key, LoadSetting(records[kRecordLowLight].current));
  WriteDwordValue("Rotation", key, LoadSetting(rotation));
  WriteDwordValue("PrivacyFlag", key, LoadSetting(privacyFlag));
  WriteShortValue("Colorenable", key, static_cast<SHORT>(LoadSetting(colorEnable) & 0xFFFF));
  WriteDwordValue("AutoExposal", key, LoadSetting(autoExposal));
  WriteDwordValue("AutoWhiteBalance", key, LoadSetting(autoWhiteBalance));
  WriteDwordValue("ImageQuality", key, LoadSetting(imageQuality));
  WriteDwordValue("OutDoor", key, LoadSetting(outDoor));
  WriteDwordValue("FlickerDetectValue", key, LoadSetting(flickerDetectValue));
  return STATUS_SUCCESS;
}

}  // namespace kvz
