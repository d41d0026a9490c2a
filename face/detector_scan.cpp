// The multi-scale scan: a ladder of scales in 1/1024, one job per scale, jobs spread over
// slices and passed through an eight-entry ring, each job's scaled region cut into tiles and
// 64 x 64 sub-tiles that overlap by the window less one pixel, every aligned window position
// tested once, hits merged per job.
#include <stdlib.h>
#include <string.h>

#include "face/bit_record.h"
#include "face/detector_internal.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

LONG Min(LONG a, LONG b) { return a < b ? a : b; }

// Distance from position up to the next multiple of step.
ULONG AlignmentOffset(ULONG position, ULONG step) { return (step - position % step) % step; }

VOID PackJob(const ScanJob& job, UCHAR* record) {
  BitWriter w(record);
  w.Write(job.x, kCoordinateBits);
  w.Write(job.y, kCoordinateBits);
  w.Write(job.width, kCoordinateBits);
  w.Write(job.height, kCoordinateBits);
  w.Write(job.stepX, kJobStepBits);
  w.Write(job.stepY, kJobStepBits);
  w.Write(job.columnStep, kJobPixelStepBits);
  w.Write(job.rowStep, kJobPixelStepBits);
  w.Write(job.rotation, kJobRotationBits);
  w.Flush();
}

ScanJob UnpackJob(const UCHAR* record) {
  BitReader r(record);
  ScanJob job = {};
  job.x = static_cast<USHORT>(r.Read(kCoordinateBits));
  job.y = static_cast<USHORT>(r.Read(kCoordinateBits));
  job.width = static_cast<USHORT>(r.Read(kCoordinateBits));
  job.height = static_cast<USHORT>(r.Read(kCoordinateBits));
  job.stepX = static_cast<USHORT>(r.Read(kJobStepBits));
  job.stepY = static_cast<USHORT>(r.Read(kJobStepBits));
  job.columnStep = static_cast<UCHAR>(r.Read(kJobPixelStepBits));
  job.rowStep = static_cast<UCHAR>(r.Read(kJobPixelStepBits));
  job.rotation = static_cast<UCHAR>(r.Read(kJobRotationBits));
  return job;
}

VOID WriteHit(UCHAR* record, USHORT tag, const Candidate& c) {
  BitWriter w(record);
  w.Write(tag, kHitTagBits);
  w.Write(static_cast<ULONG>(c.left), kCoordinateBits);
  w.Write(static_cast<ULONG>(c.top), kCoordinateBits);
  w.Write(static_cast<ULONG>(c.right), kCoordinateBits);
  w.Write(static_cast<ULONG>(c.bottom), kCoordinateBits);
  w.Flush();
}

Candidate ReadHit(const UCHAR* record) {
  BitReader r(record);
  Candidate c = {};
  c.tag = static_cast<USHORT>(r.Read(kHitTagBits));
  c.left = static_cast<LONG>(r.Read(kCoordinateBits));
  c.top = static_cast<LONG>(r.Read(kCoordinateBits));
  c.right = static_cast<LONG>(r.Read(kCoordinateBits));
  c.bottom = static_cast<LONG>(r.Read(kCoordinateBits));
  c.members = 1;
  c.neighbours = 1;
  return c;
}

struct SliceLoad {
  ULONG load;
  ULONG slice;
};

int CompareLoads(const void* a, const void* b) {
  const SliceLoad* x = static_cast<const SliceLoad*>(a);
  const SliceLoad* y = static_cast<const SliceLoad*>(b);
  if (x->load != y->load) return x->load < y->load ? -1 : 1;
  return x->slice < y->slice ? -1 : (x->slice > y->slice ? 1 : 0);
}

// Every job goes to exactly one slice: the first ones one each, the rest to the least loaded;
// then the slice lists take their jobs in job order from one array.
VOID AssignJobsToSlices(ScanState* scan, ULONG jobs, ULONG slices) {
  SliceLoad loads[kMaxSlices];
  for (ULONG s = 0; s < slices; ++s) loads[s] = SliceLoad{0, s};
  for (ULONG j = 0; j < jobs; ++j) {
    BuildJob& b = scan->jobArray[j];
    if (j < slices) {
      b.slice = j;
      loads[j].load += b.load;
      continue;
    }
    qsort(loads, slices, sizeof(SliceLoad), CompareLoads);
    b.slice = loads[0].slice;
    loads[0].load += b.load;
  }
  ULONG next = 0;
  for (ULONG s = 0; s < slices; ++s) {
    scan->slices[s].jobs = scan->sliceJobs + next;
    scan->slices[s].count = 0;
    for (ULONG j = 0; j < jobs; ++j) {
      if (scan->jobArray[j].slice != s) continue;
      scan->sliceJobs[next++] = scan->jobArray[j].job;
      ++scan->slices[s].count;
    }
  }
  scan->sliceCount = static_cast<USHORT>(slices);
  scan->currentSlice = 0;
}

VOID ScanSubTile(DetectorHandle* handle, const ScanJob& job, ULONG ax, ULONG ay,
                 USHORT* status) {
  const TileRecord& tile = handle->scan->tile;
  DetectWorkspace& ws = handle->workspace;
  const LONG ww = handle->windowWidth, wh = handle->windowHeight;
  const LONG s = job.stepX, t = job.stepY;
  for (LONG row = static_cast<LONG>(ay); row + wh <= tile.subHeight; row += job.rowStep) {
    for (LONG col = static_cast<LONG>(ax); col + ww <= tile.subWidth; col += job.columnStep) {
      if (RunHaarCascade(handle->cascade, handle->integral, col, row, nullptr) != 1) continue;
      const LONG xs = tile.x + tile.subX + col, ys = tile.y + tile.subY + row;
      Candidate hit = {};
      hit.left = job.x + ((xs * s + s / 2) >> kSampleShift);
      hit.right = job.x + (((xs + ww - 1) * s + s / 2) >> kSampleShift);
      hit.top = job.y + ((ys * t + (t - kSampleOne) / 2 + kSampleOne / 2) >> kSampleShift);
      hit.bottom = job.y + (((ys + wh - 1) * t + (t - kSampleOne) / 2 + kSampleOne / 2) >> kSampleShift);
      hit.tag = handle->tag;
      if (handle->observer != nullptr) {
        const ULONG at = (tile.subY + row) * tile.stride + tile.subX + col;
        handle->observer(handle->observerContext, tile.buffer + at, tile.stride, hit);
      }
      if (ws.hitCount >= kMaxHits) {
        *status = kFdListFull;
        continue;
      }
      WriteHit(ws.hits + ws.hitCount * kHitRecordBytes, hit.tag, hit);
      ++ws.hitCount;
    }
  }
}

}  // namespace

ULONG CountScales(USHORT windowWidth, USHORT windowHeight, ULONG imageWidth, ULONG imageHeight,
                  USHORT scaleFactor1024, USHORT minSize, ULONG* searched) {
  ULONG n = 0, a = 0, s = kScaleOne;
  for (;;) {
    s = (static_cast<ULONG>(scaleFactor1024) * s) >> kScaleShift;
    ++n;
    const ULONG w = (windowWidth * s) >> kScaleShift, h = (windowHeight * s) >> kScaleShift;
    if (w > minSize && h > minSize) ++a;
    // The sampling step of a job must fit its field in the packed job.
    if (w > imageWidth || h > imageHeight || (s >> kSampleShift) >= (1u << kJobStepBits)) break;
  }
  *searched = a;
  return n;
}

VOID DetectorScaleImage(const DetectionImage& image, const ScanJob& job, TileRecord* tile) {
  const LONG s = job.stepX, t = job.stepY;
  const LONG xLimit = (image.width - job.x - 1) * kSampleOne;
  const LONG yLimit = (image.height - job.y - 1) * kSampleOne;
  const LONG lastColumn = image.width - 1, lastRow = image.height - 1;
  for (LONG i = 0; i < tile->height; ++i) {
    LONG y = (t - kSampleOne) / 2 + t * (tile->y + i);
    if (y > yLimit) y = yLimit;
    const LONG r0 = job.y + (y >> kSampleShift);
    const LONG r1 = r0 < lastRow ? r0 + 1 : r0;
    const LONG fy = y & (kSampleOne - 1);
    const UCHAR* row0 = image.pixels + r0 * image.stride;
    const UCHAR* row1 = image.pixels + r1 * image.stride;
    UCHAR* out = tile->buffer + i * tile->stride;
    LONG x = (s - kSampleOne) / 2 + s * tile->x;
    for (LONG j = 0; j < tile->width; ++j, x += s) {
      const LONG xc = x > xLimit ? xLimit : x;
      const LONG c0 = job.x + (xc >> kSampleShift);
      const LONG c1 = c0 < lastColumn ? c0 + 1 : c0;
      const LONG fx = xc & (kSampleOne - 1);
      const LONG w = (fx * fy) >> kSampleShift;
      LONG v = (row0[c0] * (kSampleOne - fx - fy + w) + row0[c1] * (fx - w) + row1[c0] * (fy - w) +
                row1[c1] * w + kSampleOne / 2) >> kSampleShift;
      out[j] = static_cast<UCHAR>(v > 255 ? 255 : v);
    }
  }
}

USHORT RunDetectionPass(DetectorHandle* handle, const ScanJob& job) {
  const LONG ww = handle->windowWidth, wh = handle->windowHeight;
  if (job.width < ww || job.height < wh || job.stepX == 0 || job.stepY == 0 ||
      job.columnStep == 0 || job.rowStep == 0)
    return kFdBadArgument;
  DetectWorkspace& ws = handle->workspace;
  TileRecord& tile = handle->scan->tile;
  ws.hitCount = 0;
  USHORT status = kFdOk;
  // No cascade (trained data refused): every window counts as rejected.
  if (handle->cascade != nullptr) {
    const LONG tileStepX = tile.capacityWidth - ww + 1, tileStepY = tile.capacityHeight - wh + 1;
    const LONG subStepX = tile.subTileMaxWidth - ww + 1, subStepY = tile.subTileMaxHeight - wh + 1;
    for (LONG ty = 0;; ty += tileStepY) {
      const LONG th = Min(tile.capacityHeight, job.height - ty);
      if (th < wh) break;
      for (LONG tx = 0;; tx += tileStepX) {
        const LONG tw = Min(tile.capacityWidth, job.width - tx);
        if (tw < ww) break;
        tile.x = static_cast<USHORT>(tx);
        tile.y = static_cast<USHORT>(ty);
        tile.width = static_cast<USHORT>(tw);
        tile.height = static_cast<USHORT>(th);
        DetectorScaleImage(*handle->scan->image, job, &tile);
        for (LONG sy = 0;; sy += subStepY) {
          const LONG sh = Min(tile.subTileMaxHeight, th - sy);
          const ULONG ay = AlignmentOffset(static_cast<ULONG>(ty + sy), job.rowStep);
          if (sh < wh + static_cast<LONG>(ay)) break;
          for (LONG sx = 0;; sx += subStepX) {
            const LONG sw = Min(tile.subTileMaxWidth, tw - sx);
            const ULONG ax = AlignmentOffset(static_cast<ULONG>(tx + sx), job.columnStep);
            if (sw < ww + static_cast<LONG>(ax)) break;
            tile.subX = static_cast<USHORT>(sx);
            tile.subY = static_cast<USHORT>(sy);
            tile.subWidth = static_cast<USHORT>(sw);
            tile.subHeight = static_cast<USHORT>(sh);
            DetectorEvaluate(handle->integral, tile.buffer + sy * tile.stride + sx, tile.stride,
                             static_cast<ULONG>(sw), static_cast<ULONG>(sh));
            ScanSubTile(handle, job, ax, ay, &status);
          }
        }
      }
    }
  }
  // Once the face list could be filled, later scales are not merged.
  if (ws.mergedCount >= ws.faceCapacity) return status;
  DetectorDecodeHits(&ws);
  DetectorMergeHits(&ws);
  return status;
}

VOID DetectorDecodeHits(DetectWorkspace* ws) {
  for (ULONG i = 0; i < ws->hitCount; ++i) ws->candidates[i] = ReadHit(ws->hits + i * kHitRecordBytes);
  ws->newCount = ws->hitCount;
}

VOID DetectorMergeHits(DetectWorkspace* ws) {
  ULONG count = ws->newCount;
  MergeCandidates(ws->candidates, ws->merged + ws->mergedCount, kMaxMerged - ws->mergedCount, &count,
                  1, ws->groupScratch);
  ws->newCount = static_cast<USHORT>(count);
  ws->mergedCount = static_cast<USHORT>(ws->mergedCount + count);
}

ULONG BuildScanJobs(ScanState* scan, ULONG scales, ULONG searched, USHORT x, USHORT y, USHORT width,
                    USHORT height, USHORT columnStep, USHORT rowStep, USHORT scaleFactor1024) {
  ULONG g = kScaleOne, built = 0;
  for (ULONG j = 0; j < scales; ++j, g = (static_cast<ULONG>(scaleFactor1024) * g) >> kScaleShift) {
    if (j < scales - searched) continue;
    BuildJob& b = scan->jobArray[built++];
    memset(&b, 0, sizeof(b));
    b.job.x = x;
    b.job.y = y;
    b.job.width = static_cast<USHORT>((width * kScaleOne + g / 2) / g);
    b.job.height = static_cast<USHORT>((height * kScaleOne + g / 2) / g);
    b.job.stepX = b.job.stepY = static_cast<USHORT>(g >> kSampleShift);
    b.job.columnStep = static_cast<UCHAR>(columnStep);
    b.job.rowStep = static_cast<UCHAR>(rowStep);
    // A zero step is allowed here; its jobs are skipped when they run.
    b.load = (b.job.width / (columnStep ? columnStep : 1) + 1) * (b.job.height / (rowStep ? rowStep : 1) + 1);
  }
  return built;
}

USHORT DetectorScanScales(DetectorHandle* handle, ULONG* faceCount, USHORT x, USHORT y,
                          USHORT width, USHORT height, USHORT columnStep, USHORT rowStep,
                          USHORT scaleFactor1024, USHORT minSize, USHORT slices) {
  ScanState* scan = handle->scan;
  DetectWorkspace& ws = handle->workspace;
  *faceCount = 0;
  if (scan->phase == kScanIdle) {
    ws.mergedCount = 0;
    ws.newCount = 0;
    ULONG searched;
    const ULONG n = CountScales(handle->windowWidth, handle->windowHeight, scan->image->width,
                                scan->image->height, scaleFactor1024, minSize, &searched);
    if (searched == 0) {
      CollectFaces(&ws, faceCount);
      return kFdOk;
    }
    const ULONG bytes = searched * (sizeof(BuildJob) + sizeof(ScanJob));
    scan->jobArray = static_cast<BuildJob*>(AllocateMemory(bytes));
    if (scan->jobArray == nullptr) return kFdNoMemory;
    scan->sliceJobs = reinterpret_cast<ScanJob*>(scan->jobArray + searched);
    const ULONG built = BuildScanJobs(scan, n, searched, x, y, width, height, columnStep, rowStep,
                                      scaleFactor1024);
    AssignJobsToSlices(scan, built, slices);
    scan->phase = kScanRunning;
  }
  if (scan->phase == kScanRunning) {
    const SliceList& slice = scan->slices[scan->currentSlice];
    ULONG pushed = 0;
    while (pushed < slice.count) {
      while (scan->ringFill < kJobRingEntries && pushed < slice.count) {
        PackJob(slice.jobs[pushed++], scan->ring + scan->ringWrite * kJobRecordBytes);
        scan->ringWrite = (scan->ringWrite + 1) % kJobRingEntries;
        ++scan->ringFill;
      }
      while (scan->ringFill > 0) {
        const ScanJob job = UnpackJob(scan->ring + scan->ringRead * kJobRecordBytes);
        scan->ringRead = (scan->ringRead + 1) % kJobRingEntries;
        --scan->ringFill;
        RunDetectionPass(handle, job);
      }
    }
    if (++scan->currentSlice >= scan->sliceCount) scan->phase = kScanFinished;
  }
  if (scan->phase != kScanFinished) return kFdMoreSlices;
  FreeMemory(scan->jobArray);
  scan->jobArray = nullptr;
  scan->sliceJobs = nullptr;
  CollectFaces(&ws, faceCount);
  scan->phase = kScanIdle;
  return kFdOk;
}

}  // namespace kvz
