// The scaling effect: resamples the frame bilinearly from the input size to the output size.
#pragma once
#include <wdm.h>

#include "postproc/effects/zq_effect.h"

namespace kvz {

class ZQEInterpolation : public ZQEffect {
 public:
  ZQEInterpolation(LONG identifier, LONG supportedFormats);

  // The output size comes from outputFormat when given, else from the input format; it is
  // taken even when the input format is unchanged. An output size outside
  // 1 ... kEffectMaxDimension gives STATUS_INVALID_PARAMETER.
  NTSTATUS SetFormat(const EffectFormat* format, UCHAR* workBuffer, LONG workBufferSize,
                     const EffectFormat* outputFormat) override;
  // RGB24 and YUY2; the frame must hold the output picture, the work buffer the input one.
  NTSTATUS Do(UCHAR* frame) override;

  LONG outputWidth;
  LONG outputHeight;
};

}  // namespace kvz
