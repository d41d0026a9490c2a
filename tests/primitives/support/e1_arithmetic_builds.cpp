#include "e1_arithmetic_builds.h"


namespace kvz::test {

const std::vector<ArithmeticBuild>& ArithmeticBuilds() {
  static const std::vector<ArithmeticBuild> builds = [] {
    std::vector<ArithmeticBuild> v;
    const int isaOf[] = {
#define KVZ_ISA_OF(ns) KVZ_ISA_OF_##ns,
#define KVZ_ISA_OF_generic KVZ_ISA_GENERIC
#define KVZ_ISA_OF_sse KVZ_ISA_SSE
#define KVZ_ISA_OF_sse2 KVZ_ISA_SSE2
#define KVZ_ISA_OF_sse3 KVZ_ISA_SSE3
#define KVZ_ISA_OF_ssse3 KVZ_ISA_SSSE3
        KVZ_FOR_EACH_BUILD(KVZ_ISA_OF)};
#define KVZ_ADD_BUILD(ns)                                                                       \
  v.push_back({#ns, static_cast<int>(v.size()), isaOf[v.size()], &prim::ns::MultiplyWordsSat, \
               &prim::ns::MultiplyWordsScaled, &prim::ns::MultiplyWordsScaledKernel,            \
               &prim::ns::ReverseDivideWords, &prim::ns::ReverseDivideWordsKernel,              \
               &prim::ns::DivideWordsSimd, &prim::ns::MultiplyComplexInPlace,                   \
               &prim::ns::MultiplyComplex, &prim::ns::GetLibraryVersion,                        \
               prim::ns::PathCounts});
    KVZ_FOR_EACH_BUILD(KVZ_ADD_BUILD)
#undef KVZ_ADD_BUILD
    return v;
  }();
  return builds;
}

std::vector<ArithmeticBuild> RunnableArithmeticBuilds() {
  std::vector<ArithmeticBuild> v;
  for (const ArithmeticBuild& b : ArithmeticBuilds())
    if (IsaRunsHere(b.isa)) v.push_back(b);
  return v;
}

std::vector<int> TestMisalignments() {
#if defined(KVZ_TEST_UBSAN) || defined(__SANITIZE_ADDRESS__)
  return {0, 4, 8};
#else
  return {0, 1, 4, 8};
#endif
}

}  // namespace kvz::test
