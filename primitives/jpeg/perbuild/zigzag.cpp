// One portable body in every build: the reorder runs once per quantisation table, where a
// vector gather would buy nothing.
#include "primitives/jpeg/zigzag.h"

namespace kvz::prim::KVZ_BUILD_NS {

PrimitiveStatus ZigzagToNatural(const int16_t* zigzag, int16_t* natural) {
  if (zigzag == nullptr || natural == nullptr) return kStsNullPointer;
  for (int n = 0; n < 64; ++n) natural[n] = zigzag[kNaturalToZigzag[n]];
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
