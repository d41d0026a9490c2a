// Effects that carry something from frame to frame or from a file: wave (a phase), tiles (a
// grid filling over 49 frames) and canvas (a paper texture).
#include "postproc/effects/bmp_overlay.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_pixel.h"
#include "postproc/effects/effect_pixel_kernels.h"

namespace kvz {
namespace {

constexpr LONG kWavePhases = 128;

constexpr LONG kTilesFrames = 49;  // 9 steps of 6 frames, the last one shorter
constexpr LONG kTilesFramesPerStep = 6;
constexpr UCHAR kTilesBackground = 5;

struct TileGrid {
  LONG width, height;  // the frame size the grid is drawn for; 0: any height
  LONG tileWidth, tileHeight;
  LONG x[3], y[3];  // columns and rows (in memory order) of the tiles
};

constexpr TileGrid kTileGrids[] = {
    {160, 0, 50, 37, {3, 55, 107}, {81, 42, 3}},
    {176, 0, 56, 45, {2, 60, 118}, {97, 50, 3}},
    {320, 0, 101, 76, {5, 110, 215}, {161, 82, 3}},
    {352, 0, 112, 92, {4, 120, 236}, {193, 98, 3}},
    {640, 400, 207, 128, {5, 217, 429}, {268, 136, 4}},
    {640, 480, 207, 154, {5, 217, 429}, {321, 163, 5}},
    {800, 0, 260, 194, {5, 270, 535}, {401, 203, 5}},
    {960, 0, 314, 235, {5, 323, 641}, {481, 242, 3}},
    {1024, 0, 335, 250, {5, 345, 685}, {515, 260, 5}},
    {1280, 720, 420, 235, {5, 430, 855}, {481, 242, 3}},
    {1280, 800, 420, 260, {5, 430, 855}, {535, 270, 5}},
    {1280, 960, 420, 314, {5, 430, 855}, {642, 324, 5}},
    {1280, 1024, 420, 336, {5, 430, 855}, {684, 344, 4}},
    {1600, 1000, 528, 328, {5, 537, 1069}, {668, 336, 4}},
    {1600, 1200, 528, 394, {5, 537, 1069}, {802, 404, 5}},
    {1920, 0, 632, 352, {6, 644, 1282}, {722, 364, 6}},
};
constexpr LONG kTileGridCount = sizeof(kTileGrids) / sizeof(kTileGrids[0]);

bool GridFits(const TileGrid& g, LONG width, LONG height) {
  return g.x[2] + g.tileWidth <= width && g.y[0] + g.tileHeight <= height && g.x[0] >= 0 && g.y[2] >= 0;
}

// The grid made for the frame's size when it fits; otherwise the largest that fits; -1 none.
LONG ChooseTileGrid(LONG width, LONG height) {
  for (LONG i = 0; i < kTileGridCount; ++i) {
    const TileGrid& g = kTileGrids[i];
    if (g.width == width && (g.height == 0 || g.height == height) && GridFits(g, width, height)) return i;
  }
  for (LONG i = kTileGridCount - 1; i >= 0; --i)
    if (GridFits(kTileGrids[i], width, height)) return i;
  return -1;
}

constexpr PCWSTR kCanvasTexturePath = u"\\SystemRoot\\canvastexture.bmp";
constexpr LONG kCanvasMaxTileWidth = 99;
constexpr LONG kCanvasMaxTileHeight = 72;

LONG LargestDivisor(LONG value, LONG limit) {
  for (LONG n = limit; n > 1; --n)
    if (value % n == 0) return n;
  return 1;
}

// Source index of destination index i under a wave stretch of amount a over count positions.
inline LONG WaveSource(LONG i, LONG a, LONG count) {
  const LONG s = a * ((3 * count) / 8) / 16 + ((64 - 3 * a) * i) / 64;
  return s < count ? s : count - 1;
}

}  // namespace

VOID WaveColumnsRgb24(UCHAR* frame, LONG width, LONG height, UCHAR* work, LONG amount) {
  const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
  for (LONG r = 0; r < height; ++r) {
    const UCHAR* in = frame + r * stride;
    UCHAR* out = work + r * stride;
    for (LONG i = 0; i < width; ++i) RtlCopyMemory(out + i * 3, in + WaveSource(i, amount, width) * 3, 3);
  }
  RtlCopyMemory(frame, work, stride * height);
}

VOID WaveRgb24(UCHAR* frame, LONG width, LONG height, UCHAR* work, LONG amount) {
  const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
  RtlCopyMemory(work, frame, stride * height);
  for (LONG i = 0; i < height; ++i) RtlCopyMemory(frame + i * stride, work + WaveSource(i, amount, height) * stride, stride);
}

ZQEWave::ZQEWave(LONG id) : ZQEPixelEffect(id, kFormatsRgb24, nullptr, nullptr, TRUE), phase(0) {}

NTSTATUS ZQEWave::Init() {
  if (ready) return STATUS_SUCCESS;
  phase = 0;
  ready = 1;
  return STATUS_SUCCESS;
}

NTSTATUS ZQEWave::Run(UCHAR* frame) {
  if (++phase >= kWavePhases) phase = 0;
  const LONG s = phase / 2;
  const LONG w = format.width, h = format.height;
  if (s < 16) {
    if (s) WaveColumnsRgb24(frame, w, h, workBuffer, s);
  } else if (s < 32) {
    if (31 - s) WaveColumnsRgb24(frame, w, h, workBuffer, 31 - s);
  } else if (s < 48) {
    if (s - 32) WaveRgb24(frame, w, h, workBuffer, s - 32);
  } else if (63 - s) {
    WaveRgb24(frame, w, h, workBuffer, 63 - s);
  }
  return STATUS_SUCCESS;
}

ZQETiles::ZQETiles(LONG id) : ZQEPixelEffect(id, kFormatsRgb24, nullptr, nullptr, TRUE), frameCounter(0), gridIndex(0) {}

NTSTATUS ZQETiles::Init() {
  if (ready) return STATUS_SUCCESS;
  if (format.formatCode != kPixelRgb24 || !workBuffer || workBufferSize < 0 ||
      static_cast<ULONG>(workBufferSize) < GetFrameSize(&format)) {
    return STATUS_INVALID_PARAMETER;
  }
  const LONG grid = ChooseTileGrid(format.width, format.height);
  if (grid < 0) return STATUS_NOT_SUPPORTED;
  frameCounter = 0;
  gridIndex = grid;
  RtlFillMemory(workBuffer, PixelCount(format.width, format.height) * 3, kTilesBackground);
  ready = 1;
  return STATUS_SUCCESS;
}

NTSTATUS ZQETiles::Run(UCHAR* frame) {
  if (frameCounter >= kTilesFrames) frameCounter = 0;
  const TileGrid& g = kTileGrids[gridIndex];
  const LONG step = frameCounter / kTilesFramesPerStep;
  const LONG x = g.x[step % 3], y = g.y[step / 3];
  const LONG w = format.width, h = format.height;
  const LONG columnStep = w / g.tileWidth, rowStep = h / g.tileHeight;
  const SIZE_T stride = static_cast<SIZE_T>(w) * 3;
  for (LONG r = 0; r < g.tileHeight; ++r) {
    const UCHAR* in = frame + static_cast<SIZE_T>(r * rowStep) * stride;
    UCHAR* out = workBuffer + static_cast<SIZE_T>(y + r) * stride + static_cast<SIZE_T>(x) * 3;
    for (LONG c = 0; c < g.tileWidth; ++c) RtlCopyMemory(out + c * 3, in + static_cast<SIZE_T>(c * columnStep) * 3, 3);
  }
  RtlCopyMemory(frame, workBuffer, stride * h);
  ++frameCounter;
  return STATUS_SUCCESS;
}

ZQECanvas::ZQECanvas(LONG id)
    : ZQEPixelEffect(id, kFormatsRgb24, nullptr, nullptr, TRUE), tileWidth(0), tileHeight(0), texture(nullptr) {}

ZQECanvas::~ZQECanvas() { ReleaseUnderDoLock(); }

// The texture lives in a buffer of the effect's own sized to the tile, never in the frame
// processor's buffer, whatever the frame size.
NTSTATUS ZQECanvas::Init() {
  if (ready) return STATUS_SUCCESS;
  Release();
  UCHAR* file = static_cast<UCHAR*>(AllocateClassBuffer(kTextureFileBytes));
  if (!file) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(file, kTextureFileBytes);
  ULONG got = 0;
  NTSTATUS status = ReadSystemFile(kCanvasTexturePath, file, kTextureFileBytes, &got);
  if (NT_SUCCESS(status)) {
    tileWidth = LargestDivisor(format.width, kCanvasMaxTileWidth);
    tileHeight = LargestDivisor(format.height, kCanvasMaxTileHeight);
    texture = static_cast<UCHAR*>(AllocateClassBuffer(static_cast<SIZE_T>(tileWidth) * tileHeight));
    if (!texture) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      // A short file leaves the missing texture at 0: those samples add nothing.
      for (LONG r = 0; r < tileHeight; ++r)
        RtlCopyMemory(texture + r * tileWidth, file + kTexturePixelOffset + r * kTextureRowBytes, tileWidth);
      ready = 1;
    }
  }
  PVOID fileBuffer = file;
  FreeClassBuffer(&fileBuffer);
  return status;
}

VOID ZQECanvas::Release() {
  FreeClassBuffer(reinterpret_cast<PVOID*>(&texture));
  ready = 0;
}

NTSTATUS ZQECanvas::Run(UCHAR* frame) {
  if (!texture) return STATUS_INVALID_PARAMETER;
  UCHAR* p = frame;
  for (LONG r = 0; r < format.height; ++r) {
    const UCHAR* t = texture + (r % tileHeight) * tileWidth;
    for (LONG c = 0, tc = 0; c < format.width; ++c, p += 3) {
      const LONG add = t[tc];
      for (LONG b = 0; b < 3; ++b) p[b] = static_cast<UCHAR>(p[b] + add > 255 ? 255 : p[b] + add);
      if (++tc == tileWidth) tc = 0;
    }
  }
  return STATUS_SUCCESS;
}

}  // namespace kvz
