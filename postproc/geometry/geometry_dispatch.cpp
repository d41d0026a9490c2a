// The dispatch groups of the frame geometry: their rows and entries come from the one list in
// primitives/dispatch_groups.h and are held here, so the primitives never refer to postproc.
#include "postproc/geometry/geometry_kernels.h"
#include "primitives/dispatch.h"
#include "primitives/dispatch_table.h"

namespace kvz::prim {
namespace {

#define KVZ_GEOMETRY_FIELD(group, owner, sharing, Ret, name, params, args) \
  KVZ_DISPATCH_WHEN(owner, GEOMETRY, KVZ_DISPATCH_FIELD(Ret, name, params))

struct GeometryDispatchGroups {
  KVZ_DISPATCH_GROUPS(KVZ_GEOMETRY_FIELD)
};

#undef KVZ_GEOMETRY_FIELD

#define KVZ_GEOMETRY_ROW(group, owner, sharing, Ret, name, params, args) \
  KVZ_DISPATCH_WHEN(owner, GEOMETRY, KVZ_DISPATCH_ROW_##sharing(name))

const GeometryDispatchGroups GeometryDispatchTable = {
    KVZ_DISPATCH_GROUPS(KVZ_GEOMETRY_ROW)
};

#undef KVZ_GEOMETRY_ROW

}  // namespace

#define KVZ_GEOMETRY_ENTRY(group, owner, sharing, Ret, name, params, args) \
  KVZ_DISPATCH_WHEN(owner, GEOMETRY, KVZ_DISPATCH_ENTRY(GeometryDispatchTable, Ret, name, params, args))
KVZ_DISPATCH_GROUPS(KVZ_GEOMETRY_ENTRY)
#undef KVZ_GEOMETRY_ENTRY

}  // namespace kvz::prim
