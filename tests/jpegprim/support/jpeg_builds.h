// The processor builds of the JPEG primitives side by side, by slot, so a test can run every
// build the test machine can execute against the generic one.
#pragma once
#include <string>
#include <vector>

#include "primitives/build.h"

namespace kvz::test {

struct JpegBuild {
  std::string name;
  int slot;
  int isa;  // KVZ_ISA_*
};

// In slot order.
const std::vector<JpegBuild>& JpegBuilds();
// Builds whose instruction set the processor running the test offers.
std::vector<JpegBuild> RunnableJpegBuilds();

}  // namespace kvz::test

// The builds of one primitive in slot order: KVZ_BUILDS_OF(ns-qualified name) is an initialiser
// of a KVZ_BUILD_COUNT array of function pointers.
#if defined(__i386__)
#define KVZ_BUILDS_OF(name)                                                                \
  {                                                                                        \
    &::kvz::prim::generic::name, &::kvz::prim::sse::name, &::kvz::prim::sse2::name,        \
        &::kvz::prim::sse3::name, &::kvz::prim::ssse3::name                                \
  }
#else
#define KVZ_BUILDS_OF(name) \
  { &::kvz::prim::generic::name, &::kvz::prim::sse3::name, &::kvz::prim::ssse3::name }
#endif
