#include "primitives/resize_plan.h"

#include <string.h>

#include "primitives/aligned_alloc.h"

namespace kvz::prim::resize {
namespace {

// Rounds to single precision where float arithmetic is otherwise carried in x87 registers, so
// every build computes the same single-precision values.
#if defined(__FLT_EVAL_METHOD__) && __FLT_EVAL_METHOD__ != 0
inline float R(float x) {
  volatile float v = x;
  return v;
}
#else
inline float R(float x) { return x; }
#endif

constexpr double kEps = 1e-7;

// Truncation of a non-negative double already known to lie below 2^31.
inline int32_t Trunc(double x) { return static_cast<int32_t>(x); }

// int(x + 1e-7) for a source index, kept within [0, limit - 1].
inline int32_t IndexBelow(double x, int32_t limit) {
  x += kEps;
  if (!(x < limit)) return limit - 1;
  return x < 0 ? 0 : Trunc(x);
}

// Position of output k on the corner-aligned grid, integer part and fraction; the position is
// kept within the last source sample so that a forced output size reads nothing beyond it.
void MapPosition(int32_t k, int32_t n, double m, int32_t* index, double* fraction) {
  double pos = m > 1 ? static_cast<double>(k) * (n - 1) / (m - 1) : 0.0;
  if (pos > n - 1) pos = n - 1;
  const int32_t i = Trunc(pos + kEps) > n - 1 ? n - 1 : Trunc(pos + kEps);
  *index = i;
  *fraction = pos - i;
}

// Source sample geometry of output element e (Y0 U Y1 V per unit).
struct ElementGeometry {
  bool luma;
  int32_t outPos;  // output pixel (luma) or unit (chroma)
  int32_t byte;    // byte within the unit for chroma
};
inline ElementGeometry Geometry(int32_t e) {
  const int32_t j = e >> 2, b = e & 3;
  if ((b & 1) == 0) return {true, 2 * j + (b >> 1), 0};
  return {false, j, b};
}

// Snaps an end point within 1e-7 of a whole number onto it.
double Snap(double x) {
  const double r = static_cast<double>(static_cast<int64_t>(x + 0.5));
  const double d = x - r;
  return (d < kEps && d > -kEps) ? r : x;
}

// Calls visit(index, weight) for the samples covering [a, b) limited to [0, limit), skipping
// slivers not above 1e-7.
template <typename Visit>
void Cover(double a, double b, int32_t limit, Visit visit) {
  if (a > limit) a = limit;
  if (b > limit) b = limit;
  a = Snap(a);
  b = Snap(b);
  int32_t first = static_cast<int32_t>(a);
  for (int32_t idx = first; idx < limit && idx < b; ++idx) {
    const double lo = idx > a ? idx : a;
    const double hi = idx + 1 < b ? idx + 1 : b;
    const double w = hi - lo;
    if (w > kEps) visit(idx, static_cast<float>(w));
  }
}

bool IsWhole(double x) {
  const double r = Snap(x);
  return r == static_cast<double>(static_cast<int64_t>(r)) && r >= 1 && r < 2147483647.0;
}

void* Take(Plan* plan, int64_t bytes, PrimitiveStatus* status) {
  if (*status != kStsOk) return nullptr;
  if (bytes <= 0) bytes = 1;
  if (bytes > 0x7FFFFFF0 || plan->blockCount >= 16) {
    *status = kStsNoMemory;
    return nullptr;
  }
  uint8_t* p = AllocAligned8u(static_cast<int32_t>(bytes));
  if (p == nullptr) {
    *status = kStsNoMemory;
    return nullptr;
  }
  plan->blocks[plan->blockCount++] = p;
  return p;
}

}  // namespace

PrimitiveStatus Prepare(const uint8_t* src, RoiSize srcSize, int32_t srcStep, ResizeRect* rect,
                        uint8_t* dst, int32_t dstStep, RoiSize dstSize, double xFactor,
                        double yFactor, int32_t mode, Plan* plan, bool* proceed) {
  *proceed = false;
  if (src == nullptr || dst == nullptr || rect == nullptr) return kStsNullPointer;
  if (srcSize.width <= 0 || srcSize.height <= 0) return kStsSizeError;
  if (rect->x < 0 || rect->y < 0 || rect->width <= 0 || rect->height <= 0) return kStsSizeError;
  if (rect->x >= srcSize.width || rect->y >= srcSize.height) return kStsOriginOutsideSource;
  if (dstSize.width <= 0 || dstSize.height <= 0 || (srcSize.width & 1) != 0 ||
      (rect->width & 1) != 0 || (rect->x & 1) != 0 || dstSize.width < 2)
    return kStsSizeError;
  if (!(xFactor > 0) || !(yFactor > 0)) return kStsBadResizeFactor;
  if (mode != kResizeNearest && mode != kResizeLinear && mode != kResizeCubic && mode != kResizeSuper)
    return kStsBadInterpolation;

  if (int64_t{rect->x} + rect->width > srcSize.width) rect->width = srcSize.width - rect->x;
  if (int64_t{rect->y} + rect->height > srcSize.height) rect->height = srcSize.height - rect->y;

  int32_t outWidth, outHeight;
  const double r = rect->width * xFactor + kEps;
  if (r >= dstSize.width) {
    outWidth = dstSize.width;
  } else if (Trunc(r) > 1) {
    outWidth = Trunc(r);
  } else if (r >= 1.5) {
    outWidth = 2;
  } else {
    return kStsResultTooSmall;
  }
  const double s = rect->height * yFactor + kEps;
  if (s >= dstSize.height) {
    outHeight = dstSize.height;
  } else if (Trunc(s) > 0) {
    outHeight = Trunc(s);
  } else if (s >= 0.5) {
    outHeight = 1;
  } else {
    return kStsResultTooSmall;
  }
  if (mode == kResizeSuper && (xFactor > 1 || yFactor > 1)) return kStsBadResizeFactor;

  memset(plan, 0, sizeof *plan);
  // Two bytes per pixel: the origin is x pixels into a row of 4-byte units of two pixels.
  plan->src = src + static_cast<intptr_t>(rect->y) * srcStep + static_cast<intptr_t>(rect->x) * 2;
  plan->srcStep = srcStep;
  plan->rectWidth = rect->width;
  plan->rectHeight = rect->height;
  plan->dst = dst;
  plan->dstStep = dstStep;
  plan->units = outWidth / 2;
  plan->elements = 4 * plan->units;
  plan->outHeight = outHeight;
  plan->mode = mode;
  if (mode != kResizeSuper) {
    if (rect->width < 4 || rect->height < 2)
      plan->mode = kResizeNearest;
    else if (mode == kResizeCubic && (rect->width < 8 || rect->height < 4))
      plan->mode = kResizeLinear;
  }
  for (int k = 0; k < 4; ++k) plan->bufRow[k] = -1;
  *proceed = true;
  return kStsOk;
}

PrimitiveStatus BuildTables(Plan* plan, double xFactor, double yFactor) {
  PrimitiveStatus st = kStsOk;
  const int32_t E = plan->elements, H = plan->outHeight;
  const int32_t W = plan->rectWidth, N = plan->rectHeight, U = plan->rectWidth / 2;
  const double mLuma = W * xFactor, mChroma = U * xFactor, mRows = N * yFactor;

  switch (plan->mode) {
    case kResizeNearest: {
      plan->elemOffset = static_cast<int32_t*>(Take(plan, int64_t{4} * E, &st));
      plan->rowIndex = static_cast<int32_t*>(Take(plan, int64_t{4} * H, &st));
      if (st != kStsOk) break;
      for (int32_t i = 0; i < H; ++i) plan->rowIndex[i] = IndexBelow((i + 0.5) / yFactor, N);
      for (int32_t e = 0; e < E; ++e) {
        const ElementGeometry g = Geometry(e);
        plan->elemOffset[e] = g.luma ? 2 * IndexBelow((g.outPos + 0.5) / xFactor, W)
                                     : 4 * IndexBelow((g.outPos + 0.5) / xFactor, U) + g.byte;
      }
      break;
    }
    case kResizeLinear: {
      plan->elemOffset = static_cast<int32_t*>(Take(plan, int64_t{4} * E, &st));
      plan->elemWeight = static_cast<int16_t*>(Take(plan, int64_t{2} * E, &st));
      plan->rowIndex = static_cast<int32_t*>(Take(plan, int64_t{4} * H, &st));
      plan->rowWeight = static_cast<int16_t*>(Take(plan, int64_t{2} * H, &st));
      plan->lineBuf[0] = static_cast<int16_t*>(Take(plan, int64_t{2} * E + 16, &st));
      plan->lineBuf[1] = static_cast<int16_t*>(Take(plan, int64_t{2} * E + 16, &st));
      if (st != kStsOk) break;
      auto weights = [](int32_t k, int32_t n, double m, int32_t* index, int16_t* lower) {
        double f;
        MapPosition(k, n, m, index, &f);
        int32_t w = Trunc(f * kOne + kEps > 0 ? f * kOne + kEps : 0);
        if (*index + 1 > n - 1) {  // the next neighbour would lie beyond the last sample
          *index = n - 2;
          w = kOne;
        }
        *lower = static_cast<int16_t>(w);
      };
      for (int32_t i = 0; i < H; ++i) weights(i, N, mRows, &plan->rowIndex[i], &plan->rowWeight[i]);
      for (int32_t e = 0; e < E; ++e) {
        const ElementGeometry g = Geometry(e);
        int32_t idx;
        if (g.luma) {
          weights(g.outPos, W, mLuma, &idx, &plan->elemWeight[e]);
          plan->elemOffset[e] = 2 * idx;
        } else {
          weights(g.outPos, U, mChroma, &idx, &plan->elemWeight[e]);
          plan->elemOffset[e] = 4 * idx + g.byte;
        }
      }
      break;
    }
    case kResizeCubic: {
      plan->elemOffset = static_cast<int32_t*>(Take(plan, int64_t{4} * E, &st));
      plan->elemCoef = static_cast<float*>(Take(plan, int64_t{12} * E, &st));
      plan->rowIndex = static_cast<int32_t*>(Take(plan, int64_t{4} * H, &st));
      plan->rowCoef = static_cast<float*>(Take(plan, int64_t{12} * H, &st));
      for (int k = 0; k < 4; ++k) plan->cubicBuf[k] = static_cast<float*>(Take(plan, int64_t{4} * E + 16, &st));
      if (st != kStsOk) break;
      auto window = [](int32_t k, int32_t n, double m, int32_t* base, float* coef) {
        int32_t i;
        double f;
        MapPosition(k, n, m, &i, &f);
        float t;
        if (i == 0) {
          *base = 0;
          t = static_cast<float>(f - 1.0);
        } else if (i == n - 1) {
          *base = n - 4;
          t = 2.0f;
        } else if (i == n - 2) {
          *base = n - 4;
          t = static_cast<float>(f + 1.0);
        } else {
          *base = i - 1;
          t = static_cast<float>(f);
        }
        const float a = R(1.0f + t);
        coef[0] = a;
        coef[1] = R(R(t * a) / 2.0f);
        coef[2] = R(R(R(R(t - 1.0f) * t) * a) / 6.0f);
      };
      for (int32_t i = 0; i < H; ++i) window(i, N, mRows, &plan->rowIndex[i], &plan->rowCoef[3 * i]);
      for (int32_t e = 0; e < E; ++e) {
        const ElementGeometry g = Geometry(e);
        int32_t base;
        if (g.luma) {
          window(g.outPos, W, mLuma, &base, &plan->elemCoef[3 * e]);
          plan->elemOffset[e] = 2 * base;
        } else {
          window(g.outPos, U, mChroma, &base, &plan->elemCoef[3 * e]);
          plan->elemOffset[e] = 4 * base + g.byte;
        }
      }
      break;
    }
    default: {  // supersampling
      const float reach = static_cast<float>(plan->units + 1) / static_cast<float>(xFactor);
      int32_t su = reach < static_cast<float>(U) ? static_cast<int32_t>(reach) + 1 : U;
      if (su > U) su = U;  // never past the rectangle's last unit
      plan->superUnits = su;
      plan->integerSums = IsWhole(1.0 / xFactor) && IsWhole(1.0 / yFactor);
      plan->scale = static_cast<float>(xFactor * yFactor);
      const double kx = 1.0 / xFactor, ky = 1.0 / yFactor;
      // Count the taps first, then fill them.
      int64_t taps = 0, rows = 0;
      auto elementSpan = [&](int32_t e, auto visit) {
        const ElementGeometry g = Geometry(e);
        if (g.luma) {
          Cover(g.outPos * kx, (g.outPos + 1) * kx, 2 * su,
                [&](int32_t p, float w) { visit((p >> 1) * 4 + (p & 1) * 2, w); });
        } else {
          Cover(g.outPos * kx, (g.outPos + 1) * kx, su,
                [&](int32_t u, float w) { visit(u * 4 + g.byte, w); });
        }
      };
      for (int32_t e = 0; e < E; ++e) elementSpan(e, [&](int32_t, float) { ++taps; });
      for (int32_t i = 0; i < H; ++i) Cover(i * ky, (i + 1) * ky, N, [&](int32_t, float) { ++rows; });
      if (plan->integerSums)
        plan->accI = static_cast<int32_t*>(Take(plan, int64_t{16} * su + 16, &st));
      else
        plan->accF = static_cast<float*>(Take(plan, int64_t{16} * su + 16, &st));
      plan->tapStart = static_cast<int32_t*>(Take(plan, int64_t{4} * (E + 1), &st));
      plan->tapIndex = static_cast<int32_t*>(Take(plan, 4 * taps, &st));
      plan->tapWeight = static_cast<float*>(Take(plan, 4 * taps, &st));
      plan->superRowStart = static_cast<int32_t*>(Take(plan, int64_t{4} * (H + 1), &st));
      plan->superRows = static_cast<int32_t*>(Take(plan, 4 * rows, &st));
      plan->superRowWeight = static_cast<float*>(Take(plan, 4 * rows, &st));
      if (st != kStsOk) break;
      int32_t t = 0;
      for (int32_t e = 0; e < E; ++e) {
        plan->tapStart[e] = t;
        elementSpan(e, [&](int32_t index, float w) {
          plan->tapIndex[t] = index;
          plan->tapWeight[t] = w;
          ++t;
        });
      }
      plan->tapStart[E] = t;
      int32_t n = 0;
      for (int32_t i = 0; i < H; ++i) {
        plan->superRowStart[i] = n;
        Cover(i * ky, (i + 1) * ky, N, [&](int32_t row, float w) {
          plan->superRows[n] = row;
          plan->superRowWeight[n] = w;
          ++n;
        });
      }
      plan->superRowStart[H] = n;
      break;
    }
  }
  if (st != kStsOk) Release(plan);
  return st;
}

void Release(Plan* plan) {
  for (int32_t k = 0; k < plan->blockCount; ++k) FreeAligned(plan->blocks[k]);
  plan->blockCount = 0;
}

void NearestRows(const Plan& plan) {
  for (int32_t i = 0; i < plan.outHeight; ++i) {
    const uint8_t* s = plan.src + static_cast<intptr_t>(plan.rowIndex[i]) * plan.srcStep;
    uint8_t* d = plan.dst + static_cast<intptr_t>(i) * plan.dstStep;
    for (int32_t e = 0; e < plan.elements; ++e) d[e] = s[plan.elemOffset[e]];
  }
}

void LinearHorizontal(const Plan& plan, int32_t srcRow, int16_t* out) {
  const uint8_t* s = plan.src + static_cast<intptr_t>(srcRow) * plan.srcStep;
  for (int32_t e = 0; e < plan.elements; ++e) {
    const uint8_t* p = s + plan.elemOffset[e];
    const int32_t next = (e & 1) ? 4 : 2;
    const int32_t wr = plan.elemWeight[e];
    out[e] = static_cast<int16_t>(((kOne - wr) * p[0] + wr * p[next] + 128) >> 8);
  }
}

float CubicValue(float p0, float p1, float p2, float p3, const float* coef) {
  const float d1 = R(p1 - p0);
  const float d2 = R(R(p2 - R(2.0f * p1)) + p0);
  const float d3 = R(R(R(p3 - R(3.0f * p2)) + R(3.0f * p1)) - p0);
  float v = R(p0 + R(coef[0] * d1));
  v = R(v + R(coef[1] * d2));
  return R(v + R(coef[2] * d3));
}

uint8_t CubicToByte(float v) {
  const int32_t i = static_cast<int32_t>(R(v + 0.5000001f));
  return static_cast<uint8_t>(i < 0 ? 0 : (i > 255 ? 255 : i));
}

void AccumulateWeighted(float* acc, const uint8_t* s, int32_t n, float w) {
  for (int32_t k = 0; k < n; ++k) acc[k] = R(acc[k] + R(w * static_cast<float>(s[k])));
}

void CubicHorizontal(const Plan& plan, int32_t srcRow, float* out) {
  const uint8_t* s = plan.src + static_cast<intptr_t>(srcRow) * plan.srcStep;
  for (int32_t e = 0; e < plan.elements; ++e) {
    const uint8_t* p = s + plan.elemOffset[e];
    const int32_t n = (e & 1) ? 4 : 2;
    out[e] = CubicValue(p[0], p[n], p[2 * n], p[3 * n], &plan.elemCoef[3 * e]);
  }
}

void SuperHorizontal(const Plan& plan, uint8_t* dstRow) {
  for (int32_t e = 0; e < plan.elements; ++e) {
    float sum;
    if (plan.integerSums) {
      int32_t isum = 0;
      for (int32_t t = plan.tapStart[e]; t < plan.tapStart[e + 1]; ++t) isum += plan.accI[plan.tapIndex[t]];
      sum = static_cast<float>(isum);
    } else {
      sum = 0.0f;
      for (int32_t t = plan.tapStart[e]; t < plan.tapStart[e + 1]; ++t)
        sum = R(sum + R(plan.tapWeight[t] * plan.accF[plan.tapIndex[t]]));
    }
    const float v = R(R(sum * plan.scale) + 0.5f);
    const int32_t b = v >= 255.0f ? 255 : static_cast<int32_t>(v);
    dstRow[e] = static_cast<uint8_t>(b < 0 ? 0 : b);
  }
}

}  // namespace kvz::prim::resize
