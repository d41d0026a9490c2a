// The capture and still pins' format tables built from the descriptor model's formats, with
// FORMAT.CFG's output formats and interposed sizes.
#pragma once
#include <wdm.h>

#include "driver/pins/format_table.h"
#include "uvcmodel/uvc_model.h"

namespace kvz {

constexpr ULONG kTagIntervalList = 'FRAr';
constexpr ULONG kTagConfigPath = 'ClFC';

// Makes both tables (each null when its block cannot be allocated) and, when both exist and the
// streaming interface has its input header, fills them: the capture table (pin type 1, with the
// 848-pixel rate limit when limit848Rate) from the MJPEG and YUY2 formats' frames, the still
// table (pin type 3) from their still patterns; other uncompressed formats are passed over.
VOID BuildFormatTables(const UvcModel& model, bool limit848Rate, FormatTable** capture, FormatTable** still);
// The format file's index'th interposed size of the type (a ConfigFormatType) into the entry's
// offered size and first interval (ReadInterpositionSize); entry->Intervals must hold at least
// one value. On failure the entry is left alone.
NTSTATUS ReadInterpositionEntry(PCWSTR path, ULONG type, FrameEntry* entry, ULONG index);
// Frees the table's entries and ranges and the table; null does nothing.
VOID FreeFormatTable(FormatTable** table);

// The capture and still pins' format tables of one configuration and the still capture method of
// its input header: the pins' side owns them, built from the model the unit container parsed.
class PinFormats {
 public:
  PinFormats() = default;
  ~PinFormats() { Release(); }
  PinFormats(const PinFormats&) = delete;
  PinFormats& operator=(const PinFormats&) = delete;

  // The capture table's 848-pixel rate limit of the special camera; set before Build.
  VOID SetLimit848Rate(bool limit) { limit848Rate_ = limit; }
  // BuildFormatTables over the model.
  VOID Build(const UvcModel& model);
  VOID Release();

  // pinType 1 is the capture table, any other the still table.
  bool GetFormatEntry(FrameEntry* entry, ULONG subtype, ULONG width, ULONG height, ULONG pinType) const;
  ULONG GetFormatList(const PKSDATARANGE** ranges, ULONG pinType) const;
  FormatTable* Capture() const { return capture_; }
  FormatTable* Still() const { return still_; }

 private:
  FormatTable* capture_ = nullptr;
  FormatTable* still_ = nullptr;
  bool limit848Rate_ = false;
};

}  // namespace kvz
