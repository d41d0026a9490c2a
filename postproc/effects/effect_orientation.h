// The orientation effect (512 ... 515): flips the rows and/or mirrors the columns of an RGB24
// or YUY2 frame in place with the post-processing's own flips.
#pragma once
#include <wdm.h>

#include "postproc/effects/zq_effect.h"

namespace kvz {

enum EffectOrientation : LONG {
  kOrientationNone = 0,
  kOrientationFlipRows = 1,
  kOrientationMirror = 2,
  kOrientationBoth = 3,
};

class ZQEOrientation final : public ZQEffect {
 public:
  ZQEOrientation(LONG identifier, LONG supportedFormats);
  // I420 frames pass unchanged; other formats than RGB24, YUY2 and I420 are not supported.
  NTSTATUS Do(UCHAR* frame) override;

  LONG orientation;  // identifier - 512
};

}  // namespace kvz
