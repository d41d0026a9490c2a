#include "jpeg_builds.h"

#include "processor_isa.h"

namespace kvz::test {

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
