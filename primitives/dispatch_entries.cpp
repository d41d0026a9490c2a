// The entries of this library's own primitives.
#include "primitives/dispatch.h"
#include "primitives/dispatch_table.h"

namespace kvz::prim {

#define KVZ_IMAGE_ENTRY(group, owner, sharing, Ret, name, params, args) \
  KVZ_DISPATCH_WHEN(owner, IMAGE, KVZ_DISPATCH_ENTRY(PrimitiveDispatchTable, Ret, name, params, args))
KVZ_DISPATCH_GROUPS(KVZ_IMAGE_ENTRY)
#undef KVZ_IMAGE_ENTRY

}  // namespace kvz::prim
