#include "jpeg_builds.h"

#include <cpuid.h>

namespace kvz::test {
namespace {

bool IsaRunsHere(int isa) {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return isa == KVZ_ISA_GENERIC;
  switch (isa) {
    case KVZ_ISA_GENERIC: return true;
    case KVZ_ISA_SSE: return (d >> 25) & 1;
    case KVZ_ISA_SSE2: return (d >> 26) & 1;
    case KVZ_ISA_SSE3: return c & 1;
    case KVZ_ISA_SSSE3: return (c >> 9) & 1;
    default: return false;
  }
}

}  // namespace

const std::vector<JpegBuild>& JpegBuilds() {
  static const std::vector<JpegBuild> builds = [] {
    std::vector<JpegBuild> v;
#define KVZ_ISA_OF_generic KVZ_ISA_GENERIC
#define KVZ_ISA_OF_sse KVZ_ISA_SSE
#define KVZ_ISA_OF_sse2 KVZ_ISA_SSE2
#define KVZ_ISA_OF_sse3 KVZ_ISA_SSE3
#define KVZ_ISA_OF_ssse3 KVZ_ISA_SSSE3
#define KVZ_ADD_BUILD(ns) v.push_back({#ns, static_cast<int>(v.size()), KVZ_ISA_OF_##ns});
    KVZ_FOR_EACH_BUILD(KVZ_ADD_BUILD)
#undef KVZ_ADD_BUILD
    return v;
  }();
  return builds;
}

std::vector<JpegBuild> RunnableJpegBuilds() {
  std::vector<JpegBuild> v;
  for (const JpegBuild& b : JpegBuilds())
    if (IsaRunsHere(b.isa)) v.push_back(b);
  return v;
}

}  // namespace kvz::test
