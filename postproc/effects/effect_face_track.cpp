#include "postproc/effects/effect_face_track.h"

#include "jpeg/mjpeg_decoder.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_factory.h"
#include "postproc/geometry/image_crop_resize.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

constexpr LONG kServedWidths[] = {320, 352, 640, 800, 1024, 1280, 1600};
// Narrow frames are searched at twice their size.
constexpr LONG kDoubledWidths[] = {160, 176};

// A point is skin when its chroma falls in one of two wedges of the (u, v) plane.
constexpr LONG kSkinCountMin = 9;     // a cell with more skin points is a candidate
constexpr LONG kSkinCountDense = 11;  // a cell with more counts as skin inside the face box
constexpr LONG kRingEdgeMin = 1299;   // a ring point needs a cell with more edge than this
constexpr LONG kRingScoreMin = 35;    // of 50 ring points
constexpr LONG kFaceSkinPercentMin = 30;
constexpr LONG kPointEdgeMin = 130;
constexpr LONG kSearchPasses = 12;

// An ellipse of 50 points in 1/128 of the radius.
constexpr LONG kRingPoints = 50;
constexpr LONG kRingDx[kRingPoints] = {
    128, 126, 122, 116, 108, 99,  88,  75,  62,  47,  32,  16,  0,   -16, -32, -47, -62,
    -75, -88, -99, -108, -116, -122, -126, -128, -128, -126, -122, -116, -108, -99, -88, -75, -62,
    -47, -32, -16, 0,   16,  32,  47,  62,  75,  88,  99,  108, 116, 122, 126, 128};
constexpr LONG kRingDy[kRingPoints] = {
    10,  29,  47,  65,  82,  98,  112, 124, 135, 143, 149, 152, 154, 152, 149, 143, 135,
    124, 112, 98,  82,  65,  47,  29,  10,  -10, -29, -47, -65, -82, -98, -112, -124, -135,
    -143, -149, -152, -154, -152, -149, -143, -135, -124, -112, -98, -82, -65, -47, -29, -10};

LONG MakeEven(LONG value) { return (value & 1) ? value - 1 : value; }

LONG Distance(LONG a, LONG b) { return a > b ? a - b : b - a; }

BOOLEAN WidthIn(LONG width, const LONG* widths, ULONG count) {
  for (ULONG i = 0; i < count; ++i) {
    if (widths[i] == width) return TRUE;
  }
  return FALSE;
}

BOOLEAN IsSkin(LONG u, LONG v) {
  const LONG cu = u - 128, cv = v - 128;
  if (cu == 0) return FALSE;
  const LONG ratio = 1024 * cv / cu;
  const LONG e = 859 * cv - 558 * cu;
  if (u >= 84 && u <= 127 && v >= 129 && v <= 172 && ratio >= -3821 && ratio <= -592 && e >= 10241 &&
      e <= 51199) {
    return TRUE;
  }
  return u == 129 && v >= 129 && v <= 172 && ratio >= 5633 && ratio - 5633 <= 2046 && e >= 4097 && e <= 51199;
}

// Cells and points past the grids count as empty.
LONG SkinAt(const FaceTrackGrids* g, LONG cx, LONG cy) {
  if (cx < -1 || cx >= kTrackCellColumns - 1 || cy < -1 || cy >= kTrackCellRows - 1) return 0;
  return g->skinCount[cx + 1][cy + 1];
}

LONG EdgeSumAt(const FaceTrackGrids* g, LONG cx, LONG cy) {
  if (cx < -1 || cx >= kTrackCellColumns - 1 || cy < -1 || cy >= kTrackCellRows - 1) return 0;
  return g->edgeSum[cx + 1][cy + 1];
}

LONG EdgeAt(const FaceTrackGrids* g, LONG column, LONG row) {
  if (column < 0 || column >= kTrackInteriorWidth || row < 1 || row > kTrackInteriorHeight) return 0;
  return g->edge[row - 1][column];
}

VOID FillGrids(FaceTrackGrids* g, const UCHAR* picture, LONG width, LONG height) {
  const ULONG stepX = static_cast<ULONG>(width) * 1024 / kTrackGridWidth;
  const ULONG stepY = static_cast<ULONG>(height) * 1024 / kTrackGridHeight;
  const ULONG pixels = static_cast<ULONG>(width) * static_cast<ULONG>(height);
  const UCHAR* planeU = picture + pixels;
  const UCHAR* planeV = planeU + pixels / 4;
  const ULONG chromaStride = static_cast<ULONG>(width) / 2;

  for (LONG y = 0; y < kTrackGridHeight; ++y) {
    const UCHAR* row = picture + ((y * stepY) >> 10) * static_cast<ULONG>(width);
    for (LONG x = 0; x < kTrackGridWidth; ++x) g->luma[y][x] = row[(x * stepX) >> 10];
  }
  RtlZeroMemory(g->skinCount, sizeof(g->skinCount));
  RtlZeroMemory(g->edgeSum, sizeof(g->edgeSum));

  for (LONG y = 1; y <= kTrackInteriorHeight; ++y) {
    const ULONG chromaRow = ((y * stepY) >> 11) * chromaStride;
    const LONG cellY = (819 * (y - 1) - 1229) >> 12;
    const UCHAR(*L)[kTrackGridWidth] = g->luma;
    for (LONG x = 1; x <= kTrackInteriorWidth; ++x) {
      const ULONG chroma = chromaRow + ((x * stepX) >> 11);
      const BOOLEAN skin = IsSkin(planeU[chroma], planeV[chroma]);
      const LONG gx = 2 * (L[y][x + 1] - L[y][x - 1]) + L[y + 1][x + 1] + L[y - 1][x + 1] - L[y + 1][x - 1] -
                      L[y - 1][x - 1];
      const LONG gy = 2 * (L[y + 1][x] - L[y - 1][x]) + L[y + 1][x + 1] + L[y + 1][x - 1] - L[y - 1][x + 1] -
                      L[y - 1][x - 1];
      const LONG edge = (gx < 0 ? -gx : gx) + (gy < 0 ? -gy : gy);
      g->edge[y - 1][x - 1] = static_cast<USHORT>(edge);
      const LONG cellX = (819 * (x - 1) - 1229) >> 12;
      if (cellX < kTrackCellColumns - 1 && cellY < kTrackCellRows - 1) {
        g->skinCount[cellX + 1][cellY + 1] += skin ? 1 : 0;
        g->edgeSum[cellX + 1][cellY + 1] += edge;
      }
    }
  }
}

LONG RingScore(const FaceTrackGrids* g, LONG cx, LONG cy, LONG radius) {
  LONG score = 0;
  for (LONG i = 0; i < kRingPoints; ++i) {
    const LONG px = cx + ((kRingDx[i] * radius) >> 7);
    const LONG py = cy + ((kRingDy[i] * radius) >> 7);
    const BOOLEAN edge = EdgeSumAt(g, px, py) > kRingEdgeMin || EdgeSumAt(g, px + 1, py) > kRingEdgeMin ||
                         EdgeSumAt(g, px - 1, py) > kRingEdgeMin;
    const BOOLEAN skin = SkinAt(g, px, py) > kSkinCountMin || SkinAt(g, px + 1, py) > kSkinCountMin ||
                         SkinAt(g, px - 1, py) > kSkinCountMin || SkinAt(g, px, py + 1) > kSkinCountMin ||
                         SkinAt(g, px, py - 1) > kSkinCountMin;
    if (edge && skin) ++score;
  }
  return score;
}

// Places a window of size s around a face at p of size f inside a frame of size F.
LONG PlaceAlongAxis(LONG s, LONG p, LONG f, LONG F) {
  const LONG margin = (s - f) / 2;
  const LONG after = F - p - f;
  if (p >= after) return margin < after ? p - margin : F - s;
  return margin < p ? p - margin : 0;
}

}  // namespace

LONG UpdateFaceTrackState(LONG* result, const UCHAR* picture, LONG width, LONG height, FaceTrackGrids* grids) {
  RtlZeroMemory(result, kTrackResultCount * sizeof(LONG));
  if (!WidthIn(width, kServedWidths, ARRAYSIZE(kServedWidths)) || height <= 0 || height > kEffectMaxDimension) {
    return 0;
  }
  FillGrids(grids, picture, width, height);

  LONG best = 0;
  for (LONG n = 0; n < kSearchPasses; ++n) {
    const LONG radius = 16 - n;
    const LONG rowMargin = (2464 - 154 * n) >> 7;
    const LONG halfWidth = (112 - 7 * n) >> 3;
    BOOLEAN found = FALSE;
    LONG faceX = 0, faceY = 0;
    for (LONG cy = rowMargin; cy <= 47 - rowMargin; ++cy) {
      for (LONG cx = radius; cx <= 47 + n; ++cx) {
        if (SkinAt(grids, cx, cy) <= kSkinCountMin) continue;
        if (RingScore(grids, cx, cy, radius) < kRingScoreMin) continue;
        LONG dense = 0, cells = 0;
        for (LONG col = cx - halfWidth; col < cx + halfWidth; ++col) {
          for (LONG row = cy - radius; row < cy + radius; ++row) {
            ++cells;
            if (SkinAt(grids, col, row) > kSkinCountDense) ++dense;
          }
        }
        if (cells == 0 || 100 * dense / cells < kFaceSkinPercentMin || dense < best) continue;
        best = dense;
        LONG edges = 0, points = 0;
        for (LONG k = 5 * (cx - halfWidth); k < 5 * (cx + halfWidth); ++k) {
          for (LONG y = 5 * (cy - radius); y < 5 * (cy + radius); ++y) {
            ++points;
            if (EdgeAt(grids, k - 1, y) > kPointEdgeMin) ++edges;
          }
        }
        // At most 40% of the box may be edge: a face is smoother than the texture around it.
        if (10 * edges <= 4 * points) {
          found = TRUE;
          faceX = cx;
          faceY = cy;
        }
      }
    }
    if (!found) continue;

    const LONG lowX = 10, highX = kTrackReferenceWidth - 10, lowY = 10, highY = kTrackReferenceHeight - 10;
    LONG left = 10 * (faceX - radius), right = 10 * (faceX + radius);
    LONG top = 10 * faceY - 12 * radius, bottom = 10 * faceY + 12 * radius;
    left = left < lowX ? lowX : (left > highX ? highX : left);
    right = right < lowX ? lowX : (right > highX ? highX : right);
    top = top < lowY ? lowY : (top > highY ? highY : top);
    bottom = bottom < lowY ? lowY : (bottom > highY ? highY : bottom);
    LONG faceWidth = right - left + 1, faceHeight = bottom - top + 1;
    if (height == kTrackReferenceHeight * width / kTrackReferenceWidth) {
      left = left * width / kTrackReferenceWidth;
      top = top * width / kTrackReferenceWidth;
      faceWidth = faceWidth * width / kTrackReferenceWidth;
      faceHeight = faceHeight * width / kTrackReferenceWidth;
    } else if (height == 288 * width / 352) {
      left = left * 11 / 20;
      faceWidth = faceWidth * 11 / 20;
      top = top * 121 / 200;
      faceHeight = faceHeight * 121 / 200;
    }
    result[kTrackFaceLeft] = left;
    result[kTrackFaceTop] = top;
    result[kTrackFaceWidth] = faceWidth;
    result[kTrackFaceHeight] = faceHeight;
    result[kTrackFound] = 1;
    return 1;
  }
  return 1;
}

VOID FitTrackWindow(LONG* left, LONG* top, LONG* width, LONG* height, LONG frameWidth, LONG frameHeight,
                    LONG faceLeft, LONG faceTop, LONG faceWidth, LONG faceHeight) {
  LONG g = 3 * faceWidth;
  LONG h = 0;
  BOOLEAN whole = g >= frameWidth;
  if (!whole) {
    if (g < frameWidth / 4) g = frameWidth / 4;
    h = frameHeight * g / frameWidth;
    if (h < faceHeight) {
      g = frameWidth * faceHeight / frameHeight;
      whole = g >= frameWidth;
      h = faceHeight;
    }
  }
  if (whole) {
    *left = 0;
    *top = 0;
    *width = frameWidth;
    *height = frameHeight;
    return;
  }
  *left = MakeEven(PlaceAlongAxis(g, faceLeft, faceWidth, frameWidth));
  *top = MakeEven(PlaceAlongAxis(h, faceTop, faceHeight, frameHeight));
  *width = MakeEven(g);
  *height = MakeEven(h);
}

VOID StepToward(LONG target, LONG* value, LONG step) {
  LONG v = *value;
  if (v < target) {
    v = (target - v >= step) ? v + step : target;
  } else {
    v = (v - target >= step) ? v - step : target;
  }
  *value = MakeEven(v);
}

ZQEffect* NewFaceTrackEffect(LONG identifier) {
  if (identifier != kEffectFaceTrack) return nullptr;
  return NewEffect<ZQEFaceTrack>(kTagEffectFaceTrack, identifier, kFormatsRgb24);
}

ZQEFaceTrack::ZQEFaceTrack(LONG identifier, LONG supportedFormats)
    : ZQEZoomWindow(identifier, supportedFormats),
      trackResult{},
      searchCountdown(1),
      picture(nullptr),
      doubledPicture(nullptr),
      previous{},
      target{},
      stepX(0),
      stepY(0),
      lostCountdown(kTrackLostFrames),
      grids(nullptr) {}

ZQEFaceTrack::~ZQEFaceTrack() { ReleaseUnderDoLock(); }

NTSTATUS ZQEFaceTrack::Init() {
  if (ready) return STATUS_SUCCESS;
  const ULONG pixels = static_cast<ULONG>(format.width) * static_cast<ULONG>(format.height);
  const BOOLEAN doubled = WidthIn(format.width, kDoubledWidths, ARRAYSIZE(kDoubledWidths));
  // Zeroed: rows a frame of odd height leaves without chroma are read as they are.
  picture = static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, pixels * 3, kTagFaceTrackPicture));
  grids = static_cast<FaceTrackGrids*>(
      ExAllocatePoolWithTag(DriverPoolType, sizeof(FaceTrackGrids), kTagFaceTrackSearch));
  if (doubled) {
    doubledPicture =
        static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, pixels * 4 * 3 / 2, kTagFaceTrackPicture));
  }
  if (!picture || !grids || (doubled && !doubledPicture)) {
    Release();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(picture, pixels * 3);
  window = {format.width, format.height, 0, 0};
  target = window;
  lostCountdown = kTrackLostFrames;
  searchCountdown = 1;
  stepX = format.width / 100;
  if (stepX & 1) ++stepX;
  stepY = stepX;
  ready = 1;
  return STATUS_SUCCESS;
}

VOID ZQEFaceTrack::Release() {
  ready = 0;
  if (picture) ExFreePoolWithTag(picture, kTagFaceTrackPicture);
  if (doubledPicture) ExFreePoolWithTag(doubledPicture, kTagFaceTrackPicture);
  if (grids) ExFreePoolWithTag(grids, kTagFaceTrackSearch);
  picture = nullptr;
  doubledPicture = nullptr;
  grids = nullptr;
}

NTSTATUS ZQEFaceTrack::PreProcess(UCHAR* frame) {
  const LONG W = format.width, H = format.height;
  if (searchCountdown == 1) {
    const BOOLEAN doubled = WidthIn(W, kDoubledWidths, ARRAYSIZE(kDoubledWidths));
    RtlZeroMemory(trackResult, sizeof(trackResult));
    // Frames of a width the search does not serve find no face; they are not converted.
    if (doubled || WidthIn(W, kServedWidths, ARRAYSIZE(kServedWidths))) {
      RtlCopyMemory(workBuffer, frame, GetFrameSize(&format));
      jpeg::ConvertRgb24ToI420(workBuffer, picture, W, H);
      if (doubled) {
        ResizeImage(picture, doubledPicture, W, H, 2 * W, 2 * H, kPixelI420);
        UpdateFaceTrackState(trackResult, doubledPicture, 2 * W, 2 * H, grids);
        for (LONG i = kTrackFaceLeft; i <= kTrackFaceHeight; ++i) trackResult[i] /= 2;
      } else {
        UpdateFaceTrackState(trackResult, picture, W, H, grids);
      }
    }
    previous = window;
    if (trackResult[kTrackFaceWidth] != 0 && trackResult[kTrackFaceHeight] != 0) {
      FitTrackWindow(&target.left, &target.top, &target.width, &target.height, W, H, trackResult[kTrackFaceLeft],
                     trackResult[kTrackFaceTop], trackResult[kTrackFaceWidth], trackResult[kTrackFaceHeight]);
      lostCountdown = kTrackLostFrames;
    } else if (lostCountdown > 1) {
      --lostCountdown;
    } else {
      target = {W, H, 0, 0};
      lostCountdown = kTrackLostFrames;
    }
    if (Distance(previous.left, target.left) < 5 * W / 100 && Distance(previous.top, target.top) < 5 * H / 100) {
      target = previous;
    }
    searchCountdown = 1;
  } else {
    --searchCountdown;
  }
  StepToward(target.left, &window.left, stepX);
  StepToward(target.top, &window.top, stepY);
  StepToward(target.height, &window.height, stepY);
  window.width = MakeEven(static_cast<LONG>(static_cast<ULONG>(window.height) * static_cast<ULONG>(W) /
                                            static_cast<ULONG>(H)));
  if (window.width + window.left > W) {
    window.width = MakeEven(W - window.left);
    window.height = MakeEven(static_cast<LONG>(static_cast<ULONG>(H) * static_cast<ULONG>(window.width) /
                                               static_cast<ULONG>(W)));
  }
  return STATUS_SUCCESS;
}

}  // namespace kvz
