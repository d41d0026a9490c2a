// Lossless prediction, one copy per processor build. The vector builds vectorise what does not
// depend on the sample being written (decoder predictors 2 and 3, every encoder predictor) and
// turn the decoder's first row and predictor 1 into running sums; predictors 4 to 7 of the
// decoder feed each output into the next prediction and stay sample by sample. Rows that
// overlap in memory take the sample loop as well. The x86 SSE build has no integer vectors and
// runs the portable loops by design.
#include <stddef.h>

#include "primitives/jpeg/lossless_predict.h"

#if KVZ_BUILD_HAS(SSE2)
#include <emmintrin.h>
#endif

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

inline uint16_t Seed(int32_t precision, int32_t pointTransform) {
  return static_cast<uint16_t>(1u << ((precision - pointTransform - 1) & 31));
}

// Halved terms read both operands as signed 16-bit values.
inline int32_t S16(uint32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

inline uint16_t Predict(int predictor, uint32_t ra, uint32_t rb, uint32_t rc) {
  switch (predictor) {
    case 1: return static_cast<uint16_t>(ra);
    case 2: return static_cast<uint16_t>(rb);
    case 3: return static_cast<uint16_t>(rc);
    case 4: return static_cast<uint16_t>(ra + rb - rc);
    case 5: return static_cast<uint16_t>(ra + static_cast<uint32_t>((S16(rb) - S16(rc)) >> 1));
    case 6: return static_cast<uint16_t>(rb + static_cast<uint32_t>((S16(ra) - S16(rc)) >> 1));
    default: return static_cast<uint16_t>((S16(ra) + S16(rb)) >> 1);
  }
}

PrimitiveStatus CheckFirstRow(const void* a, const void* b, int32_t count, int32_t precision,
                              int32_t pointTransform) {
  if (a == nullptr || b == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  if (precision < 2 || precision > 16 || pointTransform < 0) return kStsOutOfRange;
  return kStsOk;
}

PrimitiveStatus CheckRow(const void* a, const void* b, const void* c, int32_t count,
                         int32_t predictor) {
  if (a == nullptr || b == nullptr || c == nullptr) return kStsNullPointer;
  if (count <= 0) return kStsSizeError;
  if (predictor < 1 || predictor > 7) return kStsOutOfRange;
  return kStsOk;
}

[[maybe_unused]] inline bool Overlap(const void* a, const void* b, int32_t count) {
  const uintptr_t pa = reinterpret_cast<uintptr_t>(a), pb = reinterpret_cast<uintptr_t>(b);
  const uintptr_t bytes = 2u * static_cast<uint32_t>(count);
  return pa < pb + bytes && pb < pa + bytes;
}

#if KVZ_BUILD_HAS(SSE2)

inline __m128i Ld(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void St(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// out[i] = carry + d[0] + ... + d[i] for 8 lanes; carry becomes out[7] in every lane.
inline __m128i RunningSum(__m128i d, __m128i* carry) {
  d = _mm_add_epi16(d, _mm_slli_si128(d, 2));
  d = _mm_add_epi16(d, _mm_slli_si128(d, 4));
  d = _mm_add_epi16(d, _mm_slli_si128(d, 8));
  d = _mm_add_epi16(d, *carry);
  const __m128i last = _mm_shufflehi_epi16(d, 0xFF);
  *carry = _mm_unpackhi_epi64(last, last);
  return d;
}

// out[i] = start + diff[0] + ... + diff[i]; returns how many samples it wrote.
int32_t RunningSumRow(const int16_t* diff, uint16_t* out, int32_t count, uint16_t start) {
  __m128i carry = _mm_set1_epi16(static_cast<int16_t>(start));
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) St(out + i, RunningSum(Ld(diff + i), &carry));
  return i;
}

// (a >> 1) - (b >> 1) - (b & ~a & 1) is floor((a - b) / 2) without leaving 16 bits.
inline __m128i HalfDiff(__m128i a, __m128i b) {
  const __m128i borrow = _mm_and_si128(_mm_andnot_si128(a, b), _mm_set1_epi16(1));
  return _mm_sub_epi16(_mm_sub_epi16(_mm_srai_epi16(a, 1), _mm_srai_epi16(b, 1)), borrow);
}
inline __m128i HalfSum(__m128i a, __m128i b) {
  const __m128i carry = _mm_and_si128(_mm_and_si128(a, b), _mm_set1_epi16(1));
  return _mm_add_epi16(_mm_add_epi16(_mm_srai_epi16(a, 1), _mm_srai_epi16(b, 1)), carry);
}

inline __m128i PredictVector(int predictor, __m128i ra, __m128i rb, __m128i rc) {
  switch (predictor) {
    case 1: return ra;
    case 2: return rb;
    case 3: return rc;
    case 4: return _mm_sub_epi16(_mm_add_epi16(ra, rb), rc);
    case 5: return _mm_add_epi16(ra, HalfDiff(rb, rc));
    case 6: return _mm_add_epi16(rb, HalfDiff(ra, rc));
    default: return HalfSum(ra, rb);
  }
}

#endif

}  // namespace

PrimitiveStatus ReconstructPredFirstRow(const int16_t* differences, uint16_t* out, int32_t count,
                                        int32_t precision, int32_t pointTransform) {
  const PrimitiveStatus st = CheckFirstRow(differences, out, count, precision, pointTransform);
  if (st != kStsOk) return st;
  uint32_t prev = Seed(precision, pointTransform);
  int32_t i = 0;
#if KVZ_BUILD_HAS(SSE2)
  if (out == reinterpret_cast<const uint16_t*>(differences) || !Overlap(differences, out, count)) {
    i = RunningSumRow(differences, out, count, static_cast<uint16_t>(prev));
    if (i > 0) prev = out[i - 1];
  }
#endif
  for (; i < count; ++i) {
    prev = static_cast<uint16_t>(prev + static_cast<uint32_t>(differences[i]));
    out[i] = static_cast<uint16_t>(prev);
  }
  return kStsOk;
}

PrimitiveStatus ReconstructPredRow(const int16_t* differences, const uint16_t* previous,
                                   uint16_t* out, int32_t count, int32_t predictor) {
  const PrimitiveStatus st = CheckRow(differences, previous, out, count, predictor);
  if (st != kStsOk) return st;
  out[0] = static_cast<uint16_t>(differences[0] + previous[0]);
  int32_t i = 1;
#if KVZ_BUILD_HAS(SSE2)
  const bool separate = !Overlap(out, previous, count) &&
                        (out == reinterpret_cast<const uint16_t*>(differences) ||
                         !Overlap(out, differences, count));
  if (separate && predictor == 1) {
    const int32_t done = RunningSumRow(differences + 1, out + 1, count - 1, out[0]);
    i += done;
  } else if (separate && (predictor == 2 || predictor == 3)) {
    const uint16_t* above = predictor == 2 ? previous : previous - 1;
    for (; i + 8 <= count; i += 8) St(out + i, _mm_add_epi16(Ld(differences + i), Ld(above + i)));
  }
#endif
  for (; i < count; ++i) {
    const uint16_t px = Predict(predictor, out[i - 1], previous[i], previous[i - 1]);
    out[i] = static_cast<uint16_t>(differences[i] + px);
  }
  return kStsOk;
}

PrimitiveStatus DiffPredFirstRow(const uint16_t* samples, int16_t* differences, int32_t count,
                                 int32_t precision, int32_t pointTransform) {
  const PrimitiveStatus st = CheckFirstRow(samples, differences, count, precision, pointTransform);
  if (st != kStsOk) return st;
  differences[0] = static_cast<int16_t>(samples[0] - Seed(precision, pointTransform));
  int32_t i = 1;
#if KVZ_BUILD_HAS(SSE2)
  if (!Overlap(samples, differences, count)) {
    for (; i + 8 <= count; i += 8)
      St(differences + i, _mm_sub_epi16(Ld(samples + i), Ld(samples + i - 1)));
  }
#endif
  for (; i < count; ++i) differences[i] = static_cast<int16_t>(samples[i] - samples[i - 1]);
  return kStsOk;
}

PrimitiveStatus DiffPredRow(const uint16_t* samples, const uint16_t* previous,
                            int16_t* differences, int32_t count, int32_t predictor) {
  const PrimitiveStatus st = CheckRow(samples, previous, differences, count, predictor);
  if (st != kStsOk) return st;
  differences[0] = static_cast<int16_t>(samples[0] - previous[0]);
  int32_t i = 1;
#if KVZ_BUILD_HAS(SSE2)
  if (!Overlap(samples, differences, count) && !Overlap(previous, differences, count)) {
    for (; i + 8 <= count; i += 8) {
      const __m128i px = PredictVector(predictor, Ld(samples + i - 1), Ld(previous + i),
                                       Ld(previous + i - 1));
      St(differences + i, _mm_sub_epi16(Ld(samples + i), px));
    }
  }
#endif
  for (; i < count; ++i) {
    const uint16_t px = Predict(predictor, samples[i - 1], previous[i], previous[i - 1]);
    differences[i] = static_cast<int16_t>(samples[i] - px);
  }
  return kStsOk;
}

}  // namespace kvz::prim::KVZ_BUILD_NS
