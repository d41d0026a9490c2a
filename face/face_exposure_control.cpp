#include "face/face_exposure_control.h"

#include <math.h>
#include <string.h>

#include "primitives/driver_memory.h"

namespace kvz {
namespace {

bool IsZero(const FaceMeasurement& m) {
  return m.luma == 0 && m.red == 0 && m.green == 0 && m.blue == 0;
}

bool AllNonZero(const FaceMeasurement& m) {
  return m.luma != 0 && m.red != 0 && m.green != 0 && m.blue != 0;
}

UCHAR Clamp255(LONG v) { return static_cast<UCHAR>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

LONG AbsDiff(LONG a, LONG b) { return a > b ? a - b : b - a; }

// The face colour expected after the camera moved a channel's level from `stored` to `fresh`.
LONG PredictChannel(USHORT previous, USHORT fresh, USHORT stored) {
  const double p = previous / 255.0;
  return static_cast<LONG>(255.0 * sqrt(p * p * 255.0 * fresh / stored / 255.0));
}

USHORT LumaOf(double red, double green, double blue) {
  return static_cast<USHORT>(0.7152 * green + 0.2126 * red + 0.0722 * blue);
}

class FaceExposureLock {
 public:
  explicit FaceExposureLock(FaceExposureDevice* device) : mutex_(device->FaceExposureMutex()) {
    KeWaitForSingleObject(mutex_, Executive, KernelMode, FALSE, nullptr);
  }
  ~FaceExposureLock() { KeReleaseMutex(mutex_, FALSE); }
  FaceExposureLock(const FaceExposureLock&) = delete;
  FaceExposureLock& operator=(const FaceExposureLock&) = delete;

 private:
  PKMUTEX mutex_;
};

}  // namespace

FaceExposureControl::FaceExposureControl() : workBuffer_(nullptr), workBufferSize_(0), device_(nullptr) {
  noFaceStart_ = 0;
  stableStart_ = 0;
  ResetState(nullptr);
}

VOID FaceExposureControl::ResetState(FaceExposureDevice* device) {
  faceTop_ = faceBottom_ = faceLeft_ = faceRight_ = 0;
  memset(&windows_, 0, sizeof(windows_));
  memset(levels_, 0, sizeof(levels_));
  sendCounter_ = 0;
  sendInterval_ = kFirstSendInterval;
  tolerance_ = kToleranceStart;
  memset(&sent_, 0, sizeof(sent_));
  memset(&previous_, 0, sizeof(previous_));
  memset(&current_, 0, sizeof(current_));
  targetRed_ = targetGreen_ = targetBlue_ = targetRatio_ = 0;
  noFace_ = 1;
  stable_ = 0;
  frameWidth_ = frameHeight_ = 0;
  LearnDevice(device);
}

// The device is learnt once, by compare-exchange, and read the same way: the region set and the
// face worker may ask for it while a stream start stores it.
VOID FaceExposureControl::LearnDevice(FaceExposureDevice* device) {
  if (device) InterlockedCompareExchangePointer(&device_, device, nullptr);
}

FaceExposureDevice* FaceExposureControl::Device() const {
  return static_cast<FaceExposureDevice*>(
      InterlockedCompareExchangePointer(const_cast<PVOID volatile*>(&device_), nullptr, nullptr));
}

VOID FaceExposureControl::Reset(FaceExposureDevice* device) {
  LearnDevice(device);
  FaceExposureDevice* known = Device();
  if (known == nullptr) {
    ResetState(nullptr);
    return;
  }
  // The worker may be inside UpdateFaceExposure.
  FaceExposureLock lock(known);
  ResetState(device);
}

VOID FaceExposureControl::Release() {
  if (workBuffer_ != nullptr) ExFreePoolWithTag(workBuffer_, kTagFaceExposureBuffer);
  workBuffer_ = nullptr;
  workBufferSize_ = 0;
}

NTSTATUS FaceExposureControl::EnsureWorkBuffer(ULONG bytes) {
  if (workBuffer_ != nullptr && workBufferSize_ >= bytes) return STATUS_SUCCESS;
  Release();
  workBuffer_ = static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, bytes, kTagFaceExposureBuffer));
  if (workBuffer_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  workBufferSize_ = bytes;
  return STATUS_SUCCESS;
}

VOID FaceExposureControl::ComputeWindows(LONG width, LONG height) {
  Windows& w = windows_;
  memset(&w, 0, sizeof(w));
  if (faceTop_ > 0 && faceBottom_ > 0 && faceLeft_ > 0 && faceRight_ > 0) {
    w.measureTop = faceTop_ > kMeasureMargin ? faceTop_ - kMeasureMargin : 0;
    w.measureBottom = faceBottom_ + kMeasureMargin < height ? faceBottom_ + kMeasureMargin : height - 1;
    w.measureLeft = faceLeft_ > kMeasureMargin ? faceLeft_ - kMeasureMargin : 0;
    w.measureRight = faceRight_ + kMeasureMargin < width ? faceRight_ + kMeasureMargin : width - 1;
    w.exposureX = faceLeft_ > kExposureMargin ? faceLeft_ - kExposureMargin : 0;
    w.exposureY = faceTop_ > kExposureMargin ? faceTop_ - kExposureMargin : 0;
    w.exposureWidth = faceRight_ + kExposureMargin > width - 2 ? width - w.exposureX - 2
                                                               : faceRight_ - w.exposureX + kExposureMargin;
    w.exposureHeight = faceBottom_ + kExposureMargin > height - 2 ? height - w.exposureY - 2
                                                                  : faceBottom_ - w.exposureY + kExposureMargin;
  }
  w.centreX = (w.measureLeft + w.measureRight) / 2;
  w.centreY = (w.measureTop + w.measureBottom) / 2;
  w.thirdWidth = AbsDiff(w.measureRight, w.measureLeft) / 3;
  w.thirdHeight = AbsDiff(w.measureBottom, w.measureTop) / 3;
}

NTSTATUS FaceExposureControl::SetFaceRectangle(const RegionRect& rect, LONG width, LONG height) {
  FaceExposureDevice* device = Device();
  if (device == nullptr) return STATUS_INVALID_PARAMETER;
  // The buffer holds width x height x 3 bytes in 32 bits.
  if (width <= 0 || height <= 0 || width > 0x4000 || height > 0x4000) return STATUS_INVALID_PARAMETER;
  const bool noFace = rect.left <= 0 || rect.top <= 0 || rect.right <= 0 || rect.bottom <= 0;
  if (!noFace && (rect.left >= rect.right || rect.top >= rect.bottom || rect.right >= width ||
                  rect.bottom >= height)) {
    return STATUS_INVALID_PARAMETER;
  }
  FaceExposureLock lock(device);
  faceTop_ = rect.top;
  faceBottom_ = rect.bottom;
  faceLeft_ = rect.left;
  faceRight_ = rect.right;
  ComputeWindows(width, height);
  memset(&current_, 0, sizeof(current_));
  memset(&previous_, 0, sizeof(previous_));
  memset(levels_, 0, sizeof(levels_));
  memset(&sent_, 0, sizeof(sent_));
  sendCounter_ = 0;
  sendInterval_ = kFirstSendInterval;
  frameWidth_ = width;
  frameHeight_ = height;
  // A failed allocation leaves no buffer, and measuring is then skipped.
  (void)EnsureWorkBuffer(static_cast<ULONG>(width) * static_cast<ULONG>(height) * 3);
  return STATUS_SUCCESS;
}

NTSTATUS FaceExposureControl::ClearFaceExposure() {
  UCHAR bytes[kFaceExposureWindowBytes] = {};
  CameraServices& camera = Device()->Camera();
  const NTSTATUS status = camera.SetClassRequest(kRequestSetCur, SelectorValue(kXuFaceExposureWindow),
                                                 camera.VendorUnitIndex(), bytes, sizeof(bytes));
  if (NT_SUCCESS(status)) memset(&sent_, 0, sizeof(sent_));
  return status;
}

NTSTATUS FaceExposureControl::ClearFaceExposureLocked() {
  FaceExposureDevice* device = Device();
  if (device == nullptr) return STATUS_INVALID_PARAMETER;
  FaceExposureLock lock(device);
  return ClearFaceExposure();
}

NTSTATUS FaceExposureControl::UpdateFaceExposure(const UCHAR* frame, LONG width, LONG height) {
  FaceExposureDevice* device = Device();
  if (device == nullptr) return STATUS_INVALID_PARAMETER;
  FaceExposureLock lock(device);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);

  const bool noFace = faceTop_ + faceBottom_ + faceLeft_ + faceRight_ == 0;
  const bool wholeFrame = faceTop_ == 0 && faceBottom_ == height - 1 && faceLeft_ == 0 && faceRight_ == width - 1;
  if (noFace || wholeFrame) {
    if (noFace_ == 0) {
      noFace_ = 1;
      noFaceStart_ = now.QuadPart;
    } else if (now.QuadPart - noFaceStart_ > kNoFaceClearTime) {
      ClearFaceExposure();
      device->ClearFaceWorkFlags(kFaceWorkExposure);
      stable_ = 0;
    }
    return STATUS_SUCCESS;
  }
  if (stable_ == 0) {
    stable_ = 1;
    stableStart_ = now.QuadPart;
    return STATUS_SUCCESS;
  }
  if (now.QuadPart - stableStart_ <= kFaceStableTime) return STATUS_SUCCESS;
  noFace_ = 0;
  // The windows and the buffer belong to the size last set; a frame of another size is not
  // measured.
  if (frame == nullptr || workBuffer_ == nullptr || width != frameWidth_ || height != frameHeight_) {
    return STATUS_SUCCESS;
  }
  const ULONG mean = Yuy2ToRgb24Bt601(frame, workBuffer_, width, height);
  MeasureFaceRegion(workBuffer_, width, height, IsZero(previous_) ? 0 : 1, mean);
  if (AllNonZero(current_)) {
    const NTSTATUS status = SendFaceExposureWindow();
    previous_ = current_;
    return status;
  }
  return SendFaceExposureWindow();
}

NTSTATUS FaceExposureControl::SendFaceExposureWindow() {
  if (!AllNonZero(current_)) return STATUS_SUCCESS;
  const FaceMeasurement target = {
      static_cast<USHORT>(current_.luma * current_.luma / 255), static_cast<USHORT>(current_.red * current_.red / 255),
      static_cast<USHORT>(current_.green * current_.green / 255),
      static_cast<USHORT>(current_.blue * current_.blue / 255)};
  if (sendCounter_ < sendInterval_ || target.luma == 0) {
    ++sendCounter_;
    return STATUS_SUCCESS;
  }
  sendCounter_ = 0;
  sendInterval_ = 1;
  const Windows& w = windows_;
  UCHAR bytes[kFaceExposureWindowBytes] = {1,
                                           1,
                                           0,
                                           static_cast<UCHAR>(target.luma),
                                           0,
                                           0,
                                           0,
                                           static_cast<UCHAR>(w.exposureX >> 8),
                                           static_cast<UCHAR>(w.exposureX),
                                           static_cast<UCHAR>(w.exposureY >> 8),
                                           static_cast<UCHAR>(w.exposureY),
                                           static_cast<UCHAR>(w.exposureWidth >> 8),
                                           static_cast<UCHAR>(w.exposureWidth),
                                           static_cast<UCHAR>(w.exposureHeight >> 8),
                                           static_cast<UCHAR>(w.exposureHeight)};
  CameraServices& camera = Device()->Camera();
  const NTSTATUS status = camera.SetClassRequest(kRequestSetCur, SelectorValue(kXuFaceExposureWindow),
                                                 camera.VendorUnitIndex(), bytes, sizeof(bytes));
  if (NT_SUCCESS(status)) sent_ = target;
  return status;
}

ULONG FaceExposureControl::Yuy2ToRgb24Bt601(const UCHAR* frame, UCHAR* out, LONG width, LONG height) {
  ULONGLONG lumaSum = 0;
  for (LONG y = 0; y < height; ++y) {
    const UCHAR* in = frame + static_cast<SIZE_T>(y) * width * 2;
    UCHAR* row = out + static_cast<SIZE_T>(y) * width * 3;
    for (LONG x = 0; x + 1 < width; x += 2, in += 4) {
      const LONG d = in[1] - 128;
      const LONG e = in[3] - 128;
      for (LONG i = 0; i < 2; ++i) {
        const UCHAR luma = in[i * 2];
        const LONG c = luma - 16;
        UCHAR* px = row + (x + i) * 3;
        px[0] = Clamp255((298 * c + 516 * d + 128) >> 8);
        px[1] = Clamp255((298 * c - 100 * d - 208 * e + 128) >> 8);
        px[2] = Clamp255((298 * c + 409 * e + 128) >> 8);
        lumaSum += luma;
      }
    }
  }
  return static_cast<ULONG>(lumaSum / (static_cast<ULONGLONG>(width) * static_cast<ULONGLONG>(height)));
}

BOOLEAN FaceExposureControl::ReadLevels(USHORT levels[3]) {
  UCHAR bytes[kExposureLevelsBytes] = {};
  CameraServices& camera = Device()->Camera();
  if (!NT_SUCCESS(camera.GetClassRequest(kRequestGetCur, SelectorValue(kXuExposureLevels), camera.VendorUnitIndex(),
                                         bytes, sizeof(bytes)))) {
    return FALSE;
  }
  levels[0] = bytes[0];
  levels[1] = bytes[2];
  levels[2] = bytes[4];
  return TRUE;
}

VOID FaceExposureControl::MeasureFaceRegion(const UCHAR* rgb, LONG width, LONG height, ULONG mode, ULONG mean) {
  if (mode == 0) {
    MeasureFirst(rgb, width, height);
  } else {
    MeasureFollowing(rgb, width, height, mean);
  }
}

VOID FaceExposureControl::MeasureFirst(const UCHAR* rgb, LONG width, LONG height) {
  if (!ReadLevels(levels_)) {
    memset(&current_, 0, sizeof(current_));
    return;
  }
  const Windows& w = windows_;
  const Region core = {w.measureTop + w.thirdHeight * 5 / 4, w.measureTop + w.thirdHeight * 7 / 4,
                       w.measureLeft + w.thirdWidth * 5 / 4, w.measureLeft + w.thirdWidth * 7 / 4};
  ULONG red = 0, green = 0, blue = 0, count = 0;
  for (LONG y = core.top; y < core.bottom && y < height; y += kSampleStep) {
    for (LONG x = core.left; x < core.right && x < width; x += kSampleStep) {
      const UCHAR* px = rgb + (static_cast<SIZE_T>(y) * width + x) * 3;
      blue += px[0];
      green += px[1];
      red += px[2];
      ++count;
    }
  }
  tolerance_ = kToleranceStart;
  if (count == 0) return;
  current_.luma = static_cast<USHORT>(static_cast<ULONG>(0.7152 * green + 0.2126 * red + 0.0722 * blue) / count);
  current_.red = static_cast<USHORT>(red / count);
  current_.green = static_cast<USHORT>(green / count);
  current_.blue = static_cast<USHORT>(blue / count);
}

FaceExposureControl::Region FaceExposureControl::CentreThird() const {
  const Windows& w = windows_;
  return {w.measureTop + w.thirdHeight, w.measureTop + 2 * w.thirdHeight, w.measureLeft + w.thirdWidth,
          w.measureLeft + 2 * w.thirdWidth};
}

FaceExposureControl::Region FaceExposureControl::BottomThird() const {
  const Windows& w = windows_;
  return {w.measureTop + 2 * w.thirdHeight, w.measureTop + 3 * w.thirdHeight, w.measureLeft + w.thirdWidth,
          w.measureLeft + 2 * w.thirdWidth};
}

FaceExposureControl::Region FaceExposureControl::TopThird() const {
  const Windows& w = windows_;
  return {w.measureTop, w.measureTop + w.thirdHeight, w.measureLeft + w.thirdWidth, w.measureLeft + 2 * w.thirdWidth};
}

FaceExposureControl::Region FaceExposureControl::LeftThird() const {
  const Windows& w = windows_;
  return {w.measureTop + w.thirdHeight, w.measureTop + 2 * w.thirdHeight, w.measureLeft, w.measureLeft + w.thirdWidth};
}

FaceExposureControl::Region FaceExposureControl::RightThird() const {
  const Windows& w = windows_;
  return {w.measureTop + w.thirdHeight, w.measureTop + 2 * w.thirdHeight, w.measureLeft + 2 * w.thirdWidth,
          w.measureLeft + 3 * w.thirdWidth};
}

LONG FaceExposureControl::Brightest(const UCHAR* rgb, LONG width, LONG height, const Region& region) const {
  LONG brightest = 0;
  for (LONG y = region.top; y < region.bottom && y < height; y += kSampleStep) {
    for (LONG x = region.left; x < region.right && x < width; x += kSampleStep) {
      const UCHAR* px = rgb + (static_cast<SIZE_T>(y) * width + x) * 3;
      const LONG brightness = (px[0] + px[1] + px[2]) / 3;
      if (brightness > brightest) brightest = brightness;
    }
  }
  return brightest;
}

FaceExposureControl::Sums FaceExposureControl::Sample(const UCHAR* rgb, LONG width, LONG height, const Region& region,
                                                      Test test, LONG ratio, ULONG mean, LONG brightest,
                                                      ULONG* histogram) const {
  Sums sums = {0, 0, 0, 0};
  const bool targets = targetRed_ > 0 && targetGreen_ > 0 && targetBlue_ > 0;
  const LONG tolerance = static_cast<LONG>(tolerance_);
  for (LONG y = region.top; y < region.bottom && y < height; y += kSampleStep) {
    for (LONG x = region.left; x < region.right && x < width; x += kSampleStep) {
      const UCHAR* px = rgb + (static_cast<SIZE_T>(y) * width + x) * 3;
      const LONG blue = px[0], green = px[1], red = px[2];
      if (green == 0) continue;
      const LONG redRatio = red * kRatioScale / green;
      const LONG blueRatio = blue * kRatioScale / green;
      bool match = false;
      if (test == Test::kFull) {
        // Only the brighter alternative: a highlight on the face, far below the brightest.
        const LONG brightness = (red + green + blue) / 3;
        match = brightness > static_cast<LONG>(mean) + kBrightAboveMean && brightest - brightness > kBelowBrightest;
      }
      if (!match && targets) {
        match = AbsDiff(red, targetRed_) < tolerance && AbsDiff(green, targetGreen_) < tolerance &&
                AbsDiff(blue, targetBlue_) < tolerance && AbsDiff(ratio, redRatio) < kRatioTolerance;
      }
      if (match) {
        sums.red += red;
        sums.green += green;
        sums.blue += blue;
        ++sums.count;
      }
      if (histogram != nullptr && redRatio >= kRatioMin && redRatio <= kRatioMax && blueRatio >= kRatioMin &&
          blueRatio <= kRatioMax) {
        ++histogram[redRatio * kHistogramRow + blueRatio - kHistogramOrigin];
      }
    }
  }
  return sums;
}

LONG FaceExposureControl::RatioFromHistogram(ULONG* counters, LONG thirdWidth, LONG thirdHeight) {
  const ULONG ceiling = static_cast<ULONG>(thirdWidth * thirdHeight * 4 / 5) / 9;
  for (ULONG i = 0; i < kHistogramCounters; ++i) {
    if (counters[i] > ceiling) counters[i] = 0;
  }
  // Runs of 15 blue ratios, summed into their last counter. The blocks span red and blue ratios
  // 31..120, but ratios of 120 are never counted: the last row and column lie outside the
  // counters and count as 0.
  const auto index = [](LONG redRatio, LONG blueRatio) {
    return redRatio * kHistogramRow + blueRatio - kHistogramOrigin;
  };
  const LONG countersEnd = static_cast<LONG>(kHistogramCounters);
  for (LONG redRatio = kRatioMin; redRatio < kRatioMin + kRatioBlock * kRatioBlocks; ++redRatio) {
    for (LONG b = 0; b < kRatioBlocks; ++b) {
      const LONG start = index(redRatio, kRatioMin + b * kRatioBlock);
      const LONG last = start + kRatioBlock - 1;
      ULONG sum = 0;
      for (LONG i = start; i <= last && i < countersEnd; ++i) {
        sum += counters[i];
        counters[i] = 0;
      }
      if (last < countersEnd) counters[last] = sum;
    }
  }
  ULONG best = 0;
  LONG code = -1;
  for (LONG k = 0; k < kRatioBlocks; ++k) {
    for (LONG b = 0; b < kRatioBlocks; ++b) {
      ULONG sum = 0;
      for (LONG row = 0; row < kRatioBlock; ++row) {
        const LONG last = index(kRatioMin + k * kRatioBlock + row, kRatioMin + b * kRatioBlock + kRatioBlock - 1);
        if (last < countersEnd) sum += counters[last];
      }
      if (sum > best) {
        best = sum;
        code = kHistogramRow * (kRatioBlock * k + kRatioBlock - 1) - kBlockCodeOffset + kRatioBlock * b;
      }
    }
  }
  return code < 0 ? kRatioWithoutBlock : code / kHistogramRow + kRatioWithoutBlock;
}

VOID FaceExposureControl::MeasureFollowing(const UCHAR* rgb, LONG width, LONG height, ULONG mean) {
  USHORT fresh[3] = {};
  targetRed_ = targetGreen_ = targetBlue_ = 0;
  if (ReadLevels(fresh)) {
    if (levels_[0] != 0 && levels_[1] != 0 && levels_[2] != 0) {
      targetRed_ = PredictChannel(previous_.red, fresh[0], levels_[0]);
      targetGreen_ = PredictChannel(previous_.green, fresh[1], levels_[1]);
      targetBlue_ = PredictChannel(previous_.blue, fresh[2], levels_[2]);
    }
    memcpy(levels_, fresh, sizeof(levels_));
  }
  const Windows& w = windows_;
  const ULONG area = static_cast<ULONG>(w.thirdWidth * w.thirdHeight);
  const ULONG minimum = area / 27;
  targetRatio_ = targetRed_ > 0 && targetGreen_ > 0 && targetBlue_ > 0 ? targetRed_ * kRatioScale / targetGreen_ : 0;
  memset(histogram_, 0, sizeof(histogram_));
  memset(&current_, 0, sizeof(current_));

  const Region centre = CentreThird();
  const LONG brightest = Brightest(rgb, width, height, centre);
  Sums core = Sample(rgb, width, height, centre, Test::kFull, targetRatio_, mean, brightest, histogram_);
  if (core.count <= minimum) {
    const Region neighbours[4] = {BottomThird(), TopThird(), LeftThird(), RightThird()};
    bool accepted = false;
    for (const Region& region : neighbours) {
      if (Sample(rgb, width, height, region, Test::kColour, targetRatio_, mean, brightest, nullptr).count > minimum) {
        accepted = true;
      }
    }
    if (accepted) {
      if (tolerance_ < kToleranceMax) tolerance_ += kToleranceStep;
      return;
    }
    targetRatio_ = RatioFromHistogram(histogram_, w.thirdWidth, w.thirdHeight);
    core = Sample(rgb, width, height, centre, Test::kFull, targetRatio_, mean, brightest, nullptr);
    if (core.count <= minimum) return;
  }

  ULONG red = core.red / core.count, green = core.green / core.count, blue = core.blue / core.count;
  targetRatio_ = green != 0 ? static_cast<LONG>(red) * kRatioScale / static_cast<LONG>(green) : 0;
  const ULONG sideMinimum = area / 36;
  const Region sides[4] = {BottomThird(), TopThird(), LeftThird(), RightThird()};
  ULONG matches[4] = {};
  ULONG groups = 0;
  for (int i = 0; i < 4; ++i) {
    const Sums s = Sample(rgb, width, height, sides[i], i == 0 ? Test::kFull : Test::kColour, targetRatio_, mean,
                          brightest, nullptr);
    matches[i] = s.count;
    if (s.count > sideMinimum) {
      red += s.red / s.count;
      green += s.green / s.count;
      blue += s.blue / s.count;
      ++groups;
    }
  }
  const ULONG sideDouble = area / 18;
  if (tolerance_ > kToleranceStart && ((matches[2] > sideMinimum && matches[3] > sideDouble) ||
                                       (matches[3] > sideMinimum && matches[2] > sideDouble))) {
    tolerance_ -= kToleranceStep;
  }
  if (groups == 0) return;
  current_.red = static_cast<USHORT>(red / (groups + 1));
  current_.green = static_cast<USHORT>(green / (groups + 1));
  current_.blue = static_cast<USHORT>(blue / (groups + 1));
  current_.luma = LumaOf(current_.red, current_.green, current_.blue);
}

}  // namespace kvz
