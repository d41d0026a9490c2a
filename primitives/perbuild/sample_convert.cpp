#include "primitives/sample_convert.h"

#include "primitives/perbuild/simd_moves.h"

namespace kvz::prim::KVZ_BUILD_NS {

namespace {
using namespace simd;

template <typename T> struct Limits;
template <> struct Limits<uint8_t> { static constexpr int32_t kMin = 0, kMax = 255; };
template <> struct Limits<int8_t> { static constexpr int32_t kMin = -128, kMax = 127; };
template <> struct Limits<uint16_t> { static constexpr int32_t kMin = 0, kMax = 65535; };
template <> struct Limits<int16_t> { static constexpr int32_t kMin = -32768, kMax = 32767; };

template <typename T> constexpr bool kIsFloat = false;
template <> constexpr bool kIsFloat<float> = true;

// Rounds an integral-range value (|v| < 2^22) in the current rounding mode: adding 1.5 * 2^23
// leaves no fraction bits. The volatile store rounds x87 intermediates to single precision.
inline int32_t RoundCurrent(float v) {
  volatile float t = v + 12582912.0f;
  return static_cast<int32_t>(t - 12582912.0f);
}

template <typename S, typename D>
inline D ConvertOne(S v) {
  if constexpr (kIsFloat<D>) {
    return static_cast<float>(v);
  } else if constexpr (kIsFloat<S>) {
    float f = v < static_cast<float>(Limits<D>::kMax) ? v : static_cast<float>(Limits<D>::kMax);
    f = f > static_cast<float>(Limits<D>::kMin) ? f : static_cast<float>(Limits<D>::kMin);
    return static_cast<D>(RoundCurrent(f));
  } else if constexpr (sizeof(D) == 4) {
    return static_cast<D>(v);
  } else {
    int32_t x = static_cast<int32_t>(v);
    x = x < Limits<D>::kMax ? x : Limits<D>::kMax;
    x = x > Limits<D>::kMin ? x : Limits<D>::kMin;
    return static_cast<D>(x);
  }
}

#if KVZ_BUILD_HAS(SSE2)
// Four samples widened to 32-bit lanes; reads exactly four samples.
template <typename S>
inline __m128i LoadLanes(const S* s) {
  const __m128i z = _mm_setzero_si128();
  if constexpr (sizeof(S) == 1) {
    const __m128i x = _mm_cvtsi32_si128(static_cast<int>(Load4(s)));
    if constexpr (static_cast<S>(-1) < 0) {
      const __m128i w = _mm_unpacklo_epi8(x, x);
      return _mm_srai_epi32(_mm_unpacklo_epi16(w, w), 24);
    } else {
      return _mm_unpacklo_epi16(_mm_unpacklo_epi8(x, z), z);
    }
  } else if constexpr (sizeof(S) == 2) {
    const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s));
    if constexpr (static_cast<S>(-1) < 0) {
      return _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
    } else {
      return _mm_unpacklo_epi16(x, z);
    }
  } else {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  }
}

inline __m128i Clamp32(__m128i v, int32_t lo, int32_t hi) {
  const __m128i l = _mm_set1_epi32(lo), h = _mm_set1_epi32(hi);
  __m128i m = _mm_cmpgt_epi32(v, h);
  v = _mm_or_si128(_mm_and_si128(m, h), _mm_andnot_si128(m, v));
  m = _mm_cmpgt_epi32(l, v);
  return _mm_or_si128(_mm_and_si128(m, l), _mm_andnot_si128(m, v));
}

// 32-bit lanes already inside D's range packed into the low 4 * sizeof(D) bytes.
template <typename D>
inline __m128i PackLanes(__m128i v) {
  if constexpr (sizeof(D) == 1) {
    const __m128i w = _mm_packs_epi32(v, v);
    if constexpr (static_cast<D>(-1) < 0) return _mm_packs_epi16(w, w);
    else return _mm_packus_epi16(w, w);
  } else if constexpr (sizeof(D) == 2) {
    if constexpr (static_cast<D>(-1) < 0) {
      return _mm_packs_epi32(v, v);
    } else {
      const __m128i bias = _mm_set1_epi32(32768);
      const __m128i w = _mm_packs_epi32(_mm_sub_epi32(v, bias), _mm_sub_epi32(v, bias));
      return _mm_xor_si128(w, _mm_set1_epi16(static_cast<short>(0x8000)));
    }
  } else {
    return v;
  }
}

// Four results as the destination's bytes (low 4 * sizeof(D) bytes of the vector).
template <typename S, typename D, bool kAc4>
inline __m128i ConvertFour(const S* s) {
  if constexpr (kIsFloat<S>) {
    __m128 f = _mm_loadu_ps(s);
    if (kAc4) f = _mm_and_ps(f, _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0)));
    f = _mm_min_ps(f, _mm_set1_ps(static_cast<float>(Limits<D>::kMax)));
    f = _mm_max_ps(f, _mm_set1_ps(static_cast<float>(Limits<D>::kMin)));
    return PackLanes<D>(_mm_cvtps_epi32(f));
  } else {
    const __m128i v = LoadLanes<S>(s);
    if constexpr (kIsFloat<D>) {
      return _mm_castps_si128(_mm_cvtepi32_ps(v));
    } else if constexpr (sizeof(D) == 4) {
      return v;
    } else {
      return PackLanes<D>(Clamp32(v, Limits<D>::kMin, Limits<D>::kMax));
    }
  }
}

template <size_t kBytes>
inline __m128i LoadBytes(const void* p) {
  if constexpr (kBytes == 4) return _mm_cvtsi32_si128(static_cast<int>(Load4(p)));
  else if constexpr (kBytes == 8) return _mm_loadl_epi64(static_cast<const __m128i*>(p));
  else return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
template <size_t kBytes>
inline void StoreBytes(void* p, __m128i v) {
  if constexpr (kBytes == 4) Store4(p, static_cast<uint32_t>(_mm_cvtsi128_si32(v)));
  else if constexpr (kBytes == 8) _mm_storel_epi64(static_cast<__m128i*>(p), v);
  else _mm_storeu_si128(static_cast<__m128i*>(p), v);
}
#endif

template <typename S, typename D>
void ConvertRow(const S* s, D* d, size_t n, uint32_t stream) {
  size_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  constexpr size_t kOut = 4 * sizeof(D);
  bool streamed = false;
  if (stream != 0 && kOut == 16) {
    for (; i < n && (Addr(d + i) & 15) != 0; ++i) St(d + i, ConvertOne<S, D>(Ld(s + i)));
    streamed = (Addr(d + i) & 15) == 0;
  }
  if (i + 4 <= n) KVZ_COUNT_PATH(streamed ? kPathStream : kPathConvertFamily);
  if (streamed) {
    for (; i + 4 <= n; i += 4) Stream(d + i, ConvertFour<S, D, false>(s + i));
    Fence();
  } else {
    for (; i + 4 <= n; i += 4) StoreBytes<kOut>(d + i, ConvertFour<S, D, false>(s + i));
  }
#else
  (void)stream;
#endif
  for (; i < n; ++i) St(d + i, ConvertOne<S, D>(Ld(s + i)));
}

template <typename S, typename D>
void ConvertRowAc4(const S* s, D* d, size_t n) {
  size_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  constexpr size_t kOut = 4 * sizeof(D);
  // Bytes of the fourth sample of each pixel come back from the destination as read.
  alignas(16) uint8_t keep[16] = {};
  for (size_t b = 3 * sizeof(D); b < kOut; ++b) keep[b] = 0xFF;
  const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i*>(keep));
  if (n >= 4) KVZ_COUNT_PATH(kPathConvertFamily);
  for (; i + 4 <= n; i += 4) {
    const __m128i r = ConvertFour<S, D, true>(s + i);
    const __m128i old = LoadBytes<kOut>(d + i);
    StoreBytes<kOut>(d + i, _mm_or_si128(_mm_andnot_si128(m, r), _mm_and_si128(m, old)));
  }
#endif
  for (; i + 4 <= n; i += 4) {
    St(d + i, ConvertOne<S, D>(Ld(s + i)));
    St(d + i + 1, ConvertOne<S, D>(Ld(s + i + 1)));
    St(d + i + 2, ConvertOne<S, D>(Ld(s + i + 2)));
  }
}

#if KVZ_BUILD_HAS(SSE2)
// 32 bytes widened to 32 words at an aligned destination, with the store chosen at compile time.
template <void (*kStore)(void*, V)>
inline void Widen32(const uint8_t* s, int16_t* d, V z) {
  const V a = LoadU(s), b = LoadU(s + 16);
  kStore(d, _mm_unpacklo_epi8(a, z));
  kStore(d + 8, _mm_unpackhi_epi8(a, z));
  kStore(d + 16, _mm_unpacklo_epi8(b, z));
  kStore(d + 24, _mm_unpackhi_epi8(b, z));
}
#endif

}  // namespace

void ConvertBytesToWordsKernel(const uint8_t* src, int16_t* dst, size_t count, uint32_t stream) {
  size_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  for (; i < count && (Addr(dst + i) & 15) != 0; ++i) St(dst + i, static_cast<int16_t>(src[i]));
  if (i + 16 <= count) KVZ_COUNT_PATH(stream != 0 ? kPathStream : kPathBytesToWords);
  const V z = Zero();
  if (stream != 0) {
    for (; i + 32 <= count; i += 32) Widen32<Stream>(src + i, dst + i, z);
    Fence();
  } else {
    for (; i + 32 <= count; i += 32) Widen32<StoreA>(src + i, dst + i, z);
  }
  if (i + 16 <= count && (Addr(dst + i) & 15) == 0) {
    const V a = LoadU(src + i);
    StoreA(dst + i, _mm_unpacklo_epi8(a, z));
    StoreA(dst + i + 8, _mm_unpackhi_epi8(a, z));
    i += 16;
  }
#else
  (void)stream;
#endif
  for (; i < count; ++i) St(dst + i, static_cast<int16_t>(src[i]));
}

void ConvertWordsToBytesKernel(const int16_t* src, uint8_t* dst, size_t count) {
  size_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  for (; i < count && (Addr(src + i) & 15) != 0; ++i) dst[i] = ConvertOne<int16_t, uint8_t>(Ld(src + i));
  if (i + 16 <= count) KVZ_COUNT_PATH(kPathWordsToBytes);
  if ((Addr(src + i) & 15) == 0) {
    for (; i + 32 <= count; i += 32) {
      StoreU(dst + i, _mm_packus_epi16(LoadA(src + i), LoadA(src + i + 8)));
      StoreU(dst + i + 16, _mm_packus_epi16(LoadA(src + i + 16), LoadA(src + i + 24)));
    }
    if (i + 16 <= count) {
      StoreU(dst + i, _mm_packus_epi16(LoadA(src + i), LoadA(src + i + 8)));
      i += 16;
    }
  }
#endif
  for (; i < count; ++i) dst[i] = ConvertOne<int16_t, uint8_t>(Ld(src + i));
}

#define KVZ_C1(name, S, D) \
  void name(const S* src, D* dst, size_t count) { ConvertRow<S, D>(src, dst, count, 0); }
#define KVZ_C1_STREAM(name, S, D) \
  void name(const S* src, D* dst, size_t count, uint32_t stream) { ConvertRow<S, D>(src, dst, count, stream); }
#define KVZ_AC4(name, S, D) \
  void name(const S* src, D* dst, size_t count) { ConvertRowAc4<S, D>(src, dst, count); }

KVZ_C1(Convert16uTo8uKernel, uint16_t, uint8_t)
KVZ_C1(Convert32sTo8sKernel, int32_t, int8_t)
KVZ_AC4(Convert32sTo8sAc4Kernel, int32_t, int8_t)
KVZ_C1(Convert32sTo8uKernel, int32_t, uint8_t)
KVZ_AC4(Convert32sTo8uAc4Kernel, int32_t, uint8_t)
KVZ_C1_STREAM(Convert8sTo32sKernel, int8_t, int32_t)
KVZ_AC4(Convert8sTo32sAc4Kernel, int8_t, int32_t)
KVZ_C1_STREAM(Convert8uTo32sKernel, uint8_t, int32_t)
KVZ_AC4(Convert8uTo32sAc4Kernel, uint8_t, int32_t)
KVZ_C1(Convert32fTo16uKernel, float, uint16_t)
KVZ_AC4(Convert32fTo16uAc4Kernel, float, uint16_t)
KVZ_C1(Convert32fTo16sKernel, float, int16_t)
KVZ_AC4(Convert32fTo16sAc4Kernel, float, int16_t)
KVZ_C1(Convert32fTo8uKernel, float, uint8_t)
KVZ_AC4(Convert32fTo8uAc4Kernel, float, uint8_t)
KVZ_C1(Convert32fTo8sKernel, float, int8_t)
KVZ_AC4(Convert32fTo8sAc4Kernel, float, int8_t)
KVZ_C1_STREAM(Convert16uTo32fKernel, uint16_t, float)
KVZ_AC4(Convert16uTo32fAc4Kernel, uint16_t, float)
KVZ_C1_STREAM(Convert16sTo32fKernel, int16_t, float)
KVZ_AC4(Convert16sTo32fAc4Kernel, int16_t, float)
KVZ_C1_STREAM(Convert8uTo32fKernel, uint8_t, float)
KVZ_AC4(Convert8uTo32fAc4Kernel, uint8_t, float)
KVZ_C1_STREAM(Convert8sTo32fKernel, int8_t, float)
KVZ_AC4(Convert8sTo32fAc4Kernel, int8_t, float)

}  // namespace kvz::prim::KVZ_BUILD_NS
