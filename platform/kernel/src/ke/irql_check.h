// The IRQL rules of the I/O manager, registry and file functions, checked like a verifier does.
#pragma once
#include "kvz/bugcheck.h"
#include "wdm.h"

namespace kvz::kernel {

inline void RequireIrqlAtMost(KIRQL highest, const char* function) {
  KIRQL now = KeGetCurrentIrql();
  if (now > highest)
    BugCheck(IRQL_NOT_LESS_OR_EQUAL, "%s called at IRQL %u (allowed up to %u)", function, now, highest);
}

inline void RequirePassive(const char* function) { RequireIrqlAtMost(PASSIVE_LEVEL, function); }

}  // namespace kvz::kernel
