// Remapping effects: glass, fish-eye and page curl. Init computes where every pixel comes from
// (the only floating point of the catalogue); Do moves pixels by the table. Every position the
// table holds is checked against the frame when it is built, so Do trusts it.
#include <math.h>

#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_pixel.h"
#include "postproc/effects/effect_pixel_kernels.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

constexpr ULONG kTagGlassTable = 'Glas';
constexpr ULONG kTagFishTable = 'Fish';
constexpr ULONG kTagBookTable = 'Book';

constexpr double kPi = 3.14159265358979323846;

constexpr LONG kGlassMaxSide = 1600;
constexpr LONG kGlassBlock = 10;
constexpr LONG kGlassAmplitude = 3;

constexpr LONG kFishStrength = 4;           // 1 ... 4
constexpr double kFishRadiusShare = 0.45;   // of the shorter side
constexpr USHORT kFishUnmapped = 0xFFFF;

constexpr SHORT kBookUnmapped = -1;
constexpr LONG kBookMarginPercent = 20;
constexpr LONG kBookSpinePercent = 50;
constexpr LONG kBookTopRows = 20;

inline LONG Clamp(LONG v, LONG low, LONG high) { return v < low ? low : (v > high ? high : v); }

// Truncation toward zero of a value whose exact result may be a whole number that rounding
// left a hair below (sin(pi) is 1.2e-16, not 0): values within kSnap of a whole number count
// as that number. Without it the x87 and SSE builds, which round intermediates differently,
// would build different tables.
constexpr double kSnap = 1e-7;
inline LONG Trunc(double v) {
  const double nearest = v < 0 ? -floor(-v + 0.5) : floor(v + 0.5);
  if (fabs(v - nearest) < kSnap) return static_cast<LONG>(nearest);
  return static_cast<LONG>(v);
}

// One axis of the glass table: positions 0 ... 1599 shifted within blocks of 10.
VOID GlassAxis(LONG* first, LONG* second, LONG size) {
  const LONG c = kGlassBlock, d = kGlassAmplitude;
  for (LONG i = 0; i < kGlassMaxSide; ++i) {
    const double s = size > 1 ? sin(i * kPi / (size - 1)) : 0.0;
    const LONG t = Trunc(s * d * (i % c));
    const LONG half = Trunc(s * c * d * 0.5);
    LONG a, b;
    if (i < size / 2) {
      a = t + i - half;
      b = d * (i % c) + i - t;
    } else {
      a = i + half - t;
      b = t + i - d * (i % c);
    }
    first[i] = Clamp(a, 0, size - 1);
    second[i] = Clamp(b, 0, size - 1);
  }
}

// The page curl's table: column map C, row map R, column drop O (W, H, W entries), then H rows
// of W row-map entries P; -1 where nothing is mapped.
struct BookTable {
  SHORT* columns;
  SHORT* rows;
  SHORT* drops;
  SHORT* rowMaps;
};

BookTable BookParts(PVOID table, LONG w, LONG h) {
  SHORT* base = static_cast<SHORT*>(table);
  return {base, base + w, base + w + h, base + w + h + w};
}

inline VOID StoreIf(SHORT* entry, double value, LONG limit) {
  const LONG v = Trunc(value);
  if (v >= 0 && v < limit) *entry = static_cast<SHORT>(v);
}

}  // namespace

ZQERemapEffect::ZQERemapEffect(LONG identifier, ULONG tag)
    : ZQEPixelEffect(identifier, kFormatsRgb24, nullptr, nullptr, TRUE), table(nullptr), tableTag(tag) {}

ZQERemapEffect::~ZQERemapEffect() { ReleaseUnderDoLock(); }

NTSTATUS ZQERemapEffect::Init() {
  if (ready) return STATUS_SUCCESS;
  Release();
  const SIZE_T bytes = format.formatCode == kPixelRgb24 ? TableBytes() : 0;
  if (bytes == 0) return STATUS_NOT_SUPPORTED;
  table = ExAllocatePoolWithTag(DriverPoolType, bytes, tableTag);
  if (!table) return STATUS_INSUFFICIENT_RESOURCES;
#if defined(__i386__) || defined(_M_IX86)
  // The 32-bit kernel does not keep a driver's x87 and SSE state for it.
  KFLOATING_SAVE saved;
  const NTSTATUS status = KeSaveFloatingPointState(&saved);
  if (!NT_SUCCESS(status)) {
    Release();
    return status;
  }
  BuildTable();
  KeRestoreFloatingPointState(&saved);
#else
  BuildTable();
#endif
  ready = 1;
  return STATUS_SUCCESS;
}

VOID ZQERemapEffect::Release() {
  if (table) ExFreePoolWithTag(table, tableTag);
  table = nullptr;
  ready = 0;
}

ZQEStyle786::ZQEStyle786(LONG id) : ZQERemapEffect(id, kTagGlassTable) {}

SIZE_T ZQEStyle786::TableBytes() {
  if (format.width > kGlassMaxSide || format.height > kGlassMaxSide) return 0;
  return 4 * kGlassMaxSide * sizeof(LONG);
}

VOID ZQEStyle786::BuildTable() {
  LONG* t = static_cast<LONG*>(table);
  GlassAxis(t, t + kGlassMaxSide, format.width);
  GlassAxis(t + 2 * kGlassMaxSide, t + 3 * kGlassMaxSide, format.height);
}

NTSTATUS ZQEStyle786::Run(UCHAR* frame) {
  if (!table) return STATUS_INVALID_PARAMETER;
  const LONG* x0 = static_cast<const LONG*>(table);
  const LONG* x1 = x0 + kGlassMaxSide;
  const LONG* y0 = x1 + kGlassMaxSide;
  const LONG* y1 = y0 + kGlassMaxSide;
  const LONG w = format.width, h = format.height;
  const SIZE_T stride = static_cast<SIZE_T>(w) * 3;
  for (LONG i = 0; i < h; ++i) {
    UCHAR* out = workBuffer + i * stride;
    const UCHAR* rowA = frame + y0[i] * stride;
    const UCHAR* rowB = frame + y1[i] * stride;
    for (LONG j = 0; j < w; ++j) {
      const bool same = ((i / kGlassBlock) & 1) == ((j / kGlassBlock) & 1);
      const UCHAR* in = same ? rowA + x0[j] * 3 : rowB + x1[j] * 3;
      RtlCopyMemory(out + j * 3, in, 3);
    }
  }
  RtlCopyMemory(frame, workBuffer, stride * h);
  return STATUS_SUCCESS;
}

ZQEStyle787::ZQEStyle787(LONG id) : ZQERemapEffect(id, kTagFishTable) {}

SIZE_T ZQEStyle787::TableBytes() { return 2 * PixelCount(format.width, format.height) * sizeof(USHORT); }

// The centre itself (distance 0) has no direction and is left unmapped; Do patches it.
VOID ZQEStyle787::BuildTable() {
  const LONG w = format.width, h = format.height;
  const SIZE_T pixels = PixelCount(w, h);
  USHORT* xs = static_cast<USHORT*>(table);
  USHORT* ys = xs + pixels;
  for (SIZE_T k = 0; k < 2 * pixels; ++k) xs[k] = kFishUnmapped;
  const LONG radius = Trunc(((w < h ? w : h) - 1) * kFishRadiusShare);
  if (radius <= 0) return;
  const LONG cx = (w - 1) / 2, cy = (h - 1) / 2;
  const double pull = static_cast<double>(radius) / ((5 - kFishStrength) * 4);
  for (LONG dy = -radius; dy <= radius; ++dy) {
    for (LONG dx = -radius; dx <= radius; ++dx) {
      const LONG px = cx + dx, py = cy + dy;
      if (px < 0 || px >= w || py < 0 || py >= h) continue;
      const LONG r = Trunc(sqrt(static_cast<double>(dx * dx + dy * dy)));
      if (r > radius || r == 0) continue;
      const LONG pulled = Trunc(r - sin(r * kPi / radius) * pull);
      const LONG sx = Trunc(static_cast<double>(pulled) * dx / r + cx);
      const LONG sy = Trunc(static_cast<double>(pulled) * dy / r + cy);
      if (sx < 0 || sx >= w || sy < 0 || sy >= h) continue;
      const SIZE_T at = static_cast<SIZE_T>(py) * w + px;
      xs[at] = static_cast<USHORT>(sx);
      ys[at] = static_cast<USHORT>(sy);
    }
  }
}

NTSTATUS ZQEStyle787::Run(UCHAR* frame) {
  if (!table) return STATUS_INVALID_PARAMETER;
  const LONG w = format.width, h = format.height;
  const SIZE_T pixels = PixelCount(w, h);
  const SIZE_T stride = static_cast<SIZE_T>(w) * 3;
  const USHORT* xs = static_cast<const USHORT*>(table);
  const USHORT* ys = xs + pixels;
  RtlCopyMemory(workBuffer, frame, pixels * 3);
  for (SIZE_T k = 0; k < pixels; ++k) {
    if (xs[k] == kFishUnmapped) continue;
    RtlCopyMemory(frame + k * 3, workBuffer + ys[k] * stride + xs[k] * 3, 3);
  }
  const LONG cx = (w - 1) / 2, cy = (h - 1) / 2;
  UCHAR* centre = frame + cy * stride + cx * 3;
  const UCHAR* up = frame + OppositeNeighbour(cy, -2, h) * stride + cx * 3;
  const UCHAR* down = frame + OppositeNeighbour(cy, 2, h) * stride + cx * 3;
  const UCHAR* left = frame + cy * stride + OppositeNeighbour(cx, -2, w) * 3;
  const UCHAR* right = frame + cy * stride + OppositeNeighbour(cx, 2, w) * 3;
  for (LONG b = 0; b < 3; ++b) centre[b] = static_cast<UCHAR>((up[b] + down[b] + left[b] + right[b]) >> 2);
  return STATUS_SUCCESS;
}

ZQEStyle788::ZQEStyle788(LONG id) : ZQERemapEffect(id, kTagBookTable) {}

SIZE_T ZQEStyle788::TableBytes() {
  const SIZE_T w = format.width, h = format.height;
  return (w + h + w + h * w) * sizeof(SHORT);
}

// Frames too small for the book's margins simply map fewer pixels: every loop is bounded to
// the frame and every entry outside it stays unmapped.
VOID ZQEStyle788::BuildTable() {
  const LONG W = format.width, H = format.height;
  const BookTable t = BookParts(table, W, H);
  const SIZE_T entries = TableBytes() / sizeof(SHORT);
  SHORT* all = static_cast<SHORT*>(table);
  for (SIZE_T k = 0; k < entries; ++k) all[k] = kBookUnmapped;
  const LONG L = ((W / 2 - kBookTopRows) * kBookMarginPercent) / 100;
  const LONG M = L + ((W - 2 * L) * kBookSpinePercent) / 100;
  const LONG D = ((H - kBookTopRows) * kBookMarginPercent) / 100;
  const LONG A = M - L, B = W - M - L;
  const LONG g = H > kBookTopRows ? ((A - kBookTopRows) * D) / (H - kBookTopRows) : 0;
  const LONG hh = H > kBookTopRows ? ((B - kBookTopRows) * D) / (H - kBookTopRows) : 0;
  const LONG firstLeft = L > 0 ? L : 0;
  const LONG endRight = W - L < W ? W - L : W;
  for (LONG i = firstLeft; i < M && i < W; ++i) {
    StoreIf(&t.columns[i], i - cos((i - L) * kPi / (2 * A)) * L, W);
    StoreIf(&t.drops[i], D - sin((i - L) * kPi / (2 * A)) * D, H);
  }
  for (LONG i = M > 0 ? M : 0; i < endRight; ++i) {
    StoreIf(&t.columns[i], sin((i - M) * kPi / (2 * B)) * L + i, W);
    StoreIf(&t.drops[i], D - cos((i - M) * kPi / (2 * B)) * D, H);
  }
  for (LONG i = 0; i < H - D && i < H; ++i) StoreIf(&t.rows[i], static_cast<double>(i) * H / (H - D), H);
  for (LONG r = 0; r < H; ++r) {
    const double a = static_cast<double>(g) * (H - r) / H;
    const double b = static_cast<double>(hh) * (H - r) / H;
    SHORT* p = t.rowMaps + static_cast<SIZE_T>(r) * W;
    if (A - a > 0)
      for (LONG c = M - 1 < W - 1 ? M - 1 : W - 1; c >= 0 && c >= L + a; --c)
        StoreIf(&p[c], M - (M - c) * A / (A - a), W);
    if (B - b > 0)
      for (LONG c = M > 0 ? M : 0; c < W && c < W - L - b; ++c) StoreIf(&p[c], (c - M) * B / (B - b) + M, W);
  }
}

NTSTATUS ZQEStyle788::Run(UCHAR* frame) {
  if (!table) return STATUS_INVALID_PARAMETER;
  const LONG W = format.width, H = format.height;
  const BookTable t = BookParts(table, W, H);
  const SIZE_T stride = static_cast<SIZE_T>(W) * 3;
  const SIZE_T bytes = stride * H;
  UCHAR* work = workBuffer;
  RtlFillMemory(work, bytes, 255);
  for (LONG c = 0; c < W; ++c) {
    if (t.columns[c] < 0) continue;
    for (LONG r = 0; r < H; ++r) RtlCopyMemory(work + r * stride + c * 3, frame + r * stride + t.columns[c] * 3, 3);
  }
  RtlFillMemory(frame, bytes, 255);
  for (LONG i = 0; i < H; ++i)
    if (t.rows[i] >= 0) RtlCopyMemory(frame + (H - 1 - i) * stride, work + (H - 1 - t.rows[i]) * stride, stride);
  RtlFillMemory(work, bytes, 255);
  for (LONG c = 0; c < W; ++c) {
    const LONG drop = t.drops[c];
    if (drop < 0) continue;
    for (LONG k = 0; k + drop < H; ++k) RtlCopyMemory(work + k * stride + c * 3, frame + (k + drop) * stride + c * 3, 3);
  }
  RtlFillMemory(frame, bytes, 255);
  for (LONG j = 0; j < H; ++j) {
    const SHORT* p = t.rowMaps + static_cast<SIZE_T>(j) * W;
    UCHAR* out = frame + (H - 1 - j) * stride;
    const UCHAR* in = work + (H - 1 - j) * stride;
    for (LONG k = 0; k < W; ++k)
      if (p[k] >= 0) RtlCopyMemory(out + k * 3, in + p[k] * 3, 3);
  }
  return STATUS_SUCCESS;
}

}  // namespace kvz
