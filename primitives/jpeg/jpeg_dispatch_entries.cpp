// The entries of the JPEG primitives.
#include "primitives/dispatch.h"
#include "primitives/jpeg/jpeg_dispatch_table.h"

namespace kvz::prim {

#define KVZ_JPEG_ENTRY(group, owner, sharing, Ret, name, params, args) \
  KVZ_DISPATCH_WHEN(owner, JPEG, KVZ_DISPATCH_ENTRY(JpegDispatchTable, Ret, name, params, args))
KVZ_DISPATCH_GROUPS(KVZ_JPEG_ENTRY)
#undef KVZ_JPEG_ENTRY

}  // namespace kvz::prim
