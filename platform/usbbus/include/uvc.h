// USB Video Class 1.1: class codes, descriptor subtypes, request codes, control selectors, the
// class-specific descriptors (fixed parts, packed as on the wire), the probe and commit blocks,
// the payload header and the status packets.
#pragma once

#include "ntdef.h"

// Interface class, subclasses and protocol.
#define CC_VIDEO 0x0E
#define SC_UNDEFINED 0x00
#define SC_VIDEOCONTROL 0x01
#define SC_VIDEOSTREAMING 0x02
#define SC_VIDEO_INTERFACE_COLLECTION 0x03
#define PC_PROTOCOL_UNDEFINED 0x00

// Class-specific descriptor types.
#define CS_UNDEFINED 0x20
#define CS_DEVICE 0x21
#define CS_CONFIGURATION 0x22
#define CS_STRING 0x23
#define CS_INTERFACE 0x24
#define CS_ENDPOINT 0x25

// Video control interface descriptor subtypes.
#define VC_DESCRIPTOR_UNDEFINED 0x00
#define VC_HEADER 0x01
#define VC_INPUT_TERMINAL 0x02
#define VC_OUTPUT_TERMINAL 0x03
#define VC_SELECTOR_UNIT 0x04
#define VC_PROCESSING_UNIT 0x05
#define VC_EXTENSION_UNIT 0x06

// Video streaming interface descriptor subtypes.
#define VS_UNDEFINED 0x00
#define VS_INPUT_HEADER 0x01
#define VS_OUTPUT_HEADER 0x02
#define VS_STILL_IMAGE_FRAME 0x03
#define VS_FORMAT_UNCOMPRESSED 0x04
#define VS_FRAME_UNCOMPRESSED 0x05
#define VS_FORMAT_MJPEG 0x06
#define VS_FRAME_MJPEG 0x07
#define VS_FORMAT_MPEG2TS 0x0A
#define VS_FORMAT_DV 0x0C
#define VS_COLORFORMAT 0x0D
#define VS_FORMAT_FRAME_BASED 0x10
#define VS_FRAME_FRAME_BASED 0x11
#define VS_FORMAT_STREAM_BASED 0x12

// Class-specific endpoint descriptor subtypes.
#define EP_UNDEFINED 0x00
#define EP_GENERAL 0x01
#define EP_ENDPOINT 0x02
#define EP_INTERRUPT 0x03

// Class-specific request codes.
#define RC_UNDEFINED 0x00
#define SET_CUR 0x01
#define GET_CUR 0x81
#define GET_MIN 0x82
#define GET_MAX 0x83
#define GET_RES 0x84
#define GET_LEN 0x85
#define GET_INFO 0x86
#define GET_DEF 0x87

// GET_INFO bits.
#define UVC_INFO_SUPPORTS_GET 0x01
#define UVC_INFO_SUPPORTS_SET 0x02
#define UVC_INFO_DISABLED_BY_AUTO 0x04
#define UVC_INFO_AUTOUPDATE 0x08
#define UVC_INFO_ASYNCHRONOUS 0x10

// Video control interface control selectors.
// bRequestErrorCode values of VC_REQUEST_ERROR_CODE_CONTROL.
#define UVC_ERROR_NONE 0x00
#define UVC_ERROR_NOT_READY 0x01
#define UVC_ERROR_WRONG_STATE 0x02
#define UVC_ERROR_POWER 0x03
#define UVC_ERROR_OUT_OF_RANGE 0x04
#define UVC_ERROR_INVALID_UNIT 0x05
#define UVC_ERROR_INVALID_CONTROL 0x06
#define UVC_ERROR_INVALID_REQUEST 0x07
#define UVC_ERROR_INVALID_VALUE 0x08
#define UVC_ERROR_UNKNOWN 0xFF

#define VC_CONTROL_UNDEFINED 0x00
#define VC_VIDEO_POWER_MODE_CONTROL 0x01
#define VC_REQUEST_ERROR_CODE_CONTROL 0x02

// Terminal control selectors.
#define TE_CONTROL_UNDEFINED 0x00

// Camera terminal control selectors.
#define CT_CONTROL_UNDEFINED 0x00
#define CT_SCANNING_MODE_CONTROL 0x01
#define CT_AE_MODE_CONTROL 0x02
#define CT_AE_PRIORITY_CONTROL 0x03
#define CT_EXPOSURE_TIME_ABSOLUTE_CONTROL 0x04
#define CT_EXPOSURE_TIME_RELATIVE_CONTROL 0x05
#define CT_FOCUS_ABSOLUTE_CONTROL 0x06
#define CT_FOCUS_RELATIVE_CONTROL 0x07
#define CT_FOCUS_AUTO_CONTROL 0x08
#define CT_IRIS_ABSOLUTE_CONTROL 0x09
#define CT_IRIS_RELATIVE_CONTROL 0x0A
#define CT_ZOOM_ABSOLUTE_CONTROL 0x0B
#define CT_ZOOM_RELATIVE_CONTROL 0x0C
#define CT_PANTILT_ABSOLUTE_CONTROL 0x0D
#define CT_PANTILT_RELATIVE_CONTROL 0x0E
#define CT_ROLL_ABSOLUTE_CONTROL 0x0F
#define CT_ROLL_RELATIVE_CONTROL 0x10
#define CT_PRIVACY_CONTROL 0x11

// Processing unit control selectors.
#define PU_CONTROL_UNDEFINED 0x00
#define PU_BACKLIGHT_COMPENSATION_CONTROL 0x01
#define PU_BRIGHTNESS_CONTROL 0x02
#define PU_CONTRAST_CONTROL 0x03
#define PU_GAIN_CONTROL 0x04
#define PU_POWER_LINE_FREQUENCY_CONTROL 0x05
#define PU_HUE_CONTROL 0x06
#define PU_SATURATION_CONTROL 0x07
#define PU_SHARPNESS_CONTROL 0x08
#define PU_GAMMA_CONTROL 0x09
#define PU_WHITE_BALANCE_TEMPERATURE_CONTROL 0x0A
#define PU_WHITE_BALANCE_TEMPERATURE_AUTO_CONTROL 0x0B
#define PU_WHITE_BALANCE_COMPONENT_CONTROL 0x0C
#define PU_WHITE_BALANCE_COMPONENT_AUTO_CONTROL 0x0D
#define PU_DIGITAL_MULTIPLIER_CONTROL 0x0E
#define PU_DIGITAL_MULTIPLIER_LIMIT_CONTROL 0x0F
#define PU_HUE_AUTO_CONTROL 0x10
#define PU_ANALOG_VIDEO_STANDARD_CONTROL 0x11
#define PU_ANALOG_LOCK_STATUS_CONTROL 0x12

// Video streaming interface control selectors.
#define VS_CONTROL_UNDEFINED 0x00
#define VS_PROBE_CONTROL 0x01
#define VS_COMMIT_CONTROL 0x02
#define VS_STILL_PROBE_CONTROL 0x03
#define VS_STILL_COMMIT_CONTROL 0x04
#define VS_STILL_IMAGE_TRIGGER_CONTROL 0x05
#define VS_STREAM_ERROR_CODE_CONTROL 0x06
#define VS_GENERATE_KEY_FRAME_CONTROL 0x07
#define VS_UPDATE_FRAME_SEGMENT_CONTROL 0x08
#define VS_SYNCH_DELAY_CONTROL 0x09

// Terminal types.
#define TT_VENDOR_SPECIFIC 0x0100
#define TT_STREAMING 0x0101
#define ITT_VENDOR_SPECIFIC 0x0200
#define ITT_CAMERA 0x0201
#define ITT_MEDIA_TRANSPORT_INPUT 0x0202
#define OTT_VENDOR_SPECIFIC 0x0300
#define OTT_DISPLAY 0x0301

// Payload header bmHeaderInfo bits.
#define UVC_STREAM_FID 0x01
#define UVC_STREAM_EOF 0x02
#define UVC_STREAM_PTS 0x04
#define UVC_STREAM_SCR 0x08
#define UVC_STREAM_RES 0x10
#define UVC_STREAM_STI 0x20
#define UVC_STREAM_ERR 0x40
#define UVC_STREAM_EOH 0x80

// Status packet types and events.
#define UVC_STATUS_TYPE_CONTROL 0x01
#define UVC_STATUS_TYPE_STREAMING 0x02
#define UVC_VC_EVENT_CONTROL_CHANGE 0x00
#define UVC_VS_EVENT_BUTTON_PRESS 0x00

// Still trigger values.
#define UVC_STILL_TRIGGER_NORMAL 0x00
#define UVC_STILL_TRIGGER_TRANSMIT 0x01
#define UVC_STILL_TRIGGER_TRANSMIT_BULK 0x02
#define UVC_STILL_TRIGGER_ABORT 0x03

#pragma pack(push, 1)

typedef struct _UVC_VC_HEADER_DESCRIPTOR {
  UCHAR bLength;  // 12 + bInCollection
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  USHORT bcdUVC;
  USHORT wTotalLength;  // header and every unit and terminal descriptor
  ULONG dwClockFrequency;
  UCHAR bInCollection;
  // UCHAR baInterfaceNr[bInCollection];
} UVC_VC_HEADER_DESCRIPTOR, *PUVC_VC_HEADER_DESCRIPTOR;

typedef struct _UVC_INPUT_TERMINAL_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bTerminalID;
  USHORT wTerminalType;
  UCHAR bAssocTerminal;
  UCHAR iTerminal;
} UVC_INPUT_TERMINAL_DESCRIPTOR, *PUVC_INPUT_TERMINAL_DESCRIPTOR;

typedef struct _UVC_CAMERA_TERMINAL_DESCRIPTOR {
  UCHAR bLength;  // 15 + bControlSize
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bTerminalID;
  USHORT wTerminalType;  // ITT_CAMERA
  UCHAR bAssocTerminal;
  UCHAR iTerminal;
  USHORT wObjectiveFocalLengthMin;
  USHORT wObjectiveFocalLengthMax;
  USHORT wOcularFocalLength;
  UCHAR bControlSize;
  // UCHAR bmControls[bControlSize];
} UVC_CAMERA_TERMINAL_DESCRIPTOR, *PUVC_CAMERA_TERMINAL_DESCRIPTOR;

typedef struct _UVC_OUTPUT_TERMINAL_DESCRIPTOR {
  UCHAR bLength;  // 9
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bTerminalID;
  USHORT wTerminalType;
  UCHAR bAssocTerminal;
  UCHAR bSourceID;
  UCHAR iTerminal;
} UVC_OUTPUT_TERMINAL_DESCRIPTOR, *PUVC_OUTPUT_TERMINAL_DESCRIPTOR;

typedef struct _UVC_PROCESSING_UNIT_DESCRIPTOR {
  UCHAR bLength;  // 10 + bControlSize (1.0), 11 + bControlSize (1.1)
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bUnitID;
  UCHAR bSourceID;
  USHORT wMaxMultiplier;
  UCHAR bControlSize;
  // UCHAR bmControls[bControlSize]; UCHAR iProcessing; UCHAR bmVideoStandards (1.1);
} UVC_PROCESSING_UNIT_DESCRIPTOR, *PUVC_PROCESSING_UNIT_DESCRIPTOR;

typedef struct _UVC_EXTENSION_UNIT_DESCRIPTOR {
  UCHAR bLength;  // 24 + bNrInPins + bControlSize
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bUnitID;
  GUID guidExtensionCode;
  UCHAR bNumControls;
  UCHAR bNrInPins;
  // UCHAR baSourceID[bNrInPins]; UCHAR bControlSize; UCHAR bmControls[bControlSize];
  // UCHAR iExtension;
} UVC_EXTENSION_UNIT_DESCRIPTOR, *PUVC_EXTENSION_UNIT_DESCRIPTOR;

typedef struct _UVC_VC_INTERRUPT_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;  // 5
  UCHAR bDescriptorType;     // CS_ENDPOINT
  UCHAR bDescriptorSubtype;  // EP_INTERRUPT
  USHORT wMaxTransferSize;
} UVC_VC_INTERRUPT_ENDPOINT_DESCRIPTOR, *PUVC_VC_INTERRUPT_ENDPOINT_DESCRIPTOR;

typedef struct _UVC_VS_INPUT_HEADER_DESCRIPTOR {
  UCHAR bLength;  // 13 + bNumFormats * bControlSize
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bNumFormats;
  USHORT wTotalLength;  // header and every format and frame descriptor
  UCHAR bEndpointAddress;
  UCHAR bmInfo;
  UCHAR bTerminalLink;
  UCHAR bStillCaptureMethod;
  UCHAR bTriggerSupport;
  UCHAR bTriggerUsage;
  UCHAR bControlSize;
  // UCHAR bmaControls[bNumFormats][bControlSize];
} UVC_VS_INPUT_HEADER_DESCRIPTOR, *PUVC_VS_INPUT_HEADER_DESCRIPTOR;

typedef struct _UVC_FORMAT_UNCOMPRESSED_DESCRIPTOR {
  UCHAR bLength;  // 27
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bFormatIndex;
  UCHAR bNumFrameDescriptors;
  GUID guidFormat;
  UCHAR bBitsPerPixel;
  UCHAR bDefaultFrameIndex;
  UCHAR bAspectRatioX;
  UCHAR bAspectRatioY;
  UCHAR bmInterlaceFlags;
  UCHAR bCopyProtect;
} UVC_FORMAT_UNCOMPRESSED_DESCRIPTOR, *PUVC_FORMAT_UNCOMPRESSED_DESCRIPTOR;

typedef struct _UVC_FORMAT_MJPEG_DESCRIPTOR {
  UCHAR bLength;  // 11
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bFormatIndex;
  UCHAR bNumFrameDescriptors;
  UCHAR bmFlags;
  UCHAR bDefaultFrameIndex;
  UCHAR bAspectRatioX;
  UCHAR bAspectRatioY;
  UCHAR bmInterlaceFlags;
  UCHAR bCopyProtect;
} UVC_FORMAT_MJPEG_DESCRIPTOR, *PUVC_FORMAT_MJPEG_DESCRIPTOR;

// VS_FRAME_UNCOMPRESSED and VS_FRAME_MJPEG share this layout.
typedef struct _UVC_FRAME_DESCRIPTOR {
  UCHAR bLength;  // 26 + 4 * bFrameIntervalType (discrete) or 38 (continuous)
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bFrameIndex;
  UCHAR bmCapabilities;
  USHORT wWidth;
  USHORT wHeight;
  ULONG dwMinBitRate;
  ULONG dwMaxBitRate;
  ULONG dwMaxVideoFrameBufferSize;
  ULONG dwDefaultFrameInterval;
  UCHAR bFrameIntervalType;  // 0 continuous, else the number of discrete intervals
  // ULONG dwFrameInterval[bFrameIntervalType] or {min, max, step}
} UVC_FRAME_DESCRIPTOR, *PUVC_FRAME_DESCRIPTOR;

typedef struct _UVC_STILL_IMAGE_FRAME_DESCRIPTOR {
  UCHAR bLength;  // 6 + 4 * bNumImageSizePatterns + bNumCompressionPattern
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bEndpointAddress;
  UCHAR bNumImageSizePatterns;
  // {USHORT wWidth; USHORT wHeight;}[bNumImageSizePatterns]; UCHAR bNumCompressionPattern;
  // UCHAR bCompression[bNumCompressionPattern];
} UVC_STILL_IMAGE_FRAME_DESCRIPTOR, *PUVC_STILL_IMAGE_FRAME_DESCRIPTOR;

typedef struct _UVC_COLOR_MATCHING_DESCRIPTOR {
  UCHAR bLength;  // 6
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bColorPrimaries;
  UCHAR bTransferCharacteristics;
  UCHAR bMatrixCoefficients;
} UVC_COLOR_MATCHING_DESCRIPTOR, *PUVC_COLOR_MATCHING_DESCRIPTOR;

// VS_PROBE_CONTROL and VS_COMMIT_CONTROL (UVC 1.0 length).
typedef struct _UVC_VIDEO_PROBE_COMMIT {
  USHORT bmHint;
  UCHAR bFormatIndex;
  UCHAR bFrameIndex;
  ULONG dwFrameInterval;
  USHORT wKeyFrameRate;
  USHORT wPFrameRate;
  USHORT wCompQuality;
  USHORT wCompWindowSize;
  USHORT wDelay;
  ULONG dwMaxVideoFrameSize;
  ULONG dwMaxPayloadTransferSize;
} UVC_VIDEO_PROBE_COMMIT, *PUVC_VIDEO_PROBE_COMMIT;

// VS_STILL_PROBE_CONTROL and VS_STILL_COMMIT_CONTROL.
typedef struct _UVC_STILL_PROBE_COMMIT {
  UCHAR bFormatIndex;
  UCHAR bFrameIndex;
  UCHAR bCompressionIndex;
  ULONG dwMaxVideoFrameSize;
  ULONG dwMaxPayloadTransferSize;
} UVC_STILL_PROBE_COMMIT, *PUVC_STILL_PROBE_COMMIT;

typedef struct _UVC_PAYLOAD_HEADER {
  UCHAR bHeaderLength;  // 12 with PTS and SCR
  UCHAR bmHeaderInfo;
  ULONG dwPresentationTime;
  ULONG dwSourceTimeClock;
  USHORT wSofCounter;  // bits 0-10
} UVC_PAYLOAD_HEADER, *PUVC_PAYLOAD_HEADER;

typedef struct _UVC_VS_STATUS_PACKET {
  UCHAR bStatusType;  // UVC_STATUS_TYPE_STREAMING
  UCHAR bOriginator;  // interface number
  UCHAR bEvent;       // UVC_VS_EVENT_BUTTON_PRESS
  UCHAR bValue;       // 1 pressed, 0 released
} UVC_VS_STATUS_PACKET, *PUVC_VS_STATUS_PACKET;

typedef struct _UVC_VC_STATUS_PACKET {
  UCHAR bStatusType;  // UVC_STATUS_TYPE_CONTROL
  UCHAR bOriginator;  // unit or terminal
  UCHAR bEvent;       // UVC_VC_EVENT_CONTROL_CHANGE
  UCHAR bSelector;
  UCHAR bAttribute;  // 0 value, 1 info, 2 failure, 3 min, 4 max
  // UCHAR bValue[];
} UVC_VC_STATUS_PACKET, *PUVC_VC_STATUS_PACKET;

#pragma pack(pop)

static_assert(sizeof(UVC_VC_HEADER_DESCRIPTOR) == 12, "wire layout");
static_assert(sizeof(UVC_INPUT_TERMINAL_DESCRIPTOR) == 8, "wire layout");
static_assert(sizeof(UVC_CAMERA_TERMINAL_DESCRIPTOR) == 15, "wire layout");
static_assert(sizeof(UVC_OUTPUT_TERMINAL_DESCRIPTOR) == 9, "wire layout");
static_assert(sizeof(UVC_PROCESSING_UNIT_DESCRIPTOR) == 8, "wire layout");
static_assert(sizeof(UVC_EXTENSION_UNIT_DESCRIPTOR) == 22, "wire layout");
static_assert(offsetof(UVC_EXTENSION_UNIT_DESCRIPTOR, bNrInPins) == 21, "wire layout");
static_assert(sizeof(UVC_VC_INTERRUPT_ENDPOINT_DESCRIPTOR) == 5, "wire layout");
static_assert(sizeof(UVC_VS_INPUT_HEADER_DESCRIPTOR) == 13, "wire layout");
static_assert(offsetof(UVC_VS_INPUT_HEADER_DESCRIPTOR, bStillCaptureMethod) == 9, "wire layout");
static_assert(sizeof(UVC_FORMAT_UNCOMPRESSED_DESCRIPTOR) == 27, "wire layout");
static_assert(sizeof(UVC_FORMAT_MJPEG_DESCRIPTOR) == 11, "wire layout");
static_assert(sizeof(UVC_FRAME_DESCRIPTOR) == 26, "wire layout");
static_assert(offsetof(UVC_FRAME_DESCRIPTOR, dwDefaultFrameInterval) == 21, "wire layout");
static_assert(sizeof(UVC_STILL_IMAGE_FRAME_DESCRIPTOR) == 5, "wire layout");
static_assert(sizeof(UVC_COLOR_MATCHING_DESCRIPTOR) == 6, "wire layout");
static_assert(sizeof(UVC_VIDEO_PROBE_COMMIT) == 26, "wire layout");
static_assert(offsetof(UVC_VIDEO_PROBE_COMMIT, dwMaxVideoFrameSize) == 18, "wire layout");
static_assert(offsetof(UVC_VIDEO_PROBE_COMMIT, dwMaxPayloadTransferSize) == 22, "wire layout");
static_assert(sizeof(UVC_STILL_PROBE_COMMIT) == 11, "wire layout");
static_assert(offsetof(UVC_STILL_PROBE_COMMIT, dwMaxPayloadTransferSize) == 7, "wire layout");
static_assert(sizeof(UVC_PAYLOAD_HEADER) == 12, "wire layout");
static_assert(sizeof(UVC_VS_STATUS_PACKET) == 4, "wire layout");
static_assert(sizeof(UVC_VC_STATUS_PACKET) == 5, "wire layout");
