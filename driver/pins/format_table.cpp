#include "driver/pins/format_table.h"

#include "common/system_version.h"
#include "primitives/driver_memory.h"

namespace kvz {

namespace {

constexpr ULONG kFrameRateBase = 10000000;
constexpr USHORT kNarrowFrameLimit = 200;    // stream type 4 offers nothing narrower
constexpr USHORT kTallFrameLimit = 720;      // taller frames only as MJPG on newer systems
constexpr USHORT kLimitedRateWidth = 848;
constexpr ULONG kControlFlagsUncompressed = 0x008D2681;
constexpr ULONG kControlFlagsMjpg = 0x008D1181;
constexpr ULONG kBitmapHeaderSize = 40;

// Fields both data-range kinds share; the video header differs and is filled by the caller.
template <typename Range>
VOID FillCommon(Range* r, const GUID& specifier, ULONG width, ULONG height, ULONG code, USHORT bitCount,
                ULONG first, ULONG last) {
  const ULONG sampleSize = width * height * bitCount / 8;
  r->DataRange.FormatSize = sizeof(Range);
  r->DataRange.SampleSize = sampleSize;
  r->DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r->DataRange.SubFormat = SubtypeGuid(code);
  r->DataRange.Specifier = specifier;
  r->bFixedSizeSamples = code == kSubtypeMjpg ? 0 : 1;
  KS_VIDEO_STREAM_CONFIG_CAPS& caps = r->ConfigCaps;
  caps.guid = specifier;
  const SIZE size = {static_cast<LONG>(width), static_cast<LONG>(height)};
  caps.InputSize = caps.MinCroppingSize = caps.MaxCroppingSize = caps.MinOutputSize = caps.MaxOutputSize = size;
  caps.CropGranularityX = caps.CropGranularityY = caps.CropAlignX = caps.CropAlignY = 1;
  caps.OutputGranularityX = caps.OutputGranularityY = 1;
  caps.MinFrameInterval = first;
  caps.MaxFrameInterval = last;
  // Unsigned 32-bit products, as clients have always been given them.
  const ULONG pixelBits = bitCount * height * width;
  caps.MinBitsPerSecond = static_cast<LONG>(last ? (kFrameRateBase / last) * pixelBits : 0);
  caps.MaxBitsPerSecond = static_cast<LONG>(first ? (kFrameRateBase / first) * pixelBits : 0);
  auto& header = r->VideoInfoHeader;
  header.dwBitRate = static_cast<DWORD>(caps.MaxBitsPerSecond);
  header.AvgTimePerFrame = first;
  header.bmiHeader.biSize = kBitmapHeaderSize;
  header.bmiHeader.biWidth = static_cast<LONG>(width);
  header.bmiHeader.biHeight = static_cast<LONG>(height);
  header.bmiHeader.biPlanes = 1;
  header.bmiHeader.biBitCount = bitCount;
  header.bmiHeader.biCompression = code == kSubtypeRgb24 ? 0 : code;
  header.bmiHeader.biSizeImage = sampleSize;
}

// Halve while both are even, then divide by 5 while both are divisible by 5.
VOID AspectRatio(ULONG width, ULONG height, DWORD* x, DWORD* y) {
  while (width && height && !(width & 1) && !(height & 1)) width >>= 1, height >>= 1;
  while (width && height && width % 5 == 0 && height % 5 == 0) width /= 5, height /= 5;
  *x = width;
  *y = height;
}

}  // namespace

GUID SubtypeGuid(ULONG code) {
  if (code == kSubtypeRgb24) return MEDIASUBTYPE_RGB24;
  return GUID{code, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

FormatTable::FormatTable() : formatMapCount_(0), frameCount_(0), dataRangeCount_(0), limit848Rate_(0) {
  RtlZeroMemory(frames_, sizeof(frames_));
  RtlZeroMemory(dataRanges_, sizeof(dataRanges_));
  RtlZeroMemory(formatMap_, sizeof(formatMap_));
}

VOID FormatTable::Release() {
  for (ULONG i = 0; i < frameCount_; ++i) {
    if (frames_[i].Intervals) ExFreePoolWithTag(frames_[i].Intervals, kTagFrameIntervals);
    frames_[i].Intervals = nullptr;
  }
  for (ULONG i = 0; i < dataRangeCount_; ++i) {
    if (dataRanges_[i]) ExFreePoolWithTag(dataRanges_[i], kTagDataRange);
    dataRanges_[i] = nullptr;
  }
}

NTSTATUS FormatTable::AddFrameEntry(const FrameEntry& entry) {
  if (frameCount_ >= kMaxFrameEntries) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG count = entry.IntervalCount > 0 ? static_cast<ULONG>(entry.IntervalCount) : 0;
  if (count > kMaxEntryIntervals) count = kMaxEntryIntervals;
  PULONG intervals = nullptr;
  if (count) {
    intervals = static_cast<PULONG>(ExAllocatePoolWithTag(DriverPoolType, count * sizeof(ULONG), kTagFrameIntervals));
    if (!intervals) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(intervals, entry.Intervals, count * sizeof(ULONG));
  }
  FrameEntry& added = frames_[frameCount_++];
  added = entry;
  added.IntervalCount = static_cast<LONG>(count);
  added.Intervals = intervals;
  return STATUS_SUCCESS;
}

bool FormatTable::FindLargestSmallerFrame(ULONG sourceCode, USHORT width, USHORT height, FrameEntry* out) const {
  const ULONGLONG wanted = static_cast<ULONGLONG>(width) * height;
  const FrameEntry* best = nullptr;
  ULONGLONG bestArea = 0;
  for (ULONG i = 0; i < frameCount_; ++i) {
    const FrameEntry& e = frames_[i];
    if (e.SourceCode != sourceCode) continue;
    if (e.Width == width && e.Height == height) return false;
    const ULONGLONG area = static_cast<ULONGLONG>(e.Width) * e.Height;
    if (area < wanted && area > bestArea && !e.AddedByConfig) {
      best = &e;
      bestArea = area;
    }
  }
  if (!best) return false;
  *out = *best;
  return true;
}

bool FormatTable::FindFrameEntry(ULONG offeredCode, ULONG width, ULONG height, FrameEntry* out) const {
  ULONG source = 0;
  for (ULONG i = 0; i < formatMapCount_; ++i)
    if (formatMap_[i].OfferedCode == offeredCode) source = formatMap_[i].SourceCode;
  for (ULONG i = 0; i < frameCount_; ++i) {
    const FrameEntry& e = frames_[i];
    if (e.SourceCode == source && e.Width == width && e.Height == height) {
      *out = e;
      return true;
    }
  }
  return false;
}

bool FormatTable::GetDataRangeFormat(ULONG index, FrameEntry* out) const {
  if (index >= dataRangeCount_ || !dataRanges_[index]) return false;
  const KS_BITMAPINFOHEADER* bitmap;
  if (IsEqualGUID(dataRanges_[index]->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO))
    bitmap = &reinterpret_cast<const KS_DATARANGE_VIDEO*>(dataRanges_[index])->VideoInfoHeader.bmiHeader;
  else
    bitmap = &reinterpret_cast<const KS_DATARANGE_VIDEO2*>(dataRanges_[index])->VideoInfoHeader.bmiHeader;
  const ULONG code = bitmap->biCompression ? bitmap->biCompression : kSubtypeRgb24;
  return FindFrameEntry(code, static_cast<ULONG>(bitmap->biWidth), static_cast<ULONG>(bitmap->biHeight), out);
}

ULONG FormatTable::GetDataRanges(const PKSDATARANGE** ranges) const {
  *ranges = dataRanges_;
  return dataRangeCount_;
}

NTSTATUS FormatTable::BuildDataRanges(ULONG sourceCode, ULONG offeredCode, USHORT bitCount, ULONG streamType) {
  if (formatMapCount_ >= kMaxFormatMapEntries) return STATUS_INSUFFICIENT_RESOURCES;
  formatMap_[formatMapCount_++] = {offeredCode, sourceCode, bitCount};
  const bool newerSystem = IsWindows10Build10587OrLater();
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < frameCount_ && NT_SUCCESS(status); ++i) {
    FrameEntry& e = frames_[i];
    if (e.SourceCode != sourceCode || e.IntervalCount <= 0) continue;
    if (newerSystem) {
      const bool tallNotMjpg = e.Height > kTallFrameLimit && offeredCode != kSubtypeMjpg;
      if (streamType == 4 && (e.Width < kNarrowFrameLimit || tallNotMjpg)) continue;
      if (streamType == 1 && tallNotMjpg) continue;
    }
    if (limit848Rate_ && e.Width == kLimitedRateWidth) {
      DbgPrint("848x480, rate = %d, %d\n", e.Intervals[e.IntervalCount - 1], e.Intervals[0]);
      e.Intervals[e.IntervalCount - 1] = e.Intervals[0];
    }
    const ULONG first = e.Intervals[0];
    const ULONG last = e.Intervals[e.IntervalCount - 1];
    status = AddVideoInfoRange(e.Width, e.Height, offeredCode, bitCount, first, last);
    if (NT_SUCCESS(status)) status = AddVideoInfo2Range(e.Width, e.Height, offeredCode, bitCount, first, last);
  }
  return status;
}

template <typename Range>
NTSTATUS FormatTable::AddRange(Range** added, const GUID& specifier, ULONG width, ULONG height, ULONG code,
                               USHORT bitCount, ULONG first, ULONG last) {
  if (dataRangeCount_ >= kMaxDataRanges) return STATUS_INSUFFICIENT_RESOURCES;
  auto* r = static_cast<Range*>(ExAllocatePoolWithTag(DriverPoolType, sizeof(Range), kTagDataRange));
  if (!r) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(r, sizeof(*r));
  FillCommon(r, specifier, width, height, code, bitCount, first, last);
  dataRanges_[dataRangeCount_++] = &r->DataRange;
  *added = r;
  return STATUS_SUCCESS;
}

NTSTATUS FormatTable::AddVideoInfoRange(ULONG width, ULONG height, ULONG code, USHORT bitCount, ULONG first,
                                        ULONG last) {
  KS_DATARANGE_VIDEO* r = nullptr;
  return AddRange(&r, KSDATAFORMAT_SPECIFIER_VIDEOINFO, width, height, code, bitCount, first, last);
}

NTSTATUS FormatTable::AddVideoInfo2Range(ULONG width, ULONG height, ULONG code, USHORT bitCount, ULONG first,
                                         ULONG last) {
  KS_DATARANGE_VIDEO2* r = nullptr;
  const NTSTATUS status = AddRange(&r, KSDATAFORMAT_SPECIFIER_VIDEOINFO2, width, height, code, bitCount, first, last);
  if (!NT_SUCCESS(status)) return status;
  AspectRatio(width, height, &r->VideoInfoHeader.dwPictAspectRatioX, &r->VideoInfoHeader.dwPictAspectRatioY);
  r->VideoInfoHeader.dwControlFlags = code == kSubtypeMjpg ? kControlFlagsMjpg : kControlFlagsUncompressed;
  return STATUS_SUCCESS;
}

}  // namespace kvz
