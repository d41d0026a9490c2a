// Dispatch entries: each primitive under its plain name, running the build that
// PrimitiveDispatchIndex selects with the caller's arguments and returning that build's result.
// Callers never name a build. The entries of the JPEG primitives are defined by primitives/jpeg;
// one whose primitive has no builds yet is deleted.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "primitives/dispatch_groups.h"
#include "primitives/jpeg_primitive_types.h"
#include "primitives/library_version.h"
#include "primitives/primitive_types.h"
#include "primitives/resize.h"

namespace kvz::prim {

#define KVZ_ENTRY_BODY_IMAGE
#define KVZ_ENTRY_BODY_JPEG
#define KVZ_ENTRY_BODY_GEOMETRY
#define KVZ_ENTRY_BODY_UNBUILT = delete
#define KVZ_DECLARE_ENTRY(group, owner, sharing, Ret, name, params, args) \
  Ret name params KVZ_ENTRY_BODY_##owner;
KVZ_DISPATCH_GROUPS(KVZ_DECLARE_ENTRY)
#undef KVZ_DECLARE_ENTRY
#undef KVZ_ENTRY_BODY_IMAGE
#undef KVZ_ENTRY_BODY_JPEG
#undef KVZ_ENTRY_BODY_GEOMETRY
#undef KVZ_ENTRY_BODY_UNBUILT

}  // namespace kvz::prim
