// Camera descriptors are untrusted: one pass checks every descriptor's length before any field is
// read, and small readers take little-endian fields from byte offsets.
#pragma once
#include <wdm.h>

namespace kvz {

constexpr UCHAR kCsInterface = 0x24;
constexpr UCHAR kVideoClass = 0x0E;
constexpr UCHAR kVideoControlSubclass = 1;
constexpr UCHAR kVideoStreamingSubclass = 2;

// Video control subtypes.
constexpr UCHAR kVcHeader = 1;
constexpr UCHAR kVcInputTerminal = 2;
constexpr UCHAR kVcProcessingUnit = 5;
constexpr UCHAR kVcExtensionUnit = 6;
// Video streaming subtypes.
constexpr UCHAR kVsInputHeader = 1;
constexpr UCHAR kVsStillImageFrame = 3;
constexpr UCHAR kVsFormatUncompressed = 4;
constexpr UCHAR kVsFrameUncompressed = 5;
constexpr UCHAR kVsFormatMjpeg = 6;
constexpr UCHAR kVsFrameMjpeg = 7;
constexpr UCHAR kVsColorFormat = 13;

inline USHORT ReadWord(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }
inline ULONG ReadDword(const UCHAR* p) {
  return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16) |
         (static_cast<ULONG>(p[3]) << 24);
}

// The device descriptor must be 18 bytes of type 1; *usb3 is bcdUSB above 0x02FF.
NTSTATUS CheckDeviceDescriptor(const VOID* descriptor, ULONG length, bool* usb3);

// The usable length of a configuration read: at least 9 bytes, type 2, wTotalLength of 9 or more;
// *usable becomes min(transferred, wTotalLength).
NTSTATUS CheckConfigurationHeader(const UCHAR* configuration, ULONG transferred, ULONG* usable);

// Every descriptor has bLength >= 2 and ends inside length; interface, endpoint, companion and the
// video class descriptors the driver reads are long enough for their fields. Otherwise
// STATUS_DEVICE_DATA_ERROR. An input terminal too short for a camera terminal is allowed (it is
// passed over, not read).
NTSTATUS ValidateConfiguration(const UCHAR* configuration, ULONG length);

// Whether an input terminal holds a whole camera terminal (fixed part and bmControls).
bool IsCompleteCameraTerminal(const UCHAR* terminal);

}  // namespace kvz
