// Kept apart from the detection code: RDTSC is a Pentium instruction, and this object is the one
// place outside the float-control helpers allowed to hold an instruction an i486 lacks. Only a
// caller that has seen HasTsc() runs it.
#include <x86intrin.h>

#include "primitives/cpu_features.h"

namespace kvz::prim {

uint64_t ReadTimeStampCounter() { return __rdtsc(); }

}  // namespace kvz::prim
