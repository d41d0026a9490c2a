// Bilinear resampling of RGB24 and YUY2 (16.16 fixed point), one copy per processor build:
// byte shuffles for YUY2 in the SSSE3 build, 8 x 8 transposes and the SSE2 vertical blend in the
// other x86-64 builds, the portable strips everywhere for what the vector paths leave.
#include <string.h>

#include "postproc/geometry/bilinear_resample.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/geometry/geometry_kernels.h"
#include "postproc/geometry/perbuild/geometry_isa.h"
#include "postproc/geometry/perbuild/unit_transpose.h"
#include "primitives/driver_memory.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

ULONG Step(LONG sourceSide, LONG destinationSide) {
  return ((static_cast<ULONG>(sourceSide - 1) << 16) / static_cast<ULONG>(destinationSide)) + 1;
}

ULONG Clamp(ULONG index, ULONG last) { return index > last ? last : index; }

// The blend of four neighbours with 8-bit fractions a (across) and b (down),
//   ((256-a)(256-b) TL + a(256-b) TR + (256-a)b BL + ab BR) >> 16,
// factors exactly into a horizontal blend of each source row, H = (256-a) L + a R (16 bits),
// and a vertical blend ((256-b) Htop + b Hbottom) >> 16, with no rounding in between. Each
// source row's horizontal blend is computed once for a strip of destination columns and reused
// by every destination row that reads it; the vertical blend is the per-pixel work.
constexpr LONG kStripPixels = 64;  // about 2 KiB of kernel stack for the strip's tables
constexpr LONG kMaxChannels = 3;

// Where each destination column of a strip reads in a source row: the byte offsets of its two
// neighbours and their weight, per channel (RGB24: three channels, one pair of columns; YUY2:
// Y from the two columns, then the chroma byte of the destination pixel (U on even, V on odd
// destination pixels) from its own samples, blended only for odd source columns, an even
// column taking its pair's chroma unblended).
struct Taps {
  ULONG left[kStripPixels * kMaxChannels];
  ULONG right[kStripPixels * kMaxChannels];
  USHORT weight[kStripPixels * kMaxChannels];
};

void MakeTaps(LONG channels, ULONG ax, ULONG fx, LONG firstPixel, LONG pixels, ULONG lastCol,
              ULONG lastPair, Taps* t) {
  LONG n = 0;
  for (LONG j = 0; j < pixels; ++j, ax += fx) {
    const ULONG col = Clamp(ax >> 16, lastCol);
    const ULONG a = (ax >> 8) & 0xFF;
    const ULONG right = col < lastCol ? col + 1 : col;
    if (channels == 3) {
      for (ULONG c = 0; c < 3; ++c, ++n) {
        t->left[n] = col * 3 + c;
        t->right[n] = right * 3 + c;
        t->weight[n] = static_cast<USHORT>(a);
      }
      continue;
    }
    t->left[n] = col * 2;
    t->right[n] = right * 2;
    t->weight[n++] = static_cast<USHORT>(a);
    const ULONG chroma = ((firstPixel + j) & 1) ? 3 : 1;
    const ULONG pair = Clamp((col & ~1u) * 2, lastPair);
    t->left[n] = pair + chroma;
    t->right[n] = (pair < lastPair ? pair + 4 : pair) + chroma;
    t->weight[n++] = static_cast<USHORT>((col & 1) ? a : 0);
  }
}

void BlendAcross(const UCHAR* row, const Taps& t, LONG count, USHORT* out) {
  for (LONG n = 0; n < count; ++n) {
    const ULONG a = t.weight[n];
    out[n] = static_cast<USHORT>((256 - a) * row[t.left[n]] + a * row[t.right[n]]);
  }
}

void BlendDown(const USHORT* top, const USHORT* bottom, ULONG b, LONG count, UCHAR* d) {
  LONG k = 0;
#if KVZ_BASELINE_HAS(SSE2)
  const __m128i wt = _mm_set1_epi16(static_cast<short>(256 - b));
  const __m128i wb = _mm_set1_epi16(static_cast<short>(b));
  for (; k + 8 <= count; k += 8) {
    const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + k));
    const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom + k));
    // 32-bit products from their low and high halves.
    const __m128i tl = _mm_mullo_epi16(t, wt), th = _mm_mulhi_epu16(t, wt);
    const __m128i ul = _mm_mullo_epi16(u, wb), uh = _mm_mulhi_epu16(u, wb);
    const __m128i lo = _mm_add_epi32(_mm_unpacklo_epi16(tl, th), _mm_unpacklo_epi16(ul, uh));
    const __m128i hi = _mm_add_epi32(_mm_unpackhi_epi16(tl, th), _mm_unpackhi_epi16(ul, uh));
    const __m128i v = _mm_packs_epi32(_mm_srli_epi32(lo, 16), _mm_srli_epi32(hi, 16));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + k), _mm_packus_epi16(v, v));
  }
#endif
  for (; k < count; ++k) d[k] = static_cast<UCHAR>(((256 - b) * top[k] + b * bottom[k]) >> 16);
}

#if KVZ_BASELINE_HAS(SSE2)
// YUY2 strips on x86-64. The horizontal blend takes eight source rows at a time: their pixels
// are transposed eight by eight (LoadTransposedUnits), so a source column is a register of
// eight rows and each strip sample's two neighbours are picked by register; the blend
// H = 256 L + a (R - L) is exact in 16 bits (modulo 2^16, H itself stays below 65281), and
// eight samples are transposed back into eight rows. The vertical blend multiplies and adds
// pairs (top, bottom) by (256 - b, b) in one step: rows hold H - 32768 so that H fits a signed
// word, and the bias comes back as 2^23, exactly 128 after the shift by 16.
// 32 pixels keep the strip's tables, held rows and transposed blocks near 4.5 KiB of kernel
// stack; 64 would save about a tenth of the instructions for nearly twice the stack.
constexpr LONG kVectorStripPixels = 32;
constexpr LONG kVectorStripSamples = kVectorStripPixels * 2;
constexpr ULONG kRingBlocks = 4;  // transposed 8-pixel source blocks held per batch of rows
constexpr ULONG kRingColumns = kRingBlocks * 8;
constexpr ULONG kHeldRows = 16;   // horizontal blends held: the batch being made and the last

struct VectorTaps {
  __m128i weight[kVectorStripSamples];  // a, in every lane
  // Byte offsets of the two neighbours in the ring of transposed columns: Y units in its first
  // half, chroma units (U or V, as the source column has it) in its second.
  USHORT left[kVectorStripSamples];
  USHORT right[kVectorStripSamples];
  ULONG firstBlock;                                // first source block the strip reads
  ULONG lastBlock[kVectorStripSamples / 8];        // last block each eight samples read
};

// False when the strip reads a column past the last whole 8-pixel block of the source, or
// eight of its samples read more blocks than the ring holds: the scalar strip does those.
bool MakeVectorTaps(ULONG ax, ULONG fx, LONG firstPixel, LONG pixels, ULONG sourceWidth,
                    VectorTaps* t) {
  const ULONG lastCol = sourceWidth - 1;
  const ULONG lastPairPixel = (sourceWidth & ~1u) - 2;
  const ULONG loadable = sourceWidth & ~7u;
  ULONG lowest = ~0u, highest = 0;
  t->firstBlock = 0;
  for (LONG j = 0; j < pixels; ++j, ax += fx) {
    const ULONG col = Clamp(ax >> 16, lastCol);
    const ULONG a = (ax >> 8) & 0xFF;
    const ULONG right = col < lastCol ? col + 1 : col;
    const ULONG select = ((firstPixel + j) & 1);  // U on even destination pixels, V on odd
    const ULONG pair = Clamp(col & ~1u, lastPairPixel);
    const ULONG chromaLeft = pair + select;
    const ULONG chromaRight = (pair < lastPairPixel ? pair + 2 : pair) + select;
    const ULONG cols[4] = {col, right, chromaLeft, chromaRight};
    ULONG low = ~0u, high = 0;
    for (ULONG c : cols) {
      low = c < low ? c : low;
      high = c > high ? c : high;
    }
    if (high >= loadable) return false;
    if (low < lowest) lowest = low;
    if (high > highest) highest = high;
    t->weight[2 * j] = _mm_set1_epi16(static_cast<short>(a));
    t->weight[2 * j + 1] = _mm_set1_epi16(static_cast<short>((col & 1) ? a : 0));
    t->left[2 * j] = static_cast<USHORT>((col % kRingColumns) * 16);
    t->right[2 * j] = static_cast<USHORT>((right % kRingColumns) * 16);
    t->left[2 * j + 1] = static_cast<USHORT>((kRingColumns + chromaLeft % kRingColumns) * 16);
    t->right[2 * j + 1] = static_cast<USHORT>((kRingColumns + chromaRight % kRingColumns) * 16);
    if (j == 0) t->firstBlock = low >> 3;
    if ((j & 3) == 3 || j + 1 == pixels) {
      // Blocks are loaded in order; these eight samples need theirs all still in the ring.
      if ((highest >> 3) >= (lowest >> 3) + kRingBlocks) return false;
      t->lastBlock[j >> 2] = highest >> 3;
      lowest = ~0u;
    }
  }
  // A short last group of eight repeats its first sample; those blends land in the held rows'
  // spare samples, never in the frame.
  for (LONG n = 2 * pixels; n & 7; ++n) {
    t->weight[n] = t->weight[n & ~7];
    t->left[n] = t->left[n & ~7];
    t->right[n] = t->right[n & ~7];
  }
  return true;
}

// Horizontal blends of source rows [row, row + 8) (the last repeating past lastRow) into
// held[(row + m) % kHeldRows], biased by -32768.
void BlendAcrossEightRows(const ResampleImage* source, ULONG row, ULONG lastRow,
                          const VectorTaps& t, LONG samples, SHORT (*held)[kVectorStripSamples]) {
  const UCHAR* rows[8];
  SHORT* target[8];
  for (ULONG m = 0; m < 8; ++m) {
    rows[m] = source->data + static_cast<SIZE_T>(source->stride) * Clamp(row + m, lastRow);
    target[m] = held[(row + m) % kHeldRows];
  }
  __m128i ring[2 * kRingColumns];
  const UCHAR* ringBytes = reinterpret_cast<const UCHAR*>(ring);
  const __m128i lowBytes = _mm_set1_epi16(0x00FF);
  const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
  ULONG nextBlock = t.firstBlock;
  for (LONG n0 = 0; n0 < samples; n0 += 8) {
    for (; nextBlock <= t.lastBlock[n0 >> 3]; ++nextBlock) {
      __m128i units[8];
      LoadTransposedUnits(rows, static_cast<SIZE_T>(nextBlock) * 16, units);
      __m128i* luma = ring + (nextBlock % kRingBlocks) * 8;
      for (ULONG u = 0; u < 8; ++u) {
        luma[u] = _mm_and_si128(units[u], lowBytes);
        luma[kRingColumns + u] = _mm_srli_epi16(units[u], 8);
      }
    }
    // Written out so that every register stays a register.
    const USHORT* left = t.left + n0;
    const USHORT* right = t.right + n0;
    const __m128i* weight = t.weight + n0;
    const auto blend = [ringBytes, left, right, weight, bias](ULONG q) {
      const __m128i l = *reinterpret_cast<const __m128i*>(ringBytes + left[q]);
      const __m128i r = *reinterpret_cast<const __m128i*>(ringBytes + right[q]);
      const __m128i h =
          _mm_add_epi16(_mm_slli_epi16(l, 8), _mm_mullo_epi16(_mm_sub_epi16(r, l), weight[q]));
      return _mm_xor_si128(h, bias);
    };
    const __m128i blended[8] = {blend(0), blend(1), blend(2), blend(3),
                                blend(4), blend(5), blend(6), blend(7)};
    __m128i out[8];
    TransposeUnits(blended, out);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target[0] + n0), out[0]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target[1] + n0), out[1]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target[2] + n0), out[2]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target[3] + n0), out[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target[4] + n0), out[4]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target[5] + n0), out[5]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target[6] + n0), out[6]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target[7] + n0), out[7]);
  }
}

// Eight blends (top, bottom) of biased horizontal blends, less 128: -128 ... 127.
inline __m128i BlendDownEight(const SHORT* top, const SHORT* bottom, __m128i weights) {
  const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top));
  const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bottom));
  const __m128i lo = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(t, u), weights), 16);
  const __m128i hi = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(t, u), weights), 16);
  return _mm_packs_epi32(lo, hi);
}

void BlendDownBiased(const SHORT* top, const SHORT* bottom, ULONG b, LONG count, UCHAR* d) {
  const __m128i weights = _mm_set1_epi32(static_cast<int>((b << 16) | (256 - b)));
  const __m128i toBytes = _mm_set1_epi8(static_cast<char>(0x80));
  LONG k = 0;
  for (; k + 16 <= count; k += 16) {
    const __m128i v = _mm_packs_epi16(BlendDownEight(top + k, bottom + k, weights),
                                      BlendDownEight(top + k + 8, bottom + k + 8, weights));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + k), _mm_xor_si128(v, toBytes));
  }
  if (k + 8 <= count) {
    const __m128i v = BlendDownEight(top + k, bottom + k, weights);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(d + k), _mm_xor_si128(_mm_packs_epi16(v, v), toBytes));
    k += 8;
  }
  for (; k < count; ++k)
    d[k] = static_cast<UCHAR>(((256 - b) * (top[k] + 32768) + b * (bottom[k] + 32768)) >> 16);
}

// One YUY2 strip of destination pixels [x0, x0 + pixels); false (nothing written) when the
// strip is not one the vector blend can read.
bool ResampleYuy2Strip(const ResampleImage* destination, const ResampleImage* source, ULONG fx,
                       ULONG fy, LONG x0, LONG pixels) {
  VectorTaps taps;
  if (!MakeVectorTaps(static_cast<ULONG>(x0) * fx, fx, x0, pixels, source->width, &taps))
    return false;
  const LONG samples = pixels * 2;
  const ULONG lastRow = source->height - 1;
  SHORT held[kHeldRows][kVectorStripSamples];
  ULONG next = 0;  // first source row without a held blend
  ULONG ay = 0;
  for (LONG i = 0; i < destination->height; ++i, ay += fy) {
    const ULONG row = Clamp(ay >> 16, lastRow);
    const ULONG below = row < lastRow ? row + 1 : row;
    if (below >= next) {
      // Skip rows nobody reads (shrinking by more than two); the batch starts at this row.
      if (row > next) next = row;
      BlendAcrossEightRows(source, next, lastRow, taps, samples, held);
      next += 8;
    }
    BlendDownBiased(held[row % kHeldRows], held[below % kHeldRows], (ay >> 8) & 0xFF, samples,
                    destination->data + static_cast<SIZE_T>(destination->stride) * i +
                        static_cast<SIZE_T>(x0) * 2);
  }
  return true;
}

#endif

#if KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)
// YUY2 in the SSSE3 build. Across first, as above, but each
// group of eight samples (the Y of four destination pixels, then their chroma) is gathered from
// one or two 16-byte loads of the source row by a byte shuffle into (left, right) pairs and
// blended by one byte multiply-add against (256 - a, a). Pixels enter as signed bytes
// (pixel - 128), so the blend is H - 32768, a signed word; a = 0 weighs (left, left) by
// (128, 128), since 256 is no byte. Down, pairs (top, bottom) take one word multiply-add
// against (256 - b, b), exact in 32 bits with a bias of -2^23: each result byte, less 128, is
// the high word of its lane, and the packing below takes it from there.
// A strip's tables and held rows come from one pool block per call (without it the SSE2 path
// does the frame). Wide strips spread each row's setup over many groups; 640 pixels keep what
// a strip reads again (tables and held rows, 16 KiB) inside the first-level cache.
constexpr LONG kShuffleStripPixels = 640;
constexpr LONG kLoadBytes = 16;

struct ShuffleGroup {
  __m128i gather;     // shuffle of the first 16 bytes of the window
  __m128i weight;     // byte pairs (256 - a, a), or (128, 128) for a = 0
};

// A strip's tables and its four held rows of horizontal blends (slot row % 4), for up to
// `groups` groups.
struct ShuffleTaps {
  ShuffleGroup* group;
  __m128i* farGather;  // shuffles of the second 16 bytes of each window (wide strips)
  ULONG* window;       // byte offset of each group's window in a source row
  SHORT* held;         // four rows of groups * 8 samples
  LONG groups;
  bool wide;           // some group reads two loads
};

// Source byte offsets of one destination sample's neighbours, and the weight of the right one.
struct SampleTap {
  ULONG left, right, weight;
};

// The samples of group g: Y of strip pixels 4 g ... 4 g + 3, then their chroma (U on even, V
// on odd destination pixels; blended across only from an odd source column). Pixels past the
// strip repeat its last one (their results never reach the frame).
void GroupSamples(ULONG fx, LONG x0, LONG pixels, LONG g, ULONG lastCol, ULONG lastPair,
                  SampleTap s[8]) {
  for (LONG q = 0; q < 4; ++q) {
    LONG j = 4 * g + q;
    if (j >= pixels) j = pixels - 1;
    const ULONG ax = static_cast<ULONG>(x0 + j) * fx;
    const ULONG col = Clamp(ax >> 16, lastCol);
    const ULONG a = (ax >> 8) & 0xFF;
    s[q] = {col * 2, (col < lastCol ? col + 1 : col) * 2, a};
    const ULONG chroma = ((x0 + j) & 1) ? 3 : 1;
    const ULONG pair = Clamp((col & ~1u) * 2, lastPair);
    s[q + 4] = {pair + chroma, (pair < lastPair ? pair + 4 : pair) + chroma, (col & 1) ? a : 0};
  }
}

// The shuffles and weights of one group whose window starts at source byte `window`.
void FillGroup(const SampleTap s[8], ULONG window, ShuffleGroup* group, __m128i* farGather) {
  alignas(16) UCHAR gather[2][16];
  alignas(16) UCHAR weight[16];
  for (LONG q = 0; q < 8; ++q) {
    const ULONG a = s[q].weight;
    const ULONG bytes[2] = {s[q].left - window, (a ? s[q].right : s[q].left) - window};
    for (LONG n = 0; n < 2; ++n) {
      gather[0][2 * q + n] = static_cast<UCHAR>(bytes[n] < 16 ? bytes[n] : 0x80);
      gather[1][2 * q + n] = static_cast<UCHAR>(bytes[n] >= 16 ? bytes[n] - 16 : 0x80);
    }
    weight[2 * q] = static_cast<UCHAR>(a ? 256 - a : 128);
    weight[2 * q + 1] = static_cast<UCHAR>(a ? a : 128);
  }
  group->gather = _mm_load_si128(reinterpret_cast<const __m128i*>(gather[0]));
  *farGather = _mm_load_si128(reinterpret_cast<const __m128i*>(gather[1]));
  group->weight = _mm_load_si128(reinterpret_cast<const __m128i*>(weight));
}

// Groups of a strip: whole blocks of eight pixels (two groups), the last one padded.
inline LONG ShuffleGroups(LONG pixels) { return ((pixels + 7) >> 3) * 2; }

// False when the row is too short for the loads or a group spreads over more than two loads
// (shrinking by more than about three): the other paths do those.
bool MakeShuffleTaps(ULONG fx, LONG x0, LONG pixels, ULONG sourceWidth, ShuffleTaps* t) {
  const ULONG rowBytes = sourceWidth * 2;
  const ULONG lastCol = sourceWidth - 1;
  const ULONG lastPair = ((sourceWidth & ~1u) - 2) * 2;
  const LONG groups = ShuffleGroups(pixels);
  bool wide = false;
  SampleTap s[8];
  for (LONG g = 0; g < groups; ++g) {
    GroupSamples(fx, x0, pixels, g, lastCol, lastPair, s);
    ULONG low = ~0u, high = 0;
    for (const SampleTap& sample : s) {
      low = sample.left < low ? sample.left : low;
      high = sample.right > high ? sample.right : high;
    }
    if (high - low >= 2 * kLoadBytes) return false;
    wide = wide || high - low >= kLoadBytes;
    t->window[g] = low;
    FillGroup(s, low, &t->group[g], &t->farGather[g]);
  }
  const ULONG reach = wide ? 2 * kLoadBytes : kLoadBytes;
  if (rowBytes < reach) return false;
  t->wide = wide;
  // Windows near the end of the row start earlier so that the loads stay inside it.
  for (LONG g = 0; g < groups; ++g) {
    if (t->window[g] + reach <= rowBytes) continue;
    GroupSamples(fx, x0, pixels, g, lastCol, lastPair, s);
    t->window[g] = rowBytes - reach;
    FillGroup(s, t->window[g], &t->group[g], &t->farGather[g]);
  }
  return true;
}

// One group's eight samples of one source row, H - 32768.
template <bool Wide>
inline __m128i BlendAcrossGroup(const UCHAR* window, __m128i gather0,
                                                 __m128i gather1, __m128i weight) {
  __m128i pairs = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(window)),
                                   gather0);
  if (Wide)
    pairs = _mm_or_si128(
        pairs, _mm_shuffle_epi8(
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + kLoadBytes)),
                   gather1));
  return _mm_maddubs_epi16(weight, _mm_xor_si128(pairs, _mm_set1_epi8(static_cast<char>(0x80))));
}

// The strip's horizontal blends of two source rows (which share each group's tables), two
// groups a step: the groups of a strip come in pairs.
template <bool Wide>
inline void BlendAcrossShuffled(const UCHAR* row0, const UCHAR* row1,
                                                 const ShuffleTaps& t, LONG groups, SHORT* out0,
                                                 SHORT* out1) {
  const ShuffleGroup* const group = t.group;
  const __m128i* const farGather = t.farGather;
  const ULONG* const window = t.window;
  const auto blendGroup = [&](LONG g) __attribute__((always_inline)) {
    const __m128i gather0 = group[g].gather;
    const __m128i gather1 = Wide ? farGather[g] : gather0;
    const __m128i weight = group[g].weight;
    const ULONG w = window[g];
    _mm_store_si128(reinterpret_cast<__m128i*>(out0 + 8 * g),
                    BlendAcrossGroup<Wide>(row0 + w, gather0, gather1, weight));
    _mm_store_si128(reinterpret_cast<__m128i*>(out1 + 8 * g),
                    BlendAcrossGroup<Wide>(row1 + w, gather0, gather1, weight));
  };
  for (LONG g = 0; g < groups; g += 2) {
    blendGroup(g);
    blendGroup(g + 1);
  }
}

// The pairs (top, bottom) of one group of held blends, interleaved for the word multiply-add.
struct HeldPairs {
  __m128i y, chroma;
};

inline HeldPairs PairGroup(const SHORT* top, const SHORT* bottom) {
  const __m128i t = _mm_load_si128(reinterpret_cast<const __m128i*>(top));
  const __m128i u = _mm_load_si128(reinterpret_cast<const __m128i*>(bottom));
  return {_mm_unpacklo_epi16(t, u), _mm_unpackhi_epi16(t, u)};
}

// Sixteen output bytes of two groups (a block of eight pixels) blended down. Each multiply-add
// leaves its byte, less 128, in the high word of its 32-bit lane; signed packing keeps those
// whole in the odd bytes, Y in one register and chroma in the other, and a shift brings Y down
// to the even bytes.
inline __m128i BlendDownBlock(const HeldPairs& a, const HeldPairs& b,
                                               __m128i weights) {
  const __m128i y = _mm_packs_epi16(_mm_madd_epi16(a.y, weights), _mm_madd_epi16(b.y, weights));
  const __m128i c =
      _mm_packs_epi16(_mm_madd_epi16(a.chroma, weights), _mm_madd_epi16(b.chroma, weights));
  const __m128i frame = _mm_or_si128(_mm_srli_epi16(y, 8),
                                     _mm_and_si128(c, _mm_set1_epi16(static_cast<short>(0xFF00))));
  return _mm_xor_si128(frame, _mm_set1_epi8(static_cast<char>(0x80)));
}

// Destination rows d[0] (and d[1] when Two) from the same two held source rows with their own
// vertical weights; two rows share the loads and interleaving.
template <bool Two>
__attribute__((always_inline)) inline void BlendDownRows(
    const SHORT* top, const SHORT* bottom, const __m128i* weights, UCHAR* const* d, LONG pixels) {
  const __m128i w0 = weights[0];
  const __m128i w1 = weights[Two ? 1 : 0];
  UCHAR* const d0 = d[0];
  UCHAR* const d1 = d[Two ? 1 : 0];
  const LONG blocks = pixels >> 3;
  // One index for all four rows (held samples are two bytes, frame samples one).
  const auto block = [&](SIZE_T o) __attribute__((always_inline)) {
    const HeldPairs a = PairGroup(top + o, bottom + o);
    const HeldPairs b = PairGroup(top + o + 8, bottom + o + 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d0 + o), BlendDownBlock(a, b, w0));
    if (Two) _mm_storeu_si128(reinterpret_cast<__m128i*>(d1 + o), BlendDownBlock(a, b, w1));
  };
  SIZE_T o = 0;
  const SIZE_T pairsEnd = static_cast<SIZE_T>(blocks & ~1) * 16;
  for (; o < pairsEnd; o += 32) {
    block(o);
    block(o + 16);
  }
  if (blocks & 1) block(o);
  if (pixels & 7) {
    // Only the frame's bytes of the last, padded block are stored.
    const SIZE_T bytes = static_cast<SIZE_T>(pixels & 7) * 2;
    const HeldPairs a = PairGroup(top + 16 * blocks, bottom + 16 * blocks);
    const HeldPairs b = PairGroup(top + 16 * blocks + 8, bottom + 16 * blocks + 8);
    alignas(16) UCHAR tail[16];
    for (LONG r = 0; r < (Two ? 2 : 1); ++r) {
      _mm_store_si128(reinterpret_cast<__m128i*>(tail), BlendDownBlock(a, b, weights[r]));
      memcpy(d[r] + 16 * blocks, tail, bytes);
    }
  }
}

template <bool Wide>
void ShuffleStripRows(const ResampleImage* destination,
                                       const ResampleImage* source, ULONG fy, LONG x0,
                                       LONG pixels, const ShuffleTaps& t) {
  // Blends of source rows, made two rows at a time (an even row and the next): slot row % 4.
  const auto held = [&t](ULONG slot) {
    return t.held + static_cast<SIZE_T>(slot & 3) * static_cast<SIZE_T>(t.groups) * 8;
  };
  const ULONG lastRow = source->height - 1;
  const LONG groups = ShuffleGroups(pixels);
  ULONG next = 0;  // rows below this one have their blends held (or are no longer needed)
  ULONG ay = 0;
  for (LONG i = 0; i < destination->height;) {
    const ULONG row = Clamp(ay >> 16, lastRow);
    const ULONG below = row < lastRow ? row + 1 : row;
    if (row >= next) next = row & ~1u;
    for (; next <= below; next += 2)
      BlendAcrossShuffled<Wide>(source->data + static_cast<SIZE_T>(source->stride) * next,
                                source->data + static_cast<SIZE_T>(source->stride) *
                                                   Clamp(next + 1, lastRow),
                                t, groups, held(next), held(next + 1));
    UCHAR* d[2];
    __m128i weights[2];
    LONG rows = 0;
    // Enlarging, consecutive destination rows often read the same two source rows.
    for (; rows < 2 && i < destination->height && Clamp(ay >> 16, lastRow) == row;
         ++rows, ++i, ay += fy) {
      const ULONG b = (ay >> 8) & 0xFF;
      weights[rows] = _mm_set1_epi32(static_cast<int>((b << 16) | (256 - b)));
      d[rows] = destination->data + static_cast<SIZE_T>(destination->stride) * i +
                static_cast<SIZE_T>(x0) * 2;
    }
    if (rows == 2)
      BlendDownRows<true>(held(row), held(below), weights, d, pixels);
    else
      BlendDownRows<false>(held(row), held(below), weights, d, pixels);
  }
}

bool ResampleYuy2StripShuffled(const ResampleImage* destination, const ResampleImage* source,
                               ULONG fx, ULONG fy, LONG x0, LONG pixels, ShuffleTaps* taps) {
  if (!MakeShuffleTaps(fx, x0, pixels, source->width, taps)) return false;
  if (taps->wide)
    ShuffleStripRows<true>(destination, source, fy, x0, pixels, *taps);
  else
    ShuffleStripRows<false>(destination, source, fy, x0, pixels, *taps);
  return true;
}

// Room for the strips of a destination `width` wide: one pool block, or null when the pool
// has none. Returns the strip width.
LONG ShuffleStripRoom(LONG width, ShuffleTaps* taps, PVOID* block) {
  const LONG pixels = width < kShuffleStripPixels ? width : kShuffleStripPixels;
  const SIZE_T groups = static_cast<SIZE_T>(ShuffleGroups(pixels));
  *block = ExAllocatePoolWithTag(
      DriverPoolType,
      groups * (sizeof(ShuffleGroup) + sizeof(__m128i) + 4 * 8 * sizeof(SHORT) + sizeof(ULONG)),
      kTagBilinearStrip);
  if (!*block) return 0;
  taps->group = static_cast<ShuffleGroup*>(*block);
  taps->farGather = reinterpret_cast<__m128i*>(taps->group + groups);
  taps->held = reinterpret_cast<SHORT*>(taps->farGather + groups);
  taps->window = reinterpret_cast<ULONG*>(taps->held + 4 * 8 * groups);
  taps->groups = static_cast<LONG>(groups);
  return pixels;
}
#endif

// The portable strip: across per source row, reused while destination rows read it, then down.
void ResamplePlainStrip(const ResampleImage* destination, const ResampleImage* source, ULONG fx,
                        ULONG fy, LONG x0, LONG pixels, LONG channels) {
  const ULONG lastCol = source->width - 1, lastRow = source->height - 1;
  // Byte offset of the last complete YUY2 pixel pair (an odd width ends in a lone pixel).
  const ULONG lastPair = channels == 2 ? ((source->width & ~1u) - 2) * 2 : 0;
  const LONG count = pixels * channels;
  USHORT rows[2][kStripPixels * kMaxChannels];
  Taps taps;
  MakeTaps(channels, static_cast<ULONG>(x0) * fx, fx, x0, pixels, lastCol, lastPair, &taps);
  USHORT* top = rows[0];
  USHORT* bottom = rows[1];
  ULONG haveTop = ~0u, haveBottom = ~0u;  // source rows held in top and bottom
  ULONG ay = 0;
  for (LONG i = 0; i < destination->height; ++i, ay += fy) {
    const ULONG row = Clamp(ay >> 16, lastRow);
    const ULONG below = row < lastRow ? row + 1 : row;
    if (haveTop != row) {
      if (haveBottom == row) {
        USHORT* t = top;
        top = bottom;
        bottom = t;
        haveBottom = ~0u;
      } else {
        BlendAcross(source->data + static_cast<SIZE_T>(source->stride) * row, taps, count, top);
      }
      haveTop = row;
    }
    if (haveBottom != below) {
      if (below == row)
        memcpy(bottom, top, static_cast<SIZE_T>(count) * sizeof(USHORT));
      else
        BlendAcross(source->data + static_cast<SIZE_T>(source->stride) * below, taps, count,
                    bottom);
      haveBottom = below;
    }
    BlendDown(top, bottom, (ay >> 8) & 0xFF, count,
              destination->data + static_cast<SIZE_T>(destination->stride) * i +
                  static_cast<SIZE_T>(x0) * channels);
  }
}

void Resample(const ResampleImage* destination, const ResampleImage* source, LONG channels) {
  const ULONG fx = Step(source->width, destination->width);
  const ULONG fy = Step(source->height, destination->height);
  LONG part = kStripPixels;
#if KVZ_BASELINE_HAS(SSE2)
  if (channels == 2) part = kVectorStripPixels;
#endif
  LONG strip = kStripPixels;
#if KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)
  static_assert(kShuffleStripPixels % kVectorStripPixels == 0 &&
                    kStripPixels % kVectorStripPixels == 0,
                "strips nest");
  ShuffleTaps taps;
  PVOID block = nullptr;
  if (channels == 2) strip = ShuffleStripRoom(destination->width, &taps, &block);
  if (!block) strip = kStripPixels;
#endif
  for (LONG x0 = 0; x0 < destination->width; x0 += strip) {
    const LONG pixels = destination->width - x0 < strip ? destination->width - x0 : strip;
#if KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)
    if (block && ResampleYuy2StripShuffled(destination, source, fx, fy, x0, pixels, &taps))
      continue;
#endif
    for (LONG x1 = x0; x1 < x0 + pixels; x1 += part) {
      const LONG n = x0 + pixels - x1 < part ? x0 + pixels - x1 : part;
#if KVZ_BASELINE_HAS(SSE2)
      if (channels == 2 && ResampleYuy2Strip(destination, source, fx, fy, x1, n)) continue;
#endif
      ResamplePlainStrip(destination, source, fx, fy, x1, n, channels);
    }
  }
#if KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)
  if (block) ExFreePoolWithTag(block, kTagBilinearStrip);
#endif
}

}  // namespace

void ResampleBilinear(uint8_t* dst, uint32_t dstStride, int32_t dstWidth, int32_t dstHeight, const uint8_t* src,
                      uint32_t srcStride, int32_t srcWidth, int32_t srcHeight, int32_t channels) {
  const ResampleImage destination = {dst, dstStride, dstWidth, dstHeight};
  const ResampleImage source = {const_cast<uint8_t*>(src), srcStride, srcWidth, srcHeight};
  Resample(&destination, &source, channels);
}

}  // namespace kvz::prim::KVZ_BUILD_NS
