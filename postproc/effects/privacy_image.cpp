#include "postproc/effects/privacy_image.h"

#include <math.h>
#include <string.h>

#include "postproc/effects/point_stack.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

constexpr ULONG kTagCanvas = 'pPPB';
constexpr LONG kWhite = 255;
constexpr UCHAR kGrey = 128;

constexpr PrivacyPoint kInnerReference[8] = {{-80, 55}, {-80, -37}, {-51, -37}, {-31, -56},
                                              {31, -56},  {51, -37},  {80, -37},  {80, 55}};
constexpr PrivacyPoint kOuterReference[8] = {{-94, 69}, {-94, -51}, {-58, -51}, {-38, -70},
                                              {38, -70},  {58, -51},  {94, -51},  {94, 69}};
constexpr PrivacyPoint kSlashReference[4] = {{-94, -83}, {-83, -94}, {94, 83}, {83, 94}};

// Anti-aliasing weight of a distance from the ideal line.
double LineWeight(double t) {
  return (t >= -1.4142136 && t <= 1.4142136) ? 1.0 - fabs(t) * 0.70711 : 0.0;
}

double Clamp01(double w) { return w < 0.0 ? 0.0 : (w > 1.0 ? 1.0 : w); }

LONG Sign(LONG v) { return v > 0 ? 1 : (v < 0 ? -1 : 0); }

LONG Abs(LONG v) { return v < 0 ? -v : v; }

VOID LayOut(PrivacyPoint* out, const PrivacyPoint* in, int count, float s, LONG cx, LONG cy) {
  for (int i = 0; i < count; ++i) {
    out[i].x = static_cast<LONG>(static_cast<float>(in[i].x) * s + static_cast<float>(cx));
    out[i].y = static_cast<LONG>(static_cast<float>(in[i].y) * s + static_cast<float>(cy));
  }
}

}  // namespace

PrivacyImage::PrivacyImage()
    : centreX(0), centreY(0), width(0), height(0), size(0), scale(0.0f),
      innerRadiusReference(28), outerRadiusReference(40), innerRadius(0), outerRadius(0),
      bytesPerPixel(0), drawn(0), canvas_(nullptr), canvasBytes_(0) {
  memset(inner, 0, sizeof(inner));
  memset(outer, 0, sizeof(outer));
  memset(slash, 0, sizeof(slash));
  memcpy(innerReference, kInnerReference, sizeof(innerReference));
  memcpy(outerReference, kOuterReference, sizeof(outerReference));
  memcpy(slashReference, kSlashReference, sizeof(slashReference));
}

PrivacyImage::~PrivacyImage() {
  if (canvas_) ExFreePoolWithTag(canvas_, kTagCanvas);
}

NTSTATUS PrivacyImage::Draw(UCHAR* frame, LONG w, LONG h, LONG bpp) {
  if (!frame || w <= 0 || h <= 0 || (bpp != 2 && bpp != 3) || w > 32767 || h > 32767 ||
      static_cast<ULONGLONG>(w) * h * bpp > 0x7FFFFFFF)
    return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_SUCCESS;
  if (!drawn || w != width || h != height || bpp != bytesPerPixel) {
    const SIZE_T bytes = static_cast<SIZE_T>(w) * h * bpp;
    if (bytes > canvasBytes_) {
      // Grown only: a picture is kept for the largest frame seen.
      if (canvas_) ExFreePoolWithTag(canvas_, kTagCanvas);
      canvasBytes_ = 0;
      drawn = 0;
      canvas_ = static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, bytes, kTagCanvas));
      if (!canvas_) return STATUS_INSUFFICIENT_RESOURCES;
      canvasBytes_ = bytes;
    }
    Layout(w, h, bpp);
    status = Render();
    drawn = NT_SUCCESS(status) ? 1 : 0;
  }
  memcpy(frame, canvas_, static_cast<SIZE_T>(size));
  return status;
}

VOID PrivacyImage::Layout(LONG w, LONG h, LONG bpp) {
  width = w;
  height = h;
  bytesPerPixel = bpp;
  size = w * h * bpp;
  centreX = w / 2;
  centreY = h / 2;
  const float sw = static_cast<float>(w) / 640.0f, sh = static_cast<float>(h) / 480.0f;
  scale = sw > sh ? sw : sh;
  if (scale > 1.0f) scale /= 2.0f;
  LayOut(inner, innerReference, 8, scale, centreX, centreY);
  LayOut(outer, outerReference, 8, scale, centreX, centreY);
  LayOut(slash, slashReference, 4, scale, centreX, centreY);
  innerRadius = static_cast<LONG>(static_cast<float>(innerRadiusReference) * scale);
  outerRadius = static_cast<LONG>(static_cast<float>(outerRadiusReference) * scale);
  if (outerRadius - innerRadius <= 5) innerRadius = outerRadius - 5;
  // A tiny figure has no room for the ring's width; the lens becomes a disc.
  if (innerRadius < 0) innerRadius = 0;
}

NTSTATUS PrivacyImage::Render() {
  NTSTATUS status = STATUS_SUCCESS;
  auto note = [&status](NTSTATUS s) {
    if (!NT_SUCCESS(s)) status = s;
  };
  memset(canvas_, kGrey, static_cast<SIZE_T>(size));

  for (int e = 0; e < 4; ++e) {
    const PrivacyPoint& a = slash[e];
    const PrivacyPoint& b = slash[(e + 1) % 4];
    DrawLineAA(a.x, a.y, b.x, b.y, kWhite);
    DrawLine(a.x, a.y, b.x, b.y);
  }
  note(FloodFill(centreX, centreY));

  DrawArcAA(centreX, centreY, innerRadius + 1, kWhite);
  DrawArcAA(centreX, centreY, outerRadius, kWhite);
  DrawCircle(centreX, centreY, innerRadius + 1);
  DrawCircle(centreX, centreY, outerRadius);
  note(FloodFill(centreX + outerRadius - 1, centreY));
  note(FloodFill(centreX - outerRadius + 1, centreY));

  for (int k = 0; k < 8; ++k) {
    const PrivacyPoint& i0 = inner[k];
    const PrivacyPoint& i1 = inner[(k + 1) % 8];
    const PrivacyPoint& o0 = outer[k];
    const PrivacyPoint& o1 = outer[(k + 1) % 8];
    DrawLineAA(i0.x, i0.y, i1.x, i1.y, kWhite);
    DrawLineAA(o0.x, o0.y, o1.x, o1.y, kWhite);
    DrawLine(i0.x, i0.y, i1.x, i1.y);
    DrawLine(o0.x, o0.y, o1.x, o1.y);
  }
  note(FloodFill(inner[0].x - 1, inner[0].y));
  note(FloodFill(inner[7].x + 1, inner[7].y));
  return status;
}

UCHAR* PrivacyImage::At(LONG x, LONG y) const {
  return canvas_ + (static_cast<SIZE_T>(y) * width + x) * bytesPerPixel;
}

bool PrivacyImage::IsWhite(LONG x, LONG y) const {
  // The picture's edges bound every fill.
  return !Inside(x, y) || *At(x, y) == kWhite;
}

VOID PrivacyImage::Put(LONG x, LONG y, LONG value) {
  if (!canvas_ || !Inside(x, y)) return;
  UCHAR* p = At(x, y);
  const UCHAR v = static_cast<UCHAR>(value);
  p[0] = v;
  if (bytesPerPixel == 3) p[1] = p[2] = v;
}

VOID PrivacyImage::Blend(LONG x, LONG y, LONG value, double weight) {
  if (!canvas_ || !Inside(x, y)) return;
  const LONG old = *At(x, y);
  double v = old + (value - old) * weight;
  // Never wrap a byte, whatever the weight.
  if (!(v >= 0.0)) v = 0.0;
  if (v > 255.0) v = 255.0;
  Put(x, y, static_cast<LONG>(v));
}

VOID PrivacyImage::DrawLine(LONG x0, LONG y0, LONG x1, LONG y1) {
  const LONG dx = Abs(x1 - x0), dy = Abs(y1 - y0);
  const LONG sx = x1 >= x0 ? 1 : -1, sy = y1 >= y0 ? 1 : -1;
  LONG x = x0, y = y0, sum = 0;
  if (dy < dx) {
    for (; x != x1; x += sx) {
      Put(x, y, kWhite);
      if (2 * (sum + dy) < dx) {
        sum += dy;
      } else {
        sum += dy - dx;
        y += sy;
      }
    }
  } else {
    for (; y != y1; y += sy) {
      Put(x, y, kWhite);
      if (2 * (sum + dx) < dy) {
        sum += dx;
      } else {
        sum += dx - dy;
        x += sx;
      }
    }
  }
}

VOID PrivacyImage::DrawLineAA(LONG x0, LONG y0, LONG x1, LONG y1, LONG value) {
  const LONG dx = x1 - x0, dy = y1 - y0;
  if (dx == 0 && dy == 0) return;  // a point has no direction to weigh against
  const LONG sx = Sign(dx), sy = Sign(dy);
  const LONG adx = Abs(dx), ady = Abs(dy);
  const double k = 1.0 / (2.0 * sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy));
  LONG v = 0;
  if (ady < adx) {
    const double span = 2.0 * dx * k;
    LONG d = 2 * ady - adx, y = y0;
    for (LONG x = x0;; x += sx) {
      const double dist = v * k, signedDist = sx > 0 ? dist : -dist;
      Blend(x, y, value, LineWeight(dist));
      Blend(x, y + sy, value, LineWeight(span - signedDist));
      Blend(x, y - sy, value, LineWeight(span + signedDist));
      if (x == x1) break;
      if (d < 0) {
        v = d + adx;
        d += 2 * ady;
      } else {
        v = d - adx;
        d += 2 * ady - 2 * adx;
        y += sy;
      }
    }
  } else {
    const double span = 2.0 * dy * k;
    LONG d = 2 * adx - ady, x = x0;
    for (LONG y = y0;; y += sy) {
      const double dist = v * k, signedDist = sy > 0 ? dist : -dist;
      Blend(x, y, value, LineWeight(dist));
      Blend(x + sx, y, value, LineWeight(span - signedDist));
      Blend(x - sx, y, value, LineWeight(span + signedDist));
      if (y == y1) break;
      if (d < 0) {
        v = d + ady;
        d += 2 * adx;
      } else {
        v = d - ady;
        d += 2 * adx - 2 * ady;
        x += sx;
      }
    }
  }
}

VOID PrivacyImage::BlendCirclePoints(LONG cx, LONG cy, LONG x, LONG y, LONG value, double weight) {
  const double w = Clamp01(weight);
  Blend(cx + x, cy + y, value, w);
  Blend(cx + y, cy + x, value, w);
  Blend(cx + y, cy - x, value, w);
  Blend(cx + x, cy - y, value, w);
  Blend(cx - x, cy - y, value, w);
  Blend(cx - y, cy - x, value, w);
  Blend(cx - y, cy + x, value, w);
  Blend(cx - x, cy + y, value, w);
}

VOID PrivacyImage::DrawArcAA(LONG cx, LONG cy, LONG r, LONG value) {
  if (r <= 0) return;
  const double k = 1.0 / (2.0 * r * 1.4142);
  LONG x = 0, y = r, f = 1 - r, g = 5 - 2 * r, e = 0, D = 2 * r;
  double w0 = 1.0, w1 = 0.2, w2 = 0.2;
  LONG nextY;
  for (;;) {
    BlendCirclePoints(cx, cy, x, y, value, w0);
    BlendCirclePoints(cx, cy, x, y + 1, value, w1);
    BlendCirclePoints(cx, cy, x, y - 1, value, w2);
    const bool step = f >= 0;
    nextY = step ? y - 1 : y;
    if (step) e = e - 2 * y + 1;
    if (x >= y - 3) break;
    if (step) D -= 2;
    e += 2 * x + 1;
    f = step ? f + g : f + 2 * x + 3;
    g = step ? g + 4 : g + 2;
    ++x;
    y = nextY;
    w0 = 1.0 - Abs(e) * k;
    w1 = 1.0 - (D + e + 1) * k;
    w2 = 1.0 + (e - 2 * y + 1) * k;
  }
  // Closing octant joints; the weights are clamped like every other blend so that none wraps.
  const LONG xc = x + 1, yc = nextY;
  e += 2 * x + 1;
  const double wo = Clamp01(1.0 - Abs(e) * k);
  const double wy = 1.0 - (2 * yc + e + 1) * k;
  if (xc == yc) {
    Blend(cx + xc, cy + yc, value, wo);
    Blend(cx - xc, cy + yc, value, wo);
    Blend(cx - xc, cy - yc, value, wo);
    Blend(cx + xc, cy - yc, value, wo);
  } else {
    const double wt = Clamp01(1.0 + (e - 2 * yc + 1) * k);
    Blend(cx + xc, cy + xc, value, wt);
    Blend(cx - xc, cy + xc, value, wt);
    Blend(cx - xc, cy - xc, value, wt);
    Blend(cx + xc, cy - xc, value, wt);
    const double wd = Clamp01(1.0 - (2 * xc + e + 1) * k);
    Blend(cx + yc, cy + yc, value, wd);
    Blend(cx + yc, cy - yc, value, wd);
    Blend(cx - yc, cy - yc, value, wd);
    Blend(cx - yc, cy + yc, value, wd);
    BlendCirclePoints(cx, cy, xc, yc, value, wo);
  }
  BlendCirclePoints(cx, cy, xc, yc + 1, value, wy);
}

VOID PrivacyImage::DrawCircle(LONG cx, LONG cy, LONG r) {
  if (r <= 0) return;
  LONG x = 0, y = r, d = 1 - r, g = 5 - 2 * r;
  for (; x <= y; ++x) {
    BlendCirclePoints(cx, cy, x, y, kWhite, 1.0);
    if (d < 0) {
      d += 2 * x + 3;
      g += 2;
    } else {
      d += g;
      g += 4;
      --y;
    }
  }
}

VOID PrivacyImage::ScanAdjacentRow(PointStack* stack, LONG row, LONG left, LONG right,
                                   NTSTATUS* status) {
  if (row < 0 || row >= height) return;
  LONG r = right;
  while (r > left && IsWhite(r, row)) --r;
  if (IsWhite(r, row)) return;
  LONG m = left;
  while (m < r && IsWhite(m, row)) ++m;
  NTSTATUS s = stack->Push(r, row);
  // Right ends of the runs between m and r.
  for (LONG c = m; c < r && NT_SUCCESS(s); ++c)
    if (IsWhite(c, row) && !IsWhite(c - 1, row)) s = stack->Push(c - 1, row);
  if (!NT_SUCCESS(s)) *status = s;
}

NTSTATUS PrivacyImage::FloodFill(LONG x, LONG y) {
  if (!canvas_ || !Inside(x, y)) return STATUS_SUCCESS;
  PointStack stack;
  NTSTATUS status = stack.Create();
  if (!NT_SUCCESS(status)) return status;
  stack.Push(x, y);
  LONG px, py;
  while (stack.Pop(&px, &py)) {
    Put(px, py, kWhite);
    LONG right = px, left = px;
    while (!IsWhite(right + 1, py)) Put(++right, py, kWhite);
    while (!IsWhite(left - 1, py)) Put(--left, py, kWhite);
    ScanAdjacentRow(&stack, py + 1, left, right, &status);
    ScanAdjacentRow(&stack, py - 1, left, right, &status);
  }
  return status;
}

}  // namespace kvz
