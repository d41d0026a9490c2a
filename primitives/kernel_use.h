// Per-build counts of vector block loops entered, one slot per kernel family. They let tests
// tell that a processor build runs its own vector code rather than falling back to the scalar
// loops; the generic build never counts.
#pragma once
#include <stdint.h>

#include "primitives/build.h"

namespace kvz::prim {
enum KernelUse : uint32_t {
  kUseCopyBytes, kUseZeroFill, kUseFill, kUseShift, kUseCopyRow, kUseCopyRowCacheAware,
  kUseCopyRowAc4, kUseInterleave, kUseSplitPixels, kUseExtractChannel, kUseWordsToBytes,
  kUseBytesToWords, kUseConvertFamily,
  kUseStream,  // a run written with streaming stores
  kKernelUseCount
};
}  // namespace kvz::prim

#define KVZ_DECLARE_KERNEL_USE(ns) \
  namespace kvz::prim::ns {        \
  extern uint32_t KernelUseCounts[kKernelUseCount]; \
  }

KVZ_FOR_EACH_BUILD(KVZ_DECLARE_KERNEL_USE)
