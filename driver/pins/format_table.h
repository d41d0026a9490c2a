// The frames a data pin offers (camera frames and sizes added by FORMAT.CFG), the map from
// offered subtypes to the camera format that produces them, and the KS data ranges built from
// both.
#pragma once
#include <wdm.h>
#include <ks.h>
#include <ksmedia.h>

#include "postproc/base/frame_format.h"

namespace kvz {

constexpr ULONG kMaxFrameEntries = 128;
constexpr ULONG kMaxDataRanges = 128;
constexpr ULONG kMaxFormatMapEntries = 16;
constexpr ULONG kMaxEntryIntervals = 128;

constexpr ULONG kTagFormatTable = 'ClDR';
constexpr ULONG kTagDataRange = 'DTRG';
constexpr ULONG kTagFrameIntervals = 'FRAr';

struct FrameEntry {
  UCHAR FormatIndex;
  UCHAR FrameIndex;
  ULONG SourceCode;
  ULONG AddedByConfig;
  USHORT Width;
  USHORT Height;
  USHORT SourceWidth;
  USHORT SourceHeight;
  LONG IntervalCount;
  PULONG Intervals;  // ascending; owned by the entry once it is in a table
};

struct FormatMapEntry {
  ULONG OfferedCode;
  ULONG SourceCode;
  USHORT BitCount;
};

class FormatTable {
 public:
  FormatTable();
  // Frees every entry's intervals and every data range; the counts stay.
  VOID Release();

  // Copies the entry and its intervals. STATUS_INSUFFICIENT_RESOURCES when the table is full or
  // the interval copy cannot be allocated (nothing is added then).
  NTSTATUS AddFrameEntry(const FrameEntry& entry);
  // The copy shares the table's interval block; valid while the table lives.
  bool FindLargestSmallerFrame(ULONG sourceCode, USHORT width, USHORT height, FrameEntry* out) const;
  bool FindFrameEntry(ULONG offeredCode, ULONG width, ULONG height, FrameEntry* out) const;
  bool GetDataRangeFormat(ULONG index, FrameEntry* out) const;
  ULONG GetDataRanges(const PKSDATARANGE** ranges) const;
  // streamType: 1 capture, 3 still, 4 the third stream.
  NTSTATUS BuildDataRanges(ULONG sourceCode, ULONG offeredCode, USHORT bitCount, ULONG streamType);
  NTSTATUS AddVideoInfoRange(ULONG width, ULONG height, ULONG code, USHORT bitCount, ULONG first, ULONG last);
  NTSTATUS AddVideoInfo2Range(ULONG width, ULONG height, ULONG code, USHORT bitCount, ULONG first, ULONG last);

  ULONG FrameCount() const { return frameCount_; }
  const FrameEntry& Frame(ULONG i) const { return frames_[i]; }
  ULONG DataRangeCount() const { return dataRangeCount_; }
  VOID SetLimit848Rate(LONG limit) { limit848Rate_ = limit; }

 private:
  template <typename Range>
  NTSTATUS AddRange(Range** added, const GUID& specifier, ULONG width, ULONG height, ULONG code, USHORT bitCount,
                    ULONG first, ULONG last);

  FrameEntry frames_[kMaxFrameEntries];
  PKSDATARANGE dataRanges_[kMaxDataRanges];
  FormatMapEntry formatMap_[kMaxFormatMapEntries];
  ULONG formatMapCount_;
  ULONG frameCount_;
  ULONG dataRangeCount_;
  LONG limit848Rate_;
};

// The FOURCC subtype GUID of a code ({code-0000-0010-8000-00AA00389B71}), MEDIASUBTYPE_RGB24 for
// the RGB24 code.
GUID SubtypeGuid(ULONG code);

}  // namespace kvz
