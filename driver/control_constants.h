// Numbers of the camera's controls as the property sets and the settings loader use them: UVC
// request codes, the default units' ids, selectors, property-data layouts and pool tags.
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

// Vendor extension unit: one-byte camera registers and the face-exposure window.
constexpr USHORT kXuRegisterAddress = 2;
constexpr USHORT kXuRegisterData = 3;
constexpr USHORT kXuFaceExposureWindow = 27;
constexpr ULONG kXuMaxControls = 32;
constexpr ULONG kXuIdentitySize = 25;
constexpr ULONG kXuIdentityOffset = 4;
constexpr USHORT kXuMaxControlLength = 4096;

// Auto-exposure mode bytes sent to the camera.
constexpr UCHAR kAeModeManual = 1;
constexpr UCHAR kAeModeAperturePriority = 8;
// "AutoExposal".
constexpr LONG kAutoExposalAuto = 1;
constexpr LONG kAutoExposalManual = 2;

// Property data of the camera-control and video-procamp sets: plain or node layout.
constexpr ULONG kPlainValueOffset = 24;
constexpr ULONG kNodeValueOffset = 32;
constexpr ULONG kPlainPropertyData = 40;
constexpr ULONG kNodePropertyData = 48;
constexpr ULONG kPropertyHeaderSize = 24;

// Pool tags.
constexpr ULONG kTagStepping = 'PPSt';
constexpr ULONG kTagDefault = 'PinI';
constexpr ULONG kTagMembersList = 'PPML';
constexpr ULONG kTagValues = 'PPVl';
constexpr ULONG kTagPlainControl = 'ClDC';
constexpr ULONG kTagUnitControl = 'ClBC';
constexpr ULONG kTagRangeControl = 'ClRC';
constexpr ULONG kTagPresetControl = 'ClEP';
constexpr ULONG kTagRangeBuffer = 'ClRB';
constexpr ULONG kTagRegionWorkItem = 'VCWI';

}  // namespace kvz
