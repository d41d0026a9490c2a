// The face detection object of a frame processor: reduces a YUY2 frame to a 320 x 240 I420 work
// image, searches it (mode 0: the whole picture; mode 1: around the face mode 0 kept), and
// follows the face over searches; a face seen in place on three searches in a row, and moved or
// resized enough since the last window, goes to the face-region exposure in frame pixels.
#pragma once
#include <wdm.h>

#include "face/face_detector.h"
#include "common/face_services.h"
#include "primitives/test_seam.h"

namespace kvz {

constexpr LONG kWorkWidth = 320;
constexpr LONG kWorkHeight = 240;
constexpr ULONG kWorkImageBytes = kWorkWidth * kWorkHeight * 3 / 2;
constexpr ULONG kFaceListCapacity = 3;
constexpr LONG kMinFaceWidth = 50;

// The picture a frame of width x height becomes inside the work image: the largest of the same
// aspect that fits both sides, at the top-left.
VOID FitWorkImage(LONG width, LONG height, LONG* fitWidth, LONG* fitHeight);

// Index of the face of largest area; ties keep the earlier one; 0 when every area is 0.
ULONG LargestFaceIndex(const FaceRecord* faces, ULONG count);

// The tracking state of one face detection object, fed with each search's face list.
class FaceTrack {
 public:
  VOID Clear();
  // Mode 0: keep the largest face if it is wide enough, else nothing.
  VOID KeepSearchResult(const FaceRecord* faces, ULONG* count);
  // Mode 1: confirm, follow or drop the face; hands windows over through device.
  VOID TrackFace(FaceDeviceServices* device, const FaceRecord* faces, ULONG* count,
                 LONG frameWidth, LONG frameHeight);
  // Maps a work-image face to frame pixels and hands it over (an empty one without a face).
  static NTSTATUS ApplyFaceWindow(FaceDeviceServices* device, const FaceRecord* face,
                                  LONG frameWidth, LONG frameHeight);

  const FaceRecord& LastFace() const { return lastFace_; }

 private:
  template <class T>
  friend struct TestSeam;

  FaceRecord currentWindow_ = {};
  FaceRecord lastFace_ = {};
  ULONG confirmations_ = 0;
  ULONG misses_ = 3;
  LONG candidateX_ = 0;
  LONG candidateY_ = 0;
};

class FaceDetect {
 public:
  // Set by the device (100,000,000 at chip identification, 33,333,333 at stream stop), in
  // 100-ns units; face detection itself does not read it.
  LONGLONG DeviceInterval = 0;

  FaceDetect();
  ~FaceDetect();
  FaceDetect(const FaceDetect&) = delete;
  FaceDetect& operator=(const FaceDetect&) = delete;

  NTSTATUS initFaceDetection();
  VOID stopFaceDetection();
  VOID Reset(FaceDeviceServices* device);
  // frame: packed YUY2 of width x height; scratch: the caller's intermediate buffer (unused by
  // the single-pass conversion); mode 0 or 1.
  NTSTATUS doFaceDetection(FaceDeviceServices* device, const UCHAR* frame, UCHAR* scratch,
                           LONG width, LONG height, LONG mode);
  // Scales and converts a YUY2 picture into the dw x dh top-left part of a 320 x 240 I420 work
  // image (nearest neighbour, 10-bit positions; chroma from odd rows only).
  static NTSTATUS Yuy2ImagetoI420_QVGA(const UCHAR* source, UCHAR* scratch, UCHAR* destination,
                                       LONG sourceWidth, LONG sourceHeight, LONG fitWidth,
                                       LONG fitHeight);

  ULONG FaceCount() const { return faceCount_; }

 private:
  template <class T>
  friend struct TestSeam;

  VOID RunFaceDetector(LONG mode);

  UCHAR* workImage_ = nullptr;
  FaceDetectorSetup setup_ = {};
  DetectorHandle* detector_ = nullptr;
  DetectionImage image_ = {};
  FaceRecord faces_[kFaceListCapacity] = {};
  ULONG faceCount_ = 0;
  FaceTrack track_;
};

}  // namespace kvz
