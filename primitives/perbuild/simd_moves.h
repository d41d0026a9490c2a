// Private to the perbuild sources: which instructions this build may use, and 16-byte moves
// expressed once for all builds (float moves in the SSE-only build, integer moves from SSE2).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "primitives/build_gates.h"
#include "primitives/path_counts.h"

// KVZ_BUILD_HAS(SSE): 16-byte loads, stores and streaming stores. KVZ_BUILD_HAS(SSE2): integer
// arithmetic. KVZ_BUILD_HAS(SSSE3): byte shuffles and alignment shifts.
#if KVZ_BUILD_HAS(SSE)
#include <xmmintrin.h>
#endif
#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif
#if KVZ_BUILD_HAS(SSE3)
#include <pmmintrin.h>
#endif
#if KVZ_BUILD_HAS(SSSE3)
#include <tmmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS::simd {

// The SSSE3 build copies large runs differently and streams from larger sizes; the x86 sse
// and sse2 builds follow the SSE3 build.
constexpr bool kSsse3Strategy = KVZ_BUILD_HAS(SSSE3);
// Region primitives stream their output above this many bytes.
constexpr uint64_t kRegionStreamBytes = kSsse3Strategy ? 0x200000u : 0x100000u;

static inline uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

static inline uint64_t Load8(const void* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}
static inline void Store8(void* p, uint64_t v) { memcpy(p, &v, 8); }
static inline uint32_t Load4(const void* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}
static inline void Store4(void* p, uint32_t v) { memcpy(p, &v, 4); }
static inline uint16_t Load2(const void* p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return v;
}
static inline void Store2(void* p, uint16_t v) { memcpy(p, &v, 2); }
// Elements of 16-bit and wider images may lie at any address.
template <typename T>
static inline T Ld(const T* p) {
  T v;
  memcpy(&v, p, sizeof v);
  return v;
}
template <typename T>
static inline void St(T* p, T v) {
  memcpy(p, &v, sizeof v);
}

template <typename T> struct Unsigned;
template <> struct Unsigned<uint8_t> { typedef uint8_t Type; };
template <> struct Unsigned<int8_t> { typedef uint8_t Type; };
template <> struct Unsigned<uint16_t> { typedef uint16_t Type; };
template <> struct Unsigned<int16_t> { typedef uint16_t Type; };
template <> struct Unsigned<uint32_t> { typedef uint32_t Type; };
template <> struct Unsigned<int32_t> { typedef uint32_t Type; };

#if KVZ_BUILD_HAS(SSE2)
typedef __m128i V;
static inline V LoadU(const void* p) {
#if KVZ_BUILD_HAS(SSE3)
  return _mm_lddqu_si128(static_cast<const __m128i*>(p));
#else
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
#endif
}
static inline V LoadA(const void* p) { return _mm_load_si128(static_cast<const __m128i*>(p)); }
static inline void StoreA(void* p, V v) { _mm_store_si128(static_cast<__m128i*>(p), v); }
static inline void StoreU(void* p, V v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
static inline void Stream(void* p, V v) { _mm_stream_si128(static_cast<__m128i*>(p), v); }
static inline V Zero() { return _mm_setzero_si128(); }
// Two 8-byte loads joined: the load of a source on an 8-byte boundary.
static inline V LoadHalves(const void* p) {
  const __m128i lo = _mm_loadl_epi64(static_cast<const __m128i*>(p));
  const __m128i hi = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(static_cast<const uint8_t*>(p) + 8));
  return _mm_unpacklo_epi64(lo, hi);
}
static inline void Stream8(void* p, uint64_t v) {
#if defined(__x86_64__)
  _mm_stream_si64(static_cast<long long*>(p), static_cast<long long>(v));
#else
  _mm_stream_si32(static_cast<int*>(p), static_cast<int>(static_cast<uint32_t>(v)));
  _mm_stream_si32(static_cast<int*>(p) + 1, static_cast<int>(static_cast<uint32_t>(v >> 32)));
#endif
}
static inline void Stream4(void* p, uint32_t v) { _mm_stream_si32(static_cast<int*>(p), static_cast<int>(v)); }
#elif KVZ_BUILD_HAS(SSE)
typedef __m128 V;
static inline V LoadU(const void* p) { return _mm_loadu_ps(static_cast<const float*>(p)); }
static inline V LoadA(const void* p) { return _mm_load_ps(static_cast<const float*>(p)); }
static inline void StoreA(void* p, V v) { _mm_store_ps(static_cast<float*>(p), v); }
static inline void StoreU(void* p, V v) { _mm_storeu_ps(static_cast<float*>(p), v); }
static inline void Stream(void* p, V v) { _mm_stream_ps(static_cast<float*>(p), v); }
static inline V Zero() { return _mm_setzero_ps(); }
static inline V LoadHalves(const void* p) { return LoadU(p); }
#endif

#if KVZ_BUILD_HAS(SSE)
static inline void Fence() { _mm_sfence(); }
#endif

#if KVZ_BUILD_HAS(SSE2)
// Three interleaved channels held in a, b, c (48 bytes, or 24 16-bit samples) become one
// vector per channel. Each round pairs the low half of one vector with the high half of the
// next; log2(samples per vector) rounds sort every sample into its channel.
template <int kSampleBits>
static inline void Deinterleave3Round(V& a, V& b, V& c) {
  const V ah = _mm_unpackhi_epi64(a, a), bh = _mm_unpackhi_epi64(b, b), ch = _mm_unpackhi_epi64(c, c);
  if (kSampleBits == 8) {
    const V x = _mm_unpacklo_epi8(a, bh), y = _mm_unpacklo_epi8(ah, c), z = _mm_unpacklo_epi8(b, ch);
    a = x, b = y, c = z;
  } else {
    const V x = _mm_unpacklo_epi16(a, bh), y = _mm_unpacklo_epi16(ah, c), z = _mm_unpacklo_epi16(b, ch);
    a = x, b = y, c = z;
  }
}

// Bytes: 16 pixels of three channels.
static inline void Deinterleave3x8(V& a, V& b, V& c) {
#if KVZ_BUILD_HAS(SSSE3)
  const V a0 = _mm_shuffle_epi8(a, _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const V a1 = _mm_shuffle_epi8(a, _mm_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const V a2 = _mm_shuffle_epi8(a, _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const V b0 = _mm_shuffle_epi8(b, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1));
  const V b1 = _mm_shuffle_epi8(b, _mm_setr_epi8(-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1));
  const V b2 = _mm_shuffle_epi8(b, _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1));
  const V c0 = _mm_shuffle_epi8(c, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13));
  const V c1 = _mm_shuffle_epi8(c, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14));
  const V c2 = _mm_shuffle_epi8(c, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15));
  a = _mm_or_si128(_mm_or_si128(a0, b0), c0);
  b = _mm_or_si128(_mm_or_si128(a1, b1), c1);
  c = _mm_or_si128(_mm_or_si128(a2, b2), c2);
#else
  for (int r = 0; r < 4; ++r) Deinterleave3Round<8>(a, b, c);
#endif
}

// The inverse: one vector of 16 bytes per channel into 48 interleaved bytes.
static inline void Interleave3x8(V& a, V& b, V& c) {
#if KVZ_BUILD_HAS(SSSE3)
  const V x = a, y = b, z = c;
  a = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(x, _mm_setr_epi8(0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5)),
                                _mm_shuffle_epi8(y, _mm_setr_epi8(-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1))),
                   _mm_shuffle_epi8(z, _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1)));
  b = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(x, _mm_setr_epi8(-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1)),
                                _mm_shuffle_epi8(y, _mm_setr_epi8(5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10))),
                   _mm_shuffle_epi8(z, _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1)));
  c = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(x, _mm_setr_epi8(-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1)),
                                _mm_shuffle_epi8(y, _mm_setr_epi8(-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1))),
                   _mm_shuffle_epi8(z, _mm_setr_epi8(10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15)));
#else
  // Each round undoes one de-interleaving round: even bytes of its outputs rebuild the low
  // halves, odd bytes the high halves.
  const V even = _mm_set1_epi16(0xFF);
  for (int r = 0; r < 4; ++r) {
    const V x = a, y = b, z = c;
    a = _mm_packus_epi16(_mm_and_si128(x, even), _mm_and_si128(y, even));
    b = _mm_packus_epi16(_mm_and_si128(z, even), _mm_srli_epi16(x, 8));
    c = _mm_packus_epi16(_mm_srli_epi16(y, 8), _mm_srli_epi16(z, 8));
  }
#endif
}

// 16-bit samples: eight pixels of three channels.
static inline void Deinterleave3x16(V& a, V& b, V& c) {
#if KVZ_BUILD_HAS(SSSE3)
  const V a0 = _mm_shuffle_epi8(a, _mm_setr_epi8(0, 1, 6, 7, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const V a1 = _mm_shuffle_epi8(a, _mm_setr_epi8(2, 3, 8, 9, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const V a2 = _mm_shuffle_epi8(a, _mm_setr_epi8(4, 5, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  const V b0 = _mm_shuffle_epi8(b, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 3, 8, 9, 14, 15, -1, -1, -1, -1));
  const V b1 = _mm_shuffle_epi8(b, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 4, 5, 10, 11, -1, -1, -1, -1, -1, -1));
  const V b2 = _mm_shuffle_epi8(b, _mm_setr_epi8(-1, -1, -1, -1, 0, 1, 6, 7, 12, 13, -1, -1, -1, -1, -1, -1));
  const V c0 = _mm_shuffle_epi8(c, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 4, 5, 10, 11));
  const V c1 = _mm_shuffle_epi8(c, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 1, 6, 7, 12, 13));
  const V c2 = _mm_shuffle_epi8(c, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 8, 9, 14, 15));
  a = _mm_or_si128(_mm_or_si128(a0, b0), c0);
  b = _mm_or_si128(_mm_or_si128(a1, b1), c1);
  c = _mm_or_si128(_mm_or_si128(a2, b2), c2);
#else
  for (int r = 0; r < 3; ++r) Deinterleave3Round<16>(a, b, c);
#endif
}

// The same from memory: 48 bytes at p. Without byte shuffles the first round reads its
// halves straight from memory.
static inline V LoadLow(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }
template <int kSampleBits>
static inline void LoadDeinterleave3(const void* p, V& a, V& b, V& c) {
#if KVZ_BUILD_HAS(SSSE3)
  const uint8_t* q = static_cast<const uint8_t*>(p);
  a = LoadU(q), b = LoadU(q + 16), c = LoadU(q + 32);
  if (kSampleBits == 8) Deinterleave3x8(a, b, c);
  else Deinterleave3x16(a, b, c);
#else
  const uint8_t* q = static_cast<const uint8_t*>(p);
  if (kSampleBits == 8) {
    a = _mm_unpacklo_epi8(LoadLow(q), LoadLow(q + 24));
    b = _mm_unpacklo_epi8(LoadLow(q + 8), LoadLow(q + 32));
    c = _mm_unpacklo_epi8(LoadLow(q + 16), LoadLow(q + 40));
    for (int r = 1; r < 4; ++r) Deinterleave3Round<8>(a, b, c);
  } else {
    a = _mm_unpacklo_epi16(LoadLow(q), LoadLow(q + 24));
    b = _mm_unpacklo_epi16(LoadLow(q + 8), LoadLow(q + 32));
    c = _mm_unpacklo_epi16(LoadLow(q + 16), LoadLow(q + 40));
    for (int r = 1; r < 3; ++r) Deinterleave3Round<16>(a, b, c);
  }
#endif
}

// 16-bit samples: eight pixels of four channels (a 4 x 8 transpose).
static inline void Deinterleave4x16(V& a, V& b, V& c, V& d) {
  const V t0 = _mm_unpacklo_epi16(a, b), t1 = _mm_unpackhi_epi16(a, b);
  const V t2 = _mm_unpacklo_epi16(c, d), t3 = _mm_unpackhi_epi16(c, d);
  const V u0 = _mm_unpacklo_epi16(t0, t1), u1 = _mm_unpackhi_epi16(t0, t1);
  const V u2 = _mm_unpacklo_epi16(t2, t3), u3 = _mm_unpackhi_epi16(t2, t3);
  a = _mm_unpacklo_epi64(u0, u2);
  b = _mm_unpackhi_epi64(u0, u2);
  c = _mm_unpacklo_epi64(u1, u3);
  d = _mm_unpackhi_epi64(u1, u3);
}

// Bytes: 16 pixels of four channels. Each round interleaves the first two vectors with the
// last two; four rounds sort every byte into its channel.
static inline void Deinterleave4x8(V& a, V& b, V& c, V& d) {
  for (int r = 0; r < 4; ++r) {
    const V x0 = _mm_unpacklo_epi8(a, c), x1 = _mm_unpackhi_epi8(a, c);
    const V x2 = _mm_unpacklo_epi8(b, d), x3 = _mm_unpackhi_epi8(b, d);
    a = x0, b = x1, c = x2, d = x3;
  }
}
#endif

// Reads one byte of every `stride` bytes so that streaming stores do not wait on the reads.
static inline void TouchForward(const uint8_t* p, size_t n, size_t stride) {
  uint32_t acc = 0;
  for (size_t i = 0; i < n; i += stride) acc += *static_cast<const volatile uint8_t*>(p + i);
  __asm__ volatile("" : : "r"(acc));
}
static inline void TouchBackward(const uint8_t* p, size_t n, size_t stride) {
  uint32_t acc = 0;
  for (size_t i = n; i > 0;) {
    i = i > stride ? i - stride : 0;
    acc += *static_cast<const volatile uint8_t*>(p + i);
  }
  __asm__ volatile("" : : "r"(acc));
}

#if KVZ_BUILD_HAS(SSE)
// One 64-byte block: four 16-byte loads, then four 16-byte stores in address order. The load
// and the store (aligned, unaligned or streaming) are chosen at compile time.
template <V (*kLoad)(const void*), void (*kStore)(void*, V)>
static inline void Move64(const uint8_t* s, uint8_t* d) {
  const V a = kLoad(s), b = kLoad(s + 16), c = kLoad(s + 32), e = kLoad(s + 48);
  kStore(d, a);
  kStore(d + 16, b);
  kStore(d + 32, c);
  kStore(d + 48, e);
}

// One unaligned 16-byte copy, then both pointers moved on to the destination's next 16-byte
// boundary (n at least 16; d not on a boundary).
static inline void AlignDestination(const uint8_t*& s, uint8_t*& d, size_t& n) {
  StoreU(d, LoadU(s));
  const size_t adv = 16 - (Addr(d) & 15);
  s += adv;
  d += adv;
  n -= adv;
}

// The same block with both pointers aligned, read and written from its end down.
static inline void Move64Backward(const uint8_t* s, uint8_t* d) {
  const V a = LoadA(s + 48), b = LoadA(s + 32), c = LoadA(s + 16), e = LoadA(s);
  StoreA(d + 48, a);
  StoreA(d + 32, b);
  StoreA(d + 16, c);
  StoreA(d, e);
}
#endif

#if KVZ_BUILD_HAS(SSSE3)
// Source kO bytes past a 16-byte boundary, destination aligned: aligned loads recombined into
// aligned stores; returns bytes done (0 below 96). The loop leaves at least 80 bytes for the
// last block, so the loads never pass the end of the source.
template <int kO>
static inline size_t RealignedForward(const uint8_t* s, uint8_t* d, size_t n) {
  if (n < 96) return 0;
  const uint8_t* base = s - kO + 16;
  StoreA(d, LoadU(s));
  V prev = LoadA(base);
  size_t i = 16;
  for (; i + 80 <= n; i += 64) {
    const V a = LoadA(base + i), b = LoadA(base + i + 16), c = LoadA(base + i + 32), e = LoadA(base + i + 48);
    StoreA(d + i, _mm_alignr_epi8(a, prev, kO));
    StoreA(d + i + 16, _mm_alignr_epi8(b, a, kO));
    StoreA(d + i + 32, _mm_alignr_epi8(c, b, kO));
    StoreA(d + i + 48, _mm_alignr_epi8(e, c, kO));
    prev = e;
  }
  return i;
}
#endif

}  // namespace kvz::prim::KVZ_BUILD_NS::simd
