// Huffman encoding of baseline JPEG blocks: the encode table built from the code lengths and
// symbols of a DHT table (BITS and HUFFVAL), the bit state of an entropy-coded segment, the block
// coder with byte stuffing, and the flush that ends a segment.
#pragma once
#include <stdint.h>

#include "primitives/build.h"
#include "primitives/jpeg_primitive_types.h"
#include "primitives/primitive_types.h"

namespace kvz::prim {

// Per symbol value: (code length << 16) | code, the code right-aligned; length 0: no code.
struct HuffmanEncodeTable {
  uint32_t entry[256];
};

// Pending bits sit most significant first from bit 23 of the accumulator down; only its low
// 32 bits are used. Between calls 0 to 7 bits are pending. The baseline coder only zeroes the
// counters and the area.
struct alignas(8) HuffmanEncodeState {
  uint64_t accumulator;
  int32_t count;
  uint32_t counters[2];
  uint8_t area[1024];
};

static_assert(sizeof(HuffmanEncodeTable) == 1024, "encode table size is part of the interface");
static_assert(sizeof(HuffmanEncodeState) == 1048, "encode state size is part of the interface");

}  // namespace kvz::prim

// EncodeHuffmanBlock checks: null output -8, capacity of 0 or less -6, null length or state -8;
// then, unless flushing, null coefficients, predictor or tables -8. Errors while coding: -62
// output full, -64 a symbol without a code.
#define KVZ_DECLARE_HUFFMAN_ENCODE(ns)                                                          \
  namespace kvz::prim::ns {                                                                     \
  PrimitiveStatus GetHuffmanEncodeTableSize(int32_t* size);                                     \
  PrimitiveStatus GetHuffmanEncodeStateSize(int32_t* size);                                     \
  PrimitiveStatus InitHuffmanEncodeTable(const uint8_t* counts, const uint8_t* values,          \
                                         HuffmanEncodeTable* table);                            \
  PrimitiveStatus InitHuffmanEncodeState(HuffmanEncodeState* state);                            \
  PrimitiveStatus EncodeHuffmanBlock(const int16_t* block, uint8_t* dst, int32_t dstLength,     \
                                     int32_t* position, int16_t* dcPredictor,                   \
                                     const HuffmanEncodeTable* dcTable,                         \
                                     const HuffmanEncodeTable* acTable,                         \
                                     HuffmanEncodeState* state, int32_t flush);                 \
  /* Appends the low `bits` bits of value (1..16); -64 for 0 bits, -62 when the output is */    \
  /* full (bytes stored before that stay stored; the state keeps its old bits). */              \
  PrimitiveStatus WriteHuffmanBits(uint32_t value, int32_t bits, uint8_t* dst,                  \
                                   int32_t dstLength, int32_t* position,                        \
                                   HuffmanEncodeState* state);                                  \
  }
KVZ_FOR_EACH_BUILD(KVZ_DECLARE_HUFFMAN_ENCODE)
#undef KVZ_DECLARE_HUFFMAN_ENCODE
