#include "primitives/complex_multiply.h"

#include "primitives/path_counts.h"

#if KVZ_BUILD_HAS(SSE3)
#include <pmmintrin.h>
#elif KVZ_BUILD_HAS(SSE)
#include <xmmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

void MultiplyOne(const Complex32f& a, const Complex32f& b, Complex32f* out) {
  // Named temporaries keep each product at single precision on x87 builds too.
  const float rr = a.re * b.re;
  const float ii = a.im * b.im;
  const float ir = a.im * b.re;
  const float ri = a.re * b.im;
  const float re = rr - ii;
  const float im = ir + ri;
  out->re = re;
  out->im = im;
}

#if KVZ_BUILD_HAS(SSE)
// Two complex products: a by b's real parts, a with real and imaginary swapped by b's
// imaginary parts, then subtract in the real lanes and add in the imaginary lanes.
inline __m128 MultiplyTwo(__m128 a, __m128 b) {
#if KVZ_BUILD_HAS(SSE3)
  const __m128 t1 = _mm_mul_ps(a, _mm_moveldup_ps(b));
  const __m128 t2 = _mm_mul_ps(_mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1)), _mm_movehdup_ps(b));
  return _mm_addsub_ps(t1, t2);
#else
  const __m128 t1 = _mm_mul_ps(a, _mm_shuffle_ps(b, b, _MM_SHUFFLE(2, 2, 0, 0)));
  const __m128 t2 = _mm_mul_ps(_mm_shuffle_ps(a, a, _MM_SHUFFLE(2, 3, 0, 1)),
                               _mm_shuffle_ps(b, b, _MM_SHUFFLE(3, 3, 1, 1)));
  // Negating the real lanes of t2 and adding is exactly the subtraction.
  const __m128 realSign = _mm_set_ps(0.0f, -0.0f, 0.0f, -0.0f);
  return _mm_add_ps(t1, _mm_xor_ps(t2, realSign));
#endif
}

enum class Store { kUnaligned, kAligned, kStreaming };

template <Store kStore>
inline void MultiplyGroups(const Complex32f* a, const Complex32f* b, Complex32f* dst, int32_t groups) {
  for (int32_t g = 0; g < groups; ++g, a += 4, b += 4, dst += 4) {
    const float* fa = reinterpret_cast<const float*>(a);
    const float* fb = reinterpret_cast<const float*>(b);
    float* fd = reinterpret_cast<float*>(dst);
    const __m128 lo = MultiplyTwo(_mm_loadu_ps(fa), _mm_loadu_ps(fb));
    const __m128 hi = MultiplyTwo(_mm_loadu_ps(fa + 4), _mm_loadu_ps(fb + 4));
    if (kStore == Store::kStreaming) {
      _mm_stream_ps(fd, lo);
      _mm_stream_ps(fd + 4, hi);
    } else if (kStore == Store::kAligned) {
      _mm_store_ps(fd, lo);
      _mm_store_ps(fd + 4, hi);
    } else {
      _mm_storeu_ps(fd, lo);
      _mm_storeu_ps(fd + 4, hi);
    }
  }
}

bool Aligned16(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 15) == 0; }

// Above this many groups of four the SSE3 build's out-of-place product bypasses the cache.
constexpr int32_t kStreamingGroups = 0x2AAA;
#endif

// dst may be b (the in-place form passes the accumulating vector as b).
void MultiplyVectors(const Complex32f* a, const Complex32f* b, Complex32f* dst, int32_t count,
                     bool mayStream) {
  int32_t i = 0;
#if KVZ_BUILD_HAS(SSE)
  if (count >= 5) {
    KVZ_COUNT_PATH(a == dst || b == dst ? kPathComplexMultiplyInPlace : kPathComplexMultiply);
    const uintptr_t address = reinterpret_cast<uintptr_t>(dst);
    int32_t groups;
    if ((address & 7) != 0) {
      groups = count / 4;
      MultiplyGroups<Store::kUnaligned>(a, b, dst, groups);
    } else {
      if ((address & 15) != 0) {
        MultiplyOne(a[0], b[0], &dst[0]);
        i = 1;
      }
      groups = (count - i) / 4;
      const bool stream = KVZ_BUILD_ISA == KVZ_ISA_SSE3 && mayStream && groups > kStreamingGroups &&
                          Aligned16(a + i) && Aligned16(b + i);
      if (stream) {
        KVZ_COUNT_PATH(kPathComplexMultiplyStreaming);
        MultiplyGroups<Store::kStreaming>(a + i, b + i, dst + i, groups);
        _mm_sfence();
      } else {
        MultiplyGroups<Store::kAligned>(a + i, b + i, dst + i, groups);
      }
    }
    i += groups * 4;
  }
#else
  (void)mayStream;
#endif
  for (; i < count; ++i) MultiplyOne(a[i], b[i], &dst[i]);
}

}  // namespace

void MultiplyComplexInPlace(const Complex32f* src, Complex32f* srcDst, int32_t count) {
  MultiplyVectors(srcDst, src, srcDst, count, false);
}

void MultiplyComplex(const Complex32f* a, const Complex32f* b, Complex32f* dst, int32_t count) {
  MultiplyVectors(a, b, dst, count, true);
}

}  // namespace kvz::prim::KVZ_BUILD_NS
