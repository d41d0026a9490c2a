// Per-build counts of how often a primitive's vector path ran. They let the tests prove that a
// processor build does its work in its own vector code rather than in a scalar fallback; the
// cost is one relaxed increment per call of a vector path, not per element.
#pragma once
#include <stdint.h>

#include "primitives/build.h"

namespace kvz::prim {

// Path numbers; 0-15 the framework and arithmetic kernels, 16-31 vector memory and row
// kernels, 32-47 colour, resize and mirror.
enum VectorPath : int {
  kPathMultiplyScaled = 0,
  kPathMultiplySat = 1,
  kPathReverseDivide = 2,
  kPathComplexMultiply = 3,
  kPathComplexMultiplyInPlace = 4,
  kPathComplexMultiplyStreaming = 5,
  kVectorPathSlots = 64,
};

#define KVZ_DECLARE_VECTOR_PATH_COUNTER(ns)                   \
  namespace ns {                                             \
  uint32_t VectorPathCount(int path);                        \
  void ResetVectorPathCounts();                              \
  void CountVectorPath(int path);                            \
  }
KVZ_FOR_EACH_BUILD(KVZ_DECLARE_VECTOR_PATH_COUNTER)
#undef KVZ_DECLARE_VECTOR_PATH_COUNTER

}  // namespace kvz::prim
