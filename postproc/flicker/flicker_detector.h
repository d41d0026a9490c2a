// Detects from the picture whether the camera's power-line-frequency setting matches the mains
// of the room light and switches the processing unit's control between 50 Hz (1) and 60 Hz (2).
// Fed one YUY2 frame at a time by the frame processor; each frame runs one step of a state
// machine: wait, prepare (sensor level, exposure settling, stillness), measure (banding over 21
// frames), done.
#pragma once
#include <wdm.h>

#include "common/camera_services.h"
#include "primitives/test_seam.h"

namespace kvz {

// Camera chip codes (register 0x20FF & 0xF0) whose sensor reports its level.
constexpr UCHAR kChipB0 = 0xB0;
constexpr UCHAR kChipC0 = 0xC0;

// Reads the sensor's 16-bit level (0 for a chip without level registers) into *level when given;
// true when it lies in 240 to 1920.
bool ReadSensorLevelInRange(CameraServices* device, UCHAR chipCode, USHORT* level);

class FlickerDetector {
 public:
  enum : ULONG {
    kStateWaiting = 0,
    kStateInitial = 1,
    kStatePreparing = 2,
    kStateMeasuring = 4,
    kStateDone = 7,
  };
  static constexpr int kRegions = 10;
  static constexpr int kPointsPerRegion = 100;
  static constexpr int kCollectedFrames = 20;

  FlickerDetector();
  FlickerDetector(const FlickerDetector&) = delete;
  FlickerDetector& operator=(const FlickerDetector&) = delete;

  // Allocates and zeroes the six sample buffers. A buffer that cannot be had stays null and the
  // detector then ignores every frame (STATUS_INSUFFICIENT_RESOURCES).
  NTSTATUS AllocBuffers();
  VOID FreeBuffers();

  // Restarts detection: wait framesToWait frames, then prepare, testing 60 Hz first. With a
  // device the sensor's flicker mode is switched off at once. Stream start and stop and the
  // property sets call this from other threads while frames are processed, so the restart is
  // a request that the next ProcessFrame applies before its step.
  VOID Reset(CameraServices* device, UCHAR chipCode, SHORT framesToWait);
  VOID RequestRedetect() { InterlockedExchange(&redetectRequest_, 1); }
  UCHAR IsRedetectRequested() const {
    return static_cast<UCHAR>(InterlockedOr(&redetectRequest_, 0));
  }

  // One step of the state machine on a packed frame (bytesPerPixel 2: YUY2, 3: RGB24).
  // flickerDetectValue receives the power-line value a verdict leaves in the camera.
  VOID ProcessFrame(CameraServices* device, const UCHAR* frame, LONG bytesPerPixel, LONG width,
                    LONG height, UCHAR chipCode, LONG* flickerDetectValue);

  // -1 collecting, 0 the setting is right, 3 it is wrong, 1 or 2 (the value under test) when
  // the scene kept moving through five collections.
  LONG AnalyzeBanding(const UCHAR* frame, LONG bytesPerPixel, LONG width, LONG height,
                      LONG currentFrequency);
  // -1 collecting, 0 still, 1 moving.
  LONG CheckSceneStable(const UCHAR* frame, LONG bytesPerPixel, LONG width, LONG height);
  // Positive when the per-frame difference sums of the five listed regions show the banding
  // that the value under test produces when the mains is the other frequency.
  LONG ScoreBanding(const SHORT* sums, LONG chromaFlag, LONG currentFrequency,
                    const LONG* regions) const;

  // mode 1 turns the sensor's flicker mode on, 0 off; other modes do nothing.
  static VOID SetSensorFlickerMode(CameraServices* device, UCHAR chipCode, LONG mode);

  // Whether the sampling grids fit inside a width x height frame; frames where they do not are
  // ignored.
  static bool GridsFit(LONG width, LONG height);

  ULONG State() const { return state_; }
  bool HasBuffers() const;

 private:
  template <class T>
  friend struct TestSeam;

  VOID ApplyReset(SHORT framesToWait);
  VOID RestartPreparation();
  VOID ClearPhase();  // counters of one preparing or measuring run
  VOID Prepare(CameraServices* device, const UCHAR* frame, LONG bpp, LONG width, LONG height,
               UCHAR chipCode);
  VOID Measure(CameraServices* device, const UCHAR* frame, LONG bpp, LONG width, LONG height,
               UCHAR chipCode, LONG* flickerDetectValue);
  // The 100 points of one region.
  VOID SampleGridB(const UCHAR* frame, LONG bpp, LONG width, LONG height, int region,
                   SHORT* out) const;
  VOID SampleGridA(const UCHAR* frame, LONG bpp, LONG width, LONG height, int region,
                   SHORT* luma, SHORT* chroma) const;

  SHORT* lumaReference_;    // grid-A luma of the reference frame
  SHORT* previousGridB_;    // grid-B luma of the last frame
  SHORT* lumaSums_;         // entry (frame - 1) x 10 + region
  SHORT* motionSums_;
  SHORT* chromaSums_;
  ULONG currentFrequency_;  // the power-line value under test
  SHORT lastReading_;       // camera register 0x0002
  SHORT stableCount_;
  SHORT settleCount_;
  mutable volatile LONG redetectRequest_;
  SHORT waitCounter_;
  SHORT framesToWait_;
  SHORT frameCount_;
  SHORT movingCount_;
  SHORT retryCount_;
  ULONG state_;
  ULONG nextState_;
  UCHAR stillnessEvaluated_;
  UCHAR settled_;
  SHORT* chromaReference_;  // grid-A chroma of the reference frame
  volatile LONG pendingReset_;  // frames to wait + 1 of a requested restart, 0 for none
};

}  // namespace kvz
