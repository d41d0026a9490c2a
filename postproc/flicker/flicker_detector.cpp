#include "postproc/flicker/flicker_detector.h"

#include <string.h>

#include "common/sensor_register.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

constexpr ULONG kTagChromaReference = 'AFD0';
constexpr ULONG kTagLumaReference = 'AFD1';
constexpr ULONG kTagPreviousGridB = 'AFD2';
constexpr ULONG kTagChromaSums = 'AFD3';
constexpr ULONG kTagLumaSums = 'AFD4';
constexpr ULONG kTagMotionSums = 'AFD5';
constexpr SIZE_T kSampleBytes = 2000;
constexpr SIZE_T kSumBytes = 400;

constexpr USHORT kExposureRegister = 0x0002;
constexpr LONG kLevelLow = 240;
constexpr LONG kLevelHigh = 1920;

constexpr int kRegions = FlickerDetector::kRegions;
constexpr int kGridSide = 10;

LONG Abs(LONG v) { return v < 0 ? -v : v; }

// Range of the series sums[i x 10 + region], i < count. Both ends start at the far end of the
// 16-bit range so that an all-negative series is measured correctly.
LONG SeriesRange(const SHORT* sums, LONG region, int count) {
  LONG hi = -32768, lo = 32767;
  for (int i = 0; i < count; ++i) {
    const LONG v = sums[i * kRegions + region];
    if (v > hi) hi = v;
    if (v < lo) lo = v;
  }
  return hi - lo;
}

struct Centre {
  LONG x, y;
};

Centre RegionCentre(int region, LONG width, LONG height) {
  return {((region % 5) + 1) * (width / 6), (2 * (region / 5) + 1) * (height / 4)};
}

LONG Even(LONG v) { return (v & 1) ? v + 1 : v; }

// Top-left sample of each grid and its steps.
struct Grid {
  LONG x0, y0, dx, dy;
};

Grid GridA(int region, LONG width, LONG height) {
  const Centre c = RegionCentre(region, width, height);
  return {Even(c.x - 20), c.y - 5, 4, 1};
}

Grid GridB(int region, LONG width, LONG height) {
  const Centre c = RegionCentre(region, width, height);
  const LONG dx = width / 80, dy = height / 40;
  return {Even(c.x - 5 * dx), c.y - 5 * dy, dx, dy};
}

bool GridInside(const Grid& g, LONG width, LONG height) {
  const LONG x1 = g.x0 + (kGridSide - 1) * g.dx, y1 = g.y0 + (kGridSide - 1) * g.dy;
  return g.x0 >= 0 && g.y0 >= 0 && x1 < width && y1 < height;
}

SHORT Luma(const UCHAR* frame, LONG bpp, LONG width, LONG x, LONG y) {
  const UCHAR* p = frame + (static_cast<SIZE_T>(y) * width + x) * bpp;
  return bpp == 2 ? p[0] : static_cast<SHORT>((p[0] + p[1] + p[2]) / 3);
}

SHORT Chroma(const UCHAR* frame, LONG bpp, LONG width, LONG x, LONG y) {
  const UCHAR* p = frame + (static_cast<SIZE_T>(y) * width + x) * bpp;
  // RGB24 has no chroma byte; the blue-red difference centred on 128 stands in for it.
  return bpp == 2 ? p[1] : static_cast<SHORT>((p[0] - p[2]) / 2 + 128);
}

VOID SetPowerLine(CameraServices* device, UCHAR value) {
  const USHORT unit = device->ProcessingUnitIndex();
  if (unit) device->SetClassRequest(kRequestSetCur, SelectorValue(kPuPowerLine), unit, &value, 1);
}

// The camera's power-line value, or fallback when it cannot be read (or it has no such control).
UCHAR GetPowerLine(CameraServices* device, UCHAR fallback) {
  UCHAR value = fallback;
  const USHORT unit = device->ProcessingUnitIndex();
  if (!unit || !NT_SUCCESS(device->GetClassRequest(kRequestGetCur, SelectorValue(kPuPowerLine), unit, &value, 1)))
    value = fallback;
  return value;
}

SHORT* AllocSamples(SIZE_T bytes, ULONG tag) {
  SHORT* p = static_cast<SHORT*>(ExAllocatePoolWithTag(DriverPoolType, bytes, tag));
  if (p) memset(p, 0, bytes);
  return p;
}

VOID FreeSamples(SHORT** p, ULONG tag) {
  if (*p) ExFreePoolWithTag(*p, tag);
  *p = nullptr;
}

}  // namespace

bool ReadSensorLevelInRange(CameraServices* device, UCHAR chipCode, USHORT* level) {
  UCHAR high = 0, low = 0;
  if (device && chipCode == kChipB0) {
    ReadSensorRegister(device, 0x050D, &high);
    ReadSensorRegister(device, 0x050E, &low);
  } else if (device && chipCode == kChipC0) {
    ReadSensorRegister(device, 0x0556, &high);
    ReadSensorRegister(device, 0x0557, &low);
  }
  const USHORT value = static_cast<USHORT>(high * 256 + low);
  if (level) *level = value;
  return static_cast<ULONG>(value - kLevelLow) <= static_cast<ULONG>(kLevelHigh - kLevelLow);
}

FlickerDetector::FlickerDetector()
    : lumaReference_(nullptr), previousGridB_(nullptr), lumaSums_(nullptr), motionSums_(nullptr),
      chromaSums_(nullptr), currentFrequency_(2), lastReading_(0), stableCount_(0),
      settleCount_(0), redetectRequest_(0), waitCounter_(0), framesToWait_(0), frameCount_(0),
      movingCount_(0), retryCount_(0), state_(kStateInitial), nextState_(kStatePreparing),
      stillnessEvaluated_(0), settled_(0), chromaReference_(nullptr), pendingReset_(0) {}

NTSTATUS FlickerDetector::AllocBuffers() {
  FreeBuffers();
  chromaReference_ = AllocSamples(kSampleBytes, kTagChromaReference);
  lumaReference_ = AllocSamples(kSampleBytes, kTagLumaReference);
  previousGridB_ = AllocSamples(kSampleBytes, kTagPreviousGridB);
  chromaSums_ = AllocSamples(kSumBytes, kTagChromaSums);
  lumaSums_ = AllocSamples(kSumBytes, kTagLumaSums);
  motionSums_ = AllocSamples(kSumBytes, kTagMotionSums);
  return HasBuffers() ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID FlickerDetector::FreeBuffers() {
  FreeSamples(&chromaReference_, kTagChromaReference);
  FreeSamples(&lumaReference_, kTagLumaReference);
  FreeSamples(&previousGridB_, kTagPreviousGridB);
  FreeSamples(&chromaSums_, kTagChromaSums);
  FreeSamples(&lumaSums_, kTagLumaSums);
  FreeSamples(&motionSums_, kTagMotionSums);
}

bool FlickerDetector::HasBuffers() const {
  return chromaReference_ && lumaReference_ && previousGridB_ && chromaSums_ && lumaSums_ &&
         motionSums_;
}

VOID FlickerDetector::Reset(CameraServices* device, UCHAR chipCode, SHORT framesToWait) {
  InterlockedExchange(&redetectRequest_, 0);
  InterlockedExchange(&pendingReset_, static_cast<LONG>(framesToWait < 0 ? 0 : framesToWait) + 1);
  if (device) SetSensorFlickerMode(device, chipCode, 0);
}

VOID FlickerDetector::ApplyReset(SHORT framesToWait) {
  waitCounter_ = 0;
  movingCount_ = 0;
  ClearPhase();
  state_ = kStateWaiting;
  framesToWait_ = framesToWait;
  nextState_ = kStatePreparing;
  currentFrequency_ = 2;
}

VOID FlickerDetector::SetSensorFlickerMode(CameraServices* device, UCHAR chipCode, LONG mode) {
  if (!device || (mode != 0 && mode != 1)) return;
  const USHORT reg = (chipCode == kChipB0 || chipCode == kChipC0) ? 0x0600 : 0x0500;
  WriteSensorRegister(device, reg, static_cast<UCHAR>(mode));
}

bool FlickerDetector::GridsFit(LONG width, LONG height) {
  if (width <= 0 || height <= 0) return false;
  for (int r = 0; r < kRegions; ++r)
    if (!GridInside(GridA(r, width, height), width, height) ||
        !GridInside(GridB(r, width, height), width, height))
      return false;
  return true;
}

VOID FlickerDetector::RestartPreparation() {
  state_ = kStateWaiting;
  waitCounter_ = 0;
  framesToWait_ = 5;
  nextState_ = kStatePreparing;
  ClearPhase();
}

VOID FlickerDetector::ClearPhase() {
  frameCount_ = 0;
  lastReading_ = 0;
  stableCount_ = 0;
  settleCount_ = 0;
  retryCount_ = 0;
  stillnessEvaluated_ = 0;
  settled_ = 0;
}

VOID FlickerDetector::ProcessFrame(CameraServices* device, const UCHAR* frame, LONG bytesPerPixel,
                                   LONG width, LONG height, UCHAR chipCode,
                                   LONG* flickerDetectValue) {
  // Without its buffers the detector stays idle.
  if (!HasBuffers()) return;
  const LONG reset = InterlockedExchange(&pendingReset_, 0);
  if (reset) ApplyReset(static_cast<SHORT>(reset - 1));
  switch (state_) {
    case kStateWaiting:
      if (waitCounter_ < framesToWait_) {
        ++waitCounter_;
        return;
      }
      state_ = nextState_;
      waitCounter_ = 0;
      ClearPhase();
      return;
    case kStateInitial:
      ApplyReset(0);
      return;
    case kStatePreparing:
    case kStateMeasuring:
      break;
    default:
      return;
  }
  if (!device || !frame || (bytesPerPixel != 2 && bytesPerPixel != 3) ||
      !GridsFit(width, height))
    return;
  if (state_ == kStatePreparing)
    Prepare(device, frame, bytesPerPixel, width, height, chipCode);
  else
    Measure(device, frame, bytesPerPixel, width, height, chipCode, flickerDetectValue);
}

VOID FlickerDetector::Prepare(CameraServices* device, const UCHAR* frame, LONG bpp, LONG width,
                              LONG height, UCHAR chipCode) {
  if (!ReadSensorLevelInRange(device, chipCode, nullptr)) {
    RestartPreparation();
    return;
  }
  if (settleCount_ == 0 && !settled_) {
    SetPowerLine(device, static_cast<UCHAR>(currentFrequency_));
    lastReading_ = 0;
    stableCount_ = 0;
  }
  if (!settled_) {
    UCHAR reading = 0;
    ReadSensorRegister(device, kExposureRegister, &reading);
    if (Abs(reading - lastReading_) <= 3) {
      ++stableCount_;
    } else {
      lastReading_ = reading;
      stableCount_ = 0;
    }
    if (stableCount_ >= 10 || settleCount_ >= 30)
      settled_ = 1;
    else
      ++settleCount_;
  }
  if (CheckSceneStable(frame, bpp, width, height) != 0) return;
  frameCount_ = 0;
  if (settled_) {
    ClearPhase();
    state_ = kStateWaiting;
    waitCounter_ = 0;
    framesToWait_ = 10;
    nextState_ = kStateMeasuring;
    SetSensorFlickerMode(device, chipCode, 1);
  } else {
    stillnessEvaluated_ = 0;
  }
}

VOID FlickerDetector::Measure(CameraServices* device, const UCHAR* frame, LONG bpp, LONG width,
                              LONG height, UCHAR chipCode, LONG* flickerDetectValue) {
  const LONG r = AnalyzeBanding(frame, bpp, width, height, static_cast<LONG>(currentFrequency_));
  if (r == 0 || r == 3) {
    // A failed read falls back to the value under test, which is what the camera was set to.
    const UCHAR reported = GetPowerLine(device, static_cast<UCHAR>(currentFrequency_));
    const UCHAR value = r == 0 ? reported : (reported == 2 ? 1 : 2);
    if (flickerDetectValue) *flickerDetectValue = value;
    SetPowerLine(device, value);
    state_ = kStateDone;
    if (r == 3) currentFrequency_ = value;
    SetSensorFlickerMode(device, chipCode, 0);
  } else if (r == 1 || r == 2) {
    SetSensorFlickerMode(device, chipCode, 0);
    currentFrequency_ = r;
    RestartPreparation();
  }
}

VOID FlickerDetector::SampleGridB(const UCHAR* frame, LONG bpp, LONG width, LONG height,
                                  int region, SHORT* out) const {
  // Each sampled row is kept as its samples' deviations from the row's mean: flicker bands
  // rolling down the frame brighten or darken whole rows, which would otherwise count as scene
  // motion and hold strong flicker in preparation for good; moving edges and texture still
  // change the deviations.
  const Grid g = GridB(region, width, height);
  for (int row = 0; row < kGridSide; ++row, out += kGridSide) {
    LONG sum = 0;
    for (int col = 0; col < kGridSide; ++col) {
      out[col] = Luma(frame, bpp, width, g.x0 + col * g.dx, g.y0 + row * g.dy);
      sum += out[col];
    }
    const SHORT mean = static_cast<SHORT>(sum / kGridSide);
    for (int col = 0; col < kGridSide; ++col) out[col] = static_cast<SHORT>(out[col] - mean);
  }
}

VOID FlickerDetector::SampleGridA(const UCHAR* frame, LONG bpp, LONG width, LONG height,
                                  int region, SHORT* luma, SHORT* chroma) const {
  const Grid g = GridA(region, width, height);
  for (int row = 0; row < kGridSide; ++row)
    for (int col = 0; col < kGridSide; ++col) {
      const LONG x = g.x0 + col * g.dx, y = g.y0 + row * g.dy;
      *luma++ = Luma(frame, bpp, width, x, y);
      *chroma++ = Chroma(frame, bpp, width, x, y);
    }
}

LONG FlickerDetector::CheckSceneStable(const UCHAR* frame, LONG bpp, LONG width, LONG height) {
  if (!HasBuffers() || !GridsFit(width, height)) return -1;
  if (frameCount_ > 10) return 0;
  if (frameCount_ == 0) {
    memset(previousGridB_, 0, kSampleBytes);
    movingCount_ = 0;
  }
  for (int r = 0; r < kRegions; ++r) {
    SHORT samples[kPointsPerRegion];
    SampleGridB(frame, bpp, width, height, r, samples);
    SHORT* previous = previousGridB_ + r * kPointsPerRegion;
    LONG motion = 0;
    for (int p = 0; p < kPointsPerRegion; ++p) {
      motion += Abs(samples[p] - previous[p]);
      previous[p] = samples[p];
    }
    if (frameCount_ >= 1) motionSums_[(frameCount_ - 1) * kRegions + r] = static_cast<SHORT>(motion);
  }
  if (!stillnessEvaluated_) {
    if (frameCount_ != 10) {
      ++frameCount_;
      return -1;
    }
    stillnessEvaluated_ = 1;
  }
  if (movingCount_ < 6) {
    movingCount_ = 0;
    for (int r = 0; r < kRegions; ++r)
      if (SeriesRange(motionSums_, r, 10) > 200) ++movingCount_;
  } else {
    --movingCount_;
  }
  LONG result = 0;
  if (movingCount_ >= 5) {
    result = 1;
    if (frameCount_ == 10) frameCount_ = 0;
  }
  ++frameCount_;
  return result;
}

LONG FlickerDetector::AnalyzeBanding(const UCHAR* frame, LONG bpp, LONG width, LONG height,
                                     LONG currentFrequency) {
  if (!HasBuffers() || !GridsFit(width, height)) return -1;
  if (frameCount_ <= kCollectedFrames) {
    if (frameCount_ == 0) {
      memset(chromaReference_, 0, kSampleBytes);
      memset(lumaReference_, 0, kSampleBytes);
      memset(previousGridB_, 0, kSampleBytes);
      for (int r = 0; r < kRegions; ++r) {
        const int j = r * kPointsPerRegion;
        SampleGridA(frame, bpp, width, height, r, lumaReference_ + j, chromaReference_ + j);
        SampleGridB(frame, bpp, width, height, r, previousGridB_ + j);
      }
    } else {
      for (int r = 0; r < kRegions; ++r) {
        SHORT luma[kPointsPerRegion], chroma[kPointsPerRegion], gridB[kPointsPerRegion];
        SampleGridA(frame, bpp, width, height, r, luma, chroma);
        SampleGridB(frame, bpp, width, height, r, gridB);
        const int j = r * kPointsPerRegion;
        LONG lumaSum = 0, chromaSum = 0, motion = 0;
        for (int p = 0; p < kPointsPerRegion; ++p) {
          lumaSum += lumaReference_[j + p] - luma[p];
          chromaSum += chromaReference_[j + p] - chroma[p];
          motion += Abs(gridB[p] - previousGridB_[j + p]);
          previousGridB_[j + p] = gridB[p];
        }
        const int e = (frameCount_ - 1) * kRegions + r;
        lumaSums_[e] = static_cast<SHORT>(lumaSum);
        chromaSums_[e] = static_cast<SHORT>(chromaSum);
        motionSums_[e] = static_cast<SHORT>(motion);
      }
    }
    ++frameCount_;
    return -1;
  }

  bool kept[kRegions];
  LONG lumaRange[kRegions];
  int movingRegions = 0;
  for (int r = 0; r < kRegions; ++r) {
    lumaRange[r] = SeriesRange(lumaSums_, r, kCollectedFrames);
    kept[r] = SeriesRange(motionSums_, r, kCollectedFrames) <= 400;
    if (!kept[r]) ++movingRegions;
  }
  if (movingRegions >= 5) {
    ++retryCount_;
    frameCount_ = 0;
    return retryCount_ < 5 ? -1 : currentFrequency;
  }
  int keptCount = kRegions - movingRegions;
  LONG mean = 0;
  for (int r = 0; r < kRegions; ++r)
    if (kept[r]) mean += lumaRange[r];
  mean /= keptCount;
  // Keep the five regions whose banding strength is most typical.
  while (keptCount > 5) {
    int farthest = -1;
    LONG distance = -1;
    for (int r = 0; r < kRegions; ++r)
      if (kept[r] && Abs(lumaRange[r] - mean) > distance) {
        distance = Abs(lumaRange[r] - mean);
        farthest = r;
      }
    kept[farthest] = false;
    --keptCount;
  }
  LONG regions[5];
  for (int r = 0, n = 0; r < kRegions; ++r)
    if (kept[r]) regions[n++] = r;
  const LONG u = ScoreBanding(chromaSums_, 1, currentFrequency, regions);
  const LONG v = ScoreBanding(lumaSums_, 0, currentFrequency, regions);
  const LONG s = Abs(v) > Abs(u) ? v : u;
  return s > 0 ? 3 : 0;
}

LONG FlickerDetector::ScoreBanding(const SHORT* sums, LONG chromaFlag, LONG currentFrequency,
                                   const LONG* regions) const {
  if (!sums || !regions) return 0;
  // Banding under the other mains rolls through the frames with a period of 5 frames when 50 Hz
  // is under test and of 3 frames when 60 Hz is: N turning points in 20 frames, the fourth at P.
  const LONG threshold = (chromaFlag == 0 && currentFrequency == 1) ? 150 : 100;
  const LONG expectedTurns = currentFrequency == 1 ? 8 : 13;
  const LONG expectedPos = currentFrequency == 1 ? 9 : 6;
  LONG score = 0;
  LONG range[5], turns[5], pos[5];
  for (int n = 0; n < 5; ++n) {
    const LONG g = regions[n];
    LONG total = 0;  // 20 values of up to 25500 each: 32 bits
    for (int i = 0; i < kCollectedFrames; ++i) total += sums[i * kRegions + g];
    const LONG mean = total / kCollectedFrames;
    range[n] = SeriesRange(sums, g, kCollectedFrames);
    turns[n] = 0;
    pos[n] = 0;
    if (range[n] >= threshold) {
      enum { kNone, kPeak, kTrough } lastTurn = kNone;
      int direction = -1;  // 1 rising, 0 falling, -1 before the first step
      for (int i = 1; i < kCollectedFrames; ++i) {
        const LONG prev = sums[(i - 1) * kRegions + g], cur = sums[i * kRegions + g];
        const int rising = prev < cur ? 1 : 0;
        if (rising == direction) continue;
        direction = rising;
        if (rising) {
          if (prev < mean && lastTurn != kTrough) {
            ++turns[n];
            lastTurn = kTrough;
          }
        } else if (prev > mean && lastTurn != kPeak) {
          ++turns[n];
          lastTurn = kPeak;
        }
        if (turns[n] == 4) pos[n] = i;
      }
      // Only a region that shows banding at all has a turn count to judge; a flat series
      // counting as "no turns" would let flat chroma outvote clear luma banding.
      score += 4 - Abs(turns[n] - expectedTurns);
    }
  }

  const LONG pairThreshold = chromaFlag == 0 ? 150 : 100;
  const LONG maxDiff = 2 * pairThreshold;
  const LONG maxRatio = chromaFlag ? 5 : 10;
  for (int g = 0; g < 5; ++g) {
    for (int l = 0; l < 5; ++l) {
      if (g == l) continue;
      const LONG w = Abs(turns[g] - turns[l]), v = Abs(pos[g] - pos[l]);
      if (currentFrequency != 1 && currentFrequency != 2) {
        score -= 1;
      } else if (range[g] > pairThreshold && range[l] > pairThreshold &&
                 Abs(pos[g] - expectedPos) < 3 && Abs(pos[l] - expectedPos) < 3 &&
                 Abs(turns[g] - expectedTurns) < 3 && Abs(turns[l] - expectedTurns) < 3 &&
                 w <= 2 && v <= 2) {
        if (Abs(range[g] - range[l]) < maxDiff && w <= 1 && v <= 1) {
          score += 2;
        } else {
          const LONG larger = range[g] > range[l] ? range[g] : range[l];
          const LONG smaller = range[g] > range[l] ? range[l] : range[g];
          if (larger / smaller < maxRatio && larger - smaller <= 3 * maxDiff) score += 1;
        }
      } else if (Abs(pos[g] - expectedPos) <= 3 &&
                 (Abs(pos[l] - expectedPos) < 4 || Abs(turns[g] - expectedTurns) <= 3)) {
        score -= Abs(turns[l] - expectedTurns) > 3 ? 2 : 1;
      } else {
        score -= 2;
      }
    }
  }
  return score;
}

}  // namespace kvz
