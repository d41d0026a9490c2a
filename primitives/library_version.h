// Version record of each processor build of the primitives library.
#pragma once
#include <stdint.h>

#include "primitives/build.h"

namespace kvz::prim {

struct PrimitiveLibraryVersion {
  int32_t major;
  int32_t minor;
  int32_t majorBuild;
  int32_t build;
  char targetCode[4];  // zero-padded
  const char* name;
  const char* version;
  const char* buildDate;
};

}  // namespace kvz::prim

#define KVZ_DECLARE_LIBRARY_VERSION(ns)                   \
  namespace kvz::prim::ns {                               \
  const PrimitiveLibraryVersion* GetLibraryVersion();     \
  }
KVZ_FOR_EACH_BUILD(KVZ_DECLARE_LIBRARY_VERSION)
#undef KVZ_DECLARE_LIBRARY_VERSION
