// Face-region exposure: steers the camera's own auto-exposure towards a face through the vendor
// extension unit's face-exposure window (selector 27) and exposure levels (selector 28).
#pragma once
#include <wdm.h>

#include "common/face_services.h"
#include "common/camera_services.h"
#include "primitives/test_seam.h"

namespace kvz {

// Vendor unit controls.
constexpr USHORT kFaceExposureWindowBytes = 15;
constexpr USHORT kExposureLevelsBytes = 6;

// Timers, in 100-ns system time.
constexpr LONGLONG kFaceStableTime = 15'000'000;   // a face must stay set this long
constexpr LONGLONG kNoFaceClearTime = 30'000'000;  // no face this long clears the window

// Windows: the face grown by these margins, clipped to the frame.
constexpr LONG kMeasureMargin = 80;
constexpr LONG kExposureMargin = 60;

// Sending: every measured frame once the first window went out; the first after a new rectangle
// waits for this many measured frames.
constexpr ULONG kFirstSendInterval = 3;

// Colour matching: tolerance per channel, its limits and step; the red/green ratio tolerance.
constexpr ULONG kToleranceStart = 50;
constexpr ULONG kToleranceMax = 100;
constexpr ULONG kToleranceStep = 10;
constexpr LONG kRatioTolerance = 15;
constexpr LONG kRatioScale = 60;          // channel ratios are x * 60 / green
constexpr LONG kBrightAboveMean = 80;     // the brightness alternative: this far above the mean
constexpr LONG kBelowBrightest = 150;     // ... and this far below the brightest sample
constexpr LONG kSampleStep = 3;           // every third row and pixel

// Ratio histogram: red and blue ratios 31..119 at red * 100 + blue - 3030; blocks of 15 x 15
// ratios starting at 31, 6 x 6 of them.
constexpr LONG kRatioMin = 31;
constexpr LONG kRatioMax = 119;
constexpr LONG kHistogramRow = 100;
constexpr LONG kHistogramOrigin = 3030;
constexpr ULONG kHistogramCounters = 9090;
constexpr LONG kRatioBlock = 15;
constexpr LONG kRatioBlocks = 6;
constexpr LONG kRatioWithoutBlock = 30;
constexpr LONG kBlockCodeOffset = 693;

constexpr ULONG kTagFaceExposureBuffer = 'Ptmp';

// What the face-region exposure needs of the camera device.
class FaceExposureDevice : public FaceWorkHost {
 public:
  // Held across every operation, including the vendor control transfers.
  virtual PKMUTEX FaceExposureMutex() = 0;
  virtual CameraServices& Camera() = 0;

 protected:
  FaceExposureDevice() = default;
  ~FaceExposureDevice() = default;
};

// A colour measurement of the face; all zero is none.
struct FaceMeasurement {
  USHORT luma;
  USHORT red;
  USHORT green;
  USHORT blue;
};

class FaceExposureControl {
 public:
  FaceExposureControl();
  ~FaceExposureControl() = default;
  FaceExposureControl(const FaceExposureControl&) = delete;
  FaceExposureControl& operator=(const FaceExposureControl&) = delete;

  // Clears the face and both windows and restarts sending; keeps the no-face start time. Stores
  // the device when none is stored yet. Under the face-exposure mutex once a device is known.
  VOID Reset(FaceExposureDevice* device);
  VOID Release();

  // rect in frame pixels of a width x height frame. Any coordinate 0 or negative clears both
  // windows; otherwise left < right < width and top < bottom < height, else
  // STATUS_INVALID_PARAMETER and nothing changes.
  NTSTATUS SetFaceRectangle(const RegionRect& rect, LONG width, LONG height);
  // One YUY2 frame handed on by the face-detection worker.
  NTSTATUS UpdateFaceExposure(const UCHAR* frame, LONG width, LONG height);
  NTSTATUS ClearFaceExposureLocked();

  // Converts packed YUY2 to top-down BGR24 rows of 3 x width bytes (BT.601 studio range);
  // returns the mean luma.
  static ULONG Yuy2ToRgb24Bt601(const UCHAR* frame, UCHAR* out, LONG width, LONG height);

  // The windows a face rectangle gives, in frame pixels.
  struct Windows {
    LONG measureTop, measureBottom, measureLeft, measureRight;
    LONG centreX, centreY, thirdWidth, thirdHeight;
    LONG exposureX, exposureY, exposureWidth, exposureHeight;
  };

 private:
  template <class T>
  friend struct TestSeam;

  struct Region {
    LONG top, bottom, left, right;  // bottom and right exclusive
  };
  struct Sums {
    ULONG red, green, blue, count;
  };
  enum class Test { kColour, kFull };

  VOID ResetState(FaceExposureDevice* device);
  VOID LearnDevice(FaceExposureDevice* device);
  FaceExposureDevice* Device() const;
  NTSTATUS ClearFaceExposure();
  NTSTATUS SendFaceExposureWindow();
  VOID MeasureFaceRegion(const UCHAR* rgb, LONG width, LONG height, ULONG mode, ULONG mean);
  VOID MeasureFirst(const UCHAR* rgb, LONG width, LONG height);
  VOID MeasureFollowing(const UCHAR* rgb, LONG width, LONG height, ULONG mean);
  BOOLEAN ReadLevels(USHORT levels[3]);
  Sums Sample(const UCHAR* rgb, LONG width, LONG height, const Region& region, Test test,
              LONG ratio, ULONG mean, LONG brightest, ULONG* histogram) const;
  LONG Brightest(const UCHAR* rgb, LONG width, LONG height, const Region& region) const;
  Region CentreThird() const;
  Region BottomThird() const;
  Region TopThird() const;
  Region LeftThird() const;
  Region RightThird() const;
  VOID ComputeWindows(LONG width, LONG height);
  // The block of the ratio histogram with the most counts, as the new target red ratio;
  // kRatioWithoutBlock when the histogram is empty. Thins and sums `counters` in place.
  static LONG RatioFromHistogram(ULONG* counters, LONG thirdWidth, LONG thirdHeight);
  NTSTATUS EnsureWorkBuffer(ULONG bytes);

  LONG faceTop_, faceBottom_, faceLeft_, faceRight_;
  Windows windows_;
  USHORT levels_[3];
  ULONG sendCounter_;
  ULONG sendInterval_;
  ULONG tolerance_;
  FaceMeasurement sent_;
  FaceMeasurement previous_;
  FaceMeasurement current_;
  LONG targetRed_, targetGreen_, targetBlue_;  // predicted face colour of one measurement
  LONG targetRatio_;
  ULONG histogram_[kHistogramCounters];
  UCHAR noFace_;
  UCHAR stable_;
  LONGLONG noFaceStart_;
  LONGLONG stableStart_;
  UCHAR* workBuffer_;
  ULONG workBufferSize_;
  LONG frameWidth_, frameHeight_;  // of the last SetFaceRectangle; the buffer follows it
  PVOID volatile device_;  // the FaceExposureDevice, set once (LearnDevice), read through Device()
};

}  // namespace kvz
