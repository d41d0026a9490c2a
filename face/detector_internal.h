// The detector's inner records and steps, shared by its sources, its tests and the cascade
// trainer (which scans face-free pictures with a partial cascade to find hard negatives).
#pragma once
#include <wdm.h>

#include "face/face_detector.h"
#include "face/face_detector_defs.h"
#include "face/haar_cascade.h"

namespace kvz {

struct Candidate {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
  ULONG members;
  USHORT neighbours;
  USHORT tag;
};
static_assert(sizeof(Candidate) == 24, "candidate record layout");

struct ScanJob {
  USHORT x;
  USHORT y;
  USHORT width;   // of the scaled region
  USHORT height;
  USHORT stepX;   // source pixels per scaled pixel, in 1/32
  USHORT stepY;
  UCHAR columnStep;
  UCHAR rowStep;
  UCHAR rotation;
  UCHAR reserved;
};

struct BuildJob {
  ScanJob job;
  ULONG load;
  ULONG slice;
};

struct DetectWorkspace {
  UCHAR* block;
  UCHAR* hits;
  Candidate* candidates;
  Candidate* merged;
  LONG* groupScratch;  // three arrays of kGroupScratchEntries
  FaceRecord* faces;
  USHORT faceCapacity;
  USHORT bands;
  USHORT hitCount;
  USHORT mergedCount;  // band 0
  USHORT newCount;     // band 0
};

struct TileRecord {
  UCHAR* buffer;
  USHORT capacityWidth;
  USHORT capacityHeight;
  USHORT stride;
  USHORT x, y, width, height;
  USHORT subTileMaxWidth, subTileMaxHeight;
  USHORT subX, subY, subWidth, subHeight;
};

enum ScanPhase : ULONG { kScanIdle = 0, kScanFinished = 1, kScanRunning = 2 };

struct SliceList {
  ScanJob* jobs;
  ULONG count;
};

struct ScanState {
  SliceList slices[kMaxSlices];
  USHORT sliceCount;
  USHORT currentSlice;
  UCHAR ring[kJobRingEntries * kJobRecordBytes];
  ULONG ringFill, ringRead, ringWrite;
  const DetectionImage* image;
  TileRecord tile;
  ULONG phase;
  BuildJob* jobArray;   // build records, then the jobs in slice order
  ScanJob* sliceJobs;
};

// Sees every window the cascade accepts: the scaled pixels the cascade tested (row stride
// given) and the hit's place in the image. Used by the cascade trainer only.
typedef VOID (*HitObserver)(PVOID context, const UCHAR* window, ULONG stride,
                            const Candidate& hit);

struct DetectorHandle {
  USHORT windowWidth;
  USHORT windowHeight;
  USHORT tag;
  DetectWorkspace workspace;
  ScanState* scan;
  const HiddenCascade* cascade;
  IntegralImage* integral;
  HitObserver observer;
  PVOID observerContext;
  bool sharedCascade;
};

// A handle on a cascade of the caller's (which must outlive it) instead of the trained one.
USHORT FaceDetectorCreateWithCascade(DetectorHandle** handle, const FaceDetectorSetup* setup,
                                     const HiddenCascade* cascade);

// The tile buffer of stride (width + 3) & ~3; false without memory.
bool InitDetectImage(TileRecord* tile, USHORT width, USHORT height, USHORT subTileWidth,
                     USHORT subTileHeight);
VOID FreeDetectImage(TileRecord* tile);

// Scan steps.
USHORT DetectorScanScales(DetectorHandle* handle, ULONG* faceCount, USHORT x, USHORT y,
                          USHORT width, USHORT height, USHORT columnStep, USHORT rowStep,
                          USHORT scaleFactor1024, USHORT minSize, USHORT slices);
ULONG CountScales(USHORT windowWidth, USHORT windowHeight, ULONG imageWidth, ULONG imageHeight,
                  USHORT scaleFactor1024, USHORT minSize, ULONG* searched);
// One job per searched scale (the last `searched` of `scales`), in ascending scale order.
ULONG BuildScanJobs(ScanState* scan, ULONG scales, ULONG searched, USHORT x, USHORT y, USHORT width,
                    USHORT height, USHORT columnStep, USHORT rowStep, USHORT scaleFactor1024);
USHORT RunDetectionPass(DetectorHandle* handle, const ScanJob& job);
// A job's hits become candidates, merged after the band's candidates.
VOID DetectorDecodeHits(DetectWorkspace* workspace);
VOID DetectorMergeHits(DetectWorkspace* workspace);
VOID DetectorScaleImage(const DetectionImage& image, const ScanJob& job, TileRecord* tile);

// Grouping and merging over the workspace's scratch.
ULONG GroupDetections(const Candidate* candidates, ULONG count, LONG* scratch);
USHORT MergeCandidates(Candidate* candidates, Candidate* output, ULONG capacity, ULONG* count,
                       ULONG minNeighbours, LONG* scratch);
VOID CollectFaces(DetectWorkspace* workspace, ULONG* faceCount);

}  // namespace kvz
