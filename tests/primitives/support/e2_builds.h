// Every processor build of the copy, vector and conversion primitives side by side, so a test
// can run each build against the generic one.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "primitives/path_counts.h"
#include "primitives/region_copy.h"
#include "primitives/row_kernels.h"
#include "primitives/sample_convert.h"
#include "primitives/vector_ops.h"

namespace e2 {

#define E2_FUNCTIONS(X, ns)                                                                              \
  X(ns, CopyImage8u) X(ns, CopyImage16s) X(ns, InterleavePlanes8uP3C3) X(ns, InterleavePlanes8uP4C4)     \
  X(ns, SplitPixels8uC3P3) X(ns, SplitPixels8uC4P4) X(ns, SplitPixels16sC3P3) X(ns, SplitPixels16sC4P4)  \
  X(ns, ConvertWordsToBytes) X(ns, ConvertBytesToWords)                                                  \
  X(ns, CopyBytes) X(ns, CopyWords) X(ns, ZeroBytes) X(ns, ZeroWords) X(ns, ShiftLeftWords)              \
  X(ns, ShiftRightWords) X(ns, CopyBytesKernel) X(ns, ZeroFillKernel)                                    \
  X(ns, FillKernel8) X(ns, FillKernel16) X(ns, FillKernel32) X(ns, FillKernel64) X(ns, FillKernel128)    \
  X(ns, ShiftLeftBytesKernel) X(ns, ShiftLeftWordsKernel) X(ns, ShiftLeftDwordsKernel)                   \
  X(ns, ShiftRightLogicalBytesKernel) X(ns, ShiftRightLogicalWordsKernel) X(ns, ShiftRightWordsKernel)   \
  X(ns, ShiftRightDwordsKernel) X(ns, ShiftLeftBytesCopyKernel) X(ns, ShiftLeftWordsCopyKernel)          \
  X(ns, ShiftLeftDwordsCopyKernel) X(ns, ShiftRightLogicalBytesCopyKernel)                               \
  X(ns, ShiftRightLogicalWordsCopyKernel) X(ns, ShiftRightWordsCopyKernel)                               \
  X(ns, ShiftRightDwordsCopyKernel)                                                                      \
  X(ns, CopyRowKernel) X(ns, CopyRowCacheAwareKernel) X(ns, CopyRowAc4Kernel8u) X(ns, CopyRowAc4Kernel16s) \
  X(ns, InterleavePlanes8uP3C3Kernel) X(ns, InterleavePlanes8uP4C4Kernel) X(ns, SplitPixels8uC3P3Kernel) \
  X(ns, SplitPixels8uC3P3Planes4Kernel) X(ns, SplitPixels8uC3P3Source4Kernel)                            \
  X(ns, SplitPixels8uC4P4Kernel) X(ns, SplitPixels8uC4P4Planes4Kernel) X(ns, ExtractChannel8uC3Kernel)   \
  X(ns, ExtractChannel8uC4Kernel) X(ns, ExtractChannel16sC3Kernel) X(ns, ExtractChannel16sC3StreamingKernel) \
  X(ns, ExtractChannel16sC4Kernel) X(ns, ExtractChannel16sC4StreamingKernel)                             \
  X(ns, ConvertBytesToWordsKernel) X(ns, ConvertWordsToBytesKernel) X(ns, Convert16uTo8uKernel)           \
  X(ns, Convert32sTo8sKernel) X(ns, Convert32sTo8sAc4Kernel) X(ns, Convert32sTo8uKernel)                 \
  X(ns, Convert32sTo8uAc4Kernel) X(ns, Convert8sTo32sKernel) X(ns, Convert8sTo32sAc4Kernel)              \
  X(ns, Convert8uTo32sKernel) X(ns, Convert8uTo32sAc4Kernel) X(ns, Convert32fTo16uKernel)                \
  X(ns, Convert32fTo16uAc4Kernel) X(ns, Convert32fTo16sKernel) X(ns, Convert32fTo16sAc4Kernel)           \
  X(ns, Convert32fTo8uKernel) X(ns, Convert32fTo8uAc4Kernel) X(ns, Convert32fTo8sKernel)                 \
  X(ns, Convert32fTo8sAc4Kernel) X(ns, Convert16uTo32fKernel) X(ns, Convert16uTo32fAc4Kernel)            \
  X(ns, Convert16sTo32fKernel) X(ns, Convert16sTo32fAc4Kernel) X(ns, Convert8uTo32fKernel)               \
  X(ns, Convert8uTo32fAc4Kernel) X(ns, Convert8sTo32fKernel) X(ns, Convert8sTo32fAc4Kernel)

#define E2_FIELD(ns, f) decltype(&kvz::prim::ns::f) f;

struct Build {
  std::string name;
  int isa;  // 0 generic, 1 sse, 2 sse2, 3 sse3, 4 ssse3
  uint32_t* counts;
  E2_FUNCTIONS(E2_FIELD, generic)

  bool Vector() const { return isa >= 1; }         // 16-byte moves
  bool IntegerVector() const { return isa >= 2; }  // SSE2 integer code
  bool Ssse3() const { return isa == 4; }
  uint32_t Count(kvz::prim::CountedPath k) const { return counts[k]; }
};

const std::vector<Build>& Builds();
const Build& Generic();
// Every build but the generic one.
std::vector<const Build*> VectorBuilds();

}  // namespace e2
