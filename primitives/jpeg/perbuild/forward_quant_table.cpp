// Quantisation tables run once per encoded frame: one portable body in every build, each build
// calling the widening, reorder and reciprocal primitives of its own kind. ScaleQuantTable has
// two builds (its vector slots share one).
#include "primitives/jpeg/forward_quant_table.h"

#include "primitives/divide_words.h"
#include "primitives/jpeg/zigzag.h"
#include "primitives/region_copy.h"

namespace kvz::prim::KVZ_BUILD_NS {

PrimitiveStatus ScaleQuantTable(uint8_t* table, int32_t quality) {
  if (table == nullptr) return kStsNullPointer;
  const int32_t factor = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  for (int i = 0; i < 64; ++i) {
    int32_t t = (table[i] * factor + 50) / 100;
    table[i] = static_cast<uint8_t>(t <= 0 ? 1 : t > 255 ? 255 : t);
  }
  return kStsOk;
}

PrimitiveStatus InitForwardQuantTable(const uint8_t* raw, uint16_t* table) {
  if (raw == nullptr || table == nullptr) return kStsNullPointer;
  int16_t zigzag[64];
  PrimitiveStatus status = ConvertBytesToWords(raw, 8, zigzag, 16, {8, 8});
  if (status != kStsOk) return status;
  status = ZigzagToNatural(zigzag, reinterpret_cast<int16_t*>(table));
  if (status != kStsOk) return status;
  return ReverseDivideWords(0x8000, table, 64);
}

}  // namespace kvz::prim::KVZ_BUILD_NS
