// What one camera's configuration descriptor says: the video control and streaming interface
// numbers, the terminals and units with their ids, GUIDs and control bitmaps, the streaming
// formats with their frames and still patterns, and the alternate settings' bandwidth. Every
// pointer of the model points into the configuration it was parsed from, which must outlive it.
#pragma once
#include <wdm.h>

#include "uvcmodel/uvc_limits.h"

namespace kvz {

struct BandwidthEntry {
  UCHAR AlternateSetting;
  ULONG BytesPerInterval;
};

enum UvcUnitKind : UCHAR {
  kUvcCameraTerminal = 0,  // an input terminal long enough for a camera terminal's bmControls
  kUvcProcessingUnit = 1,
  kUvcExtensionUnit = 2,
};

// A terminal or unit of a video control interface.
struct UvcUnit {
  UvcUnitKind Kind;
  UCHAR Id;             // bTerminalID or bUnitID
  UCHAR Interface;      // the video control interface it belongs to
  const UCHAR* Descriptor;
  ULONG Length;         // bLength
  GUID Guid;            // guidExtensionCode of an extension unit; zero otherwise
  const UCHAR* Controls;  // bmControls
  ULONG ControlSize;      // bControlSize
};

enum UvcFormatKind : UCHAR {
  kUvcFormatMjpeg = 0,
  kUvcFormatYuy2 = 1,          // the YUY2 GUID with 16 bits per pixel
  kUvcFormatUncompressed = 2,  // another uncompressed format (NV12, UYVY, ...)
};

// A format with its frames (FrameCount descriptors of its frame subtype from Frames on) and the
// still image frame descriptors behind them (StillCount from Stills on).
struct UvcFormat {
  UvcFormatKind Kind;
  UCHAR Index;  // bFormatIndex
  const UCHAR* Frames;
  ULONG FrameCount;
  const UCHAR* Stills;
  ULONG StillCount;
};

// A frame descriptor's fields. Intervals holds IntervalCount little-endian dwords: the discrete
// intervals as listed, or for a continuous frame its shortest and longest.
struct UvcFrame {
  UCHAR Index;  // bFrameIndex
  USHORT Width;
  USHORT Height;
  const UCHAR* Intervals;
  ULONG IntervalCount;
};

// Where the walk over the formats stands.
struct UvcFormatCursor {
  const UCHAR* At;
  ULONG Index;
};

// The first interface descriptor in [from, end) with that number and alternate setting (-1: any).
// The configuration must have passed ValidateConfiguration.
const UCHAR* FindInterfaceDescriptor(const UCHAR* from, const UCHAR* end, LONG number, LONG alternate);

// Bulk or isochronous: a streaming interface's alternate setting 0 (interface) with an endpoint
// streams by bulk, as a bulk video endpoint lives only there; an isochronous interface has its
// endpoints in the other settings.
bool IsBulkStreamingInterface(const UCHAR* interface);

VOID ReadFrame(const UCHAR* frame, UvcFrame* fields);
ULONG FrameInterval(const UvcFrame& frame, ULONG i);
const UCHAR* NextDescriptor(const UCHAR* descriptor);
// A still image frame descriptor's patterns.
ULONG StillPatternCount(const UCHAR* still);
VOID ReadStillPattern(const UCHAR* still, ULONG i, USHORT* width, USHORT* height);

class UvcModel {
 public:
  UvcModel();
  UvcModel(const UvcModel&) = delete;
  UvcModel& operator=(const UvcModel&) = delete;

  // The configuration of length bytes. STATUS_DEVICE_DATA_ERROR when its header or the length
  // pass rejects it: nothing is recorded. Otherwise the walk visits the interface numbers from
  // firstInterface on (at most bNumInterfaces of them; countAbsent: a number without an
  // interface counts too) and records the first video streaming interface and every video
  // control interface; a video control interface without its header ends the walk with
  // STATUS_DEVICE_DATA_ERROR in WalkStatus(), and what was recorded before stays. usb3: the
  // bandwidth comes from the SuperSpeed companions.
  NTSTATUS Parse(const UCHAR* configuration, ULONG length, ULONG firstInterface, bool usb3, bool countAbsent);
  NTSTATUS WalkStatus() const { return walkStatus_; }
  VOID Clear();

  // The last video control interface the walk visited.
  bool HasControlInterface() const { return hasControlInterface_; }
  UCHAR ControlInterface() const { return controlInterface_; }
  // Complete camera terminals, processing units and extension units of every video control
  // interface, in descriptor order (at most kMaxModelUnits).
  ULONG UnitCount() const { return unitCount_; }
  const UvcUnit& Unit(ULONG i) const { return units_[i]; }

  bool HasStreamingInterface() const { return hasStreamingInterface_; }
  UCHAR StreamingInterface() const { return streamingInterface_; }
  // The VS input header within the first 100 bytes of the streaming interface; without it the
  // interface has no formats.
  bool HasInputHeader() const { return formatsEnd_ != nullptr; }
  UCHAR StillCaptureMethod() const { return stillCaptureMethod_; }
  // MJPEG and uncompressed formats in order, inside the input header's wTotalLength; the walk
  // ends at bNumFormats or at a descriptor of another kind.
  UvcFormatCursor FirstFormat() const { return {formatsBegin_, 0}; }
  bool NextFormat(UvcFormatCursor* cursor, UvcFormat* format) const;

  // Alternate setting 0 and the others of the streaming interface, in order.
  ULONG BandwidthCount() const { return bandwidthCount_; }
  const BandwidthEntry* Bandwidth() const { return bandwidth_; }
  // A bulk streaming interface has no alternate settings to choose from.
  VOID ClearBandwidth() { bandwidthCount_ = 0; }

 private:
  NTSTATUS ParseControlInterface(const UCHAR* interface);
  VOID AddUnit(UvcUnitKind kind, const UCHAR* d);
  VOID ParseStreamingInterface(const UCHAR* interface);
  VOID RecordAlternateSettings(const UCHAR* interface);
  VOID AddAlternateSetting(const UCHAR* interface);

  const UCHAR* configuration_;
  const UCHAR* configurationEnd_;
  bool usb3_;
  NTSTATUS walkStatus_;
  bool hasControlInterface_;
  UCHAR controlInterface_;
  UvcUnit units_[kMaxModelUnits];
  ULONG unitCount_;
  bool hasStreamingInterface_;
  UCHAR streamingInterface_;
  UCHAR stillCaptureMethod_;
  const UCHAR* formatsBegin_;
  const UCHAR* formatsEnd_;
  ULONG formatCount_;
  BandwidthEntry bandwidth_[kMaxAlternateSettings];
  ULONG bandwidthCount_;
};

}  // namespace kvz
