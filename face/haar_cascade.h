// The classifier behind the face scan: a cascade of boosted trees over upright rectangle
// features, evaluated in integer fixed point over the integral images of one sub-tile.
//
// Trained data arrives as one constant block (layout in haar_cascade.cpp) found through a
// descriptor. The loader derives every position from the counts in the block, refuses any block
// whose parts do not add up exactly to its stated size or whose values could not be evaluated
// safely, and lays the accepted cascade out in a packed form whose rectangle corners are offsets
// into a sum image of kIntegralSide columns.
#pragma once
#include <wdm.h>

#include "face/face_detector_defs.h"

namespace kvz {

// Byte 0: stage count; bytes 1-2: trained window width and height; bytes 3-6: unused; then the
// block's byte size and the block.
struct CascadeDescriptor {
  UCHAR stageCount;
  UCHAR windowWidth;
  UCHAR windowHeight;
  UCHAR unused[4];
  ULONG byteSize;
  const UCHAR* block;
};

struct HiddenRect {
  LONG corner[4];  // top-left, top-right, bottom-left, bottom-right
  LONG weight;
};

struct HiddenNode {
  HiddenRect rects[kRectsPerFeature];
  LONG rectCount;  // present rectangles come first
  LONG threshold;
  LONG left;       // > 0: next node; <= 0: leaf -left
  LONG right;
};

struct HiddenClassifier {
  LONG nodeCount;
  const HiddenNode* nodes;
  const LONG* leaves;
};

struct HiddenStage {
  LONG classifierCount;
  LONG threshold;
  const HiddenClassifier* classifiers;
  LONG twoRects;  // every feature of the stage has two rectangles
};

struct HiddenCascade {
  LONG stageCount;
  LONG stumpBased;
  USHORT windowWidth;
  USHORT windowHeight;
  LONG equaliseArea;       // (width - 2) x (height - 2)
  LONG equaliseCorner[4];  // the window less a one-pixel border
  const HiddenStage* stages;
};

// Sum and squared-sum images of one sub-tile of at most kSubTileSide pixels a side, with a zero
// first row and column. One per detector handle.
struct IntegralImage {
  LONG sum[kIntegralSide * kIntegralSide];
  LONG squares[kIntegralSide * kIntegralSide];
  LONG width;   // of the sub-tile; the images are one larger
  LONG height;
};

// Lays out a descriptor's block; STATUS_INVALID_PARAMETER for a malformed block,
// STATUS_INSUFFICIENT_RESOURCES without memory.
NTSTATUS CreateHiddenCascade_PG(const CascadeDescriptor& descriptor, HiddenCascade** cascade);
VOID FreeHiddenCascade(HiddenCascade* cascade);

// The driver's shared cascade, built from the trained data on first use. Callers serialise
// creation and release (the detector does under its instance lock). Null when the trained block
// was refused or memory was short.
const HiddenCascade* DetectorCreateCascade(USHORT subTileWidth, USHORT subTileHeight,
                                           USHORT* windowWidth, USHORT* windowHeight);
VOID DetectorReleaseCascade();

// Builds the integral images of a width x height sub-tile (each at most kSubTileSide).
VOID DetectorEvaluate(IntegralImage* image, const UCHAR* pixels, ULONG stride, ULONG width,
                      ULONG height);

// The window's spread L: half the square root of 4096 (q A - s s) over the window less its
// border, rounded up. Node thresholds are scaled by it.
LONGLONG WindowSpread(const HiddenCascade* cascade, const IntegralImage* image, LONG x, LONG y);
LONGLONG ScaledNodeThreshold(LONGLONG spread, LONG threshold);
LONG FeatureValue(const HiddenNode* node, const LONG* origin);

// 1 when the window at (x, y) passes every stage, 0 when a stage rejects it, kWindowRejected
// when it does not lie inside the integral images. stagesPassed may be null.
LONG RunHaarCascade(const HiddenCascade* cascade, const IntegralImage* image, LONG x, LONG y,
                    LONG* stagesPassed);

ULONGLONG IntegerSquareRoot(ULONGLONG value);

}  // namespace kvz
