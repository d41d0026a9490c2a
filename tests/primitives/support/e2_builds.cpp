#include "e2_builds.h"

namespace e2 {

#define E2_ASSIGN(ns, f) b.f = &kvz::prim::ns::f;
#define E2_BUILD(ns)                                \
  {                                                 \
    Build b;                                        \
    b.name = #ns;                                   \
    b.isa = IsaOf(#ns);                             \
    b.counts = kvz::prim::ns::PathCounts;         \
    E2_FUNCTIONS(E2_ASSIGN, ns)                     \
    v.push_back(b);                                 \
  }

namespace {
int IsaOf(const std::string& n) {
  if (n == "sse") return 1;
  if (n == "sse2") return 2;
  if (n == "sse3") return 3;
  if (n == "ssse3") return 4;
  return 0;
}
}  // namespace

const std::vector<Build>& Builds() {
  static const std::vector<Build> builds = [] {
    std::vector<Build> v;
    KVZ_FOR_EACH_BUILD(E2_BUILD)
    return v;
  }();
  return builds;
}

const Build& Generic() { return Builds().front(); }

std::vector<const Build*> VectorBuilds() {
  std::vector<const Build*> v;
  for (const Build& b : Builds())
    if (b.isa != 0) v.push_back(&b);
  return v;
}

}  // namespace e2
