// Every processor build of the arithmetic kernels, by slot, for tests that compare the builds
// with the generic one and with independent references.
#pragma once
#include <algorithm>
#include <string>
#include <vector>

#include "primitives/complex_multiply.h"
#include "primitives/divide_words.h"
#include "primitives/library_version.h"
#include "primitives/multiply_scaled.h"
#include "primitives/path_counts.h"
#include "processor_isa.h"

namespace kvz::test {

struct ArithmeticBuild {
  std::string name;
  int slot;
  int isa;  // KVZ_ISA_*
  decltype(&prim::generic::MultiplyWordsSat) multiplySat;
  decltype(&prim::generic::MultiplyWordsScaled) multiplyScaled;
  decltype(&prim::generic::MultiplyWordsScaledKernel) multiplyScaledKernel;
  decltype(&prim::generic::ReverseDivideWords) reverseDivide;
  decltype(&prim::generic::ReverseDivideWordsKernel) reverseDivideKernel;
  decltype(&prim::generic::DivideWordsSimd) divideSimd;
  decltype(&prim::generic::MultiplyComplexInPlace) complexInPlace;
  decltype(&prim::generic::MultiplyComplex) complexMultiply;
  decltype(&prim::generic::GetLibraryVersion) libraryVersion;
  uint32_t* counts;

  uint32_t pathCount(prim::CountedPath p) const { return counts[p]; }
  void resetPathCounts() const { std::fill(counts, counts + prim::kPathCount, 0u); }
};

// In slot order.
const std::vector<ArithmeticBuild>& ArithmeticBuilds();
// Builds whose instruction set the processor running the test offers.
std::vector<ArithmeticBuild> RunnableArithmeticBuilds();

// Byte offsets from an aligned base that the tests place arrays at. Odd offsets are left out
// under the undefined-behaviour sanitizer, which rejects misaligned 16-bit accesses.
std::vector<int> TestMisalignments();

}  // namespace kvz::test
