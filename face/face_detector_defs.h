// Numbers of the face detector: its 16-bit statuses, the sizes of its preallocated parts and
// the fixed-point units of the scan and the cascade. One place, so the scan, the cascade loader
// and the trainer agree.
#pragma once
#include <wdm.h>

namespace kvz {

// Statuses of the detector's entry points.
constexpr USHORT kFdOk = 0;
constexpr USHORT kFdMoreSlices = 1;
constexpr USHORT kFdNoInstance = 0xF000;
constexpr USHORT kFdBadArgument = 0xF100;
constexpr USHORT kFdNoMemory = 0xF200;
constexpr USHORT kFdListFull = 0xF201;  // internal: a hit, candidate or face list filled up

// Sub-tile on which integral images are built: 65 x 65 sums keep every sum inside 32 bits.
constexpr ULONG kSubTileSide = 64;
constexpr ULONG kIntegralSide = kSubTileSide + 1;

// Workspace block, split into fixed parts.
constexpr ULONG kWorkspaceBytes = 0x23400;
constexpr ULONG kMaxHits = 3000;
constexpr ULONG kHitRecordBytes = 7;
constexpr ULONG kMaxCandidates = 3000;
constexpr ULONG kMaxMerged = 640;
constexpr ULONG kHitOffset = 12;
constexpr ULONG kCandidateOffset = kHitOffset + kMaxHits * kHitRecordBytes;          // 21,012
constexpr ULONG kMergedOffset = kCandidateOffset + kMaxCandidates * 24;             // 93,012
constexpr ULONG kGroupScratchOffset = kMergedOffset + kMaxMerged * 24;              // 108,372
constexpr ULONG kGroupScratchEntries = kMaxCandidates + 1;
static_assert(kGroupScratchOffset + kGroupScratchEntries * 12 == kWorkspaceBytes, "workspace layout");

// Hit record bit fields and the 10-byte packed scan job of the job ring.
constexpr ULONG kHitTagBits = 4;
constexpr ULONG kCoordinateBits = 12;
constexpr ULONG kCoordinateLimit = 1u << kCoordinateBits;
constexpr ULONG kJobStepBits = 11;
constexpr ULONG kJobPixelStepBits = 3;
constexpr ULONG kJobRotationBits = 4;
constexpr ULONG kJobRecordBytes = 10;
constexpr ULONG kJobRingEntries = 8;
constexpr ULONG kMaxSlices = 16;

// Scales are multiples of 1/1024, sampling positions and bilinear weights of 1/32.
constexpr ULONG kScaleOne = 1024;
constexpr ULONG kScaleShift = 10;
constexpr ULONG kSampleShift = 5;
constexpr LONG kSampleOne = 1 << kSampleShift;

// Window test in fixed point: node thresholds are scaled by the window's spread L and shifted
// down by 22 bits, then limited to 23 signed bits.
constexpr ULONG kNodeThresholdShift = 22;
constexpr LONGLONG kNodeThresholdMin = -0x400000;
constexpr LONGLONG kNodeThresholdMax = 0x3FFFFF;
constexpr LONGLONG kVarianceScale = 4096;
constexpr LONG kWindowRejected = -100;

// Trained cascade block.
constexpr LONG kCascadeMagic = 0x42500000;
constexpr ULONG kCascadeHeaderBytes = 80;
constexpr ULONG kStageRecordBytes = 32;
constexpr ULONG kClassifierRecordBytes = 48;
constexpr ULONG kFeatureBytes = 104;
constexpr ULONG kRectsPerFeature = 5;
constexpr LONG kLeafLimit = 65535;
// Field offsets (little-endian 32-bit numbers; pointer fields are 8 bytes and not read).
constexpr ULONG kHeaderMagic = 0, kHeaderStageCount = 4, kHeaderWindowWidth = 8,
                kHeaderWindowHeight = 12, kHeaderEqualiseRect = 24;
constexpr ULONG kStageClassifierCount = 0, kStageThreshold = 4, kStageNext = 16, kStageChild = 20,
                kStageParent = 24;
constexpr ULONG kClassifierNodeCount = 0;
constexpr ULONG kFeatureTilted = 0, kFeatureRects = 4, kFeatureRectBytes = 20;
// Per classifier of n nodes: n features, then n thresholds, n left and n right children, n + 1
// leaves.
constexpr ULONG NodeDataBytes(ULONG nodes) { return nodes * (kFeatureBytes + 16) + 4; }
// Bounds that keep a feature value and a stage sum inside 32 bits for any accepted block.
constexpr LONG kMaxRectWeight = 256;
constexpr LONG kMaxClassifiersPerStage = 1024;

// Pool tags.
constexpr ULONG kTagFaceWorkImage = 'Ptmp';

}  // namespace kvz
