// Conventions every primitive shares: the status it returns and the region size it takes.
#pragma once
#include <stdint.h>

namespace kvz::prim {

// 0 success, negative error (nothing written), positive warning (work done).
typedef int PrimitiveStatus;

struct RoiSize {
  int32_t width;
  int32_t height;
};

enum : PrimitiveStatus {
  kStsOk = 0,
  kStsCoefficientRunError = -2,
  kStsOutOfRange = -5,
  kStsSizeError = -6,
  kStsNullPointer = -8,
  kStsNoMemory = -9,
  kStsStepError = -14,
  kStsBadFlipAxis = -21,
  kStsBadInterpolation = -22,
  kStsBadResizeFactor = -23,
  kStsNegativeShift = -32,
  kStsBufferExhausted = -62,
  kStsNoHuffmanMatch = -63,
  kStsBadHuffmanTable = -64,
  kStsResultTooSmall = -201,
  kStsDivisionByZero = 6,
  kStsCpuNotRecognised = 20,
  kStsCpuBuildNotSupported = 21,
  kStsOriginOutsideSource = 29,
  kStsOddSize = 35,
};

}  // namespace kvz::prim
