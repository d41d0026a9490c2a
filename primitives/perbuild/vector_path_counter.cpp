#include "primitives/vector_path_counter.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {
uint32_t g_pathCounts[kVectorPathSlots];
}  // namespace

uint32_t VectorPathCount(int path) {
  return __atomic_load_n(&g_pathCounts[path], __ATOMIC_RELAXED);
}

void ResetVectorPathCounts() {
  for (uint32_t& c : g_pathCounts) __atomic_store_n(&c, 0u, __ATOMIC_RELAXED);
}

void CountVectorPath(int path) { __atomic_fetch_add(&g_pathCounts[path], 1u, __ATOMIC_RELAXED); }

}  // namespace kvz::prim::KVZ_BUILD_NS
