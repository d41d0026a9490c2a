// Huffman decoding of JPEG entropy-coded data: decode tables built from a DHT segment, the bit
// reader (byte stuffing, stops at markers) and the block and value decoders of sequential,
// progressive and lossless scans.
//
// One portable member serves every processor build: entropy decoding is serial bit work with
// no vector form, so the dispatch rows hold this one member in every slot and every build gives
// the same coefficients, predictors, EOB runs, positions and pending markers by construction.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "primitives/jpeg_primitive_types.h"
#include "primitives/primitive_types.h"

namespace kvz::prim {

// The documented layout's 1644 bytes, then the sequential block decoder's private table.
constexpr int32_t kHuffmanDecodeLayoutBytes = 1644;
constexpr int kHuffmanFastBits = 10;
constexpr int32_t kHuffmanDecodeTableBytes = kHuffmanDecodeLayoutBytes + 4 * (1 << kHuffmanFastBits);
constexpr int32_t kHuffmanDecodeStateBytes = 24;

struct HuffmanDecodeTable {
  uint16_t values[256];     // HUFFVAL in order of increasing code
  uint32_t lookahead[256];  // next 8 bits -> (length << 16) | symbol, 0 for longer codes
  uint16_t mincode[18];     // index = code length
  int16_t maxcode[18];      // -1: no code of that length; below -1: a code >= 0x8000
  uint16_t valptr[18];
  // Next kHuffmanFastBits bits -> a symbol and its value decoded at once (huffman_decode.cpp).
  uint32_t fast[1 << kHuffmanFastBits];
};

struct HuffmanDecodeState {
  uint64_t accumulator;  // bits read ahead, newest in the low end
  int32_t bitCount;
  int32_t eobRun;
  int32_t coefficientCount;  // after a sequential block: one past its last zig-zag position
  int32_t reserved;
};

static_assert(sizeof(HuffmanDecodeTable) == kHuffmanDecodeTableBytes, "decode table layout");
static_assert(offsetof(HuffmanDecodeTable, fast) == kHuffmanDecodeLayoutBytes, "documented fields come first");
static_assert(sizeof(HuffmanDecodeState) == kHuffmanDecodeStateBytes, "decode state layout");

}  // namespace kvz::prim

namespace kvz::prim::generic {

PrimitiveStatus GetHuffmanDecodeTableSize(int32_t* size);
PrimitiveStatus InitHuffmanDecodeTable(const uint8_t* counts, const uint8_t* values,
                                       HuffmanDecodeTable* table);
PrimitiveStatus GetHuffmanDecodeStateSize(int32_t* size);
PrimitiveStatus InitHuffmanDecodeState(HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanBlock(const uint8_t* src, int32_t srcLength, int32_t* position,
                                   int16_t* block, int16_t* dcPredictor, int32_t* marker,
                                   const HuffmanDecodeTable* dcTable,
                                   const HuffmanDecodeTable* acTable, HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanDcFirst(const uint8_t* src, int32_t srcLength, int32_t* position,
                                     int16_t* block, int16_t* dcPredictor, int32_t* marker,
                                     int32_t al, const HuffmanDecodeTable* dcTable,
                                     HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanDcRefine(const uint8_t* src, int32_t srcLength, int32_t* position,
                                      int16_t* block, int32_t* marker, int32_t al,
                                      HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanAcFirst(const uint8_t* src, int32_t srcLength, int32_t* position,
                                     int16_t* block, int32_t* marker, int32_t ss, int32_t se,
                                     int32_t al, const HuffmanDecodeTable* acTable,
                                     HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanAcRefine(const uint8_t* src, int32_t srcLength, int32_t* position,
                                      int16_t* block, int32_t* marker, int32_t ss, int32_t se,
                                      int32_t al, const HuffmanDecodeTable* acTable,
                                      HuffmanDecodeState* state);
PrimitiveStatus DecodeHuffmanOne(const uint8_t* src, int32_t srcLength, int32_t* position,
                                 int16_t* value, int32_t* marker, const HuffmanDecodeTable* table,
                                 HuffmanDecodeState* state);

}  // namespace kvz::prim::generic
