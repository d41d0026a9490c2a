#include "face/face_detector.h"

#include <string.h>

#include "face/detector_internal.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

// Handles live in frame processors of any number of devices: the instance count is atomic and
// the shared cascade is built and released under one driver-wide lock (a zero spin lock is an
// initialised one).
KSPIN_LOCK gInstanceLock = 0;
volatile LONG gInstanceCount = 0;

PVOID AllocateZeroed(ULONG bytes) {
  PVOID block = AllocateMemory(bytes);
  if (block != nullptr) memset(block, 0, bytes);
  return block;
}

VOID FreeIfSet(PVOID block) {
  if (block != nullptr) FreeMemory(block);
}

const HiddenCascade* AddInstance(bool shared, USHORT* windowWidth, USHORT* windowHeight) {
  KIRQL irql;
  KeAcquireSpinLock(&gInstanceLock, &irql);
  InterlockedIncrement(&gInstanceCount);
  const HiddenCascade* cascade =
      shared ? DetectorCreateCascade(kSubTileSide, kSubTileSide, windowWidth, windowHeight)
             : nullptr;
  KeReleaseSpinLock(&gInstanceLock, irql);
  return cascade;
}

VOID RemoveInstance() {
  KIRQL irql;
  KeAcquireSpinLock(&gInstanceLock, &irql);
  if (gInstanceCount > 0) InterlockedDecrement(&gInstanceCount);
  if (gInstanceCount == 0) DetectorReleaseCascade();
  KeReleaseSpinLock(&gInstanceLock, irql);
}

VOID FreeHandle(DetectorHandle* h) {
  if (h->scan != nullptr) {
    FreeDetectImage(&h->scan->tile);
    FreeIfSet(h->scan->jobArray);
    FreeMemory(h->scan);
  }
  FreeIfSet(h->workspace.block);
  FreeIfSet(h->integral);
  FreeMemory(h);
}

// Scan state with its tile buffer; tiles are at least one sub-tile large, whatever the image
// size asked for.
bool DetectorAllocWorkspace(DetectorHandle* h, const FaceDetectorSetup& setup) {
  h->scan = static_cast<ScanState*>(AllocateZeroed(sizeof(ScanState)));
  if (h->scan == nullptr) return false;
  const USHORT width = setup.imageWidth < kSubTileSide ? static_cast<USHORT>(kSubTileSide) : setup.imageWidth;
  const USHORT height = setup.imageHeight < kSubTileSide ? static_cast<USHORT>(kSubTileSide) : setup.imageHeight;
  return InitDetectImage(&h->scan->tile, width, height, kSubTileSide, kSubTileSide);
}

VOID InitDetectWorkspace(DetectWorkspace* ws, UCHAR* block, const FaceDetectorSetup& setup) {
  ws->block = block;
  ws->hits = block + kHitOffset;
  ws->candidates = reinterpret_cast<Candidate*>(block + kCandidateOffset);
  ws->merged = reinterpret_cast<Candidate*>(block + kMergedOffset);
  ws->groupScratch = reinterpret_cast<LONG*>(block + kGroupScratchOffset);
  ws->faces = setup.faces;
  ws->faceCapacity = static_cast<USHORT>(setup.faceCapacity > 0xFFFF ? 0xFFFF : setup.faceCapacity);
  ws->bands = 1;
  ws->mergedCount = 0;
  ws->newCount = 0;
}

USHORT CreateHandle(DetectorHandle** out, const FaceDetectorSetup* setup,
                    const HiddenCascade* own) {
  if (out == nullptr) return kFdBadArgument;
  *out = nullptr;
  if (setup == nullptr || (setup->faces == nullptr && setup->faceCapacity != 0))
    return kFdBadArgument;
  USHORT windowWidth = 0, windowHeight = 0;
  const HiddenCascade* cascade = AddInstance(own == nullptr, &windowWidth, &windowHeight);
  if (own != nullptr) {
    cascade = own;
    windowWidth = own->windowWidth;
    windowHeight = own->windowHeight;
  }
  DetectorHandle* h = static_cast<DetectorHandle*>(AllocateZeroed(sizeof(DetectorHandle)));
  if (h == nullptr) {
    RemoveInstance();
    return kFdNoMemory;
  }
  h->cascade = cascade;
  h->sharedCascade = own == nullptr;
  h->windowWidth = windowWidth;
  h->windowHeight = windowHeight;
  h->tag = 0;
  h->integral = static_cast<IntegralImage*>(AllocateZeroed(sizeof(IntegralImage)));
  h->workspace.block = static_cast<UCHAR*>(AllocateZeroed(kWorkspaceBytes));
  if (!DetectorAllocWorkspace(h, *setup) || h->integral == nullptr || h->workspace.block == nullptr) {
    FreeHandle(h);
    RemoveInstance();
    return kFdNoMemory;
  }
  InitDetectWorkspace(&h->workspace, h->workspace.block, *setup);
  *out = h;
  return kFdOk;
}

}  // namespace

bool InitDetectImage(TileRecord* tile, USHORT width, USHORT height, USHORT subTileWidth,
                     USHORT subTileHeight) {
  const USHORT stride = static_cast<USHORT>((width + 3) & ~3);
  tile->buffer = static_cast<UCHAR*>(AllocateMemory(static_cast<ULONG>(stride) * height));
  tile->capacityWidth = width;
  tile->capacityHeight = height;
  tile->stride = stride;
  tile->subTileMaxWidth = subTileWidth;
  tile->subTileMaxHeight = subTileHeight;
  return tile->buffer != nullptr;
}

VOID FreeDetectImage(TileRecord* tile) {
  FreeIfSet(tile->buffer);
  tile->buffer = nullptr;
}

USHORT FaceDetectorCreate(DetectorHandle** handle, const FaceDetectorSetup* setup) {
  return CreateHandle(handle, setup, nullptr);
}

USHORT FaceDetectorCreateWithCascade(DetectorHandle** handle, const FaceDetectorSetup* setup,
                                     const HiddenCascade* cascade) {
  if (cascade == nullptr) return kFdBadArgument;
  return CreateHandle(handle, setup, cascade);
}

USHORT FaceDetectorDetect(DetectorHandle* handle, const DetectionImage* image, ULONG* faceCount,
                          USHORT x, USHORT y, USHORT width, USHORT height, USHORT columnStep,
                          USHORT rowStep, float scaleFactor, USHORT minSize, USHORT slices) {
  if (handle == nullptr || faceCount == nullptr) return kFdBadArgument;
  *faceCount = 0;
  if (gInstanceCount == 0) return kFdNoInstance;
  // The region must lie in the image, the image's coordinates fit the hit records, the steps
  // their fields in the packed jobs, and the scale grow (a factor of 1 or less never ends).
  if (image == nullptr || image->pixels == nullptr || image->width == 0 || image->height == 0 ||
      image->width >= kCoordinateLimit || image->height >= kCoordinateLimit ||
      image->stride < image->width || width == 0 || height == 0 || x + width > image->width ||
      y + height > image->height || columnStep >= (1u << kJobPixelStepBits) ||
      rowStep >= (1u << kJobPixelStepBits) || !(scaleFactor > 1.0f && scaleFactor < 64.0f))
    return kFdBadArgument;
  const USHORT m = static_cast<USHORT>(scaleFactor * kScaleOne);
  if (m <= kScaleOne) return kFdBadArgument;
  if (slices == 0) slices = 1;
  if (slices > kMaxSlices) slices = kMaxSlices;
  handle->scan->image = image;
  return DetectorScanScales(handle, faceCount, x, y, width, height, columnStep, rowStep, m,
                            minSize, slices);
}

USHORT FaceDetectorDestroy(DetectorHandle* handle) {
  if (handle == nullptr) return kFdBadArgument;
  FreeHandle(handle);
  RemoveInstance();
  return kFdOk;
}

}  // namespace kvz
