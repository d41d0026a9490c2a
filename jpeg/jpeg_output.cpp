// The output stage shared by every frame kind: one strip of component samples, read from the
// ring with the rows above and below it, into the caller's YUY2, I420 or BGR rows, clipped to
// the frame's width and height at the documented pitch.
#include <wdm.h>

#include "jpeg/jpeg_decoder.h"
#include "primitives/dispatch.h"

namespace kvz::jpeg {
namespace {

constexpr uint8_t kNeutralChroma = 128;

int32_t Clamp(int32_t value, int32_t low, int32_t high) { return value < low ? low : value > high ? high : value; }

}  // namespace

bool JpegDecoder::OutputSupported() const {
  if (samplingClass == kSamplingOther) return false;
  if (colorSpace == kColorGrey || colorSpace == kColorYCbCr) return true;
  return outFormat == kPixelRgb24 && colorSpace == kColorRgb && samplingClass == kSampling444;
}

// Native row of a component, clamped to the rows it really has and to those already decoded,
// as T.81 edge replication would give them.
uint8_t* JpegDecoder::NativeRow(int32_t component, int32_t row) const {
  const JpegComponent& c = components[component];
  const int32_t decoded = static_cast<int32_t>((static_cast<int64_t>(rowsAvailable) * c.v + vMax - 1) / vMax);
  const int32_t last = (decoded < c.height ? decoded : c.height) - 1;
  const int32_t n = Clamp(row, 0, last < 0 ? 0 : last);
  const int32_t ringRow = (n / c.stripRows) % kRingStrips * c.stripRows + n % c.stripRows;
  return c.plane + static_cast<int64_t>(ringRow) * c.planeStep;
}

// Chroma of one strip at full resolution (paddedWidth wide, stripHeight rows) through the
// up-sampling primitives, from a copy of its native rows with replicated edges around it.
int32_t JpegDecoder::FullResolutionChroma(int32_t component, int32_t strip, uint8_t* dst) {
  const JpegComponent& c = components[component];
  const int32_t nativeWidth = c.blocksWide * 8;
  const int32_t step = nativeWidth + 2;
  const int32_t first = strip * c.stripRows;
  for (int32_t i = -1; i <= c.stripRows; ++i) {
    const uint8_t* src = NativeRow(component, first + i);
    uint8_t* row = scratch + static_cast<int64_t>(i + 1) * step;
    row[0] = src[0];
    RtlCopyMemory(row + 1, src, c.width);
    RtlFillMemory(row + 1 + c.width, nativeWidth + 1 - c.width, src[c.width - 1]);
  }
  const prim::RoiSize source = {nativeWidth, c.stripRows};
  const prim::RoiSize target = {paddedWidth, stripHeight};
  const uint8_t* origin = scratch + step + 1;
  const int32_t result = c.v == vMax ? prim::SampleUpH2V1(origin, step, source, dst, paddedWidth, target)
                                     : prim::SampleUpH2V2(origin, step, source, dst, paddedWidth, target);
  return result == 0 ? kJpegOk : kJpegPrimitiveFailed;
}

int32_t JpegDecoder::OutputStrip(int32_t strip) {
  const int32_t top = strip * stripHeight;
  const int32_t rows = (rowsAvailable < top + stripHeight ? rowsAvailable : top + stripHeight) - top;
  if (rows <= 0) return kJpegOk;
  const bool grey = componentCount == 1;
  const uint8_t* luma = NativeRow(0, top);
  const int32_t lumaStep = components[0].planeStep;
  const int64_t bordered = static_cast<int64_t>(paddedWidth + 2) * (stripHeight + 2);
  uint8_t* full[2] = {scratch + bordered, scratch + bordered + static_cast<int64_t>(paddedWidth) * stripHeight};
  uint8_t* half[2] = {full[1] + static_cast<int64_t>(paddedWidth) * stripHeight, nullptr};
  half[1] = half[0] + paddedWidth / 2 + 32;
  const prim::RoiSize region = {width, rows};
  // Full-resolution chroma rows of this strip, where the layout needs them.
  const uint8_t* chroma[2] = {nullptr, nullptr};
  int32_t chromaStep = paddedWidth;
  const bool nativeHalfAcross = samplingClass == kSampling422;
  const bool nativeHalfBoth = samplingClass == kSampling420;
  const bool needFull = !grey && ((outFormat == kPixelRgb24 && samplingClass != kSampling444) ||
                                  (outFormat == kPixelYuy2 && nativeHalfBoth) ||
                                  (outFormat == kPixelI420 && nativeHalfAcross));
  for (int32_t i = 0; i < 2 && !grey; ++i) {
    if (needFull) {
      const int32_t status = FullResolutionChroma(i + 1, strip, full[i]);
      if (status != kJpegOk) return status;
      chroma[i] = full[i];
    } else {
      chroma[i] = NativeRow(i + 1, samplingClass == kSampling420 ? top / 2 : top);
      chromaStep = components[i + 1].planeStep;
    }
  }

  if (outFormat == kPixelRgb24) {
    uint8_t* dst = out + static_cast<int64_t>(top) * width * 3;
    const int32_t dstStep = width * 3;
    int32_t result;
    if (grey) {
      const uint8_t* planes[3] = {luma, luma, luma};
      result = prim::InterleavePlanes8uP3C3(planes, lumaStep, dst, dstStep, region);
    } else if (colorSpace == kColorRgb) {
      const uint8_t* planes[3] = {chroma[1], chroma[0], luma};
      result = prim::InterleavePlanes8uP3C3(planes, lumaStep, dst, dstStep, region);
    } else {
      const uint8_t* planes[3] = {luma, chroma[0], chroma[1]};
      result = prim::YCbCrToBgr(planes, lumaStep, dst, dstStep, region);
    }
    return result == 0 ? kJpegOk : kJpegPrimitiveFailed;
  }

  if (outFormat == kPixelYuy2) {
    if (grey) RtlFillMemory(half[0], paddedWidth / 2 + 1, kNeutralChroma);
    for (int32_t y = 0; y < rows; ++y) {
      const uint8_t* cb = half[0];
      const uint8_t* cr = half[0];
      if (!grey && nativeHalfAcross) {
        cb = chroma[0] + static_cast<int64_t>(y) * chromaStep;
        cr = chroma[1] + static_cast<int64_t>(y) * chromaStep;
      } else if (!grey) {
        for (int32_t i = 0; i < 2; ++i) {
          const uint8_t* row = chroma[i] + static_cast<int64_t>(y) * chromaStep;
          if (prim::SampleDownRowH2V1(row, paddedWidth, half[i]) != 0) return kJpegPrimitiveFailed;
          // An odd width's last chroma sample stands for its one real pixel, not the padding.
          if (width & 1) half[i][width >> 1] = row[width - 1];
        }
        cr = half[1];
      }
      prim::PackYuy2Row(luma + static_cast<int64_t>(y) * lumaStep, cb, cr, width,
                        out + (static_cast<int64_t>(top) + y) * width * 2);
    }
    return kJpegOk;
  }

  // I420: Y plane, then U and V of ceil(width / 2) x ceil(height / 2).
  if (prim::CopyImage8u(luma, lumaStep, out + static_cast<int64_t>(top) * width, width, region) != 0) {
    return kJpegPrimitiveFailed;
  }
  const int32_t chromaWidth = (width + 1) / 2;
  const int32_t chromaRows = (rows + 1) / 2;
  uint8_t* planes[2];
  planes[0] = out + static_cast<int64_t>(width) * height + static_cast<int64_t>(top / 2) * chromaWidth;
  planes[1] = planes[0] + static_cast<int64_t>(chromaWidth) * ((height + 1) / 2);
  for (int32_t i = 0; i < 2; ++i) {
    if (grey) {
      RtlFillMemory(planes[i], static_cast<size_t>(chromaWidth) * chromaRows, kNeutralChroma);
    } else if (nativeHalfBoth) {
      if (prim::CopyImage8u(chroma[i], chromaStep, planes[i], chromaWidth, {chromaWidth, chromaRows}) != 0) {
        return kJpegPrimitiveFailed;
      }
    } else {
      for (int32_t y = 0; y < chromaRows; ++y) {
        const uint8_t* upper = chroma[i] + static_cast<int64_t>(2 * y) * chromaStep;
        const uint8_t* lower = chroma[i] + static_cast<int64_t>(2 * y + 1 < rows ? 2 * y + 1 : 2 * y) * chromaStep;
        if (prim::SampleDownRowH2V2(upper, lower, paddedWidth, half[0]) != 0) return kJpegPrimitiveFailed;
        if (width & 1) half[0][width >> 1] = static_cast<uint8_t>((upper[width - 1] + lower[width - 1] + 1) >> 1);
        RtlCopyMemory(planes[i] + static_cast<int64_t>(y) * chromaWidth, half[0], chromaWidth);
      }
    }
  }
  return kJpegOk;
}

}  // namespace kvz::jpeg
