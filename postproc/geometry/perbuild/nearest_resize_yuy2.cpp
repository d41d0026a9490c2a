// Nearest-neighbour YUY2 resizing (ResizeImage's 10-bit sampling), one copy per processor
// build: byte shuffles in the SSSE3 build, 8 x 8 transposes in the other x86-64 builds, the
// portable gather everywhere for what the vector paths leave.
#include <string.h>

#include "postproc/base/effect_catalogue.h"
#include "postproc/geometry/geometry_kernels.h"
#include "postproc/geometry/perbuild/geometry_isa.h"
#include "postproc/geometry/perbuild/unit_transpose.h"
#include "primitives/driver_memory.h"

namespace kvz::prim::KVZ_BUILD_NS {
namespace {

// Nearest-neighbour rows are often repeated (enlarging, or the zoom's resize back to full
// size); a destination row whose source row is the previous one's is a copy of it.
inline bool SameSourceRow(ULONG i, ULONG ay, ULONG sy) { return i > 0 && (ay >> 10) == ((ay - sy) >> 10); }

// Nearest-neighbour YUY2 sampling of one source width: destination pixel j takes its Y from
// source column (j * sx) >> 10; pair k takes U and V from the source pair starting at column
// 2 * ((k * sx) >> 10), never the lone last pixel of an odd width.
struct Yuy2Sampling {
  const UCHAR* src;
  ULONG sw, sx, lastPair;
};

// Destination pairs [kStart, kEnd) of n rows, each gathered from its source row. Column
// offsets are worked out once per block of pairs for all the rows instead of once per row.
void GatherPairs(const Yuy2Sampling& s, const UCHAR* const* srcRows, UCHAR* const* dstRows,
                 ULONG n, ULONG kStart, ULONG kEnd) {
  constexpr ULONG kBlockPairs = 128;  // 1.5 KiB of kernel stack
  ULONG offsets[kBlockPairs][3];
  for (ULONG k0 = kStart; k0 < kEnd; k0 += kBlockPairs) {
    const ULONG count = kEnd - k0 < kBlockPairs ? kEnd - k0 : kBlockPairs;
    ULONG a0 = 2 * k0 * s.sx, a1 = a0 + s.sx, ac = k0 * s.sx;
    for (ULONG k = 0; k < count; ++k, a0 += 2 * s.sx, a1 += 2 * s.sx, ac += s.sx) {
      ULONG c = 2 * (ac >> 10);
      if (c > s.lastPair) c = s.lastPair;
      offsets[k][0] = (a0 >> 10) * 2;
      offsets[k][1] = (a1 >> 10) * 2;
      offsets[k][2] = c * 2 + 1;
    }
    for (ULONG m = 0; m < n; ++m) {
      const UCHAR* srow = srcRows[m];
      UCHAR* d = dstRows[m] + static_cast<SIZE_T>(k0) * 4;
      for (ULONG k = 0; k < count; ++k) {
        const UCHAR* uv = srow + offsets[k][2];
        const ULONG pair = srow[offsets[k][0]] | (static_cast<ULONG>(uv[0]) << 8) |
                           (static_cast<ULONG>(srow[offsets[k][1]]) << 16) |
                           (static_cast<ULONG>(uv[2]) << 24);
        memcpy(d + k * 4, &pair, 4);
      }
    }
  }
}

// Destination rows taken eight distinct source rows at a time: a destination row whose source
// row repeats the previous one's (enlarging, the zoom's resize back to full size) is a copy of
// it, made right after the rows it copies are written.
class RowBatches {
 public:
  RowBatches(const UCHAR* src, SIZE_T srcRow, UCHAR* dst, SIZE_T dstRow, ULONG dh, ULONG sy)
      : src_(src), srcRow_(srcRow), dst_(dst), dstRow_(dstRow), dh_(dh), sy_(sy), i_(0), ay_(0) {}

  // The next batch of up to eight distinct rows; false when every row has been handed out.
  // repeats[m] counts the rows right below distinct row m that repeat it.
  bool Next(const UCHAR* srcRows[8], UCHAR* dstRows[8], ULONG repeats[8], ULONG* n) {
    if (i_ >= dh_) return false;
    start_ = i_;
    *n = 0;
    for (; i_ < dh_ && (*n < 8 || SameSourceRow(i_, ay_, sy_)); ++i_, ay_ += sy_) {
      if (SameSourceRow(i_, ay_, sy_)) {
        ++repeats[*n - 1];
        continue;
      }
      srcRows[*n] = src_ + static_cast<SIZE_T>(ay_ >> 10) * srcRow_;
      repeats[*n] = 0;
      dstRows[(*n)++] = dst_ + i_ * dstRow_;
    }
    return true;
  }

  // Bytes [from, to) of the batch's repeated rows, copied from the rows above them.
  void CopyRepeats(SIZE_T from, SIZE_T to) const {
    for (ULONG i = start_; i < i_; ++i)
      if (SameSourceRow(i, i * sy_, sy_))
        memcpy(dst_ + i * dstRow_ + from, dst_ + (i - 1) * dstRow_ + from, to - from);
  }

 private:
  const UCHAR* src_;
  SIZE_T srcRow_;
  UCHAR* dst_;
  SIZE_T dstRow_;
  ULONG dh_, sy_, i_, ay_, start_ = 0;
};

#if KVZ_BASELINE_HAS(SSE2)
// Steps up to this many source pixels keep the source columns of eight destination pixels
// within the four 8-pixel blocks held transposed.
constexpr ULONG kMaxVectorStep = 3 << 10;
// Destination pixels per column strip: the strip's column table is 1 KiB of kernel stack.
constexpr ULONG kStripPixels = 256;

// Where each destination pixel of a strip reads among the transposed source columns (byte
// offsets into the ring of four transposed blocks, Y units in its first half, chroma units in
// its second): its Y column and its chroma column (U on even, V on odd destination pixels).
struct StripColumns {
  USHORT luma[kStripPixels];
  USHORT chroma[kStripPixels];
};

void MakeStripColumns(const Yuy2Sampling& s, ULONG j0, ULONG count, StripColumns* t) {
  for (ULONG j = 0; j < count; ++j) {
    const ULONG x = j0 + j;
    t->luma[j] = static_cast<USHORT>((((x * s.sx) >> 10) & 31) * 16);
    t->chroma[j] = static_cast<USHORT>((32 + ((2 * (((x >> 1) * s.sx) >> 10) + (x & 1)) & 31)) * 16);
  }
}

// Destination pixels [j0, j0 + count) (multiples of 8) of eight rows: the source rows are
// transposed eight pixels by eight, each destination column is picked as a register (its Y
// column's Y with its chroma column's U or V), and eight destination columns are transposed
// back into eight row stores.
void GatherEightRows(const Yuy2Sampling& s, const StripColumns& t, const UCHAR* const srcRows[8],
                     UCHAR* const dstRows[8], const ULONG repeats[8], SIZE_T dstRow, ULONG j0,
                     ULONG count) {
  const __m128i lumaMask = _mm_set1_epi16(0x00FF);
  const __m128i chromaMask = _mm_set1_epi16(static_cast<short>(0xFF00));
  // The last four blocks transposed: source column x at units[x & 31] (its Y alone) and at
  // units[32 + (x & 31)] (its U or V alone).
  __m128i units[64];
  const UCHAR* ring = reinterpret_cast<const UCHAR*>(units);
  ULONG nextBlock = ((j0 * s.sx) >> 10) >> 3;
  if (nextBlock) --nextBlock;  // the first pair's chroma may start one column before its Y
  // 0: no row repeated; 1: every row repeated once; 2: any other mix.
  ULONG sameRepeats = repeats[0] <= 1 ? repeats[0] : 2;
  for (ULONG m = 1; m < 8; ++m)
    if (repeats[m] != repeats[0]) sameRepeats = 2;
  for (ULONG j = 0; j < count; j += 8) {
    const ULONG last = ((j0 + j + 7) * s.sx) >> 10;
    for (; nextBlock <= (last >> 3); ++nextBlock) {
      __m128i* block = units + (nextBlock & 3) * 8;
      LoadTransposedUnits(srcRows, static_cast<SIZE_T>(nextBlock) * 16, block);
      for (ULONG u = 0; u < 8; ++u) {
        block[32 + u] = _mm_and_si128(block[u], chromaMask);
        block[u] = _mm_and_si128(block[u], lumaMask);
      }
    }
    // Written out so that every register stays a register.
    const USHORT* luma = t.luma + j;
    const USHORT* chroma = t.chroma + j;
    const auto pick = [ring, luma, chroma](ULONG c) {
      return _mm_or_si128(*reinterpret_cast<const __m128i*>(ring + luma[c]),
                          *reinterpret_cast<const __m128i*>(ring + chroma[c]));
    };
    const __m128i column[8] = {pick(0), pick(1), pick(2), pick(3),
                               pick(4), pick(5), pick(6), pick(7)};
    __m128i rows[8];
    TransposeUnits(column, rows);
    const SIZE_T offset = static_cast<SIZE_T>(j0 + j) * 2;
    // The rows repeating a row get the same store; every row repeated once (doubling) and none
    // repeated are the common cases.
    const auto store = [&](ULONG m) {
      UCHAR* d = dstRows[m] + offset;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d), rows[m]);
      if (sameRepeats == 0) return;
      if (sameRepeats == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + dstRow), rows[m]);
        return;
      }
      for (ULONG r = 0; r < repeats[m]; ++r)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d += dstRow), rows[m]);
    };
    store(0);
    store(1);
    store(2);
    store(3);
    store(4);
    store(5);
    store(6);
    store(7);
  }
}
#endif

#if KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)

// Enlarging (and the zoom's resize back) with SSSE3: the bytes of eight destination pixels lie
// within one 16-byte load of their source row, so each group of them is one byte shuffle. The
// shuffles and load offsets of a whole row (up to 4096 pixels) come from one pool block per
// call, so that rows are read and written in order; without the block, strips of 256 pixels
// keep theirs on the kernel stack (640 bytes) and go down the frame one after the other.
constexpr ULONG kStackShuffleGroups = 32;
constexpr ULONG kPooledShuffleGroups = 512;

struct ShuffleStrip {
  __m128i* masks;
  ULONG* base;    // byte offset of the group's load; kNoShuffle: gathered
  ULONG groups;   // room for this many groups
};

struct StackShuffleStrip {
  __m128i masks[kStackShuffleGroups];
  ULONG base[kStackShuffleGroups];
};
constexpr ULONG kNoShuffle = 0xFFFFFFFFu;

// The group of destination pixels from x0 (even), with GatherPairs' offsets.
void MakeShuffleGroup(const Yuy2Sampling& s, ULONG x0, ULONG srcRowBytes, __m128i* mask, ULONG* base) {
  ULONG offsets[16];
  for (ULONG p = 0; p < 4; ++p) {
    const ULONG k = x0 / 2 + p;
    ULONG c = 2 * ((k * s.sx) >> 10);
    if (c > s.lastPair) c = s.lastPair;
    offsets[4 * p] = ((2 * k * s.sx) >> 10) * 2;
    offsets[4 * p + 1] = c * 2 + 1;
    offsets[4 * p + 2] = (((2 * k + 1) * s.sx) >> 10) * 2;
    offsets[4 * p + 3] = c * 2 + 3;
  }
  ULONG low = offsets[0], high = offsets[0];
  for (ULONG i = 1; i < 16; ++i) {
    if (offsets[i] < low) low = offsets[i];
    if (offsets[i] > high) high = offsets[i];
  }
  if (high - low >= 16 || low + 16 > srcRowBytes) {
    *base = kNoShuffle;
    return;
  }
  alignas(16) UCHAR index[16];
  for (ULONG i = 0; i < 16; ++i) index[i] = static_cast<UCHAR>(offsets[i] - low);
  *mask = _mm_load_si128(reinterpret_cast<const __m128i*>(index));
  *base = low;
}

void ShuffleRows(const ShuffleStrip& t, ULONG groups, const UCHAR* const* srcRows,
                                  UCHAR* const* dstRows, ULONG n, SIZE_T dstOffset) {
  // Each group's shuffle and offset are read once for the batch's rows (read once per row, they
  // met the row's recent stores at the same offsets modulo 4 KiB often enough to halve the speed).
  for (ULONG g = 0; g < groups; ++g) {
    const ULONG at = t.base[g];
    if (at == kNoShuffle) continue;
    const __m128i mask = t.masks[g];
    const SIZE_T to = dstOffset + 16 * g;
    for (ULONG m = 0; m < n; ++m) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(srcRows[m] + at));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dstRows[m] + to), _mm_shuffle_epi8(v, mask));
    }
  }
}

// Destination pixels [0, 8 x whole groups) by shuffles (groups that do not fit one load are
// gathered); returns how many pixels were done.
ULONG ResizeYuy2Shuffled(const Yuy2Sampling& s, UCHAR* dst, ULONG dw, ULONG dh, ULONG sy) {
  const ULONG pixels = (dw / 2) * 2 / 8 * 8;
  const SIZE_T dstRow = static_cast<SIZE_T>(dw) * 2;
  const SIZE_T srcRow = static_cast<SIZE_T>(s.sw) * 2;
  const UCHAR* srcRows[8];
  UCHAR* dstRows[8];
  ULONG repeats[8], n;
  StackShuffleStrip stack;
  ShuffleStrip strip = {stack.masks, stack.base, kStackShuffleGroups};
  PVOID block = nullptr;
  if (pixels / 8 > kStackShuffleGroups) {
    const ULONG groups = pixels / 8 < kPooledShuffleGroups ? pixels / 8 : kPooledShuffleGroups;
    block = ExAllocatePoolWithTag(DriverPoolType, groups * (sizeof(__m128i) + sizeof(ULONG)),
                                  kTagResizeStrip);
    if (block) {
      strip.masks = static_cast<__m128i*>(block);
      strip.base = reinterpret_cast<ULONG*>(strip.masks + groups);
      strip.groups = groups;
    }
  }
  const ULONG stripPixels = 8 * strip.groups;
  for (ULONG j0 = 0; j0 < pixels; j0 += stripPixels) {
    const ULONG count = pixels - j0 < stripPixels ? pixels - j0 : stripPixels;
    const ULONG groups = count / 8;
    for (ULONG g = 0; g < groups; ++g)
      MakeShuffleGroup(s, j0 + 8 * g, static_cast<ULONG>(srcRow), &strip.masks[g], &strip.base[g]);
    RowBatches batches(s.src, srcRow, dst, dstRow, dh, sy);
    while (batches.Next(srcRows, dstRows, repeats, &n)) {
      ShuffleRows(strip, groups, srcRows, dstRows, n, static_cast<SIZE_T>(j0) * 2);
      for (ULONG g = 0; g < groups; ++g)
        if (strip.base[g] == kNoShuffle) GatherPairs(s, srcRows, dstRows, n, (j0 + 8 * g) / 2, (j0 + 8 * g) / 2 + 4);
      batches.CopyRepeats(static_cast<SIZE_T>(j0) * 2, static_cast<SIZE_T>(j0 + count) * 2);
    }
  }
  if (block) ExFreePoolWithTag(block, kTagResizeStrip);
  return pixels;
}
#endif

}  // namespace

void ResizeYuy2Nearest(const uint8_t* src, uint8_t* dst, uint32_t sw, uint32_t dw, uint32_t dh, uint32_t sx,
                       uint32_t sy) {
  // An odd source width ends in a lone pixel without V; chroma never comes from there.
  const Yuy2Sampling s = {src, sw, sx, (sw & ~1u) - 2};
  const ULONG pairs = dw / 2;
  const SIZE_T dstRow = static_cast<SIZE_T>(dw) * 2;
  const SIZE_T srcRow = static_cast<SIZE_T>(sw) * 2;
  const UCHAR* srcRows[8];
  UCHAR* dstRows[8];
  ULONG repeats[8], n;
  // Destination pixels [0, vectorPixels) read whole 8-pixel blocks of the source only; they go
  // in strips of columns, each strip down the whole frame.
  ULONG vectorPixels = 0;
#if KVZ_BASELINE_HAS(SSE2) && KVZ_BUILD_HAS(SSSE3)
  if (sx <= 1024) {
    vectorPixels = ResizeYuy2Shuffled(s, dst, dw, dh, sy);
  } else
#endif
#if KVZ_BASELINE_HAS(SSE2)
  {
    if (sx <= kMaxVectorStep)
      while (vectorPixels + 8 <= 2 * pairs && ((vectorPixels + 7) * sx >> 10) < (sw & ~7u))
        vectorPixels += 8;
    StripColumns columns;
    for (ULONG j0 = 0; j0 < vectorPixels; j0 += kStripPixels) {
      const ULONG count = vectorPixels - j0 < kStripPixels ? vectorPixels - j0 : kStripPixels;
      MakeStripColumns(s, j0, count, &columns);
      RowBatches batches(src, srcRow, dst, dstRow, dh, sy);
      while (batches.Next(srcRows, dstRows, repeats, &n)) {
        if (n == 8) {
          GatherEightRows(s, columns, srcRows, dstRows, repeats, dstRow, j0, count);
          continue;
        }
        GatherPairs(s, srcRows, dstRows, n, j0 / 2, (j0 + count) / 2);
        batches.CopyRepeats(static_cast<SIZE_T>(j0) * 2, static_cast<SIZE_T>(j0 + count) * 2);
      }
    }
  }
#endif
  if (vectorPixels / 2 == pairs) return;
  RowBatches batches(src, srcRow, dst, dstRow, dh, sy);
  while (batches.Next(srcRows, dstRows, repeats, &n)) {
    GatherPairs(s, srcRows, dstRows, n, vectorPixels / 2, pairs);
    batches.CopyRepeats(static_cast<SIZE_T>(vectorPixels) * 2, static_cast<SIZE_T>(pairs) * 4);
  }
}

}  // namespace kvz::prim::KVZ_BUILD_NS
