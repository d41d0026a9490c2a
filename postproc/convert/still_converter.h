// The still stream's way from the camera's YUY2 still to the one offered to the client: the
// effects at the offered size (the scaling effect for a size the format file added), then YUY2 as
// it is or RGB24 bottom-up. The converter owns the still buffer the effects work in.
#pragma once
#include <wdm.h>

#include "postproc/convert/frame_converter.h"

namespace kvz {

class PinProcessing;

class StillConverter {
 public:
  static constexpr ULONG kTagStill = 'Ptmp';

  // processing: the pin's post-processing, for the converter's life.
  explicit StillConverter(PinProcessing* processing);
  StillConverter(const StillConverter&) = delete;
  StillConverter& operator=(const StillConverter&) = delete;

  // Takes the stream's formats (each probe); the offered subtype is kSubtypeYuy2 or kSubtypeRgb24.
  VOID SetFormats(const ConversionFormats& formats);
  // The camera's still of length bytes through the effects at the offered size, as delivered
  // (YUY2 or bottom-up RGB24), in the still buffer; null to drop it. PASSIVE_LEVEL, one still at a
  // time (the pin's processing mutex).
  PUCHAR Convert(const UCHAR* frame, ULONG length);
  // Frees the still buffer (the pin's close).
  VOID Release();

 private:
  // A still buffer of exactly size bytes, reallocated when the size changed.
  bool EnsureBuffer(ULONG size);

  PinProcessing* processing_;
  ConversionFormats formats_;
  PUCHAR buffer_;
  ULONG bufferSize_;
};

}  // namespace kvz
