#include "uvcmodel/uvc_model.h"

#include <usb100.h>

#include "uvcmodel/descriptor_rules.h"
#include "uvcmodel/uvc_limits.h"

namespace kvz {

namespace {

constexpr UCHAR kYuy2BitsPerPixel = 16;

constexpr UCHAR kYuy2Guid[16] = {0x59, 0x55, 0x59, 0x32, 0x00, 0x00, 0x10, 0x00,
                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

bool IsYuy2Format(const UCHAR* format) {
  for (ULONG i = 0; i < sizeof(kYuy2Guid); ++i)
    if (format[kFormatGuid + i] != kYuy2Guid[i]) return false;
  return format[kFormatBitsPerPixel] == kYuy2BitsPerPixel;
}

bool IsCsDescriptor(const UCHAR* d, const UCHAR* end, UCHAR subtype) {
  return d < end && d + d[0] <= end && d[1] == kCsInterface && d[2] == subtype;
}

}  // namespace

const UCHAR* NextDescriptor(const UCHAR* descriptor) { return descriptor + descriptor[0]; }

const UCHAR* FindInterfaceDescriptor(const UCHAR* from, const UCHAR* end, LONG number, LONG alternate) {
  for (const UCHAR* d = from; d < end; d = NextDescriptor(d)) {
    if (d[1] != USB_INTERFACE_DESCRIPTOR_TYPE) continue;
    if ((number < 0 || d[kInterfaceNumber] == number) && (alternate < 0 || d[kAlternateSetting] == alternate))
      return d;
  }
  return nullptr;
}

bool IsBulkStreamingInterface(const UCHAR* interface) { return interface[kNumEndpoints] != 0; }

VOID ReadFrame(const UCHAR* frame, UvcFrame* fields) {
  const ULONG type = frame[kFrameIntervalType];
  fields->Index = frame[kFrameIndex];
  fields->Width = ReadWord(frame + kFrameWidth);
  fields->Height = ReadWord(frame + kFrameHeight);
  fields->Intervals = frame + kFrameIntervals;
  // Continuous intervals: the shortest and the longest.
  fields->IntervalCount = type == 0 ? 2 : type;
}

ULONG FrameInterval(const UvcFrame& frame, ULONG i) { return ReadDword(frame.Intervals + 4 * i); }

ULONG StillPatternCount(const UCHAR* still) { return still[kStillPatterns]; }

VOID ReadStillPattern(const UCHAR* still, ULONG i, USHORT* width, USHORT* height) {
  *width = ReadWord(still + kStillFirstPattern + 4 * i);
  *height = ReadWord(still + kStillFirstPattern + 4 * i + 2);
}

UvcModel::UvcModel() { Clear(); }

VOID UvcModel::Clear() {
  configuration_ = nullptr;
  configurationEnd_ = nullptr;
  usb3_ = false;
  walkStatus_ = STATUS_SUCCESS;
  hasControlInterface_ = false;
  controlInterface_ = 0;
  RtlZeroMemory(units_, sizeof(units_));
  unitCount_ = 0;
  hasStreamingInterface_ = false;
  streamingInterface_ = 0;
  stillCaptureMethod_ = 0;
  formatsBegin_ = nullptr;
  formatsEnd_ = nullptr;
  formatCount_ = 0;
  RtlZeroMemory(bandwidth_, sizeof(bandwidth_));
  bandwidthCount_ = 0;
}

NTSTATUS UvcModel::Parse(const UCHAR* configuration, ULONG length, ULONG firstInterface, bool usb3,
                         bool countAbsent) {
  Clear();
  ULONG usable = 0;
  NTSTATUS status = CheckConfigurationHeader(configuration, length, &usable);
  if (NT_SUCCESS(status)) status = ValidateConfiguration(configuration, usable);
  if (!NT_SUCCESS(status)) return status;
  configuration_ = configuration;
  configurationEnd_ = configuration + usable;
  usb3_ = usb3;

  const ULONG interfaces = configuration[4];  // bNumInterfaces
  ULONG counted = 0;
  for (ULONG number = firstInterface; number < kMaxInterfaceNumbers && counted < interfaces; ++number) {
    const UCHAR* d = FindInterfaceDescriptor(configuration_, configurationEnd_, static_cast<LONG>(number), -1);
    if (!d) {
      if (countAbsent) ++counted;
      continue;
    }
    ++counted;
    if (d[kInterfaceClass] != kVideoClass) continue;
    if (d[kInterfaceSubclass] == kVideoControlSubclass) {
      walkStatus_ = ParseControlInterface(d);
      if (!NT_SUCCESS(walkStatus_)) break;
    } else if (d[kInterfaceSubclass] == kVideoStreamingSubclass && !hasStreamingInterface_) {
      hasStreamingInterface_ = true;
      streamingInterface_ = d[kInterfaceNumber];
      ParseStreamingInterface(d);
      RecordAlternateSettings(d);
    }
  }
  return STATUS_SUCCESS;
}

// The header follows the interface descriptor; it is the only way to know where the units end.
NTSTATUS UvcModel::ParseControlInterface(const UCHAR* interface) {
  hasControlInterface_ = true;
  controlInterface_ = interface[kInterfaceNumber];
  const UCHAR* header = NextDescriptor(interface);
  if (header >= configurationEnd_ || header[1] != kCsInterface || header[2] != kVcHeader)
    return STATUS_DEVICE_DATA_ERROR;
  const ULONG room = static_cast<ULONG>(configurationEnd_ - header);
  ULONG total = ReadWord(header + kVcHeaderTotalLength);
  if (total > room) total = room;
  const UCHAR* end = header + total;
  // Units end where the next interface begins, whatever the header claims.
  for (const UCHAR* d = NextDescriptor(header);
       d < end && NextDescriptor(d) <= end && d[1] != USB_INTERFACE_DESCRIPTOR_TYPE; d = NextDescriptor(d)) {
    if (d[1] != kCsInterface) continue;
    switch (d[2]) {
      case kVcInputTerminal:
        if (IsCompleteCameraTerminal(d)) AddUnit(kUvcCameraTerminal, d);
        break;
      case kVcProcessingUnit:
        AddUnit(kUvcProcessingUnit, d);
        break;
      case kVcExtensionUnit:
        AddUnit(kUvcExtensionUnit, d);
        break;
      default:
        break;
    }
  }
  return STATUS_SUCCESS;
}

// The length pass made sure every field read here lies inside the descriptor.
VOID UvcModel::AddUnit(UvcUnitKind kind, const UCHAR* d) {
  if (unitCount_ >= kMaxModelUnits) return;
  UvcUnit& unit = units_[unitCount_++];
  unit.Kind = kind;
  unit.Id = d[kEntityId];
  unit.Interface = controlInterface_;
  unit.Descriptor = d;
  unit.Length = d[0];
  ULONG sizeOffset = kCameraTerminalControlSize;
  if (kind == kUvcProcessingUnit) {
    sizeOffset = kProcessingUnitControlSize;
  } else if (kind == kUvcExtensionUnit) {
    RtlCopyMemory(&unit.Guid, d + kExtensionUnitGuid, sizeof(GUID));
    sizeOffset = kExtensionUnitInPins + 1 + d[kExtensionUnitInPins];
  }
  unit.ControlSize = d[sizeOffset];
  unit.Controls = d + sizeOffset + 1;
}

VOID UvcModel::ParseStreamingInterface(const UCHAR* interface) {
  // The input header, searched within the first 100 bytes.
  const UCHAR* header = nullptr;
  ULONG skipped = 0;
  for (const UCHAR* d = interface; d < configurationEnd_ && skipped < kInputHeaderSearchLimit;
       d = NextDescriptor(d)) {
    if (d != interface && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (d[1] == kCsInterface && d[2] == kVsInputHeader) {
      header = d;
      break;
    }
    skipped += d[0];
  }
  if (!header) return;
  stillCaptureMethod_ = header[kHeaderStillCaptureMethod];
  const ULONG room = static_cast<ULONG>(configurationEnd_ - header);
  ULONG total = ReadWord(header + kHeaderTotalLength);
  if (total > room) total = room;
  formatsEnd_ = header + total;
  formatsBegin_ = NextDescriptor(header);
  formatCount_ = header[kHeaderNumFormats];
}

// A format's frames stop at the first descriptor that is not its frame subtype; its still image
// frames and colour-matching descriptor follow them.
bool UvcModel::NextFormat(UvcFormatCursor* cursor, UvcFormat* format) const {
  const UCHAR* d = cursor->At;
  const UCHAR* end = formatsEnd_;
  if (!end || cursor->Index >= formatCount_ || d >= end || d + d[0] > end) return false;
  UCHAR frameSubtype;
  if (d[1] == kCsInterface && d[2] == kVsFormatUncompressed) {
    format->Kind = IsYuy2Format(d) ? kUvcFormatYuy2 : kUvcFormatUncompressed;
    frameSubtype = kVsFrameUncompressed;
  } else if (d[1] == kCsInterface && d[2] == kVsFormatMjpeg) {
    format->Kind = kUvcFormatMjpeg;
    frameSubtype = kVsFrameMjpeg;
  } else {
    return false;
  }
  format->Index = d[kFormatIndex];
  const ULONG frames = d[kFormatNumFrames];
  d = NextDescriptor(d);
  format->Frames = d;
  format->FrameCount = 0;
  for (; format->FrameCount < frames && IsCsDescriptor(d, end, frameSubtype); d = NextDescriptor(d))
    ++format->FrameCount;
  format->Stills = d;
  format->StillCount = 0;
  for (; IsCsDescriptor(d, end, kVsStillImageFrame); d = NextDescriptor(d)) ++format->StillCount;
  if (IsCsDescriptor(d, end, kVsColorFormat)) d = NextDescriptor(d);
  cursor->At = d;
  ++cursor->Index;
  return true;
}

VOID UvcModel::RecordAlternateSettings(const UCHAR* interface) {
  bandwidthCount_ = 0;
  AddAlternateSetting(interface);
  const LONG number = interface[kInterfaceNumber];
  const UCHAR* d = interface;
  for (LONG alternate = 1; alternate < 256 && bandwidthCount_ < kMaxAlternateSettings; ++alternate) {
    d = FindInterfaceDescriptor(NextDescriptor(d), configurationEnd_, number, alternate);
    if (!d) break;
    AddAlternateSetting(d);
  }
}

// The endpoint (and on USB 3 its companion) must follow the interface directly and be of its
// type; otherwise the bandwidth is what the descriptors that are there allow, or 0.
VOID UvcModel::AddAlternateSetting(const UCHAR* interface) {
  if (bandwidthCount_ >= kMaxAlternateSettings) return;
  BandwidthEntry& entry = bandwidth_[bandwidthCount_];
  entry.AlternateSetting = interface[kAlternateSetting];
  entry.BytesPerInterval = 0;
  const UCHAR* endpoint = NextDescriptor(interface);
  if (entry.AlternateSetting != 0 && endpoint < configurationEnd_ && endpoint[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
    const UCHAR* companion = NextDescriptor(endpoint);
    if (usb3_ && companion < configurationEnd_ &&
        companion[1] == USB_SUPERSPEED_ENDPOINT_COMPANION_DESCRIPTOR_TYPE) {
      entry.BytesPerInterval = ReadWord(companion + kBytesPerInterval);
    } else {
      const ULONG w = ReadWord(endpoint + kMaxPacketSize);
      entry.BytesPerInterval = w <= kHighSpeedMaxPacket
                                   ? (w & USB_ENDPOINT_MAX_PACKET_SIZE_MASK)
                                   : (w & USB_ENDPOINT_MAX_PACKET_SIZE_MASK) * (USB_ENDPOINT_ADDITIONAL_TRANSACTIONS(w) + 1);
    }
  }
  ++bandwidthCount_;
}

}  // namespace kvz
