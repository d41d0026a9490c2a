#include "driver/pins/format_table_builder.h"

#include "driver/settings/config_file.h"
#include "primitives/pool_object.h"

namespace kvz {

namespace {

const WCHAR kFormatConfigPath[] = u"\\SystemRoot\\FORMAT.CFG";

bool IsUsableSide(USHORT side) { return side != 0 && side <= kMaxFrameSide; }

class FormatTableBuilder {
 public:
  FormatTableBuilder(FormatTable* capture, FormatTable* still) : capture_(capture), still_(still) {}
  VOID AddFormat(const UvcFormat& format);

 private:
  VOID AddFormatGroup(const UvcFormat& format, ULONG sourceCode, FrameEntry* entry);
  VOID OfferFormat(FormatTable* table, ULONG sourceCode, ULONG pinType, PCWSTR path, FrameEntry* entry);
  VOID InterposeSizes(FormatTable* table, ULONG sourceCode, ULONG type, PCWSTR path, FrameEntry* entry);
  VOID AddStillFrames(const UCHAR* still, FrameEntry* entry);
  static VOID SortFrameIntervals(const UvcFrame& frame, FrameEntry* entry);

  FormatTable* capture_;
  FormatTable* still_;
};

// Other uncompressed formats (NV12, UYVY, ...) are passed over: their frames are not YUY2.
VOID FormatTableBuilder::AddFormat(const UvcFormat& format) {
  const bool offered = format.Kind != kUvcFormatUncompressed;
  const ULONG sourceCode = format.Kind == kUvcFormatMjpeg ? kSubtypeMjpg : kSubtypeYuy2;
  FrameEntry entry = {};
  entry.Intervals = static_cast<PULONG>(
      ExAllocatePoolWithTag(DriverPoolType, kMaxFrameIntervals * sizeof(ULONG), kTagIntervalList));
  auto* path = static_cast<PWSTR>(ExAllocatePoolWithTag(DriverPoolType, kConfigPathBufferSize, kTagConfigPath));
  if (offered && entry.Intervals) AddFormatGroup(format, sourceCode, &entry);
  if (offered && entry.Intervals && path) {
    SetConfigPath(path, kFormatConfigPath);
    OfferFormat(capture_, sourceCode, 1, path, &entry);
    OfferFormat(still_, sourceCode, 3, path, &entry);
  }
  if (path) ExFreePoolWithTag(path, kTagConfigPath);
  if (entry.Intervals) ExFreePoolWithTag(entry.Intervals, kTagIntervalList);
}

// The format's frames into the capture table, its still patterns into the still table.
VOID FormatTableBuilder::AddFormatGroup(const UvcFormat& format, ULONG sourceCode, FrameEntry* entry) {
  entry->FormatIndex = format.Index;
  entry->SourceCode = sourceCode;
  const UCHAR* d = format.Frames;
  for (ULONG i = 0; i < format.FrameCount; ++i, d = NextDescriptor(d)) {
    UvcFrame frame;
    ReadFrame(d, &frame);
    if (!IsUsableSide(frame.Width) || !IsUsableSide(frame.Height)) continue;
    SortFrameIntervals(frame, entry);
    if (entry->IntervalCount == 0) continue;
    entry->FrameIndex = frame.Index;
    entry->AddedByConfig = 0;
    entry->Width = entry->SourceWidth = frame.Width;
    entry->Height = entry->SourceHeight = frame.Height;
    capture_->AddFrameEntry(*entry);
  }
  d = format.Stills;
  for (ULONG i = 0; i < format.StillCount; ++i, d = NextDescriptor(d)) AddStillFrames(d, entry);
}

// Which subtypes the pin offers for the camera format, as FORMAT.CFG decides (a missing file or
// key leaves every format offered as the camera sends it).
VOID FormatTableBuilder::OfferFormat(FormatTable* table, ULONG sourceCode, ULONG pinType, PCWSTR path,
                                     FrameEntry* entry) {
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
VOID FormatTableBuilder::InterposeSizes(FormatTable* table, ULONG sourceCode, ULONG type, PCWSTR path,
                                        FrameEntry* entry) {
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

VOID FormatTableBuilder::AddStillFrames(const UCHAR* still, FrameEntry* entry) {
  const ULONG patterns = StillPatternCount(still);
  for (ULONG i = 0; i < patterns && still_->FrameCount() < kMaxFrameEntries; ++i) {
    USHORT width;
    USHORT height;
    ReadStillPattern(still, i, &width, &height);
    if (!IsUsableSide(width) || !IsUsableSide(height)) continue;
    entry->FrameIndex = static_cast<UCHAR>(i + 1);
    entry->AddedByConfig = 0;
    entry->Width = entry->SourceWidth = width;
    entry->Height = entry->SourceHeight = height;
    entry->IntervalCount = 1;
    entry->Intervals[0] = kStillFrameInterval;
    still_->AddFrameEntry(*entry);
  }
}

// Ascending insertion; zero intervals are dropped and of more than 128 the shortest are kept.
VOID FormatTableBuilder::SortFrameIntervals(const UvcFrame& frame, FrameEntry* entry) {
  ULONG kept = 0;
  for (ULONG i = 0; i < frame.IntervalCount; ++i) {
    const ULONG value = FrameInterval(frame, i);
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

}  // namespace

NTSTATUS ReadInterpositionEntry(PCWSTR path, ULONG type, FrameEntry* entry, ULONG index) {
  return ReadInterpositionSize(path, type, index, &entry->Width, &entry->Height, &entry->Intervals[0]);
}

VOID BuildFormatTables(const UvcModel& model, bool limit848Rate, FormatTable** capture, FormatTable** still) {
  *capture = PoolNew<FormatTable>(kTagFormatTable);
  *still = PoolNew<FormatTable>(kTagFormatTable);
  if (!*capture || !*still || !model.HasInputHeader()) return;
  (*capture)->SetLimit848Rate(limit848Rate ? 1 : 0);
  FormatTableBuilder builder(*capture, *still);
  UvcFormatCursor cursor = model.FirstFormat();
  UvcFormat format;
  while (model.NextFormat(&cursor, &format)) builder.AddFormat(format);
}

VOID FreeFormatTable(FormatTable** table) {
  if (!*table) return;
  (*table)->Release();
  PoolDelete(*table, kTagFormatTable);
}

VOID PinFormats::Build(const UvcModel& model) {
  BuildFormatTables(model, limit848Rate_, &capture_, &still_);
}

VOID PinFormats::Release() {
  FreeFormatTable(&capture_);
  FreeFormatTable(&still_);
}

bool PinFormats::GetFormatEntry(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG pinType) const {
  const FormatTable* table = pinType == 1 ? capture_ : still_;
  return table && table->FindFrameEntry(subtype, width, height, entry);
}

ULONG PinFormats::GetFormatList(const PKSDATARANGE** ranges, ULONG pinType) const {
  const FormatTable* table = pinType == 1 ? capture_ : still_;
  if (!table) {
    *ranges = nullptr;
    return 0;
  }
  return table->GetDataRanges(ranges);
}

}  // namespace kvz
