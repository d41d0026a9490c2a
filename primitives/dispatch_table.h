// The dispatch tables: one group of build pointers per dispatched primitive, in slot order (the
// order of KVZ_FOR_EACH_BUILD). This library holds the groups of its own primitives; those of
// the JPEG primitives are held by primitives/jpeg (jpeg_dispatch_table.h), so the libraries
// depend one way only. Constant data.
#pragma once
#include <atomic>

#include "primitives/build.h"
#include "primitives/build_selection.h"
#include "primitives/dispatch.h"

namespace kvz::prim {

#define KVZ_DISPATCH_FIELD(Ret, name, params) Ret(*name[KVZ_BUILD_COUNT]) params;

// One row per sharing kind (see dispatch_groups.h).
#if defined(__i386__)
#define KVZ_DISPATCH_ROW_EVERY(name) \
  {&generic::name, &sse::name, &sse2::name, &sse3::name, &ssse3::name},
#define KVZ_DISPATCH_ROW_ONE(name) \
  {&generic::name, &generic::name, &generic::name, &generic::name, &generic::name},
#define KVZ_DISPATCH_ROW_TWO(name) {&generic::name, &sse::name, &sse::name, &sse::name, &sse::name},
#else
#define KVZ_DISPATCH_ROW_EVERY(name) {&generic::name, &sse3::name, &ssse3::name},
#define KVZ_DISPATCH_ROW_ONE(name) {&generic::name, &generic::name, &generic::name},
#define KVZ_DISPATCH_ROW_TWO(name) {&generic::name, &sse3::name, &sse3::name},
#endif

// An entry: one load of the index, one indirect call with the arguments passed on unchanged,
// which the compiler turns into a tail jump.
inline int32_t DispatchSlot() { return PrimitiveDispatchIndex.load(std::memory_order_relaxed); }
#define KVZ_DISPATCH_ENTRY(table, Ret, name, params, args) \
  Ret name params { return table.name[DispatchSlot()] args; }

#define KVZ_IMAGE_FIELD(group, owner, sharing, Ret, name, params, args) \
  KVZ_DISPATCH_WHEN(owner, IMAGE, KVZ_DISPATCH_FIELD(Ret, name, params))

struct PrimitiveDispatchGroups {
  KVZ_DISPATCH_GROUPS_A(KVZ_IMAGE_FIELD)
#if !defined(__i386__)
  // On x86-64 table A ends with a null pointer and the colour table follows it.
  const void* endOfTableA;
#endif
  KVZ_DISPATCH_GROUPS_B(KVZ_IMAGE_FIELD)
};

#undef KVZ_IMAGE_FIELD

extern const PrimitiveDispatchGroups PrimitiveDispatchTable;

}  // namespace kvz::prim
