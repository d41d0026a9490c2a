// Per-build counts of the calls that took a vector path, so that tests can tell a processor build
// runs its own vector code rather than a scalar fallback. The counts exist only in the tests'
// copies of the primitives libraries, compiled with KVZ_TEST_HOOKS; in the driver
// KVZ_COUNT_PATH is nothing.
#pragma once
#include <stdint.h>

#include "primitives/build.h"

namespace kvz::prim {

enum CountedPath : uint32_t {
  // Arithmetic kernels.
  kPathMultiplyScaled,
  kPathMultiplySat,
  kPathReverseDivide,
  kPathComplexMultiply,
  kPathComplexMultiplyInPlace,
  kPathComplexMultiplyStreaming,
  // Vector memory, row kernels and sample conversion: vector block loops entered.
  kPathCopyBytes,
  kPathZeroFill,
  kPathFill,
  kPathShift,
  kPathCopyRow,
  kPathCopyRowCacheAware,
  kPathCopyRowAc4,
  kPathInterleave,
  kPathSplitPixels,
  kPathExtractChannel,
  kPathWordsToBytes,
  kPathBytesToWords,
  kPathConvertFamily,
  kPathStream,  // a run written with streaming stores
  // Image primitives: calls that took the build's vector rows or workers.
  kPathColour,
  kPathResize,
  kPathResizeGather,  // nearest-neighbour rows gathered by vector
  kPathMirror,
  kPathCount
};

}  // namespace kvz::prim

#if defined(KVZ_TEST_HOOKS)
#define KVZ_DECLARE_PATH_COUNTS(ns) \
  namespace kvz::prim::ns {         \
  inline uint32_t PathCounts[kPathCount]; \
  }
KVZ_FOR_EACH_BUILD(KVZ_DECLARE_PATH_COUNTS)
#undef KVZ_DECLARE_PATH_COUNTS
// Only inside a perbuild source, which names its build.
#define KVZ_COUNT_PATH(path) \
  static_cast<void>(__atomic_fetch_add(&::kvz::prim::KVZ_BUILD_NS::PathCounts[path], 1u, __ATOMIC_RELAXED))
#else
// The operand is named but not evaluated, so a value computed only for the count stays used.
#define KVZ_COUNT_PATH(path) static_cast<void>(sizeof(path))
#endif
