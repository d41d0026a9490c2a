// Huffman encoding. The generic build codes a block one WriteHuffmanBits call per code and per
// value, emitting each byte as soon as eight bits are pending. The vector builds first try a
// faster coder: it finds the non-zero coefficients in zigzag order as one 64-bit mask (SSSE3:
// zero flags of the natural order reordered by byte shuffles; SSE2: per-row tables; the 32-bit
// SSE build, without integer vectors, tests them one by one), walks it with a bit scan, puts
// each code with its value bits in one step into a 64-bit buffer and stores eight bytes at a
// time when none is 0xFF. It runs only with room for any block and gives up, before touching the
// length, the state or the predictor, on a symbol without a code or an AC coefficient of -32768;
// the byte-at-a-time procedure then codes the block, so the output and the state are the same in
// every build.
#include "primitives/jpeg/huffman_encode.h"

#include <stddef.h>
#include <string.h>

#include "jpeg_simd.h"
#include "primitives/jpeg/zigzag.h"
#include "primitives/vector_ops.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

constexpr bool kGeneric = !KVZ_BUILD_HAS(SSE);

// Room the faster coder needs: 32 bits of DC, at most 63 x 31 bits of AC, 7 pending bits, every
// byte possibly stuffed, and the seven bytes its last eight-byte store may write past its end.
constexpr int32_t kFastCoderRoom = 2 * ((32 + 63 * 31 + 7 + 7) / 8) + 7;

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

// The faster coder's bit buffer: the `64 - free` bits not yet written sit at the bottom of
// `buffer` (above them, bits already written). It is written out eight bytes at a time, in one
// store unless one of them is 0xFF.
struct BitWriter {
  uint64_t buffer;
  int32_t free;
  uint8_t* out;

  static bool HasFF(uint64_t w) { return ((~w - 0x0101010101010101ull) & w & 0x8080808080808080ull) != 0; }
  // Stores the first `count` bytes of w (most significant first); the store may write all eight.
  void Store(uint64_t w, int32_t count) {
    if (__builtin_expect(HasFF(w), 0)) {
      out = StoreStuffed(out, w, count);
    } else {
      const uint64_t be = __builtin_bswap64(w);
      memcpy(out, &be, 8);
      out += count;
    }
  }
  __attribute__((noinline, cold)) static uint8_t* StoreStuffed(uint8_t* out, uint64_t w, int32_t count) {
    for (int32_t shift = 56; shift > 56 - 8 * count; shift -= 8) {
      const uint8_t byte = static_cast<uint8_t>(w >> shift);
      *out++ = byte;
      if (byte == 0xFF) *out++ = 0;
    }
    return out;
  }
  // value < 2^n, 1 <= n <= free.
  void PutWithRoom(uint64_t value, int32_t n) {
    free -= n;
    buffer = (buffer << n) | value;
  }
  // value < 2^n, 1 <= n <= 32.
  void Put(uint64_t value, int32_t n) {
    free -= n;
    if (free >= 0) {
      buffer = (buffer << n) | value;
      return;
    }
    Store((buffer << (n + free)) | (value >> -free), 8);
    buffer = value;
    free += 64;
  }
};

// The non-zero coefficients as a mask, bit k for zigzag position k; false when an AC coefficient
// is -32768, which no AC symbol can code (the byte-at-a-time coder then reports it).
#if KVZ_BUILD_HAS(SSE2)
// Zero flags of the natural order packed to bytes, sixteen coefficients per register.
inline bool NaturalZeroFlags(const int16_t* block, __m128i flags[4]) {
  const __m128i zero = _mm_setzero_si128();
  // The DC may be -32768: its lowest bit set keeps it out of the check.
  __m128i least = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), _mm_cvtsi32_si128(1));
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * i + 8));
    flags[i] = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    least = _mm_min_epi16(least, i == 0 ? b : _mm_min_epi16(a, b));
  }
  return _mm_movemask_epi8(_mm_cmpeq_epi16(least, _mm_set1_epi16(-32768))) == 0;
}
#endif

#if KVZ_BUILD_HAS(SSSE3)
// Byte shuffles that take quarter q of the zigzag order (positions 16q..16q+15) from the packed
// zero flags of natural coefficients 16i..16i+15 (0x80 clears a lane another quarter fills).
struct ZigzagFlagShuffle {
  uint8_t lane[4][4][16];
};
constexpr ZigzagFlagShuffle MakeZigzagFlagShuffle() {
  ZigzagFlagShuffle t{};
  for (int q = 0; q < 4; ++q)
    for (int i = 0; i < 4; ++i)
      for (int l = 0; l < 16; ++l) {
        const int n = kZigzagToNatural[16 * q + l];
        t.lane[q][i][l] = static_cast<uint8_t>(n / 16 == i ? n % 16 : 0x80);
      }
  return t;
}
alignas(16) constexpr ZigzagFlagShuffle kZigzagFlagShuffle = MakeZigzagFlagShuffle();
// The natural quarters each zigzag quarter draws from.
constexpr int kFlagFirst[4] = {0, 0, 0, 1};
constexpr int kFlagLast[4] = {2, 3, 3, 3};

inline bool ZigzagNonZeroMask(const int16_t* block, uint64_t* mask) {
  __m128i flags[4];
  if (!NaturalZeroFlags(block, flags)) return false;
  // A block without AC coefficients (most chroma blocks of camera pictures) needs no reorder.
  const __m128i acZero = _mm_and_si128(_mm_and_si128(_mm_or_si128(flags[0], _mm_cvtsi32_si128(0xFF)), flags[1]),
                                       _mm_and_si128(flags[2], flags[3]));
  if (_mm_movemask_epi8(acZero) == 0xFFFF) {
    *mask = 0;
    return true;
  }
  uint64_t zeros = 0;
#pragma GCC unroll 4
  for (int q = 0; q < 4; ++q) {
    __m128i ordered = _mm_setzero_si128();
#pragma GCC unroll 4
    for (int i = kFlagFirst[q]; i <= kFlagLast[q]; ++i) {
      const __m128i shuffle = _mm_load_si128(reinterpret_cast<const __m128i*>(kZigzagFlagShuffle.lane[q][i]));
      ordered = _mm_or_si128(ordered, _mm_shuffle_epi8(flags[i], shuffle));
    }
    zeros |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(ordered))) << (16 * q);
  }
  *mask = ~zeros;
  return true;
}
#elif KVZ_BUILD_HAS(SSE2)
// Per natural row and its eight non-zero flags (bit c: column c), the flags at their zigzag
// positions.
struct RowToZigzag {
  uint64_t bits[8][256];
};
constexpr RowToZigzag MakeRowToZigzag() {
  RowToZigzag t{};
  for (int r = 0; r < 8; ++r)
    for (int f = 0; f < 256; ++f)
      for (int c = 0; c < 8; ++c)
        if (f & (1 << c)) t.bits[r][f] |= uint64_t{1} << kNaturalToZigzag[8 * r + c];
  return t;
}
alignas(64) constexpr RowToZigzag kRowToZigzag = MakeRowToZigzag();

inline bool ZigzagNonZeroMask(const int16_t* block, uint64_t* mask) {
  __m128i flags[4];
  if (!NaturalZeroFlags(block, flags)) return false;
  uint64_t nonZero = 0;
#pragma GCC unroll 4
  for (int i = 0; i < 4; ++i) {
    const uint32_t rows = ~static_cast<uint32_t>(_mm_movemask_epi8(flags[i]));
    nonZero |= kRowToZigzag.bits[2 * i][rows & 0xFF] | kRowToZigzag.bits[2 * i + 1][(rows >> 8) & 0xFF];
  }
  *mask = nonZero;
  return true;
}
#else
inline bool ZigzagNonZeroMask(const int16_t* block, uint64_t* mask) {
  uint64_t nonZero = 0;
  for (int k = 1; k < 64; ++k) {
    const int32_t v = block[kZigzagToNatural[k]];
    if (v == -32768) return false;
    nonZero |= static_cast<uint64_t>(v != 0) << k;
  }
  *mask = nonZero;
  return true;
}
#endif

// Code and value bits of a coefficient as one field: the code (of the entry e) above the s
// value bits. v + sign is v - 1 for a negative v, whose bits from s up are all ones; the
// complemented code shifted over them clears them.
inline uint32_t CodeAndValue(uint32_t e, uint32_t sign, uint32_t bits, int32_t s) {
  return (((e & 0xFFFF) ^ sign) << s) ^ bits;
}

__attribute__((always_inline)) inline bool EncodeBlockFast(const int16_t* block, uint8_t* dst, int32_t dstLength,
                                                           int32_t* position, int16_t* dcPredictor,
                                                           const HuffmanEncodeTable* dcTable,
                                                           const HuffmanEncodeTable* acTable,
                                                           HuffmanEncodeState* state) {
  uint64_t mask;
  if (static_cast<int64_t>(dstLength) - *position < kFastCoderRoom || !ZigzagNonZeroMask(block, &mask)) return false;
  mask &= ~uint64_t{1};

  const uint32_t accumulator = static_cast<uint32_t>(state->accumulator);
  const int32_t pending = state->count;
  uint8_t* const start = dst + *position;
  BitWriter w{(accumulator >> (24 - pending)) & ((1u << pending) - 1), 64 - pending, start};

  const int32_t d = block[0] - *dcPredictor;
  uint32_t sign = static_cast<uint32_t>(d >> 31);
  uint32_t bits = static_cast<uint32_t>(d) + sign;
  const int32_t dcSize = 31 - __builtin_clz(2 * (bits ^ sign) + 1);
  uint32_t e = dcTable->entry[dcSize];
  if (e < 0x10000) return false;
  // At most 7 bits are pending: the DC's 32 bits fit without a store.
  w.PutWithRoom(CodeAndValue(e, sign, bits, dcSize), static_cast<int32_t>(e >> 16) + dcSize);

  uint32_t next = 1;
  while (mask != 0) {
    const uint32_t k = static_cast<uint32_t>(__builtin_ctzll(mask));
    mask &= mask - 1;
    uint32_t run = k - next;
    next = k + 1;
    for (; run > 15; run -= 16) {
      e = acTable->entry[0xF0];
      if (e < 0x10000) return false;
      w.Put(e & 0xFFFF, static_cast<int32_t>(e >> 16));
    }
    const int32_t v = block[kZigzagToNatural[k]];
    sign = static_cast<uint32_t>(v >> 31);
    bits = static_cast<uint32_t>(v) + sign;
    const uint32_t s = static_cast<uint32_t>(32 - __builtin_clz(bits ^ sign));
    e = acTable->entry[run * 16 + s];
    if (e < 0x10000) return false;
    w.Put(CodeAndValue(e, sign, bits, static_cast<int32_t>(s)), static_cast<int32_t>((e >> 16) + s));
  }
  if (next < 64u) {
    e = acTable->entry[0x00];
    if (e < 0x10000) return false;
    w.Put(e & 0xFFFF, static_cast<int32_t>(e >> 16));
  }
  // The whole bytes left (at most eight), in one store unless one of them is 0xFF.
  const int32_t used = 64 - w.free;
  const int32_t whole = used >> 3;
  const int32_t rest = used & 7;
  if (whole != 0) w.Store((w.buffer << (64 - used)) & (~uint64_t{0} << (64 - 8 * whole)), whole);

  // The state as the byte-at-a-time coder leaves it: the last byte taken above bit 23. A byte
  // written is data unless it is the zero stuffed after a data 0xFF.
  uint32_t top = accumulator >> 24;
  if (w.out > start) {
    top = w.out[-1];
    if (top == 0 && w.out - start >= 2 && w.out[-2] == 0xFF) top = 0xFF;
  }
  const uint32_t last = static_cast<uint32_t>(w.buffer) & ((1u << rest) - 1);
  state->accumulator = (top << 24) | (last << (24 - rest));
  state->count = rest;
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
