// The streaming interface's formats, frames and still sizes into the capture and still format
// tables, with FORMAT.CFG's output formats and interposed sizes.
#include <new>

#include <usb100.h>

#include "driver/settings/config_file.h"
#include "primitives/driver_memory.h"
#include "uvcmodel/descriptor_rules.h"
#include "usb/unit_container.h"

namespace kvz {

namespace {

// VS input header fields.
constexpr ULONG kHeaderNumFormats = 3;
constexpr ULONG kHeaderTotalLength = 4;
constexpr ULONG kHeaderStillCaptureMethod = 9;
// Format fields.
constexpr ULONG kFormatIndex = 3;
constexpr ULONG kFormatNumFrames = 4;
constexpr ULONG kFormatGuid = 5;
constexpr ULONG kFormatBitsPerPixel = 21;
constexpr UCHAR kYuy2BitsPerPixel = 16;
// Frame fields.
constexpr ULONG kFrameIndex = 3;
constexpr ULONG kFrameWidth = 5;
constexpr ULONG kFrameHeight = 7;
constexpr ULONG kFrameIntervalType = 25;
constexpr ULONG kFrameIntervals = 26;
// Still frame fields.
constexpr ULONG kStillPatterns = 4;
constexpr ULONG kStillFirstPattern = 5;

constexpr UCHAR kYuy2Guid[16] = {0x59, 0x55, 0x59, 0x32, 0x00, 0x00, 0x10, 0x00,
                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
const WCHAR kFormatConfigPath[] = u"\\SystemRoot\\FORMAT.CFG";

bool IsUsableSide(USHORT side) { return side != 0 && side <= kMaxFrameSide; }

bool IsYuy2Format(const UCHAR* format) {
  for (ULONG i = 0; i < sizeof(kYuy2Guid); ++i)
    if (format[kFormatGuid + i] != kYuy2Guid[i]) return false;
  return format[kFormatBitsPerPixel] == kYuy2BitsPerPixel;
}

bool IsCsDescriptor(const UCHAR* d, const UCHAR* end, UCHAR subtype) {
  return d < end && d + d[0] <= end && d[1] == kCsInterface && d[2] == subtype;
}

FormatTable* CreateFormatTable() {
  PVOID block = ExAllocatePoolWithTag(DriverPoolType, sizeof(FormatTable), kTagFormatTable);
  if (!block) return nullptr;
  RtlZeroMemory(block, sizeof(FormatTable));
  return new (block) FormatTable();
}

}  // namespace

NTSTATUS UnitContainer::ParseVideoStreamingInterface(const UCHAR* interface) {
  // The input header, searched within the first 100 bytes.
  const UCHAR* header = nullptr;
  ULONG skipped = 0;
  for (const UCHAR* d = interface; d < configurationEnd_ && skipped < kInputHeaderSearchLimit; d += d[0]) {
    if (d != interface && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (d[1] == kCsInterface && d[2] == kVsInputHeader) {
      header = d;
      break;
    }
    skipped += d[0];
  }

  captureFormats_ = CreateFormatTable();
  stillFormats_ = CreateFormatTable();
  if (!captureFormats_ || !stillFormats_ || !header) return STATUS_SUCCESS;
  captureFormats_->SetLimit848Rate(limit848Rate_ ? 1 : 0);
  stillCaptureMethod_ = header[kHeaderStillCaptureMethod];

  const ULONG room = static_cast<ULONG>(configurationEnd_ - header);
  ULONG total = ReadWord(header + kHeaderTotalLength);
  if (total > room) total = room;
  const UCHAR* end = header + total;
  const UCHAR* d = header + header[0];
  for (ULONG i = 0; i < header[kHeaderNumFormats] && d < end && d + d[0] <= end; ++i) {
    ULONG consumed;
    if (d[1] == kCsInterface && d[2] == kVsFormatUncompressed)
      consumed = ParseYuy2Format(d, end);
    else if (d[1] == kCsInterface && d[2] == kVsFormatMjpeg)
      consumed = ParseMjpegFormat(d, end);
    else
      break;
    d += consumed;
  }
  return STATUS_SUCCESS;
}

ULONG UnitContainer::ParseMjpegFormat(const UCHAR* format, const UCHAR* end) {
  FrameEntry entry = {};
  entry.Intervals = static_cast<PULONG>(
      ExAllocatePoolWithTag(DriverPoolType, kMaxFrameIntervals * sizeof(ULONG), kTagIntervalList));
  auto* path = static_cast<PWSTR>(ExAllocatePoolWithTag(DriverPoolType, kConfigPathBufferSize, kTagConfigPath));
  const ULONG consumed = ParseFormatGroup(format, end, kSubtypeMjpg, kVsFrameMjpeg, entry.Intervals ? &entry : nullptr);
  if (entry.Intervals && path) {
    SetConfigPath(path, kFormatConfigPath);
    OfferFormat(captureFormats_, kSubtypeMjpg, 1, path, &entry);
    OfferFormat(stillFormats_, kSubtypeMjpg, 3, path, &entry);
  }
  if (path) ExFreePoolWithTag(path, kTagConfigPath);
  if (entry.Intervals) ExFreePoolWithTag(entry.Intervals, kTagIntervalList);
  return consumed;
}

// Other uncompressed formats (NV12, UYVY, ...) are passed over: their frames are not YUY2.
ULONG UnitContainer::ParseYuy2Format(const UCHAR* format, const UCHAR* end) {
  const bool yuy2 = IsYuy2Format(format);
  FrameEntry entry = {};
  entry.Intervals = static_cast<PULONG>(
      ExAllocatePoolWithTag(DriverPoolType, kMaxFrameIntervals * sizeof(ULONG), kTagIntervalList));
  auto* path = static_cast<PWSTR>(ExAllocatePoolWithTag(DriverPoolType, kConfigPathBufferSize, kTagConfigPath));
  const ULONG consumed =
      ParseFormatGroup(format, end, kSubtypeYuy2, kVsFrameUncompressed, yuy2 && entry.Intervals ? &entry : nullptr);
  if (yuy2 && entry.Intervals && path) {
    SetConfigPath(path, kFormatConfigPath);
    OfferFormat(captureFormats_, kSubtypeYuy2, 1, path, &entry);
    OfferFormat(stillFormats_, kSubtypeYuy2, 3, path, &entry);
  }
  if (path) ExFreePoolWithTag(path, kTagConfigPath);
  if (entry.Intervals) ExFreePoolWithTag(entry.Intervals, kTagIntervalList);
  return consumed;
}

// Walks the format's frames, still frames and colour-matching descriptor; adds them to the tables
// when entry is given. Returns the group's length in bytes.
ULONG UnitContainer::ParseFormatGroup(const UCHAR* format, const UCHAR* end, ULONG sourceCode, UCHAR frameSubtype,
                                      FrameEntry* entry) {
  if (entry) {
    entry->FormatIndex = format[kFormatIndex];
    entry->SourceCode = sourceCode;
  }
  const UCHAR* d = format + format[0];
  for (ULONG i = 0; i < format[kFormatNumFrames] && IsCsDescriptor(d, end, frameSubtype); ++i, d += d[0]) {
    if (!entry) continue;
    const USHORT width = ReadWord(d + kFrameWidth);
    const USHORT height = ReadWord(d + kFrameHeight);
    if (!IsUsableSide(width) || !IsUsableSide(height)) continue;
    const ULONG type = d[kFrameIntervalType];
    // Continuous intervals: the shortest and the longest.
    SortFrameIntervals(d + kFrameIntervals, type == 0 ? 2 : type, entry);
    if (entry->IntervalCount == 0) continue;
    entry->FrameIndex = d[kFrameIndex];
    entry->AddedByConfig = 0;
    entry->Width = entry->SourceWidth = width;
    entry->Height = entry->SourceHeight = height;
    captureFormats_->AddFrameEntry(*entry);
  }
  while (IsCsDescriptor(d, end, kVsStillImageFrame)) {
    if (entry) ParseStillFrames(d, entry);
    d += d[0];
  }
  if (IsCsDescriptor(d, end, kVsColorFormat)) d += d[0];
  return static_cast<ULONG>(d - format);
}

// Which subtypes the pin offers for the camera format, as FORMAT.CFG decides (a missing file or
// key leaves every format offered as the camera sends it).
VOID UnitContainer::OfferFormat(FormatTable* table, ULONG sourceCode, ULONG pinType, PCWSTR path, FrameEntry* entry) {
  const bool still = pinType != 1;
  if (sourceCode == kSubtypeMjpg) {
    LONG rgb = 0;
    if (NT_SUCCESS(ReadOutputFormatFlag(path, kConfigRgb24, &rgb)) && rgb) {
      InterposeSizes(table, sourceCode, still ? kConfigStillRgb24 : kConfigRgb24, path, entry);
      table->BuildDataRanges(kSubtypeMjpg, kSubtypeRgb24, 24, pinType);
      return;
    }
    LONG mjpg = 1;
    ReadOutputFormatFlag(path, kConfigMjpg, &mjpg);
    if (mjpg) table->BuildDataRanges(kSubtypeMjpg, kSubtypeMjpg, 24, pinType);
    return;
  }
  LONG yuy2 = 1;
  ReadOutputFormatFlag(path, kConfigYuy2, &yuy2);
  if (!yuy2) return;
  InterposeSizes(table, sourceCode, still ? kConfigStillYuy2 : kConfigYuy2, path, entry);
  table->BuildDataRanges(kSubtypeYuy2, kSubtypeYuy2, 16, pinType);
  table->BuildDataRanges(kSubtypeYuy2, kSubtypeRgb24, 24, pinType);
}

// Extra sizes produced from the largest smaller camera frame of the format; COUNT is capped at the
// table's free entries.
VOID UnitContainer::InterposeSizes(FormatTable* table, ULONG sourceCode, ULONG type, PCWSTR path, FrameEntry* entry) {
  ULONG count = 0;
  ReadInterpositionCount(path, type, &count);
  const ULONG room = kMaxFrameEntries - table->FrameCount();
  if (count > room) count = room;
  for (ULONG i = 0; i < count && table->FrameCount() < kMaxFrameEntries; ++i) {
    FrameEntry wanted = *entry;
    if (!NT_SUCCESS(ReadInterpositionEntry(path, type, &wanted, i))) continue;
    FrameEntry source;
    if (!table->FindLargestSmallerFrame(sourceCode, wanted.Width, wanted.Height, &source)) continue;
    FrameEntry added = source;
    added.Width = wanted.Width;
    added.Height = wanted.Height;
    added.AddedByConfig = 1;
    added.IntervalCount = 1;
    added.Intervals = entry->Intervals;
    if (wanted.Intervals[0] == 0) entry->Intervals[0] = source.Intervals[0];
    table->AddFrameEntry(added);
  }
}

VOID UnitContainer::ParseStillFrames(const UCHAR* still, FrameEntry* entry) {
  const ULONG patterns = still[kStillPatterns];
  for (ULONG i = 0; i < patterns && stillFormats_->FrameCount() < kMaxFrameEntries; ++i) {
    const USHORT width = ReadWord(still + kStillFirstPattern + 4 * i);
    const USHORT height = ReadWord(still + kStillFirstPattern + 4 * i + 2);
    if (!IsUsableSide(width) || !IsUsableSide(height)) continue;
    entry->FrameIndex = static_cast<UCHAR>(i + 1);
    entry->AddedByConfig = 0;
    entry->Width = entry->SourceWidth = width;
    entry->Height = entry->SourceHeight = height;
    entry->IntervalCount = 1;
    entry->Intervals[0] = kStillFrameInterval;
    stillFormats_->AddFrameEntry(*entry);
  }
}

// Ascending insertion; zero intervals are dropped and of more than 128 the shortest are kept.
VOID UnitContainer::SortFrameIntervals(const UCHAR* intervals, ULONG count, FrameEntry* entry) {
  ULONG kept = 0;
  for (ULONG i = 0; i < count; ++i) {
    const ULONG value = ReadDword(intervals + 4 * i);
    if (value == 0) continue;
    if (kept == kMaxFrameIntervals && value >= entry->Intervals[kept - 1]) continue;
    ULONG at = kept < kMaxFrameIntervals ? kept : kMaxFrameIntervals - 1;
    while (at > 0 && entry->Intervals[at - 1] >= value) {
      entry->Intervals[at] = entry->Intervals[at - 1];
      --at;
    }
    entry->Intervals[at] = value;
    if (kept < kMaxFrameIntervals) ++kept;
  }
  entry->IntervalCount = static_cast<LONG>(kept);
}

}  // namespace kvz
