// The one portable member of the Huffman decoding primitives (see huffman_decode.h).
//
// The bit reader keeps up to 64 bits ahead. Holding more bits than a byte-at-a-time reader
// would changes only how far the read position has advanced; the bits delivered, the statuses
// and the pending marker are the same, because bytes are never taken past a marker and the
// end of the data fails a read only when the bits it needs are not there.
#include "primitives/jpeg/huffman_decode.h"

#include <string.h>

#include "primitives/build_gates.h"
#if KVZ_BASELINE_HAS(SSE2)
#include <emmintrin.h>
#endif

#include "primitives/jpeg/zigzag.h"

namespace kvz::prim::generic {
namespace {

// A sequential block's last run may overshoot position 63 by the zig-zag table's guard entries.
constexpr int32_t kZigzagPositionsWithGuard = 64 + 8;

constexpr int kMaxCodeLength = 16;
constexpr int kLookaheadBits = 8;
constexpr uint8_t kMarkerPrefix = 0xFF;

// The private table's entries. A direct entry (a code of up to kHuffmanFastBits bits that,
// with its value, takes at most kFastDirectBits, and whose value's sign bit is among the index
// bits): bits 0-4 the bits the code and its value take; bits 8-13 63 less the value's bits past
// the index; bits 14-19 one more than the run (the step to the coefficient's position) or
// kFastEndOfBlock; bits 20-31 the value extended from its bits in the index (the bits past the
// index are added to it as they are: an extended value is linear in its low bits). An escape
// entry (ZRL, anything else): bits 0-4 the code's length, 0 when it is longer or absent, bits
// 8-15 the symbol.
constexpr uint32_t kFastEscape = 0x80;
constexpr uint32_t kFastEndOfBlock = 63;
constexpr int kFastDirectBits = 16;
constexpr int kFastMaxDirectSize = 11;  // values fit the entry's 12 bits
constexpr int kFastRestShift = 8;
constexpr int kFastStepShift = 14;
constexpr int kFastValueShift = 20;
constexpr int kFastSymbolShift = 8;
// Bits held after every top-up of the block loop; the loop stops where this many cannot be.
constexpr int kFastHeldBits = 48;

struct BitReader {
  const uint8_t* data;
  int32_t length;
  int32_t pos;
  uint64_t acc;
  int32_t count;
  int32_t marker;

  BitReader(const uint8_t* d, int32_t len, int32_t p, const HuffmanDecodeState* s, int32_t m)
      : data(d), length(len), pos(p), acc(s->accumulator), count(s->bitCount), marker(m) {
    // A state that says more than the accumulator can hold is treated as empty.
    if (count < 0 || count > 64) count = 0;
  }

  void Store(int32_t* position, int32_t* markerOut, HuffmanDecodeState* s) const {
    *position = pos;
    *markerOut = marker;
    s->accumulator = acc;
    s->bitCount = count;
  }

  uint32_t Peek(int n) const {
    return static_cast<uint32_t>(acc >> (count - n)) & ((1u << n) - 1u);
  }
  void Skip(int n) { count -= n; }
};

inline bool HasByteFF(uint64_t x) {
  const uint64_t t = ~x;
  return ((t - 0x0101010101010101ull) & ~t & 0x8080808080808080ull) != 0;
}

// Appends whole bytes until more than 56 bits are held, the data ends or a marker is met.
// Returns -62 when the data ended with fewer than `need` bits held, else 0 (a marker is not an
// error here: the caller finds too few bits and a pending marker).
__attribute__((noinline)) PrimitiveStatus FillSlow(BitReader& r, int need) {
  while (r.count <= 56) {
    if (r.marker != 0) return kStsOk;
    // A position outside the data reads as its end.
    if (r.pos < 0 || r.pos >= r.length) return r.count < need ? kStsBufferExhausted : kStsOk;
    uint32_t byte = r.data[r.pos];
    int32_t next = r.pos + 1;
    if (byte == kMarkerPrefix) {
      while (next < r.length && r.data[next] == kMarkerPrefix) ++next;  // fill bytes
      // A prefix with nothing after it ends the data where it stands.
      if (next >= r.length) return r.count < need ? kStsBufferExhausted : kStsOk;
      if (r.data[next] != 0) {
        r.marker = r.data[next];
        r.pos = next + 1;
        return kStsOk;
      }
      ++next;  // stuffed zero
    }
    r.acc = (r.acc << 8) | byte;
    r.count += 8;
    r.pos = next;
  }
  return kStsOk;
}

// Tops the accumulator up. Eight bytes free of 0xFF are taken in one step.
__attribute__((always_inline)) inline PrimitiveStatus Fill(BitReader& r, int need) {
  if (r.marker == 0 && r.pos >= 0 && r.pos <= r.length - 8 && r.count <= 56) {
    uint64_t w;
    memcpy(&w, r.data + r.pos, 8);
    w = __builtin_bswap64(w);
    const int take = (64 - r.count) >> 3;
    const uint64_t top = take == 8 ? w : w >> (64 - 8 * take);
    if (!HasByteFF(top)) {
      r.acc = take == 8 ? w : (r.acc << (8 * take)) | top;
      r.count += 8 * take;
      r.pos += take;
      return kStsOk;
    }
  }
  return FillSlow(r, need);
}

// Makes `n` bits available: 0, -62 (data ended) or -63 (a marker stands before them).
inline PrimitiveStatus Need(BitReader& r, int n) {
  if (r.count >= n) return kStsOk;
  const PrimitiveStatus st = Fill(r, n);
  if (r.count >= n) return kStsOk;
  return st != kStsOk ? st : kStsNoHuffmanMatch;
}

inline bool CodeFits(const HuffmanDecodeTable* t, int length, uint32_t code) {
  const int32_t max = t->maxcode[length];
  return max != -1 && code <= static_cast<uint16_t>(max);
}

inline int32_t SymbolOf(const HuffmanDecodeTable* t, int length, uint32_t code) {
  return t->values[(t->valptr[length] + code - t->mincode[length]) & 0xFFu];
}

// Bit-serial decode, for the last bits before a marker or the end of the data.
PrimitiveStatus DecodeSymbolBitwise(BitReader& r, const HuffmanDecodeTable* t, int32_t* symbol) {
  uint32_t code = 0;
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    const PrimitiveStatus st = Need(r, 1);
    if (st != kStsOk) return st;
    code = (code << 1) | r.Peek(1);
    r.Skip(1);
    if (CodeFits(t, length, code)) {
      *symbol = SymbolOf(t, length, code);
      return kStsOk;
    }
  }
  *symbol = 0;
  return kStsNoHuffmanMatch;
}

inline PrimitiveStatus DecodeSymbol(BitReader& r, const HuffmanDecodeTable* t, int32_t* symbol) {
  if (r.count < kMaxCodeLength) {
    Fill(r, 0);
    if (r.count < kMaxCodeLength) return DecodeSymbolBitwise(r, t, symbol);
  }
  const uint32_t look = t->lookahead[r.Peek(kLookaheadBits)];
  if (look != 0) {
    r.Skip(static_cast<int>(look >> 16));
    *symbol = static_cast<int32_t>(look & 0xFFFFu);
    return kStsOk;
  }
  const uint32_t bits = r.Peek(kMaxCodeLength);
  for (int length = kLookaheadBits + 1; length <= kMaxCodeLength; ++length) {
    const uint32_t code = bits >> (kMaxCodeLength - length);
    if (CodeFits(t, length, code)) {
      r.Skip(length);
      *symbol = SymbolOf(t, length, code);
      return kStsOk;
    }
  }
  r.Skip(kMaxCodeLength);
  *symbol = 0;
  return kStsNoHuffmanMatch;
}

inline PrimitiveStatus ReadBits(BitReader& r, int n, uint32_t* value) {
  if (n == 0) {
    *value = 0;
    return kStsOk;
  }
  const PrimitiveStatus st = Need(r, n);
  if (st != kStsOk) return st;
  *value = r.Peek(n);
  r.Skip(n);
  return kStsOk;
}

// An s-bit magnitude category value whose top bit is clear is negative. The sign of coded
// values is random, so this is computed without a branch.
inline int32_t Extend(uint32_t v, int s) {
  const uint32_t clear = ((v >> (s - 1)) & 1u) - 1u;  // all ones when the top bit is clear
  return static_cast<int32_t>(v + (clear & (1u - (1u << s))));
}

// Explicit stores: for one block they cost less than a call of the library's memset, and
// written out they are not turned into one (or into a string store, slow to start).
inline void ZeroBlock(int16_t* block) {
#if KVZ_BASELINE_HAS(SSE2)
  __m128i* const v = reinterpret_cast<__m128i*>(block);
  const __m128i zero = _mm_setzero_si128();
  _mm_storeu_si128(v + 0, zero);
  _mm_storeu_si128(v + 1, zero);
  _mm_storeu_si128(v + 2, zero);
  _mm_storeu_si128(v + 3, zero);
  _mm_storeu_si128(v + 4, zero);
  _mm_storeu_si128(v + 5, zero);
  _mm_storeu_si128(v + 6, zero);
  _mm_storeu_si128(v + 7, zero);
#else
  memset(block, 0, 64 * sizeof(int16_t));
#endif
}

// DC difference of a sequential or first progressive scan, added to the predictor.
PrimitiveStatus DecodeDcDifference(BitReader& r, const HuffmanDecodeTable* t, int16_t* predictor) {
  int32_t s;
  PrimitiveStatus st = DecodeSymbol(r, t, &s);
  if (st != kStsOk) return st;
  if (s != 0) {
    const int size = s & 15;
    uint32_t v;
    st = ReadBits(r, size, &v);
    if (st != kStsOk) return st;
    if (size != 0) *predictor = static_cast<int16_t>(*predictor + Extend(v, size));
  }
  return kStsOk;
}

// Gives a coefficient that already has bits above Al its next lower bit.
inline PrimitiveStatus Correct(BitReader& r, int16_t* coef, int32_t p1, int32_t m1) {
  const PrimitiveStatus st = Need(r, 1);
  if (st != kStsOk) return st;
  const uint32_t bit = r.Peek(1);
  r.Skip(1);
  if (bit != 0 && (*coef & p1) == 0) *coef = static_cast<int16_t>(*coef + (*coef >= 0 ? p1 : m1));
  return kStsOk;
}

// (length << 16) | symbol of a code of 9 to 16 bits at the top of `top` (16 bits), 0 when none
// fits: the shortest length L whose largest code is at least the top L bits.
inline uint32_t LongCode(const HuffmanDecodeTable* t, uint32_t top) {
#if KVZ_BASELINE_HAS(SSE2)
  // All eight lengths at once: top <= the largest code of L, left-justified to 16 bits
  // ((maxcode + 1) << (16 - L)) - 1, where L has codes at all.
  const __m128i maxcode = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t->maxcode + kLookaheadBits + 1));
  const __m128i ones = _mm_set1_epi16(-1);
  const __m128i scale = _mm_setr_epi16(128, 64, 32, 16, 8, 4, 2, 1);
  const __m128i limit = _mm_add_epi16(_mm_mullo_epi16(_mm_sub_epi16(maxcode, ones), scale), ones);
  const __m128i within = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_set1_epi16(static_cast<int16_t>(top)), limit),
                                         _mm_setzero_si128());
  const int mask = _mm_movemask_epi8(_mm_andnot_si128(_mm_cmpeq_epi16(maxcode, ones), within));
  if (mask == 0) return 0;
  const int length = kLookaheadBits + 1 + (__builtin_ctz(static_cast<unsigned>(mask)) >> 1);
  const uint32_t code = top >> (kMaxCodeLength - length);
  return static_cast<uint32_t>(length) << 16 | static_cast<uint32_t>(SymbolOf(t, length, code));
#else
  for (int length = kLookaheadBits + 1; length <= kMaxCodeLength; ++length) {
    const uint32_t code = top >> (kMaxCodeLength - length);
    if (CodeFits(t, length, code)) {
      return static_cast<uint32_t>(length) << 16 | static_cast<uint32_t>(SymbolOf(t, length, code));
    }
  }
  return 0;
#endif
}

// The fast path's window: the next bit is bit 63, `count` bits are valid.
struct Window {
  uint64_t bits;
  int32_t count;
  int32_t pos;
};

// The fast path's top-up where whole words cannot be taken: the reader's own fill, in and out
// of the window.
__attribute__((noinline)) Window TopUpByReader(BitReader& r, Window w) {
  r.acc = w.count != 0 ? w.bits >> (64 - w.count) : 0;
  r.count = w.count;
  r.pos = w.pos;
  Fill(r, 0);
  return Window{r.count != 0 ? r.acc << (64 - r.count) : 0, r.count, r.pos};
}

// Where the bytes from `from` on stop being plain data: the first 0xFF among the next
// kCleanScanBytes bytes (clipped to the data), else the end of those bytes.
constexpr int32_t kCleanScanBytes = 64;

inline int32_t CleanEnd(const uint8_t* data, int32_t length, int32_t from) {
  if (from > length - kCleanScanBytes) {
    while (from < length && data[from] != kMarkerPrefix) ++from;
    return from;
  }
#if KVZ_BASELINE_HAS(SSE2)
  static_assert(kCleanScanBytes == 64, "four vectors");
  const __m128i ff = _mm_set1_epi8(-1);
  const __m128i* const v = reinterpret_cast<const __m128i*>(data + from);
  const uint32_t low = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v), ff))) |
                       static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v + 1), ff))) << 16;
  const uint32_t high = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v + 2), ff))) |
                        static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(v + 3), ff))) << 16;
  const uint64_t found = static_cast<uint64_t>(high) << 32 | low;
  return from + (found != 0 ? __builtin_ctzll(found) : kCleanScanBytes);
#else
  for (int i = 0; i < kCleanScanBytes; i += 8) {
    uint64_t word;
    memcpy(&word, data + from + i, 8);
    const uint64_t ff = (~word - 0x0101010101010101ull) & word & 0x8080808080808080ull;
    // Read as little-endian, the lowest flagged byte is exactly the first 0xFF.
    if (ff != 0) return from + i + (__builtin_ctzll(ff) >> 3);
  }
  return from + kCleanScanBytes;
#endif
}

// The sequential block decoder's fast path. It keeps a left-aligned window (the next bit is
// bit 63), topped up from eight data bytes at a time while they lie inside the data and hold no
// 0xFF (the bytes up to `limit` + 8 are known to be plain data); the bits below the valid ones
// are the data's next bits or zero. Where a top-up cannot take whole words the reader's own
// fill does that step (stuffing, fill bytes, markers); once fewer than 32 bits can be held the
// caller finishes the block with checked steps. Most symbols are one direct entry of the
// private table: its bits leave the window in one shift and its value is stored as it is.
// *next is the next zig-zag position (0: the DC coefficient was not decoded), *done tells that
// the block ended.
PrimitiveStatus DecodeBlockFast(BitReader& r, int16_t* block, int16_t* dcPredictor,
                                const HuffmanDecodeTable* dcTable, const HuffmanDecodeTable* acTable,
                                int32_t* next, bool* done) {
  *next = 0;
  *done = false;
  if (r.count < 32) {
    Fill(r, 0);
    if (r.count < 32) return kStsOk;
  }
  const uint8_t* const data = r.data;
  const int32_t length = r.length;
  int32_t pos = r.pos;
  int32_t count = r.count;
  uint64_t bits = r.acc << (64 - count);
  const bool words = r.marker == 0 && pos >= 0 && pos <= length - 8;
  int32_t limit = words ? CleanEnd(data, length, pos) - 8 : -1;

  auto writeBack = [&]() {
    r.acc = count != 0 ? bits >> (64 - count) : 0;
    r.count = count;
    r.pos = pos;
  };
  // Whole bytes up to 56 or more held bits; called only after bits were consumed, so fewer
  // than 64 are held.
  auto takeWord = [&]() __attribute__((always_inline)) {
    uint64_t word;
    memcpy(&word, data + pos, 8);
    bits |= __builtin_bswap64(word) >> count;
    pos += (63 - count) >> 3;
    count |= 56;
  };
  // The top-up past the known plain bytes: look further, take the bytes before a 0xFF, or let
  // the reader take the 0xFF (stuffing, fill bytes, a marker).
  auto topUpSlow = [&]() __attribute__((always_inline)) -> bool {
    if (r.marker == 0 && pos >= 0 && pos <= length - 8) {
      const int32_t clean = CleanEnd(data, length, pos) - pos;
      limit = pos + clean - 8;
      if (clean >= 8) {
        takeWord();
        return true;
      }
      int32_t take = (63 - count) >> 3;
      if (take > clean) take = clean;
      const int32_t after = count + 8 * take;
      if (after >= kFastHeldBits) {
        uint64_t word;
        memcpy(&word, data + pos, 8);
        bits |= (__builtin_bswap64(word) >> count) & ~(~uint64_t{0} >> after);
        pos += take;
        count = after;
        return true;
      }
    }
    const Window w = TopUpByReader(r, Window{bits, count, pos});
    bits = w.bits;
    count = w.count;
    pos = w.pos;
    limit = -1;  // looked at again on the next top-up
    return count >= kFastHeldBits;
  };
  auto topUp = [&]() __attribute__((always_inline)) -> bool {
    if (__builtin_expect(pos <= limit, 1)) {
      takeWord();
      return true;
    }
    return topUpSlow();
  };
  auto consume = [&](int n) __attribute__((always_inline)) {
    bits <<= n;
    count -= n;
  };
  auto fastEntry = [&](const HuffmanDecodeTable* t) __attribute__((always_inline)) -> uint32_t {
    return t->fast[bits >> (64 - kHuffmanFastBits)];
  };
  // (length << 16) | symbol of an escape entry's code, as the lookahead gives it; 0 for no code.
  auto escapeCode = [&](const HuffmanDecodeTable* t, uint32_t entry) __attribute__((always_inline)) -> uint32_t {
    const uint32_t codeLength = entry & 31u;
    if (codeLength != 0) return codeLength << 16 | ((entry >> kFastSymbolShift) & 0xFFu);
    return LongCode(t, static_cast<uint32_t>(bits >> 48));
  };
  // A direct entry's value; `ahead` is the window at the entry's code.
  auto directValue = [](uint32_t e, uint64_t ahead) __attribute__((always_inline)) -> int32_t {
    const uint64_t rest = ((ahead << kHuffmanFastBits) >> 1) >> ((e >> kFastRestShift) & 63u);
    return (static_cast<int32_t>(e) >> kFastValueShift) + static_cast<int32_t>(rest);
  };
  // The next `size` bits as a coefficient value.
  auto value = [&](int size) __attribute__((always_inline)) -> int32_t {
    const uint32_t v = static_cast<uint32_t>(bits >> (64 - size));
    consume(size);
    return Extend(v, size);
  };

  // At least 32 bits are held at the top of the symbol loop and at least kFastHeldBits after a
  // top-up. A direct symbol takes at most kFastDirectBits bits, so two of them share one
  // top-up, and the second's entry is looked up before it: the top-up's load stays off the
  // chain from one symbol to the next. Anything else is decoded with 32 or more bits held,
  // enough for any code and its value.
  static_assert(kFastHeldBits - kFastDirectBits >= 32, "any symbol at the top of the loop");
  static_assert(32 - kFastDirectBits >= kHuffmanFastBits, "the second entry of a pair");
  uint32_t entry = fastEntry(dcTable);
  if (__builtin_expect((entry & kFastEscape) == 0, 1)) {
    const int32_t diff = directValue(entry, bits);
    consume(static_cast<int>(entry & 31u));
    *dcPredictor = static_cast<int16_t>(*dcPredictor + diff);
  } else {
    const uint32_t look = escapeCode(dcTable, entry);
    if (look == 0) {
      consume(kMaxCodeLength);
      writeBack();
      return kStsNoHuffmanMatch;
    }
    consume(static_cast<int>(look >> 16));
    if ((look & 15u) != 0) *dcPredictor = static_cast<int16_t>(*dcPredictor + value(static_cast<int>(look & 15u)));
  }
  block[0] = *dcPredictor;
  int32_t at = 0;  // zig-zag position of the last coefficient
  PrimitiveStatus st = kStsOk;
  if (count < kFastHeldBits - kFastDirectBits && !topUp()) {
    writeBack();
    *next = 1;
    return st;
  }
  // A direct entry: its bits leave the window, its value lands at its position; false when the
  // block ends with it (or fails: `st`).
  auto direct = [&](uint32_t e) __attribute__((always_inline)) -> bool {
    const int32_t v = directValue(e, bits);
    consume(static_cast<int>(e & 31u));
    const uint32_t step = (e >> kFastStepShift) & 63u;
    at += static_cast<int32_t>(step);
    if (__builtin_expect(at >= 63, 0)) {
      if (step == kFastEndOfBlock) {
        at -= static_cast<int32_t>(kFastEndOfBlock);
      } else if (at >= kZigzagPositionsWithGuard) {
        st = kStsCoefficientRunError;
      } else {
        block[kZigzagToNatural[at]] = static_cast<int16_t>(v);
      }
      *done = true;
      return false;
    }
    block[kZigzagToNatural[at]] = static_cast<int16_t>(v);
    return true;
  };
  for (;;) {
    entry = fastEntry(acTable);
    if (__builtin_expect((entry & kFastEscape) == 0, 1)) {
      if (!direct(entry)) break;
      entry = fastEntry(acTable);
      if (!topUp()) break;
      if (__builtin_expect((entry & kFastEscape) == 0, 1)) {
        if (!direct(entry)) break;
        continue;
      }
    } else if (count < 32 && !topUp()) {
      break;
    }
    // Anything else, with 32 or more bits held.
    const uint32_t look = escapeCode(acTable, entry);
    if (look == 0) {
      consume(kMaxCodeLength);
      st = kStsNoHuffmanMatch;
      break;
    }
    const int codeLength = static_cast<int>(look >> 16);
    const int run = static_cast<int>((look >> 4) & 15u), size = static_cast<int>(look & 15u);
    if (size == 0) {
      consume(codeLength);
      if (run != 15) {
        *done = true;
        break;
      }
      at += 16;
    } else {
      // The code and its value leave the window in one shift.
      const int total = codeLength + size;
      const uint32_t v = static_cast<uint32_t>(bits >> (64 - total)) & ((1u << size) - 1u);
      consume(total);
      at += run + 1;
      if (at >= kZigzagPositionsWithGuard) {
        st = kStsCoefficientRunError;
        break;
      }
      block[kZigzagToNatural[at]] = static_cast<int16_t>(Extend(v, size));
    }
    if (at >= 63) {
      *done = true;
      break;
    }
    if (!topUp()) break;
  }
  writeBack();
  if (st == kStsCoefficientRunError) return st;
  *next = at + 1;
  return st;
}

inline bool ProgressiveArgsBad(int32_t al) { return al < 0 || al > 13; }

// Every code of up to kHuffmanFastBits bits owns the entries its bits prefix; where its value's
// bits are inside the entry's bits too, the entry carries the value, already extended.
void FillFastTable(HuffmanDecodeTable* table) {
  for (uint32_t& entry : table->fast) entry = kFastEscape;
  for (int length = 1; length <= kHuffmanFastBits; ++length) {
    if (table->maxcode[length] == -1) continue;
    const uint32_t first = table->mincode[length];
    const uint32_t last = static_cast<uint16_t>(table->maxcode[length]);
    const int spare = kHuffmanFastBits - length;
    for (uint32_t code = first; code <= last; ++code) {
      const uint32_t symbol = static_cast<uint32_t>(SymbolOf(table, length, code));
      const int run = static_cast<int>(symbol >> 4), size = static_cast<int>(symbol & 15u);
      for (uint32_t j = 0; j < (1u << spare); ++j) {
        const int total = length + size;
        const int rest = total > kHuffmanFastBits ? total - kHuffmanFastBits : 0;
        uint32_t entry;
        if (size == 0 && run != 15) {
          entry = static_cast<uint32_t>(length) | 63u << kFastRestShift | kFastEndOfBlock << kFastStepShift;
        } else if (size == 0 || size > kFastMaxDirectSize || total > kFastDirectBits ||
                   (rest > 0 && length >= kHuffmanFastBits)) {
          entry = kFastEscape | static_cast<uint32_t>(length) | symbol << kFastSymbolShift;
        } else {
          const int inIndex = size - rest;
          const uint32_t v = (j >> (spare - inIndex)) & ((1u << inIndex) - 1u);
          entry = static_cast<uint32_t>(total) | static_cast<uint32_t>(63 - rest) << kFastRestShift |
                  static_cast<uint32_t>(run + 1) << kFastStepShift |
                  static_cast<uint32_t>(Extend(v << rest, size)) << kFastValueShift;
        }
        table->fast[(code << spare) | j] = entry;
      }
    }
  }
}

}  // namespace

PrimitiveStatus GetHuffmanDecodeTableSize(int32_t* size) {
  if (size == nullptr) return kStsNullPointer;
  *size = kHuffmanDecodeTableBytes;
  return kStsOk;
}

PrimitiveStatus GetHuffmanDecodeStateSize(int32_t* size) {
  if (size == nullptr) return kStsNullPointer;
  *size = kHuffmanDecodeStateBytes;
  return kStsOk;
}

PrimitiveStatus InitHuffmanDecodeState(HuffmanDecodeState* state) {
  if (state == nullptr) return kStsNullPointer;
  state->accumulator = 0;
  state->bitCount = 0;
  state->eobRun = 0;
  state->coefficientCount = 0;
  return kStsOk;
}

PrimitiveStatus InitHuffmanDecodeTable(const uint8_t* counts, const uint8_t* values,
                                       HuffmanDecodeTable* table) {
  if (counts == nullptr || values == nullptr || table == nullptr) return kStsNullPointer;
  memset(table, 0, sizeof *table);
  int32_t total = 0;
  for (int i = 0; i < kMaxCodeLength; ++i) total += counts[i];
  if (total > 256) return kStsBadHuffmanTable;

  uint32_t code = 0;
  int32_t k = 0;
  for (int length = 1; length <= kMaxCodeLength; ++length) {
    const int32_t n = counts[length - 1];
    if (n == 0) {
      table->maxcode[length] = -1;
    } else {
      // An over-subscribed list would hand out a code of length + 1 bits.
      if (code + static_cast<uint32_t>(n) > (1u << length)) return kStsBadHuffmanTable;
      table->valptr[length] = static_cast<uint16_t>(k);
      table->mincode[length] = static_cast<uint16_t>(code);
      for (int32_t i = 0; i < n; ++i, ++k, ++code) {
        table->values[k] = values[k];
        if (length <= kLookaheadBits) {
          const int spare = kLookaheadBits - length;
          const uint32_t entry = (static_cast<uint32_t>(length) << 16) | values[k];
          for (uint32_t j = 0; j < (1u << spare); ++j) table->lookahead[(code << spare) | j] = entry;
        }
      }
      table->maxcode[length] = static_cast<int16_t>(code - 1);
    }
    code <<= 1;
  }
  table->maxcode[17] = -1;
  FillFastTable(table);
  return kStsOk;
}

PrimitiveStatus DecodeHuffmanBlock(const uint8_t* src, int32_t srcLength, int32_t* position,
                                   int16_t* block, int16_t* dcPredictor, int32_t* marker,
                                   const HuffmanDecodeTable* dcTable,
                                   const HuffmanDecodeTable* acTable, HuffmanDecodeState* state) {
  if (src == nullptr) return kStsNullPointer;
  if (srcLength < 0) return kStsOutOfRange;
  if (position == nullptr || block == nullptr || dcPredictor == nullptr || marker == nullptr ||
      dcTable == nullptr || acTable == nullptr || state == nullptr)
    return kStsNullPointer;

  BitReader r(src, srcLength, *position, state, *marker);
  ZeroBlock(block);
  int32_t k = 0;
  bool done = false;
  PrimitiveStatus st = DecodeBlockFast(r, block, dcPredictor, dcTable, acTable, &k, &done);
  if (st == kStsCoefficientRunError) {
    r.Store(position, marker, state);
    return st;
  }
  if (st == kStsOk && k == 0) {
    // Too close to a marker or the end of the data for the fast path: the checked steps.
    st = DecodeDcDifference(r, dcTable, dcPredictor);
    if (st != kStsOk) {
      state->coefficientCount = 0;
      r.Store(position, marker, state);
      return st;
    }
    block[0] = *dcPredictor;
    k = 1;
  }
  while (!done && st == kStsOk && k < 64) {
    int32_t rs;
    st = DecodeSymbol(r, acTable, &rs);
    if (st != kStsOk) break;
    const int run = rs >> 4, size = rs & 15;
    if (size == 0) {
      if (run != 15) break;
      k += 16;
      continue;
    }
    uint32_t v;
    st = ReadBits(r, size, &v);
    if (st != kStsOk) {
      k += run + 1;
      break;
    }
    const int32_t at = k + run;
    if (at >= kZigzagPositionsWithGuard) {
      r.Store(position, marker, state);
      return kStsCoefficientRunError;
    }
    block[kZigzagToNatural[at]] = static_cast<int16_t>(Extend(v, size));
    k = at + 1;
  }
  state->coefficientCount = k;
  r.Store(position, marker, state);
  return st;
}

PrimitiveStatus DecodeHuffmanDcFirst(const uint8_t* src, int32_t srcLength, int32_t* position,
                                     int16_t* block, int16_t* dcPredictor, int32_t* marker,
                                     int32_t al, const HuffmanDecodeTable* dcTable,
                                     HuffmanDecodeState* state) {
  if (src == nullptr) return kStsNullPointer;
  if (srcLength <= 0) return kStsSizeError;
  if (position == nullptr || block == nullptr || dcPredictor == nullptr || marker == nullptr)
    return kStsNullPointer;
  if (ProgressiveArgsBad(al)) return kStsOutOfRange;
  if (dcTable == nullptr || state == nullptr) return kStsNullPointer;

  BitReader r(src, srcLength, *position, state, *marker);
  const PrimitiveStatus st = DecodeDcDifference(r, dcTable, dcPredictor);
  if (st == kStsOk) block[0] = static_cast<int16_t>(static_cast<uint16_t>(*dcPredictor) << al);
  r.Store(position, marker, state);
  return st;
}

PrimitiveStatus DecodeHuffmanDcRefine(const uint8_t* src, int32_t srcLength, int32_t* position,
                                      int16_t* block, int32_t* marker, int32_t al,
                                      HuffmanDecodeState* state) {
  if (src == nullptr) return kStsNullPointer;
  if (srcLength <= 0) return kStsSizeError;
  if (position == nullptr || block == nullptr || marker == nullptr) return kStsNullPointer;
  if (ProgressiveArgsBad(al)) return kStsOutOfRange;
  if (state == nullptr) return kStsNullPointer;

  BitReader r(src, srcLength, *position, state, *marker);
  uint32_t bit;
  const PrimitiveStatus st = ReadBits(r, 1, &bit);
  if (st == kStsOk && bit != 0) block[0] = static_cast<int16_t>(block[0] | (1 << al));
  r.Store(position, marker, state);
  return st;
}

namespace {

// Argument checks shared by the two AC decoders, in their order.
PrimitiveStatus CheckAcArgs(const uint8_t* src, int32_t srcLength, const int32_t* position,
                            const int16_t* block, const int32_t* marker, int32_t ss, int32_t se,
                            int32_t al, const HuffmanDecodeTable* table,
                            const HuffmanDecodeState* state) {
  if (src == nullptr) return kStsNullPointer;
  if (srcLength <= 0) return kStsSizeError;
  if (position == nullptr || block == nullptr || marker == nullptr) return kStsNullPointer;
  if (ss < 1 || ss > 63 || se < ss || se > 63 || ProgressiveArgsBad(al)) return kStsOutOfRange;
  if (table == nullptr || state == nullptr) return kStsNullPointer;
  return kStsOk;
}

// EOB run of 2^r plus the next r bits.
PrimitiveStatus ReadEobRun(BitReader& r, int run, int32_t* eobRun) {
  uint32_t extra = 0;
  const PrimitiveStatus st = ReadBits(r, run, &extra);
  if (st != kStsOk) return st;
  *eobRun = (1 << run) + static_cast<int32_t>(extra);
  return kStsOk;
}

}  // namespace

PrimitiveStatus DecodeHuffmanAcFirst(const uint8_t* src, int32_t srcLength, int32_t* position,
                                     int16_t* block, int32_t* marker, int32_t ss, int32_t se,
                                     int32_t al, const HuffmanDecodeTable* acTable,
                                     HuffmanDecodeState* state) {
  PrimitiveStatus st =
      CheckAcArgs(src, srcLength, position, block, marker, ss, se, al, acTable, state);
  if (st != kStsOk) return st;
  if (state->eobRun > 0) {
    --state->eobRun;
    return kStsOk;
  }
  BitReader r(src, srcLength, *position, state, *marker);
  for (int32_t k = ss; k <= se; ++k) {
    int32_t rs;
    st = DecodeSymbol(r, acTable, &rs);
    if (st != kStsOk) break;
    const int run = rs >> 4, size = rs & 15;
    if (size == 0) {
      if (run == 15) {
        k += 15;
        continue;
      }
      st = ReadEobRun(r, run, &state->eobRun);
      if (st == kStsOk) --state->eobRun;
      break;
    }
    k += run;
    // A run that leaves the band would place the value outside it: corrupt data.
    if (k > se) {
      st = kStsCoefficientRunError;
      break;
    }
    uint32_t v;
    st = ReadBits(r, size, &v);
    if (st != kStsOk) break;
    block[kZigzagToNatural[k]] =
        static_cast<int16_t>(static_cast<uint32_t>(Extend(v, size)) << al);
  }
  r.Store(position, marker, state);
  return st;
}

PrimitiveStatus DecodeHuffmanAcRefine(const uint8_t* src, int32_t srcLength, int32_t* position,
                                      int16_t* block, int32_t* marker, int32_t ss, int32_t se,
                                      int32_t al, const HuffmanDecodeTable* acTable,
                                      HuffmanDecodeState* state) {
  PrimitiveStatus st =
      CheckAcArgs(src, srcLength, position, block, marker, ss, se, al, acTable, state);
  if (st != kStsOk) return st;
  const int32_t p1 = 1 << al;
  const int32_t m1 = -p1;
  BitReader r(src, srcLength, *position, state, *marker);
  int32_t k = ss;

  if (state->eobRun == 0) {
    for (; k <= se; ++k) {
      int32_t rs;
      st = DecodeSymbol(r, acTable, &rs);
      if (st != kStsOk) goto done;
      int run = rs >> 4;
      int32_t value = 0;
      if ((rs & 15) != 0) {
        uint32_t bit;
        st = ReadBits(r, 1, &bit);
        if (st != kStsOk) goto done;
        value = bit != 0 ? p1 : m1;
      } else if (run != 15) {
        st = ReadEobRun(r, run, &state->eobRun);
        if (st != kStsOk) goto done;
        break;
      }
      // Pass `run` zero coefficients, correcting the non-zero ones met on the way; a new value
      // lands on the zero coefficient after them.
      for (; k <= se; ++k) {
        int16_t* coef = &block[kZigzagToNatural[k]];
        if (*coef != 0) {
          st = Correct(r, coef, p1, m1);
          if (st != kStsOk) goto done;
        } else {
          if (run == 0) break;
          --run;
        }
      }
      if (value != 0) {
        // The band ended before the position the run names: corrupt data.
        if (k > se) {
          st = kStsCoefficientRunError;
          goto done;
        }
        block[kZigzagToNatural[k]] = static_cast<int16_t>(value);
      }
    }
  }
  if (state->eobRun > 0) {
    for (; k <= se; ++k) {
      int16_t* coef = &block[kZigzagToNatural[k]];
      if (*coef != 0) {
        st = Correct(r, coef, p1, m1);
        if (st != kStsOk) goto done;
      }
    }
    --state->eobRun;
  }
done:
  r.Store(position, marker, state);
  return st;
}

PrimitiveStatus DecodeHuffmanOne(const uint8_t* src, int32_t srcLength, int32_t* position,
                                 int16_t* value, int32_t* marker, const HuffmanDecodeTable* table,
                                 HuffmanDecodeState* state) {
  if (src == nullptr) return kStsNullPointer;
  if (srcLength < 0) return kStsOutOfRange;
  if (position == nullptr || value == nullptr || marker == nullptr || table == nullptr ||
      state == nullptr)
    return kStsNullPointer;

  BitReader r(src, srcLength, *position, state, *marker);
  int32_t s;
  PrimitiveStatus st = DecodeSymbol(r, table, &s);
  if (st == kStsOk) {
    if (s == 0) {
      *value = 0;
    } else if (s > 15) {
      *value = static_cast<int16_t>(-32768);  // the difference 32768, taken modulo 2^16
    } else {
      uint32_t v;
      st = ReadBits(r, s, &v);
      if (st == kStsOk) *value = static_cast<int16_t>(Extend(v, s));
    }
  }
  r.Store(position, marker, state);
  return st;
}

}  // namespace kvz::prim::generic
