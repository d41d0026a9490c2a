// Huffman encoding. The generic build codes a block one WriteHuffmanBits call per code and per
// value, emitting each byte as soon as eight bits are pending. The vector builds first try a
// faster coder: it reorders the block to zigzag order, finds the non-zero coefficients with one
// comparison per eight (SSE2; the 32-bit SSE build, without integer vectors, tests them one by
// one), keeps up to 63 bits in a register and stores four bytes at a time when none is 0xFF.
// It runs only with room for any block and gives up, before touching the length, the state or
// the predictor, on a symbol without a code; the byte-at-a-time procedure then codes the block,
// so the output and the state are the same in every build.
#include "primitives/jpeg/huffman_encode.h"

#include <stddef.h>
#include <string.h>

#include "jpeg_simd.h"
#include "primitives/jpeg/zigzag.h"
#include "primitives/vector_ops.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

constexpr bool kGeneric = KVZ_BUILD_ISA == KVZ_ISA_GENERIC;

// Room the faster coder needs: 32 bits of DC, at most 63 x 31 bits of AC, 7 pending bits, every
// byte possibly stuffed, and the three bytes its last four-byte store may write past its end.
constexpr int32_t kFastCoderRoom = 2 * ((32 + 63 * 31 + 7 + 7) / 8) + 3;

struct BitLengths {
  uint8_t of[256];
};
constexpr BitLengths MakeBitLengths() {
  BitLengths t{};
  for (int v = 1; v < 256; ++v) t.of[v] = static_cast<uint8_t>(t.of[v >> 1] + 1);
  return t;
}
constexpr BitLengths kBitLengths = MakeBitLengths();

// Number of significant bits of a magnitude below 2^16.
inline int32_t SizeCategory(uint32_t m) {
  return m >= 256 ? 8 + kBitLengths.of[m >> 8] : kBitLengths.of[m];
}

// The value bits of a coefficient of size s: its low s bits, of v - 1 when v is negative.
inline uint32_t ValueBits(int32_t v, int32_t s) {
  return static_cast<uint32_t>(v < 0 ? v - 1 : v) & ((1u << s) - 1);
}

inline void ResetState(HuffmanEncodeState* state) {
  state->accumulator = 0;
  state->count = 0;
  state->counters[0] = 0;
  state->counters[1] = 0;
  ZeroBytes(state->area, sizeof(state->area));
}

inline PrimitiveStatus WriteCode(const HuffmanEncodeTable* table, int32_t symbol, uint8_t* dst,
                                 int32_t dstLength, int32_t* position, HuffmanEncodeState* state) {
  const uint32_t e = table->entry[symbol];
  return WriteHuffmanBits(e & 0xFFFF, static_cast<int32_t>(e >> 16), dst, dstLength, position, state);
}

PrimitiveStatus EncodeBlockByBytes(const int16_t* block, uint8_t* dst, int32_t dstLength,
                                   int32_t* position, int16_t* dcPredictor,
                                   const HuffmanEncodeTable* dcTable,
                                   const HuffmanEncodeTable* acTable, HuffmanEncodeState* state) {
  const int32_t d = block[0] - *dcPredictor;
  *dcPredictor = block[0];
  int32_t s = SizeCategory(static_cast<uint32_t>(d < 0 ? -d : d));
  PrimitiveStatus status = WriteCode(dcTable, s, dst, dstLength, position, state);
  if (status == kStsOk && s > 0) status = WriteHuffmanBits(ValueBits(d, s), s, dst, dstLength, position, state);
  if (status != kStsOk) return status;
  int32_t run = 0;
  for (int k = 1; k < 64; ++k) {
    const int32_t v = block[kZigzagToNatural[k]];
    if (v == 0) {
      ++run;
      continue;
    }
    for (; run > 15; run -= 16) {
      status = WriteCode(acTable, 0xF0, dst, dstLength, position, state);
      if (status != kStsOk) return status;
    }
    s = SizeCategory(static_cast<uint32_t>(v < 0 ? -v : v));
    // -32768 would need size 16, which no AC symbol has (run * 16 + 16 is another run's
    // symbol, or past the table for run 15).
    if (s > 15) return kStsBadHuffmanTable;
    status = WriteCode(acTable, run * 16 + s, dst, dstLength, position, state);
    if (status == kStsOk) status = WriteHuffmanBits(ValueBits(v, s), s, dst, dstLength, position, state);
    if (status != kStsOk) return status;
    run = 0;
  }
  if (run > 0) return WriteCode(acTable, 0x00, dst, dstLength, position, state);
  return kStsOk;
}

// The faster coder's bit buffer: `bits` valid bits at the bottom of `buffer`, below 32 between
// puts, written out four bytes at a time.
struct BitWriter {
  uint64_t buffer;
  int32_t bits;
  uint8_t* out;

  void Emit(uint32_t byte) {
    *out++ = static_cast<uint8_t>(byte);
    if (byte == 0xFF) *out++ = 0;
  }
  void Put(uint32_t value, int32_t n) {
    buffer = (buffer << n) | value;
    bits += n;
    if (bits < 32) return;
    bits -= 32;
    const uint32_t w = static_cast<uint32_t>(buffer >> bits);
    if ((((~w) - 0x01010101u) & w & 0x80808080u) == 0) {
      const uint32_t be = __builtin_bswap32(w);
      memcpy(out, &be, 4);
      out += 4;
    } else {
      for (int shift = 24; shift >= 0; shift -= 8) Emit((w >> shift) & 0xFF);
    }
  }
};

#if KVZ_JPEG_SSSE3
// Byte shuffles that gather zigzag positions 8j..8j+7 from natural row r (0x80 clears a lane
// whose coefficient lies in another row); the rows each group draws from are contiguous.
struct ZigzagGather {
  uint8_t lane[8][8][16];
  int8_t first[8];
  int8_t last[8];
};
constexpr ZigzagGather MakeZigzagGather() {
  ZigzagGather t{};
  for (int j = 0; j < 8; ++j) {
    t.first[j] = 7;
    t.last[j] = 0;
    for (int r = 0; r < 8; ++r)
      for (int l = 0; l < 8; ++l) {
        const int n = kZigzagToNatural[8 * j + l];
        const bool here = n / 8 == r;
        t.lane[j][r][2 * l] = static_cast<uint8_t>(here ? 2 * (n % 8) : 0x80);
        t.lane[j][r][2 * l + 1] = static_cast<uint8_t>(here ? 2 * (n % 8) + 1 : 0x80);
        if (here && r < t.first[j]) t.first[j] = static_cast<int8_t>(r);
        if (here && r > t.last[j]) t.last[j] = static_cast<int8_t>(r);
      }
  }
  return t;
}
alignas(16) constexpr ZigzagGather kZigzagGather = MakeZigzagGather();

// The block in zigzag order, eight coefficients per step from the rows they come from.
inline void GatherZigzag(const int16_t* block, int16_t* zigzag) {
  __m128i rows[8];
  for (int r = 0; r < 8; ++r) rows[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * r));
#pragma GCC unroll 8
  for (int j = 0; j < 8; ++j) {
    __m128i ordered = _mm_setzero_si128();
#pragma GCC unroll 8
    for (int r = kZigzagGather.first[j]; r <= kZigzagGather.last[j]; ++r) {
      const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(kZigzagGather.lane[j][r]));
      ordered = _mm_or_si128(ordered, _mm_shuffle_epi8(rows[r], shuffle));
    }
    _mm_store_si128(reinterpret_cast<__m128i*>(zigzag + 8 * j), ordered);
  }
}
#endif

// Bit k set when zigzag position k holds a non-zero coefficient.
inline uint64_t NonZeroMask(const int16_t* zigzag) {
  uint64_t mask = 0;
#if KVZ_JPEG_SSE2
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < 4; ++i) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(zigzag + 16 * i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(zigzag + 16 * i + 8));
    __m128i isZero = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    mask |= static_cast<uint64_t>(~_mm_movemask_epi8(isZero) & 0xFFFF) << (16 * i);
  }
#else
  for (int k = 0; k < 64; ++k) mask |= static_cast<uint64_t>(zigzag[k] != 0) << k;
#endif
  return mask;
}

__attribute__((always_inline)) inline bool EncodeBlockFast(const int16_t* block, uint8_t* dst, int32_t dstLength, int32_t* position,
                     int16_t* dcPredictor, const HuffmanEncodeTable* dcTable,
                     const HuffmanEncodeTable* acTable, HuffmanEncodeState* state) {
  if (static_cast<int64_t>(dstLength) - *position < kFastCoderRoom) return false;
  alignas(16) int16_t zigzag[64];
#if KVZ_JPEG_SSSE3
  GatherZigzag(block, zigzag);
#else
  for (int k = 0; k < 64; ++k) zigzag[k] = block[kZigzagToNatural[k]];
#endif
  uint64_t mask = NonZeroMask(zigzag) & ~uint64_t{1};

  const uint32_t accumulator = static_cast<uint32_t>(state->accumulator);
  const int32_t pending = state->count;
  BitWriter w{pending ? (accumulator >> (24 - pending)) & ((1u << pending) - 1) : 0, pending,
              dst + *position};

  const int32_t d = block[0] - *dcPredictor;
  int32_t s = SizeCategory(static_cast<uint32_t>(d < 0 ? -d : d));
  uint32_t e = dcTable->entry[s];
  if ((e >> 16) == 0) return false;
  w.Put(e & 0xFFFF, static_cast<int32_t>(e >> 16));
  if (s > 0) w.Put(ValueBits(d, s), s);

  const uint32_t zrl = acTable->entry[0xF0];
  int32_t previous = 0;
  while (mask != 0) {
    const int32_t k = __builtin_ctzll(mask);
    mask &= mask - 1;
    int32_t run = k - previous - 1;
    previous = k;
    for (; run > 15; run -= 16) {
      if ((zrl >> 16) == 0) return false;
      w.Put(zrl & 0xFFFF, static_cast<int32_t>(zrl >> 16));
    }
    const int32_t v = zigzag[k];
    s = 32 - __builtin_clz(static_cast<uint32_t>(v < 0 ? -v : v));
    if (s > 15) return false;
    e = acTable->entry[run * 16 + s];
    const int32_t length = static_cast<int32_t>(e >> 16);
    if (length == 0) return false;
    w.Put(((e & 0xFFFF) << s) | (static_cast<uint32_t>(v + (v >> 31)) & ((1u << s) - 1)), length + s);
  }
  if (previous < 63) {
    e = acTable->entry[0x00];
    if ((e >> 16) == 0) return false;
    w.Put(e & 0xFFFF, static_cast<int32_t>(e >> 16));
  }
  // The whole bytes left (at most three): one four-byte store unless one of them is 0xFF.
  const int32_t whole = w.bits >> 3;
  if (whole != 0) {
    const int32_t rest = w.bits - 8 * whole;
    const uint32_t bytes = static_cast<uint32_t>(w.buffer >> rest) << (32 - 8 * whole);
    if ((((~bytes) - 0x01010101u) & bytes & 0x80808080u) == 0) {
      const uint32_t be = __builtin_bswap32(bytes);
      memcpy(w.out, &be, 4);
      w.out += whole;
    } else {
      for (int32_t i = 0; i < whole; ++i) w.Emit((bytes >> (24 - 8 * i)) & 0xFF);
    }
    w.bits = rest;
  }

  // The state as the byte-at-a-time coder leaves it: the last byte taken above bit 23. A byte
  // written is data unless it is the zero stuffed after a data 0xFF.
  uint32_t top = accumulator >> 24;
  const uint8_t* const start = dst + *position;
  if (w.out > start) {
    top = w.out[-1];
    if (top == 0 && w.out - start >= 2 && w.out[-2] == 0xFF) top = 0xFF;
  }
  const uint32_t rest = static_cast<uint32_t>(w.buffer) & ((1u << w.bits) - 1);
  state->accumulator = (top << 24) | (w.bits ? rest << (24 - w.bits) : 0);
  state->count = w.bits;
  *dcPredictor = block[0];
  *position = static_cast<int32_t>(w.out - dst);
  return true;
}

PrimitiveStatus Flush(uint8_t* dst, int32_t dstLength, int32_t* position, HuffmanEncodeState* state) {
  const int32_t count = state->count;
  if (count == 0) {
    ResetState(state);
    return kStsOk;
  }
  const uint32_t accumulator = static_cast<uint32_t>(state->accumulator) | (0x7Fu << (17 - count));
  const uint8_t byte = static_cast<uint8_t>(accumulator >> 16);
  ResetState(state);
  if (*position >= dstLength) return kStsBufferExhausted;
  dst[(*position)++] = byte;
  if (byte == 0xFF) {
    if (*position >= dstLength) return kStsBufferExhausted;
    dst[(*position)++] = 0;
  }
  return kStsOk;
}

}  // namespace

PrimitiveStatus GetHuffmanEncodeTableSize(int32_t* size) {
  if (size == nullptr) return kStsNullPointer;
  *size = sizeof(HuffmanEncodeTable);
  return kStsOk;
}

PrimitiveStatus GetHuffmanEncodeStateSize(int32_t* size) {
  if (size == nullptr) return kStsNullPointer;
  *size = sizeof(HuffmanEncodeState);
  return kStsOk;
}

// One portable body in every build: a table is built once per frame.
PrimitiveStatus InitHuffmanEncodeTable(const uint8_t* counts, const uint8_t* values,
                                       HuffmanEncodeTable* table) {
  if (counts == nullptr || values == nullptr || table == nullptr) return kStsNullPointer;
  ZeroFillKernel(table->entry, sizeof(table->entry));
  int32_t total = 0;
  for (int length = 1; length <= 16; ++length) {
    total += counts[length - 1];
    if (total > 256) return kStsBadHuffmanTable;
  }
  int32_t k = 0;
  uint32_t code = 0;
  uint32_t codes[256];
  uint8_t lengths[256];
  for (int length = 1; length <= 16; ++length) {
    for (int i = 0; i < counts[length - 1]; ++i, ++k) {
      codes[k] = code++;
      lengths[k] = static_cast<uint8_t>(length);
    }
    // A run may not end on the all-ones code, nor run past it.
    if (counts[length - 1] != 0 && code >= (1u << length)) return kStsBadHuffmanTable;
    code <<= 1;
  }
  for (int i = 0; i < k; ++i) table->entry[values[i]] = (static_cast<uint32_t>(lengths[i]) << 16) | codes[i];
  return kStsOk;
}

PrimitiveStatus InitHuffmanEncodeState(HuffmanEncodeState* state) {
  if (state == nullptr) return kStsNullPointer;
  ResetState(state);
  return kStsOk;
}

PrimitiveStatus WriteHuffmanBits(uint32_t value, int32_t bits, uint8_t* dst, int32_t dstLength,
                                 int32_t* position, HuffmanEncodeState* state) {
  if (bits == 0) return kStsBadHuffmanTable;
  int32_t count = state->count + bits;
  uint32_t accumulator = static_cast<uint32_t>(state->accumulator) |
                         ((value & ((1u << bits) - 1)) << (24 - count));
  for (; count >= 8; count -= 8) {
    if (*position >= dstLength) return kStsBufferExhausted;
    const uint8_t byte = static_cast<uint8_t>(accumulator >> 16);
    dst[(*position)++] = byte;
    if (byte == 0xFF) {
      if (*position == dstLength) return kStsBufferExhausted;
      dst[(*position)++] = 0;
    }
    accumulator <<= 8;
  }
  state->accumulator = accumulator;
  state->count = count;
  return kStsOk;
}

PrimitiveStatus EncodeHuffmanBlock(const int16_t* block, uint8_t* dst, int32_t dstLength,
                                   int32_t* position, int16_t* dcPredictor,
                                   const HuffmanEncodeTable* dcTable,
                                   const HuffmanEncodeTable* acTable, HuffmanEncodeState* state,
                                   int32_t flush) {
  if (dst == nullptr) return kStsNullPointer;
  if (dstLength <= 0) return kStsSizeError;
  if (position == nullptr || state == nullptr) return kStsNullPointer;
  if (flush) return Flush(dst, dstLength, position, state);
  if (block == nullptr || dcPredictor == nullptr || dcTable == nullptr || acTable == nullptr)
    return kStsNullPointer;
  if (!kGeneric && EncodeBlockFast(block, dst, dstLength, position, dcPredictor, dcTable, acTable, state))
    return kStsOk;
  return EncodeBlockByBytes(block, dst, dstLength, position, dcPredictor, dcTable, acTable, state);
}

}  // namespace kvz::prim::KVZ_BUILD_NS
