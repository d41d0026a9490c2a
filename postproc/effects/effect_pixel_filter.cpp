// Neighbourhood filters: blur, emboss, mosaic, and the jittered diffuse and sketch.
#include "postproc/effects/effect_pixel.h"
#include "postproc/effects/effect_pixel_kernels.h"

namespace kvz {
namespace {

constexpr LONG kBlurReach = 2;        // RGB24: the four pixels two away; I420: a 5 x 5 box
constexpr LONG kBlurRingRows = 5;
constexpr LONG kMosaicBlock = 8;      // luma and RGB24 blocks; I420 chroma blocks are half
constexpr LONG kSketchBlock = 16;
constexpr UCHAR kSketchPageChroma = 127;

// Padding of the I420 box: mirrored about the edge sample (-1 is 1, -2 is 2), held at the edge
// where the plane is too small to mirror.
inline LONG Mirror(LONG i, LONG n) {
  if (i < 0) i = -i;
  if (i >= n) i = 2 * (n - 1) - i;
  if (i < 0) i = 0;
  if (i >= n) i = n - 1;
  return i;
}

// Mean of every b x b block (clipped at the frame's right and bottom) of an interleaved plane
// with `channels` bytes a sample, written in place.
VOID MosaicPlane(UCHAR* plane, LONG width, LONG height, LONG channels, LONG block) {
  const SIZE_T stride = static_cast<SIZE_T>(width) * channels;
  for (LONG by = 0; by < height; by += block) {
    const LONG rows = height - by < block ? height - by : block;
    for (LONG bx = 0; bx < width; bx += block) {
      const LONG cols = width - bx < block ? width - bx : block;
      UCHAR* const origin = plane + static_cast<SIZE_T>(by) * stride + static_cast<SIZE_T>(bx) * channels;
      const ULONG count = static_cast<ULONG>(rows * cols);
      for (LONG k = 0; k < channels; ++k) {
        ULONG sum = 0;
        for (LONG r = 0; r < rows; ++r)
          for (LONG c = 0; c < cols; ++c) sum += origin[r * stride + c * channels + k];
        const UCHAR mean = static_cast<UCHAR>(sum / count);
        for (LONG r = 0; r < rows; ++r)
          for (LONG c = 0; c < cols; ++c) origin[r * stride + c * channels + k] = mean;
      }
    }
  }
}

// Neighbour offsets of diffuse by jitter value: (dx, dy).
constexpr LONG kDiffuseDx[8] = {0, 1, -1, 0, 1, -1, 0, 1};
constexpr LONG kDiffuseDy[8] = {-1, -1, 0, 0, 0, 1, 1, 1};

// Each pixel (row by row from the first in memory) is taken from a neighbour chosen by the
// jitter sequence; `bytes` per pixel.
VOID Diffuse(const UCHAR* source, UCHAR* destination, LONG width, LONG height, LONG bytes, ULONG* state) {
  const SIZE_T stride = static_cast<SIZE_T>(width) * bytes;
  // Inside the border every neighbour exists: one offset per jitter value.
  LONG_PTR offset[8];
  for (ULONG k = 0; k < 8; ++k) offset[k] = kDiffuseDy[k] * static_cast<LONG_PTR>(stride) + kDiffuseDx[k] * bytes;
  for (LONG r = 0; r < height; ++r) {
    UCHAR* out = destination + r * stride;
    const UCHAR* in = source + r * stride;
    const bool innerRow = r > 0 && r + 1 < height;
    for (LONG c = 0; c < width; ++c) {
      const ULONG k = JitterStep(state);
      const UCHAR* from;
      if (innerRow && c > 0 && c + 1 < width) {
        from = in + c * bytes + offset[k];
      } else {
        const LONG sr = OppositeNeighbour(r, kDiffuseDy[k], height);
        const LONG sc = OppositeNeighbour(c, kDiffuseDx[k], width);
        from = source + sr * stride + static_cast<SIZE_T>(sc) * bytes;
      }
      for (LONG b = 0; b < bytes; ++b) out[c * bytes + b] = from[b];
    }
  }
}

// Sketch: every 16 x 16 block moves by (jitter / 3) rows and (jitter MOD 3) columns onto a
// white page, without its first row and column; `onMove` is told of every sample moved.
template <typename OnMove>
VOID SketchBlocks(LONG width, LONG height, ULONG* state, OnMove onMove) {
  for (LONG by = 0; by < height; by += kSketchBlock) {
    for (LONG bx = 0; bx < width; bx += kSketchBlock) {
      const ULONG k = JitterStep(state);
      const LONG down = static_cast<LONG>(k / 3), right = static_cast<LONG>(k % 3);
      const LONG rowEnd = by + kSketchBlock < height ? by + kSketchBlock : height;
      const LONG colEnd = bx + kSketchBlock < width ? bx + kSketchBlock : width;
      for (LONG r = by + 1; r < rowEnd && r + down < height; ++r)
        for (LONG c = bx + 1; c < colEnd && c + right < width; ++c) onMove(r, c, r + down, c + right);
    }
  }
}

}  // namespace

ULONG JitterStep(ULONG* state) {
  const ULONG high = *state & 0x8000;
  *state <<= 1;
  if (high) *state ^= 0x457;
  return *state & 7;
}

VOID BlurRgb24(UCHAR* frame, LONG width, LONG height, UCHAR* work) {
  const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
  RtlCopyMemory(work, frame, stride * height);
  const LONG reach = kBlurReach;
  for (LONG r = 0; r < height; ++r) {
    const UCHAR* up = work + OppositeNeighbour(r, -reach, height) * stride;
    const UCHAR* down = work + OppositeNeighbour(r, reach, height) * stride;
    const UCHAR* row = work + r * stride;
    UCHAR* out = frame + r * stride;
    for (LONG c = 0; c < width; ++c) {
      const SIZE_T at = static_cast<SIZE_T>(c) * 3;
      SIZE_T left = at - reach * 3, right = at + reach * 3;
      if (c < reach || c + reach >= width) {
        left = static_cast<SIZE_T>(OppositeNeighbour(c, -reach, width)) * 3;
        right = static_cast<SIZE_T>(OppositeNeighbour(c, reach, width)) * 3;
      }
      for (LONG b = 0; b < 3; ++b)
        out[at + b] = static_cast<UCHAR>((row[left + b] + row[right + b] + up[at + b] + down[at + b]) >> 2);
    }
  }
}

// Row sums enter the ring before their row is overwritten: output row i needs the sums of rows
// i - 2 ... i + 2, and every mirrored row index falls inside that window.
VOID BlurI420(UCHAR* frame, LONG width, LONG height, USHORT* ring) {
  const LONG reach = kBlurReach;
  auto sumRow = [&](LONG r) {
    const UCHAR* y = frame + static_cast<SIZE_T>(r) * width;
    USHORT* sums = ring + static_cast<SIZE_T>(r % kBlurRingRows) * width;
    ULONG s = 0;
    for (LONG k = -reach; k <= reach; ++k) s += y[Mirror(k, width)];
    sums[0] = static_cast<USHORT>(s);
    for (LONG c = 1; c < width; ++c) {
      s += y[Mirror(c + reach, width)];
      s -= y[Mirror(c - reach - 1, width)];
      sums[c] = static_cast<USHORT>(s);
    }
  };
  LONG summed = 0;
  for (LONG i = 0; i < height; ++i) {
    for (; summed < height && summed <= i + reach; ++summed) sumRow(summed);
    const USHORT* rows[2 * kBlurReach + 1];
    for (LONG k = -reach; k <= reach; ++k)
      rows[k + reach] = ring + static_cast<SIZE_T>(Mirror(i + k, height) % kBlurRingRows) * width;
    UCHAR* out = frame + static_cast<SIZE_T>(i) * width;
    for (LONG c = 0; c < width; ++c) {
      const ULONG s = rows[0][c] + rows[1][c] + rows[2][c] + rows[3][c] + rows[4][c];
      out[c] = static_cast<UCHAR>(s / 25);
    }
  }
}

VOID EmbossRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
  for (LONG r = 0; r < height; ++r) {
    UCHAR* p = frame + r * stride;
    UCHAR prev[3] = {p[0], p[1], p[2]};
    for (LONG c = 0; c < width; ++c, p += 3) {
      const UCHAR d0 = static_cast<UCHAR>(p[0] - prev[0] + 128);
      const UCHAR d1 = static_cast<UCHAR>(p[1] - prev[1] + 128);
      const UCHAR d2 = static_cast<UCHAR>(p[2] - prev[2] + 128);
      prev[0] = p[0];
      prev[1] = p[1];
      prev[2] = p[2];
      p[0] = p[1] = p[2] = static_cast<UCHAR>(((d0 * 307u) >> 10) + ((d1 * 605u) >> 10) + ((d2 * 112u) >> 10));
    }
  }
}

VOID EmbossI420(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  for (LONG r = 0; r < height; ++r) {
    UCHAR* y = frame + static_cast<SIZE_T>(r) * width;
    UCHAR prev = y[0];
    for (LONG c = 0; c < width; ++c) {
      const UCHAR v = y[c];
      y[c] = static_cast<UCHAR>(v - prev + 128);
      prev = v;
    }
  }
  NeutralChromaI420(frame, width, height, nullptr);
}

VOID MosaicRgb24(UCHAR* frame, LONG width, LONG height, UCHAR*) { MosaicPlane(frame, width, height, 3, kMosaicBlock); }

VOID MosaicI420(UCHAR* frame, LONG width, LONG height, UCHAR*) {
  MosaicPlane(frame, width, height, 1, kMosaicBlock);
  UCHAR* const u = frame + PixelCount(width, height);
  const SIZE_T plane = I420ChromaPlaneBytes(width, height);
  if (plane == 0) return;
  MosaicPlane(u, width / 2, height / 2, 1, kMosaicBlock / 2);
  MosaicPlane(u + plane, width / 2, height / 2, 1, kMosaicBlock / 2);
}

VOID DiffuseRgb24(UCHAR* frame, LONG width, LONG height, UCHAR* work, ULONG* state) {
  Diffuse(frame, work, width, height, 3, state);
  RtlCopyMemory(frame, work, PixelCount(width, height) * 3);
}

VOID DiffuseI420(UCHAR* frame, LONG width, LONG height, UCHAR* work, ULONG* state) {
  Diffuse(frame, work, width, height, 1, state);
  RtlCopyMemory(frame, work, PixelCount(width, height));
}

VOID SketchRgb24(UCHAR* frame, LONG width, LONG height, UCHAR* work, ULONG* state) {
  const SIZE_T bytes = PixelCount(width, height) * 3;
  const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
  RtlFillMemory(work, bytes, 255);
  SketchBlocks(width, height, state, [&](LONG r, LONG c, LONG tr, LONG tc) {
    RtlCopyMemory(work + tr * stride + tc * 3, frame + r * stride + c * 3, 3);
  });
  RtlCopyMemory(frame, work, bytes);
}

VOID SketchI420(UCHAR* frame, LONG width, LONG height, UCHAR* work, ULONG* state) {
  const SIZE_T luma = PixelCount(width, height);
  const SIZE_T plane = I420ChromaPlaneBytes(width, height);
  const LONG cw = width / 2, ch = height / 2;
  RtlFillMemory(work, luma, 255);
  RtlFillMemory(work + luma, 2 * plane, kSketchPageChroma);
  SketchBlocks(width, height, state, [&](LONG r, LONG c, LONG tr, LONG tc) {
    work[static_cast<SIZE_T>(tr) * width + tc] = frame[static_cast<SIZE_T>(r) * width + c];
    if ((r & 1) || (c & 1)) return;
    if (r / 2 >= ch || c / 2 >= cw || tr / 2 >= ch || tc / 2 >= cw) return;
    const SIZE_T from = static_cast<SIZE_T>(r / 2) * cw + c / 2;
    const SIZE_T to = static_cast<SIZE_T>(tr / 2) * cw + tc / 2;
    work[luma + to] = frame[luma + from];
    work[luma + plane + to] = frame[luma + plane + from];
  });
  RtlCopyMemory(frame, work, luma + 2 * plane);
}

ZQEScratchEffect::ZQEScratchEffect(LONG id, PixelRoutine* rgb24, BOOLEAN rgb24NeedsWorkBuffer, ScratchRoutine* i420,
                                   SIZE_T bytesPerColumn, BOOLEAN perFrame)
    : ZQEPixelEffect(id, kFormatsRgb24I420, rgb24, nullptr, rgb24NeedsWorkBuffer),
      i420Scratch(i420),
      scratchPerColumn(bytesPerColumn),
      perFrame(perFrame),
      scratch(nullptr) {}

ZQEScratchEffect::~ZQEScratchEffect() { ReleaseUnderDoLock(); }

NTSTATUS ZQEScratchEffect::Init() {
  if (ready) return STATUS_SUCCESS;
  if (IsI420()) {
    const SIZE_T rows = perFrame ? static_cast<SIZE_T>(format.height) : 1;
    scratch = AllocateClassBuffer(scratchPerColumn * static_cast<SIZE_T>(format.width) * rows);
    if (!scratch) return STATUS_INSUFFICIENT_RESOURCES;
  }
  ready = 1;
  return STATUS_SUCCESS;
}

VOID ZQEScratchEffect::Release() {
  FreeClassBuffer(&scratch);
  ready = 0;
}

NTSTATUS ZQEScratchEffect::Run(UCHAR* frame) {
  if (!IsI420()) return ZQEPixelEffect::Run(frame);
  if (!scratch) return STATUS_INVALID_PARAMETER;
  i420Scratch(frame, format.width, format.height, scratch);
  return STATUS_SUCCESS;
}

ZQEBlur::ZQEBlur(LONG id)
    : ZQEScratchEffect(
          id, BlurRgb24, TRUE,
          [](UCHAR* frame, LONG w, LONG h, PVOID ring) { BlurI420(frame, w, h, static_cast<USHORT*>(ring)); },
          kBlurRingRows * sizeof(USHORT), FALSE) {}

ZQESolarize::ZQESolarize(LONG id)
    : ZQEScratchEffect(
          id, SolarizeRgb24, FALSE,
          [](UCHAR* frame, LONG w, LONG h, PVOID rgb) { SolarizeI420(frame, w, h, static_cast<UCHAR*>(rgb)); }, 3,
          TRUE) {}

ZQEJitterEffect::ZQEJitterEffect(LONG id, JitterRoutine* rgb24, JitterRoutine* i420)
    : ZQEPixelEffect(id, kFormatsRgb24I420, nullptr, nullptr, TRUE),
      rgb24Jitter(rgb24),
      i420Jitter(i420),
      jitter(kJitterSeed) {}

NTSTATUS ZQEJitterEffect::Run(UCHAR* frame) {
  (IsI420() ? i420Jitter : rgb24Jitter)(frame, format.width, format.height, workBuffer, &jitter);
  return STATUS_SUCCESS;
}

ZQESketch::ZQESketch(LONG id) : ZQEJitterEffect(id, SketchRgb24, SketchI420) {}
ZQEDiffuse::ZQEDiffuse(LONG id) : ZQEJitterEffect(id, DiffuseRgb24, DiffuseI420) {}

}  // namespace kvz
