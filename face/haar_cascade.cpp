#include "face/haar_cascade.h"

#include <string.h>

#include "face/trained_cascade.h"
#include "primitives/driver_memory.h"

// Trained block, little-endian, 64-bit pointer fields (never read; rebuilt from the counts):
//   header (80 bytes): magic, stage count, trained window width and height, current window
//     width and height, equalising rectangle x, y, width, height, scale (double), pointers
//   stage records (32 bytes each): classifier count, threshold, pointer, next, child, parent
//   classifier records (48 bytes each, all stages in order): node count, pointers
//   node data per classifier: n features of 104 bytes (tilted flag, five rectangles of x, y,
//     width, height, weight), n thresholds, n left children, n right children, n + 1 leaves
namespace kvz {
namespace {

LONG ReadLong(const UCHAR* block, ULONG offset) {
  LONG value;
  memcpy(&value, block + offset, sizeof(value));
  return value;
}

struct BlockCounts {
  LONG stages;
  LONG classifiers;
  LONG nodes;
};

// Walks the block by its counts; the parts must end exactly at byteSize.
bool CountBlock(const CascadeDescriptor& d, BlockCounts* counts) {
  if (d.block == nullptr || d.byteSize < kCascadeHeaderBytes) return false;
  const UCHAR* b = d.block;
  const LONG stages = ReadLong(b, kHeaderStageCount);
  if (ReadLong(b, kHeaderMagic) != kCascadeMagic || stages <= 0 || stages != d.stageCount)
    return false;
  const ULONGLONG size = d.byteSize;
  ULONGLONG offset = kCascadeHeaderBytes;
  if (offset + static_cast<ULONGLONG>(stages) * kStageRecordBytes > size) return false;
  LONG classifiers = 0;
  for (LONG s = 0; s < stages; ++s) {
    const LONG count = ReadLong(b, static_cast<ULONG>(offset + s * kStageRecordBytes));
    if (count <= 0 || count > kMaxClassifiersPerStage) return false;
    classifiers += count;
  }
  offset += static_cast<ULONGLONG>(stages) * kStageRecordBytes;
  if (offset + static_cast<ULONGLONG>(classifiers) * kClassifierRecordBytes > size) return false;
  ULONGLONG data = offset + static_cast<ULONGLONG>(classifiers) * kClassifierRecordBytes;
  LONG nodes = 0;
  for (LONG c = 0; c < classifiers; ++c) {
    const LONG n = ReadLong(b, static_cast<ULONG>(offset + c * kClassifierRecordBytes));
    if (n <= 0 || static_cast<ULONGLONG>(n) > size / (kFeatureBytes + 16)) return false;
    data += NodeDataBytes(static_cast<ULONG>(n));
    if (data > size) return false;
    nodes += n;
  }
  if (data != size) return false;
  counts->stages = stages;
  counts->classifiers = classifiers;
  counts->nodes = nodes;
  return true;
}

bool RectInside(LONG x, LONG y, LONG w, LONG h, LONG windowWidth, LONG windowHeight) {
  return x >= 0 && y >= 0 && w > 0 && h > 0 && x + w <= windowWidth && y + h <= windowHeight;
}

LONG CornerOffset(LONG x, LONG y) { return y * static_cast<LONG>(kIntegralSide) + x; }

// Reads one classifier's node data into nodes and leaves; false for anything the window test
// could not evaluate safely (tilted or out-of-window rectangles, weights that could overflow,
// children that loop or point outside the tree, leaves out of range).
bool ReadClassifier(const UCHAR* data, LONG n, LONG windowWidth, LONG windowHeight,
                    HiddenNode* nodes, LONG* leaves, bool* twoRects) {
  const ULONG un = static_cast<ULONG>(n);
  for (LONG i = 0; i < n; ++i) {
    const UCHAR* f = data + i * kFeatureBytes;
    HiddenNode& node = nodes[i];
    memset(&node, 0, sizeof(node));
    if (ReadLong(f, kFeatureTilted) != 0) return false;
    for (ULONG r = 0; r < kRectsPerFeature; ++r) {
      const ULONG o = kFeatureRects + r * kFeatureRectBytes;
      const LONG x = ReadLong(f, o), y = ReadLong(f, o + 4), w = ReadLong(f, o + 8),
                 h = ReadLong(f, o + 12), weight = ReadLong(f, o + 16);
      const bool present = r < 2 || (weight != 0 && w != 0 && h != 0);
      if (!present) continue;
      // Present rectangles are contiguous: a gap would leave a slot the test never reads.
      if (static_cast<LONG>(r) != node.rectCount) return false;
      if (!RectInside(x, y, w, h, windowWidth, windowHeight)) return false;
      if (weight < -kMaxRectWeight || weight > kMaxRectWeight) return false;
      HiddenRect& rect = node.rects[node.rectCount++];
      rect.corner[0] = CornerOffset(x, y);
      rect.corner[1] = CornerOffset(x + w, y);
      rect.corner[2] = CornerOffset(x, y + h);
      rect.corner[3] = CornerOffset(x + w, y + h);
      rect.weight = weight;
    }
    if (node.rectCount > 2) *twoRects = false;
    node.threshold = ReadLong(data, un * kFeatureBytes + i * 4);
    node.left = ReadLong(data, un * (kFeatureBytes + 4) + i * 4);
    node.right = ReadLong(data, un * (kFeatureBytes + 8) + i * 4);
    // A child node must lie further down the tree, so every walk ends at a leaf.
    const LONG children[2] = {node.left, node.right};
    for (LONG child : children) {
      if (child > 0 ? (child <= i || child >= n) : -child > n) return false;
    }
  }
  for (LONG i = 0; i <= n; ++i) {
    leaves[i] = ReadLong(data, un * (kFeatureBytes + 12) + i * 4);
    if (leaves[i] < -kLeafLimit || leaves[i] > kLeafLimit) return false;
  }
  return true;
}

SIZE_T AlignUp(SIZE_T value) { return (value + 15) & ~static_cast<SIZE_T>(15); }

HiddenCascade* gSharedCascade = nullptr;

}  // namespace

NTSTATUS CreateHiddenCascade_PG(const CascadeDescriptor& d, HiddenCascade** cascade) {
  *cascade = nullptr;
  BlockCounts counts;
  if (!CountBlock(d, &counts)) return STATUS_INVALID_PARAMETER;
  const UCHAR* b = d.block;
  const LONG windowWidth = ReadLong(b, kHeaderWindowWidth);
  const LONG windowHeight = ReadLong(b, kHeaderWindowHeight);
  // The window must leave a border for the equalising rectangle and fit one sub-tile.
  if (windowWidth != d.windowWidth || windowHeight != d.windowHeight || windowWidth < 3 ||
      windowHeight < 3 || windowWidth > static_cast<LONG>(kSubTileSide) ||
      windowHeight > static_cast<LONG>(kSubTileSide))
    return STATUS_INVALID_PARAMETER;

  const SIZE_T stagesAt = AlignUp(sizeof(HiddenCascade));
  const SIZE_T classifiersAt = AlignUp(stagesAt + counts.stages * sizeof(HiddenStage));
  const SIZE_T nodesAt = AlignUp(classifiersAt + counts.classifiers * sizeof(HiddenClassifier));
  const SIZE_T leavesAt = AlignUp(nodesAt + counts.nodes * sizeof(HiddenNode));
  const SIZE_T total = leavesAt + (counts.nodes + counts.classifiers) * sizeof(LONG);
  if (total > 0xFFFFFFF0u) return STATUS_INVALID_PARAMETER;
  UCHAR* raw = static_cast<UCHAR*>(AllocateMemory(static_cast<ULONG>(total)));
  if (raw == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memset(raw, 0, total);

  HiddenCascade* hc = reinterpret_cast<HiddenCascade*>(raw);
  HiddenStage* stages = reinterpret_cast<HiddenStage*>(raw + stagesAt);
  HiddenClassifier* classifiers = reinterpret_cast<HiddenClassifier*>(raw + classifiersAt);
  HiddenNode* nodes = reinterpret_cast<HiddenNode*>(raw + nodesAt);
  LONG* leaves = reinterpret_cast<LONG*>(raw + leavesAt);
  hc->stageCount = counts.stages;
  hc->stumpBased = 1;
  hc->windowWidth = static_cast<USHORT>(windowWidth);
  hc->windowHeight = static_cast<USHORT>(windowHeight);
  hc->equaliseArea = (windowWidth - 2) * (windowHeight - 2);
  hc->equaliseCorner[0] = CornerOffset(1, 1);
  hc->equaliseCorner[1] = CornerOffset(windowWidth - 1, 1);
  hc->equaliseCorner[2] = CornerOffset(1, windowHeight - 1);
  hc->equaliseCorner[3] = CornerOffset(windowWidth - 1, windowHeight - 1);
  hc->stages = stages;

  const ULONG stageTable = kCascadeHeaderBytes;
  const ULONG classifierTable = stageTable + counts.stages * kStageRecordBytes;
  ULONG data = classifierTable + counts.classifiers * kClassifierRecordBytes;
  LONG c = 0;
  bool ok = true;
  for (LONG s = 0; s < counts.stages && ok; ++s) {
    const ULONG record = stageTable + s * kStageRecordBytes;
    HiddenStage& stage = stages[s];
    stage.classifierCount = ReadLong(b, record + kStageClassifierCount);
    stage.threshold = ReadLong(b, record + kStageThreshold);
    stage.classifiers = classifiers + c;
    bool twoRects = true;
    for (LONG k = 0; k < stage.classifierCount && ok; ++k, ++c) {
      const LONG n = ReadLong(b, classifierTable + c * kClassifierRecordBytes);
      if (n != 1) hc->stumpBased = 0;
      classifiers[c].nodeCount = n;
      classifiers[c].nodes = nodes;
      classifiers[c].leaves = leaves;
      ok = ReadClassifier(b + data, n, windowWidth, windowHeight, nodes, leaves, &twoRects);
      nodes += n;
      leaves += n + 1;
      data += NodeDataBytes(static_cast<ULONG>(n));
    }
    stage.twoRects = twoRects ? 1 : 0;
  }
  if (!ok) {
    FreeMemory(raw);
    return STATUS_INVALID_PARAMETER;
  }
  *cascade = hc;
  return STATUS_SUCCESS;
}

VOID FreeHiddenCascade(HiddenCascade* cascade) {
  if (cascade != nullptr) FreeMemory(cascade);
}

const HiddenCascade* DetectorCreateCascade(USHORT subTileWidth, USHORT subTileHeight,
                                           USHORT* windowWidth, USHORT* windowHeight) {
  *windowWidth = kTrainedCascade.windowWidth;
  *windowHeight = kTrainedCascade.windowHeight;
  // Offsets are laid out for the one sub-tile size the integral images have.
  if (subTileWidth != kSubTileSide || subTileHeight != kSubTileSide) return nullptr;
  if (gSharedCascade == nullptr) CreateHiddenCascade_PG(kTrainedCascade, &gSharedCascade);
  return gSharedCascade;
}

VOID DetectorReleaseCascade() {
  FreeHiddenCascade(gSharedCascade);
  gSharedCascade = nullptr;
}

VOID DetectorEvaluate(IntegralImage* image, const UCHAR* pixels, ULONG stride, ULONG width,
                      ULONG height) {
  image->width = static_cast<LONG>(width);
  image->height = static_cast<LONG>(height);
  LONG* sum = image->sum;
  LONG* squares = image->squares;
  for (ULONG x = 0; x <= width; ++x) sum[x] = squares[x] = 0;
  for (ULONG y = 0; y < height; ++y) {
    const UCHAR* row = pixels + y * stride;
    LONG* s = sum + (y + 1) * kIntegralSide;
    LONG* q = squares + (y + 1) * kIntegralSide;
    const LONG* sAbove = s - kIntegralSide;
    const LONG* qAbove = q - kIntegralSide;
    LONG rowSum = 0, rowSquares = 0;
    s[0] = q[0] = 0;
    for (ULONG x = 0; x < width; ++x) {
      const LONG p = row[x];
      rowSum += p;
      rowSquares += p * p;
      s[x + 1] = sAbove[x + 1] + rowSum;
      q[x + 1] = qAbove[x + 1] + rowSquares;
    }
  }
}

ULONGLONG IntegerSquareRoot(ULONGLONG value) {
  // The rounded hardware root of a value below 2^53 is within one of the integer root; the
  // corrections make the result exact.
  if (value < (1ull << 52)) {
    ULONGLONG r = static_cast<ULONGLONG>(__builtin_sqrt(static_cast<double>(value)));
    while (r * r > value) --r;
    while ((r + 1) * (r + 1) <= value) ++r;
    return r;
  }
  // Newton's iteration from a start at or above the root descends to its integer part.
  const int bits = 64 - __builtin_clzll(value);
  ULONGLONG r = 1ull << ((bits + 1) / 2);
  for (;;) {
    const ULONGLONG next = (r + value / r) >> 1;
    if (next >= r) return r;
    r = next;
  }
}

LONGLONG WindowSpread(const HiddenCascade* cascade, const IntegralImage* image, LONG x, LONG y) {
  const LONG* s = image->sum + y * kIntegralSide + x;
  const LONG* q = image->squares + y * kIntegralSide + x;
  const LONG* c = cascade->equaliseCorner;
  const LONGLONG sum = static_cast<LONGLONG>(s[c[0]]) - s[c[1]] - s[c[2]] + s[c[3]];
  const LONGLONG squares = static_cast<LONGLONG>(q[c[0]]) - q[c[1]] - q[c[2]] + q[c[3]];
  LONGLONG v = (squares * cascade->equaliseArea - sum * sum) * kVarianceScale;
  if (v < 0) v = -v;
  return static_cast<LONGLONG>((IntegerSquareRoot(static_cast<ULONGLONG>(v)) + 1) / 2);
}

namespace {

inline LONGLONG NodeThreshold(LONGLONG spread, LONG threshold) {
  LONGLONG t = (spread * threshold) >> kNodeThresholdShift;
  if (t < kNodeThresholdMin) t = kNodeThresholdMin;
  if (t > kNodeThresholdMax) t = kNodeThresholdMax;
  return t;
}

inline LONG NodeFeature(const HiddenNode* node, const LONG* origin) {
  LONG f = 0;
  for (LONG r = 0; r < node->rectCount; ++r) {
    const HiddenRect& rect = node->rects[r];
    f += rect.weight * (origin[rect.corner[0]] + origin[rect.corner[3]] - origin[rect.corner[1]] -
                        origin[rect.corner[2]]);
  }
  return f;
}

}  // namespace

LONGLONG ScaledNodeThreshold(LONGLONG spread, LONG threshold) { return NodeThreshold(spread, threshold); }

LONG FeatureValue(const HiddenNode* node, const LONG* origin) { return NodeFeature(node, origin); }

LONG RunHaarCascade(const HiddenCascade* cascade, const IntegralImage* image, LONG x, LONG y,
                    LONG* stagesPassed) {
  if (stagesPassed != nullptr) *stagesPassed = 0;
  if (x < 0 || y < 0 || x + cascade->windowWidth >= image->width + 1 ||
      y + cascade->windowHeight >= image->height + 1)
    return kWindowRejected;
  const LONGLONG spread = WindowSpread(cascade, image, x, y);
  const LONG* origin = image->sum + y * kIntegralSide + x;
  for (LONG s = 0; s < cascade->stageCount; ++s) {
    const HiddenStage& stage = cascade->stages[s];
    LONG total = 0;
    for (LONG k = 0; k < stage.classifierCount; ++k) {
      const HiddenClassifier& classifier = stage.classifiers[k];
      LONG index = 0;
      for (;;) {
        const HiddenNode* node = classifier.nodes + index;
        const LONG next = NodeFeature(node, origin) > NodeThreshold(spread, node->threshold)
                              ? node->left
                              : node->right;
        if (next <= 0) {
          total += classifier.leaves[-next];
          break;
        }
        index = next;
      }
    }
    if (total < stage.threshold) return 0;
    if (stagesPassed != nullptr) *stagesPassed = s + 1;
  }
  return 1;
}

}  // namespace kvz
