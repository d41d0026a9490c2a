#include "primitives/vector_ops.h"

#include "primitives/cache_probe.h"
#include "primitives/perbuild/simd_moves.h"

namespace kvz::prim::KVZ_BUILD_NS {

namespace {
using namespace simd;

#if !KVZ_BUILD_HAS(SSE)
void CopyBytesScalar(const uint8_t* s, uint8_t* d, size_t n) {
  while (n != 0 && (Addr(d) & 3) != 0) {
    *d++ = *s++;
    --n;
  }
  for (size_t blocks = n / 32; blocks != 0; --blocks) {
    uint32_t w[8];
    for (int i = 0; i < 8; ++i) w[i] = Load4(s + 4 * i);
    for (int i = 0; i < 8; ++i) Store4(d + 4 * i, w[i]);
    s += 32;
    d += 32;
  }
  for (n &= 31; n != 0; --n) *d++ = *s++;
}

void ZeroScalar(uint8_t* d, size_t n) {
  while (n != 0 && (Addr(d) & 3) != 0) {
    *d++ = 0;
    --n;
  }
  for (size_t blocks = n / 32; blocks != 0; --blocks) {
    for (int i = 0; i < 8; ++i) Store4(d + 4 * i, 0);
    d += 32;
  }
  for (n &= 31; n != 0; --n) *d++ = 0;
}
#endif

#if KVZ_BUILD_HAS(SSE)

constexpr size_t kStreamBlock = 0x40000;

// Copies of fewer than 64 bytes.
void SmallCopy(const uint8_t* s, uint8_t* d, size_t n) {
  if (kSsse3Strategy) {
    size_t i = 0;
    if (n & 32) {
      StoreU(d, LoadU(s));
      StoreU(d + 16, LoadU(s + 16));
      i += 32;
    }
    if (n & 16) {
      StoreU(d + i, LoadU(s + i));
      i += 16;
    }
    if (n & 8) {
      Store8(d + i, Load8(s + i));
      i += 8;
    }
    if (n & 4) Store4(d + i, Load4(s + i));
    for (size_t k = n & 3; k != 0; --k) d[n - 1 - (n & 3) + k] = s[n - 1 - (n & 3) + k];
    return;
  }
  if (n < 8) {
    while (n != 0) {
      --n;
      d[n] = s[n];
    }
    return;
  }
  Store8(d + n - 8, Load8(s + n - 8));
  const ptrdiff_t last = static_cast<ptrdiff_t>(((Addr(d) + n - 8) & ~uintptr_t{7}) - Addr(d));
  for (ptrdiff_t k = last; k > 0; k -= 8) Store8(d + k, Load8(s + k));
  Store8(d, Load8(s));
}

// Full 16-byte pieces with streaming stores of the (aligned) destination; returns bytes done.
size_t StreamRun(const uint8_t* s, uint8_t* d, size_t n) {
  size_t i = 0;
  for (; i + 64 <= n; i += 64) Move64<LoadU, Stream>(s + i, d + i);
  for (; i + 16 <= n; i += 16) Stream(d + i, LoadU(s + i));
  return i;
}

void StreamingCopy(const uint8_t* s, uint8_t* d, size_t n) {
  KVZ_COUNT_PATH(kPathStream);
  const size_t touch = kSsse3Strategy ? 64 : 128;
  while (n >= kStreamBlock) {
    TouchForward(s, kStreamBlock, touch);
    StreamRun(s, d, kStreamBlock);
    s += kStreamBlock;
    d += kStreamBlock;
    n -= kStreamBlock;
  }
  TouchBackward(s, n, touch);
  const size_t done = StreamRun(s, d, n);
  Fence();
  if (n != done) SmallCopy(s + done, d + done, n - done);
}

// Forward 64-byte blocks to an aligned destination; then up to three 16-byte pieces and the
// small copy.
template <bool kAlignedSource>
void ForwardBlocks(const uint8_t* s, uint8_t* d, size_t n) {
  for (; n >= 64; n -= 64, s += 64, d += 64) Move64<kAlignedSource ? LoadA : LoadU, StoreA>(s, d);
  for (; n >= 16; n -= 16, s += 16, d += 16) StoreA(d, LoadU(s));
  if (n != 0) SmallCopy(s, d, n);
}

// Both pointers aligned: back to front, the odd pieces at the end first.
void BackwardBlocks(const uint8_t* s, uint8_t* d, size_t n) {
  size_t end = n;
  if (n & 1) {
    --end;
    d[end] = s[end];
  }
  if (n & 2) {
    end -= 2;
    Store2(d + end, Load2(s + end));
  }
  if (n & 4) {
    end -= 4;
    Store4(d + end, Load4(s + end));
  }
  if (n & 8) {
    end -= 8;
    Store8(d + end, Load8(s + end));
  }
  if (n & 16) {
    end -= 16;
    StoreU(d + end, LoadU(s + end));
  }
  if (n & 32) {
    end -= 32;
    StoreU(d + end + 16, LoadU(s + end + 16));
    StoreU(d + end, LoadU(s + end));
  }
  while (end != 0) {
    end -= 64;
    Move64Backward(s + end, d + end);
  }
}

#if KVZ_BUILD_HAS(SSSE3)
// Source kO bytes past a 16-byte boundary: realigned blocks, then the rest forward.
template <int kO>
void RealignedBlocks(const uint8_t* s, uint8_t* d, size_t n) {
  const size_t done = RealignedForward<kO>(s, d, n);
  ForwardBlocks<false>(s + done, d + done, n - done);
}
#endif

// Runs from this size that do not stream go to the string instructions when they are fast:
// they move whole cache lines internally, which 16-byte moves cannot match from L2 outward.
constexpr size_t kStringMoveFrom = 4096;

inline void StringCopy(const uint8_t* s, uint8_t* d, size_t n) {
  __asm__ volatile("rep movsb" : "+S"(s), "+D"(d), "+c"(n) : : "memory");
}
inline void StringZero(uint8_t* d, size_t n) {
  __asm__ volatile("rep stosb" : "+D"(d), "+c"(n) : "a"(0) : "memory");
}

void VectorCopy(const uint8_t* s, uint8_t* d, size_t n) {
  if (n < 64) {
    SmallCopy(s, d, n);
    return;
  }
  KVZ_COUNT_PATH(kPathCopyBytes);
  const size_t total = n;
  const bool dstAlignedAtStart = (Addr(d) & 15) == 0;
  if (!dstAlignedAtStart) {
    AlignDestination(s, d, n);
    if (n < 64) {
      SmallCopy(s, d, n);
      return;
    }
  }
  const bool srcAligned = (Addr(s) & 15) == 0;
  const size_t streamFrom = kSsse3Strategy ? 0x100000 : 0x80000;
  if (n >= streamFrom && (!srcAligned || dstAlignedAtStart)) {
    const uint32_t cache = StreamingCacheSize(!kSsse3Strategy);
    if (cache != 0 && total >= cache / 2) {
      StreamingCopy(s, d, n);
      return;
    }
  }
  if (n >= kStringMoveFrom && HasFastStringMoves()) {
    StringCopy(s, d, n);
    return;
  }
  if (srcAligned) {
    if (kSsse3Strategy) {
      const ptrdiff_t diff = static_cast<ptrdiff_t>(Addr(s) & 4095) - static_cast<ptrdiff_t>(Addr(d) & 4095);
      if ((diff > 0 && diff <= 160) || diff < -3936) {
        ForwardBlocks<true>(s, d, n);
      } else {
        BackwardBlocks(s, d, n);
      }
    } else {
      ForwardBlocks<true>(s, d, n);
    }
    return;
  }
#if KVZ_BUILD_HAS(SSSE3)
  switch (Addr(s) & 15) {
    case 4: RealignedBlocks<4>(s, d, n); return;
    case 8: RealignedBlocks<8>(s, d, n); return;
    case 12: RealignedBlocks<12>(s, d, n); return;
    default: break;
  }
#endif
  ForwardBlocks<false>(s, d, n);
}

// Tail of fewer than 16 bytes with overlapping stores.
void StoreTail(uint8_t* d, size_t n, uint64_t pattern8) {
  if (n >= 8) {
    if (n != 8) Store8(d, pattern8);
    Store8(d + n - 8, pattern8);
  } else if (n >= 4) {
    Store4(d, static_cast<uint32_t>(pattern8));
    Store4(d + n - 4, static_cast<uint32_t>(pattern8));
  } else {
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(pattern8 >> (8 * i));
  }
}

// The 16-byte aligned destination written with v in whole 16-byte pieces, streamed or stored;
// d and n are left at what remains (below 16 bytes).
inline void StreamPieces(uint8_t*& d, size_t& n, V v) {
  KVZ_COUNT_PATH(kPathStream);
  for (; n >= 16; n -= 16, d += 16) Stream(d, v);
  Fence();
}
inline void StorePieces(uint8_t*& d, size_t& n, V v) {
  for (; n >= 64; n -= 64, d += 64) {
    StoreA(d, v);
    StoreA(d + 16, v);
    StoreA(d + 32, v);
    StoreA(d + 48, v);
  }
  for (; n >= 16; n -= 16, d += 16) StoreA(d, v);
}

void VectorZero(uint8_t* d, size_t n) {
  if (n >= 16) {
    const size_t head = (16 - (Addr(d) & 15)) & 15;
    if (head & 1) *d = 0;
    if (head & 2) Store2(d + (head & 1), 0);
    if (head & 4) Store4(d + (head & 3), 0);
    if (head & 8) Store8(d + (head & 7), 0);
    d += head;
    n -= head;
    KVZ_COUNT_PATH(kPathZeroFill);
    const V z = Zero();
    bool streamed = false;
    if (n > 0x80000) {
      const uint32_t cache = StreamingCacheSize(false);
      if (cache != 0 && n >= cache) {
        StreamPieces(d, n, z);
        streamed = true;
      }
    }
    if (!streamed && n >= kStringMoveFrom && HasFastStringMoves()) {
      StringZero(d, n);
      return;
    }
    if (!streamed) StorePieces(d, n, z);
  }
  StoreTail(d, n, 0);
}

// Fill with a 16-byte pattern of whole elements. Elements are stored one at a time when the
// destination is not on an element boundary.
template <size_t kSize>
void VectorFill(const void* value, uint8_t* d, size_t count, size_t streamAbove) {
  alignas(16) uint8_t pattern[16];
  for (size_t i = 0; i < 16; i += kSize) memcpy(pattern + i, value, kSize);
  size_t n = count * kSize;
  if ((Addr(d) & (kSize - 1)) != 0 || n < 16) {
    for (size_t i = 0; i < count; ++i) memcpy(d + i * kSize, value, kSize);
    return;
  }
  while ((Addr(d) & 15) != 0) {
    memcpy(d, value, kSize);
    d += kSize;
    n -= kSize;
    --count;
  }
  if (n < 16) {
    for (size_t i = 0; i < count; ++i) memcpy(d + i * kSize, value, kSize);
    return;
  }
  KVZ_COUNT_PATH(kPathFill);
  const V v = LoadA(pattern);
  bool streamed = false;
  if (count > streamAbove) {
    const uint32_t cache = StreamingCacheSize(false);
    // Bytes need a count of at least the cache size; wider elements a count above it.
    if (cache != 0 && (kSize == 1 ? count >= cache : count > cache / kSize)) {
      StreamPieces(d, n, v);
      streamed = true;
    }
  }
  if (!streamed) StorePieces(d, n, v);
  if (n != 0) StoreU(d + n - 16, v);  // ends on an element boundary of the same pattern phase
}

#endif  // KVZ_BUILD_HAS(SSE)

template <size_t kSize>
void Fill(const void* value, void* dst, size_t count, size_t streamAbove) {
#if KVZ_BUILD_HAS(SSE)
  VectorFill<kSize>(value, static_cast<uint8_t*>(dst), count, streamAbove);
#else
  (void)streamAbove;
  uint8_t* d = static_cast<uint8_t*>(dst);
  for (size_t i = 0; i < count; ++i)
    for (size_t b = 0; b < kSize; ++b) d[i * kSize + b] = static_cast<const uint8_t*>(value)[b];
#endif
}

// Shifts: scalar rule per element type and operation, vector form where SSE2 exists.
enum class ShiftOp { kLeft, kRightLogical, kRightArith };

template <typename T, ShiftOp kOp>
inline T ShiftOne(T v, int32_t shift) {
  typedef typename Unsigned<T>::Type U;
  if (kOp == ShiftOp::kLeft) return static_cast<T>(static_cast<U>(static_cast<U>(v) << shift));
  if (kOp == ShiftOp::kRightLogical) return static_cast<T>(static_cast<U>(v) >> shift);
  return static_cast<T>(v >> shift);
}

#if KVZ_BUILD_HAS(SSE2)
template <typename T, ShiftOp kOp>
inline V ShiftVec(V v, __m128i count, int32_t shift) {
  if (sizeof(T) == 1) {
    const uint8_t m = kOp == ShiftOp::kLeft ? static_cast<uint8_t>(0xFF << shift) : static_cast<uint8_t>(0xFF >> shift);
    const V mask = _mm_set1_epi8(static_cast<char>(m));
    return _mm_and_si128(kOp == ShiftOp::kLeft ? _mm_sll_epi16(v, count) : _mm_srl_epi16(v, count), mask);
  }
  if (sizeof(T) == 2) {
    if (kOp == ShiftOp::kLeft) return _mm_sll_epi16(v, count);
    if (kOp == ShiftOp::kRightLogical) return _mm_srl_epi16(v, count);
    return _mm_sra_epi16(v, count);
  }
  if (kOp == ShiftOp::kLeft) return _mm_sll_epi32(v, count);
  if (kOp == ShiftOp::kRightLogical) return _mm_srl_epi32(v, count);
  return _mm_sra_epi32(v, count);
}
#endif

template <typename T, ShiftOp kOp>
void ShiftRun(const T* s, int32_t shift, T* d, size_t n) {
#if KVZ_BUILD_HAS(SSE2)
  const __m128i count = _mm_cvtsi32_si128(shift);
  constexpr size_t kPer = 16 / sizeof(T);
  if ((Addr(d) & (sizeof(T) - 1)) != 0) {
    // Misaligned elements: 8-byte pieces.
    constexpr size_t kHalf = 8 / sizeof(T);
    if (n >= kHalf) KVZ_COUNT_PATH(kPathShift);
    for (; n >= kHalf; n -= kHalf, s += kHalf, d += kHalf) {
      const V v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(d), ShiftVec<T, kOp>(v, count, shift));
    }
    for (; n != 0; --n) St(d++, ShiftOne<T, kOp>(Ld(s++), shift));
    return;
  }
  while (n != 0 && (Addr(d) & 15) != 0) {
    St(d++, ShiftOne<T, kOp>(Ld(s++), shift));
    --n;
  }
  if (n >= kPer) KVZ_COUNT_PATH(kPathShift);
  for (; n >= 4 * kPer; n -= 4 * kPer, s += 4 * kPer, d += 4 * kPer) {
    const V a = LoadU(s), b = LoadU(s + kPer), c = LoadU(s + 2 * kPer), e = LoadU(s + 3 * kPer);
    StoreA(d, ShiftVec<T, kOp>(a, count, shift));
    StoreA(d + kPer, ShiftVec<T, kOp>(b, count, shift));
    StoreA(d + 2 * kPer, ShiftVec<T, kOp>(c, count, shift));
    StoreA(d + 3 * kPer, ShiftVec<T, kOp>(e, count, shift));
  }
  for (; n >= kPer; n -= kPer, s += kPer, d += kPer) StoreA(d, ShiftVec<T, kOp>(LoadU(s), count, shift));
  if (n * sizeof(T) >= 8) {
    const V v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d), ShiftVec<T, kOp>(v, count, shift));
    s += 8 / sizeof(T);
    d += 8 / sizeof(T);
    n -= 8 / sizeof(T);
  }
#endif
  for (; n != 0; --n) St(d++, ShiftOne<T, kOp>(Ld(s++), shift));
}

}  // namespace

void* CopyBytesKernel(const void* src, void* dst, size_t bytes) {
#if KVZ_BUILD_HAS(SSE)
  VectorCopy(static_cast<const uint8_t*>(src), static_cast<uint8_t*>(dst), bytes);
#else
  CopyBytesScalar(static_cast<const uint8_t*>(src), static_cast<uint8_t*>(dst), bytes);
#endif
  return dst;
}

void* ZeroFillKernel(void* dst, size_t bytes) {
#if KVZ_BUILD_HAS(SSE)
  VectorZero(static_cast<uint8_t*>(dst), bytes);
#else
  ZeroScalar(static_cast<uint8_t*>(dst), bytes);
#endif
  return dst;
}

void FillKernel8(const void* value, void* dst, size_t count) { Fill<1>(value, dst, count, 524288); }
void FillKernel16(const void* value, void* dst, size_t count) { Fill<2>(value, dst, count, 524288); }
void FillKernel32(const void* value, void* dst, size_t count) { Fill<4>(value, dst, count, 262144); }
void FillKernel64(const void* value, void* dst, size_t count) { Fill<8>(value, dst, count, 131072); }
void FillKernel128(const void* value, void* dst, size_t count) { Fill<16>(value, dst, count, 65536); }

void ShiftLeftBytesKernel(int32_t shift, uint8_t* vec, size_t count) {
  ShiftRun<uint8_t, ShiftOp::kLeft>(vec, shift, vec, count);
}
void ShiftLeftWordsKernel(int32_t shift, int16_t* vec, size_t count) {
  ShiftRun<int16_t, ShiftOp::kLeft>(vec, shift, vec, count);
}
void ShiftLeftDwordsKernel(int32_t shift, int32_t* vec, size_t count) {
  ShiftRun<int32_t, ShiftOp::kLeft>(vec, shift, vec, count);
}
void ShiftRightLogicalBytesKernel(int32_t shift, uint8_t* vec, size_t count) {
  ShiftRun<uint8_t, ShiftOp::kRightLogical>(vec, shift, vec, count);
}
void ShiftRightLogicalWordsKernel(int32_t shift, uint16_t* vec, size_t count) {
  ShiftRun<uint16_t, ShiftOp::kRightLogical>(vec, shift, vec, count);
}
void ShiftRightWordsKernel(int32_t shift, int16_t* vec, size_t count) {
  ShiftRun<int16_t, ShiftOp::kRightArith>(vec, shift, vec, count);
}
void ShiftRightDwordsKernel(int32_t shift, int32_t* vec, size_t count) {
  ShiftRun<int32_t, ShiftOp::kRightArith>(vec, shift, vec, count);
}
void ShiftLeftBytesCopyKernel(const uint8_t* src, int32_t shift, uint8_t* dst, size_t n) {
  ShiftRun<uint8_t, ShiftOp::kLeft>(src, shift, dst, n);
}
void ShiftLeftWordsCopyKernel(const int16_t* src, int32_t shift, int16_t* dst, size_t n) {
  ShiftRun<int16_t, ShiftOp::kLeft>(src, shift, dst, n);
}
void ShiftLeftDwordsCopyKernel(const int32_t* src, int32_t shift, int32_t* dst, size_t n) {
  ShiftRun<int32_t, ShiftOp::kLeft>(src, shift, dst, n);
}
void ShiftRightLogicalBytesCopyKernel(const uint8_t* src, int32_t shift, uint8_t* dst, size_t n) {
  ShiftRun<uint8_t, ShiftOp::kRightLogical>(src, shift, dst, n);
}
void ShiftRightLogicalWordsCopyKernel(const uint16_t* src, int32_t shift, uint16_t* dst, size_t n) {
  ShiftRun<uint16_t, ShiftOp::kRightLogical>(src, shift, dst, n);
}
void ShiftRightWordsCopyKernel(const int16_t* src, int32_t shift, int16_t* dst, size_t n) {
  ShiftRun<int16_t, ShiftOp::kRightArith>(src, shift, dst, n);
}
void ShiftRightDwordsCopyKernel(const int32_t* src, int32_t shift, int32_t* dst, size_t n) {
  ShiftRun<int32_t, ShiftOp::kRightArith>(src, shift, dst, n);
}

PrimitiveStatus CopyBytes(const uint8_t* src, uint8_t* dst, int32_t count) {
  if (src == nullptr || dst == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  CopyBytesKernel(src, dst, static_cast<size_t>(count));
  return kStsOk;
}

PrimitiveStatus CopyWords(const int16_t* src, int16_t* dst, int32_t count) {
  if (src == nullptr || dst == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  CopyBytesKernel(src, dst, 2 * static_cast<size_t>(count));
  return kStsOk;
}

PrimitiveStatus ZeroBytes(uint8_t* dst, int32_t count) {
  if (dst == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  ZeroFillKernel(dst, static_cast<size_t>(count));
  return kStsOk;
}

PrimitiveStatus ZeroWords(int16_t* dst, int32_t count) {
  if (dst == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  ZeroFillKernel(dst, 2 * static_cast<size_t>(count));
  return kStsOk;
}

PrimitiveStatus ShiftLeftWords(int32_t shift, int16_t* vec, int32_t count) {
  if (shift > 15) return ZeroWords(vec, count);
  if (vec == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  if (shift < 0) return kStsNegativeShift;
  if (shift != 0) ShiftLeftWordsKernel(shift, vec, static_cast<size_t>(count));
  return kStsOk;
}

PrimitiveStatus ShiftRightWords(int32_t shift, int16_t* vec, int32_t count) {
  if (vec == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  if (shift < 0) return kStsNegativeShift;
  if (shift != 0) ShiftRightWordsKernel(shift > 15 ? 15 : shift, vec, static_cast<size_t>(count));
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
