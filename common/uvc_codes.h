// UVC class request codes, the default units' ids and the control selectors the driver sends,
// shared by the controls, the transport, post-processing and face exposure. A request's wValue is
// the selector in the high byte (selector << 8).
#pragma once
#include <wdm.h>

namespace kvz {

// UVC class requests.
constexpr UCHAR kRequestSetCur = 0x01;
constexpr UCHAR kRequestGetCur = 0x81;
constexpr UCHAR kRequestGetMin = 0x82;
constexpr UCHAR kRequestGetMax = 0x83;
constexpr UCHAR kRequestGetRes = 0x84;
constexpr UCHAR kRequestGetLen = 0x85;
constexpr UCHAR kRequestGetDef = 0x87;

// Identifiers of the default camera terminal and processing unit a system without the camera's
// own units gets; every other camera's terminal and unit are addressed by the identifiers their
// descriptors give.
constexpr UCHAR kDefaultCameraTerminalId = 1;
constexpr UCHAR kDefaultProcessingUnitId = 2;

// Camera-terminal selectors.
constexpr USHORT kCtAutoExposureMode = 2;
constexpr USHORT kCtAutoExposurePriority = 3;
constexpr USHORT kCtExposureTime = 4;
constexpr USHORT kCtPrivacy = 17;

// Processing-unit selectors.
constexpr USHORT kPuBacklight = 1;
constexpr USHORT kPuBrightness = 2;
constexpr USHORT kPuContrast = 3;
constexpr USHORT kPuGain = 4;
constexpr USHORT kPuPowerLine = 5;
constexpr USHORT kPuHue = 6;
constexpr USHORT kPuSaturation = 7;
constexpr USHORT kPuSharpness = 8;
constexpr USHORT kPuGamma = 9;
constexpr USHORT kPuWhiteBalanceTemperature = 10;
constexpr USHORT kPuWhiteBalanceAuto = 11;

// Vendor extension unit: one-byte camera registers, the face-exposure window and its levels.
constexpr USHORT kXuRegisterAddress = 2;
constexpr USHORT kXuRegisterData = 3;
constexpr USHORT kXuFaceExposureWindow = 27;
constexpr USHORT kXuExposureLevels = 28;

// A request's wValue for a control selector.
constexpr USHORT SelectorValue(USHORT selector) { return static_cast<USHORT>(selector << 8); }

}  // namespace kvz
