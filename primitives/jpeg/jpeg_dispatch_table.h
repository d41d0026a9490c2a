// The dispatch groups of the JPEG primitives, registered here rather than in primitives so that
// primitives never refers to this library. Rows and entries come from the one list in
// primitives/dispatch_groups.h; a group still marked UNBUILT there has neither.
#pragma once
#include "primitives/dispatch_table.h"

namespace kvz::prim {

#define KVZ_JPEG_FIELD(group, owner, sharing, Ret, name, params, args) \
  KVZ_DISPATCH_WHEN(owner, JPEG, KVZ_DISPATCH_FIELD(Ret, name, params))

struct JpegDispatchGroups {
  KVZ_DISPATCH_GROUPS(KVZ_JPEG_FIELD)
};

#undef KVZ_JPEG_FIELD

extern const JpegDispatchGroups JpegDispatchTable;

}  // namespace kvz::prim
