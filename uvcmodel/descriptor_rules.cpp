#include "uvcmodel/descriptor_rules.h"

#include <usb100.h>

#include "uvcmodel/uvc_limits.h"

namespace kvz {

namespace {

constexpr USHORT kUsb3Version = 0x02FF;

bool VideoControlLongEnough(const UCHAR* d) {
  const ULONG length = d[0];
  switch (d[2]) {
    case kVcHeader:
      return length >= kVcHeaderLength;
    case kVcProcessingUnit:
      return length > kProcessingUnitControlSize &&
             length >= kProcessingUnitFixedLength + d[kProcessingUnitControlSize];
    case kVcExtensionUnit: {
      if (length <= kExtensionUnitInPins) return false;
      const ULONG pins = d[kExtensionUnitInPins];
      // bControlSize sits behind the source ids.
      if (length <= kExtensionUnitInPins + 1 + pins) return false;
      return length >= kExtensionUnitFixedLength + pins + d[kExtensionUnitInPins + 1 + pins];
    }
    default:
      return true;
  }
}

bool VideoStreamingLongEnough(const UCHAR* d) {
  const ULONG length = d[0];
  switch (d[2]) {
    case kVsInputHeader:
      return length >= kVsInputHeaderLength;
    case kVsFormatUncompressed:
      return length >= kUncompressedFormatLength;
    case kVsFormatMjpeg:
      return length >= kMjpegFormatLength;
    case kVsFrameUncompressed:
    case kVsFrameMjpeg: {
      if (length <= kFrameIntervalType) return false;
      const ULONG n = d[kFrameIntervalType];
      return length >= (n == 0 ? kContinuousFrameLength : kFrameFixedLength + 4 * n);
    }
    case kVsStillImageFrame:
      return length > kStillPatterns && length >= kStillFrameFixedLength + 4 * d[kStillPatterns];
    default:
      return true;
  }
}

}  // namespace

NTSTATUS CheckConfigurationHeader(const UCHAR* configuration, ULONG transferred, ULONG* usable) {
  if (!configuration || transferred < kConfigurationDescriptorLength ||
      configuration[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE)
    return STATUS_DEVICE_DATA_ERROR;
  const ULONG total = ReadWord(configuration + 2);
  if (total < kConfigurationDescriptorLength) return STATUS_DEVICE_DATA_ERROR;
  *usable = total < transferred ? total : transferred;
  return STATUS_SUCCESS;
}

bool IsCompleteCameraTerminal(const UCHAR* terminal) {
  const ULONG length = terminal[0];
  return length >= kCameraTerminalFixedLength && length >= kCameraTerminalFixedLength + terminal[kCameraTerminalControlSize];
}

NTSTATUS ValidateConfiguration(const UCHAR* configuration, ULONG length) {
  UCHAR interfaceClass = 0;
  UCHAR interfaceSubclass = 0;
  for (ULONG offset = 0; offset < length;) {
    const UCHAR* d = configuration + offset;
    if (length - offset < 2 || d[0] < 2 || d[0] > length - offset) return STATUS_DEVICE_DATA_ERROR;
    const ULONG dLength = d[0];
    bool ok = true;
    switch (d[1]) {
      case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        ok = dLength >= kConfigurationDescriptorLength;
        break;
      case USB_INTERFACE_DESCRIPTOR_TYPE:
        ok = dLength >= kInterfaceDescriptorLength;
        if (ok) {
          interfaceClass = d[5];
          interfaceSubclass = d[6];
        }
        break;
      case USB_ENDPOINT_DESCRIPTOR_TYPE:
        ok = dLength >= kEndpointDescriptorLength;
        break;
      case USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE:
        ok = dLength >= kCompanionDescriptorLength;
        break;
      case kCsInterface:
        if (dLength < 3) {
          ok = false;
        } else if (interfaceClass == kVideoClass && interfaceSubclass == kVideoControlSubclass) {
          ok = VideoControlLongEnough(d);
        } else if (interfaceClass == kVideoClass && interfaceSubclass == kVideoStreamingSubclass) {
          ok = VideoStreamingLongEnough(d);
        }
        break;
      default:
        break;
    }
    if (!ok) return STATUS_DEVICE_DATA_ERROR;
    offset += dLength;
  }
  return STATUS_SUCCESS;
}

NTSTATUS CheckDeviceDescriptor(const VOID* descriptor, ULONG length, bool* usb3) {
  const auto* d = static_cast<const UCHAR*>(descriptor);
  if (!d || length < kDeviceDescriptorLength || d[0] < kDeviceDescriptorLength || d[1] != USB_DEVICE_DESCRIPTOR_TYPE)
    return STATUS_DEVICE_DATA_ERROR;
  *usb3 = ReadWord(d + 2) > kUsb3Version;
  return STATUS_SUCCESS;
}

}  // namespace kvz
