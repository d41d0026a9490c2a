#include "primitives/dispatch_table.h"

#include "primitives/colour_convert.h"
#include "primitives/library_version.h"
#include "primitives/mirror.h"
#include "primitives/region_copy.h"
#include "primitives/resize.h"
#include "primitives/vector_ops.h"

namespace kvz::prim {

#define KVZ_IMAGE_ROW(group, owner, sharing, Ret, name, params, args) \
  KVZ_DISPATCH_WHEN(owner, IMAGE, KVZ_DISPATCH_ROW_##sharing(name))

const PrimitiveDispatchGroups PrimitiveDispatchTable = {
    KVZ_DISPATCH_GROUPS_A(KVZ_IMAGE_ROW)
#if !defined(__i386__)
    nullptr,
#endif
    KVZ_DISPATCH_GROUPS_B(KVZ_IMAGE_ROW)
};

}  // namespace kvz::prim
