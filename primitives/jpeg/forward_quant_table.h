// The encoder's quantisation tables: a raw table (zigzag order, as a DQT segment carries it)
// scaled by a quality, and the table of reciprocals 0x8000 / Q in natural order that the
// forward DCT multiplies by.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/primitive_types.h"

// ScaleQuantTable: in place; -8 on null; the caller keeps the quality within 1..100.
// InitForwardQuantTable: -8 on null; the warning 6 when a raw entry is 0 (its reciprocal is
// 0xFFFF).
#define KVZ_DECLARE_FORWARD_QUANT_TABLE(ns)                                           \
  namespace kvz::prim::ns {                                                           \
  PrimitiveStatus ScaleQuantTable(uint8_t* table, int32_t quality);                   \
  PrimitiveStatus InitForwardQuantTable(const uint8_t* raw, uint16_t* table);         \
  }
KVZ_FOR_EACH_BUILD(KVZ_DECLARE_FORWARD_QUANT_TABLE)
#undef KVZ_DECLARE_FORWARD_QUANT_TABLE
