// Limits of the descriptor model, the minimum lengths of the descriptors it reads and the
// offsets of the fields it reads, in one place.
#pragma once
#include <wdm.h>

namespace kvz {

// Descriptor model limits.
constexpr ULONG kMaxExtensionUnits = 3;           // the driver builds sets for the first three
constexpr ULONG kMaxModelUnits = 32;              // terminals and units the model records
constexpr ULONG kMaxExtensionControls = 33;       // item 0 (identity) and controls 1 to 32
constexpr ULONG kMaxAlternateSettings = 32;
constexpr ULONG kMaxInterfaceNumbers = 256;       // bound of the interface-number walk
constexpr ULONG kInputHeaderSearchLimit = 100;    // bytes skipped looking for the VS input header
constexpr ULONG kMaxFrameIntervals = 128;
constexpr USHORT kMaxFrameSide = 8192;            // width x height x 2 stays inside 32 bits
constexpr ULONG kHighSpeedMaxPacket = 1024;
constexpr ULONG kStillFrameInterval = 10000000;  // one second

// Minimum descriptor lengths before any field is read.
constexpr ULONG kDeviceDescriptorLength = 18;
constexpr ULONG kConfigurationDescriptorLength = 9;
constexpr ULONG kInterfaceDescriptorLength = 9;
constexpr ULONG kEndpointDescriptorLength = 7;
constexpr ULONG kCompanionDescriptorLength = 6;
constexpr ULONG kVcHeaderLength = 12;
constexpr ULONG kCameraTerminalFixedLength = 15;        // + bControlSize
constexpr ULONG kProcessingUnitFixedLength = 8;         // + bControlSize
constexpr ULONG kExtensionUnitFixedLength = 24;         // + bNrInPins + bControlSize
constexpr ULONG kVsInputHeaderLength = 13;
constexpr ULONG kUncompressedFormatLength = 27;
constexpr ULONG kMjpegFormatLength = 11;
constexpr ULONG kFrameFixedLength = 26;                 // + 4 x max(intervals, 1)
constexpr ULONG kContinuousFrameLength = 38;
constexpr ULONG kStillFrameFixedLength = 6;             // + 4 x patterns

// Field offsets. Interface descriptor:
constexpr ULONG kInterfaceNumber = 2;
constexpr ULONG kAlternateSetting = 3;
constexpr ULONG kNumEndpoints = 4;
constexpr ULONG kInterfaceClass = 5;
constexpr ULONG kInterfaceSubclass = 6;
// Endpoint and SuperSpeed companion:
constexpr ULONG kMaxPacketSize = 4;
constexpr ULONG kBytesPerInterval = 4;
// VC header, terminals and units (bUnitID / bTerminalID at 3 in each):
constexpr ULONG kVcHeaderTotalLength = 5;
constexpr ULONG kEntityId = 3;
constexpr ULONG kCameraTerminalControlSize = 14;
constexpr ULONG kProcessingUnitControlSize = 7;
constexpr ULONG kExtensionUnitGuid = 4;
constexpr ULONG kExtensionUnitInPins = 21;
constexpr ULONG kExtensionUnitControlSizeBase = 22;  // + bNrInPins
// VS input header:
constexpr ULONG kHeaderNumFormats = 3;
constexpr ULONG kHeaderTotalLength = 4;
constexpr ULONG kHeaderStillCaptureMethod = 9;
// Formats:
constexpr ULONG kFormatIndex = 3;
constexpr ULONG kFormatNumFrames = 4;
constexpr ULONG kFormatGuid = 5;
constexpr ULONG kFormatBitsPerPixel = 21;
// Frames:
constexpr ULONG kFrameIndex = 3;
constexpr ULONG kFrameWidth = 5;
constexpr ULONG kFrameHeight = 7;
constexpr ULONG kFrameIntervalType = 25;
constexpr ULONG kFrameIntervals = 26;
// Still frames:
constexpr ULONG kStillPatterns = 4;
constexpr ULONG kStillFirstPattern = 5;

}  // namespace kvz
