// One camera's control values and driver image settings, their registry keys, and the load into
// and save from the camera and the registry.
#pragma once
#include <wdm.h>

#include "primitives/test_seam.h"

namespace kvz {

class UsbDevice;
class CameraDeviceControls;

// Current value and the camera's limits of one control; two further words for the handlers.
struct ControlRecord {
  SHORT current;
  SHORT maximum;
  SHORT minimum;
  SHORT defaultValue;
  SHORT extra1;
  SHORT extra2;
};

enum ControlRecordIndex : ULONG {
  kRecordBrightness = 0,
  kRecordContrast = 1,
  kRecordGain = 2,
  kRecordExposure = 3,  // logarithmic exposure
  kRecordHue = 5,
  kRecordSaturation = 6,
  kRecordSharpness = 7,
  kRecordGamma = 8,
  kRecordWhiteBalance = 9,
  kRecordBacklight = 11,
  kRecordPowerLine = 12,
  kRecordLowLight = 13,
  kRecordPrivacy = 14,
  kRecordColorEnable = 15,
  kRecordCount = 20,
};

constexpr ULONG kRegistryPathChars = 200;
constexpr ULONG kRegionWordLoaded = 0x600;

// Auto-exposure mode bytes sent to the camera.
constexpr UCHAR kAeModeManual = 1;
constexpr UCHAR kAeModeAperturePriority = 8;
// "AutoExposal".
constexpr LONG kAutoExposalAuto = 1;
constexpr LONG kAutoExposalManual = 2;

// Settings shared between client requests, the pins and the frame processor are read and
// written through these: every access is atomic, so a value is never seen half-written.
template <class T>
inline T LoadSetting(const T& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <class T, class V>
inline VOID StoreSetting(T& field, V value) {
  __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELEASE);
}

class DeviceSettings {
 public:
  DeviceSettings();
  DeviceSettings(const DeviceSettings&) = delete;
  DeviceSettings& operator=(const DeviceSettings&) = delete;

  // driverKey: the device's class GUID, a backslash and its instance number.
  VOID BuildRegistryPaths(PCWSTR driverKey);
  NTSTATUS ReadRegistryOptions();
  // Loads every value and sends the built controls to the camera; the status of the
  // face-detection switch's query. It goes through the control handlers, so it is defined with
  // them (driver/controls/settings_loading.cpp): settings/ sits below controls/.
  NTSTATUS LoadRegistryValues(CameraDeviceControls* device);
  // flag 0 writes nothing. Write failures are not reported: a missing key means no settings.
  NTSTATUS SaveRegistryValues(ULONG flag);

  NTSTATUS ReadRangedValue(const char* name, PUNICODE_STRING key, ControlRecord* record);
  NTSTATUS ReadDwordValue(const char* name, PUNICODE_STRING key, LONG* out, LONG defaultValue);
  NTSTATUS WriteShortValue(const char* name, PUNICODE_STRING key, SHORT value);
  NTSTATUS WriteDwordValue(const char* name, PUNICODE_STRING key, LONG value);
  NTSTATUS SetCurrent(UsbDevice* device, USHORT value, USHORT index, PVOID buffer, USHORT length);

  PUNICODE_STRING ValuesKey() { return &valuesKey_; }
  PUNICODE_STRING RotationKey() { return &rotationKey_; }

  // Saturation as the camera gets it: with the 4K panel 13 less, never below 0.
  SHORT PanelSaturation(SHORT saturation) const;

  WCHAR controlPath[kRegistryPathChars];
  WCHAR valuesPath[kRegistryPathChars];
  WCHAR rotationPath[kRegistryPathChars];
  LONG debugMessage;
  LONG applyRegistryValues;
  ControlRecord records[kRecordCount];
  LONG colorEnable;
  LONG autoExposal;
  LONG autoWhiteBalance;
  LONG autoWhiteBalanceWasOn;
  LONG autoExposureActive;
  LONG privacyFlag;
  LONG autoExposureMode;
  LONG hFlip;
  LONG vFlip;
  LONG flickerDetectValue;
  LONG flickerSetValue;
  LONG rotation;
  LONG zoomScale;
  LONG panUpDownSize;
  LONG panLeftRightSize;
  LONG wbRed;
  LONG wbGreen;
  LONG wbBlue;
  LONG imageQuality;
  LONG outDoor;
  LONG privateUnitPresent;
  LONG panel4K;
  LONG awbCheck;
  WCHAR oemPath[kRegistryPathChars];
  LONG faceDetectEnable;
  LONG privateSetValue;
  LONG rgbIrCamera;
  LONG regionWord;
  // Exposure-time limits in the camera's 100-us units (unsigned 16-bit).
  USHORT exposureTimeMaximum;
  USHORT exposureTimeMinimum;
  USHORT exposureTimeDefault;

 private:
  template <class T>
  friend struct TestSeam;

  // What a registry read leaves in a value the key does not hold.
  static constexpr ULONG kMissing = 0x80000000;

  UNICODE_STRING controlKey_;
  UNICODE_STRING valuesKey_;
  UNICODE_STRING rotationKey_;
  UNICODE_STRING oemKey_;
};

}  // namespace kvz
