#include "face/face_detect.h"

#include <string.h>

#include "face/face_detector_defs.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

constexpr LONG kSearchMargin = 20;
constexpr float kCoarseScale = 1.25f;
constexpr float kFineScale = 1.125f;
constexpr LONG kConfirmMoveX = 13;
constexpr LONG kConfirmMoveY = 10;
constexpr LONG kWindowMoveX = 8;
constexpr LONG kWindowMoveY = 5;
constexpr LONG kWindowAreaChange = 9600;
constexpr ULONG kMissesBeforeDrop = 3;
// Larger frames than any camera sends would overflow the 10-bit sampling positions.
constexpr LONG kMaxFrameSide = 8192;

LONG Abs(LONG v) { return v < 0 ? -v : v; }

bool AllNonZero(const FaceRecord& f) {
  return f.left != 0 && f.top != 0 && f.right != 0 && f.bottom != 0;
}

// 0 in a kept face means "no face" to every later test; a face touching the top or left
// border is moved in by one pixel so that it stays a face.
FaceRecord Kept(const FaceRecord& f) {
  FaceRecord k = f;
  if (k.left == 0) k.left = 1;
  if (k.top == 0) k.top = 1;
  if (k.right == 0) k.right = 1;
  if (k.bottom == 0) k.bottom = 1;
  return k;
}

// Whether the search produced a face of usable width; its index in *index.
bool UsableFace(const FaceRecord* faces, ULONG count, ULONG* index) {
  if (count == 0) return false;
  *index = count == 1 ? 0 : LargestFaceIndex(faces, count);
  return faces[*index].right - faces[*index].left >= kMinFaceWidth;
}

LONG MapCoordinate(LONG value, LONG frameSide, LONG fitSide) {
  const LONG mapped = static_cast<LONG>(static_cast<LONGLONG>(value) * frameSide / fitSide);
  return mapped > 0 ? mapped : 1;
}

}  // namespace

VOID FitWorkImage(LONG width, LONG height, LONG* fitWidth, LONG* fitHeight) {
  if (static_cast<LONGLONG>(width) * kWorkHeight >= static_cast<LONGLONG>(height) * kWorkWidth) {
    *fitWidth = kWorkWidth;
    *fitHeight = static_cast<LONG>(static_cast<LONGLONG>(height) * kWorkWidth / width);
  } else {
    *fitHeight = kWorkHeight;
    *fitWidth = static_cast<LONG>(static_cast<LONGLONG>(width) * kWorkHeight / height);
  }
  if (*fitWidth < 1) *fitWidth = 1;
  if (*fitHeight < 1) *fitHeight = 1;
}

ULONG LargestFaceIndex(const FaceRecord* faces, ULONG count) {
  ULONG best = 0, bestArea = 0;
  for (ULONG i = 0; i < count; ++i) {
    const ULONG area = static_cast<ULONG>(static_cast<USHORT>(faces[i].right - faces[i].left)) *
                       static_cast<USHORT>(faces[i].bottom - faces[i].top);
    if (area > bestArea) {
      bestArea = area;
      best = i;
    }
  }
  return best;
}

VOID FaceTrack::Clear() {
  currentWindow_ = FaceRecord{};
  lastFace_ = FaceRecord{};
  confirmations_ = 0;
  misses_ = kMissesBeforeDrop;
  candidateX_ = candidateY_ = 0;
}

VOID FaceTrack::KeepSearchResult(const FaceRecord* faces, ULONG* count) {
  ULONG index;
  if (UsableFace(faces, *count, &index)) {
    lastFace_ = Kept(faces[index]);
    return;
  }
  *count = 0;
  lastFace_ = FaceRecord{};
}

VOID FaceTrack::TrackFace(FaceDeviceServices* device, const FaceRecord* faces, ULONG* count,
                          LONG frameWidth, LONG frameHeight) {
  ULONG index;
  if (!UsableFace(faces, *count, &index)) {
    if (misses_ < kMissesBeforeDrop) {
      ++misses_;
      return;
    }
    if (AllNonZero(currentWindow_)) {
      currentWindow_ = FaceRecord{};
      ApplyFaceWindow(device, nullptr, frameWidth, frameHeight);
    }
    *count = 0;
    currentWindow_ = FaceRecord{};
    lastFace_ = FaceRecord{};
    confirmations_ = 0;
    candidateX_ = candidateY_ = 0;
    return;
  }
  const FaceRecord face = Kept(faces[index]);
  const LONG cx = (face.left + face.right) / 2, cy = (face.top + face.bottom) / 2;
  if (confirmations_ == 0) {
    candidateX_ = cx;
    candidateY_ = cy;
    confirmations_ = 1;
    return;
  }
  if (confirmations_ == 1) {
    confirmations_ =
        Abs(candidateX_ - cx) > kConfirmMoveX || Abs(candidateY_ - cy) > kConfirmMoveY ? 0 : 2;
    *count = 0;
    return;
  }
  const FaceRecord& w = currentWindow_;
  bool move = w.left == 0 && w.top == 0 && w.right == 0 && w.bottom == 0;
  if (!move) {
    const LONG windowArea = Abs(w.bottom - w.top) * Abs(w.right - w.left);
    const LONG faceArea = Abs(face.bottom - face.top) * (face.right - face.left);
    move = Abs((w.left + w.right) / 2 - cx) > kWindowMoveX ||
           Abs((w.top + w.bottom) / 2 - cy) > kWindowMoveY ||
           (windowArea != 0 && Abs(windowArea - faceArea) > kWindowAreaChange);
  }
  if (move) {
    currentWindow_ = face;
    ApplyFaceWindow(device, &currentWindow_, frameWidth, frameHeight);
  }
  misses_ = 0;
}

NTSTATUS FaceTrack::ApplyFaceWindow(FaceDeviceServices* device, const FaceRecord* face,
                                    LONG frameWidth, LONG frameHeight) {
  RegionRect rect = {};
  if (face != nullptr && AllNonZero(*face)) {
    // The exact inverse of the fit: both sides scale by frame size over fitted size.
    LONG fitWidth, fitHeight;
    FitWorkImage(frameWidth, frameHeight, &fitWidth, &fitHeight);
    rect.left = MapCoordinate(face->left, frameWidth, fitWidth);
    rect.right = MapCoordinate(face->right, frameWidth, fitWidth);
    rect.top = MapCoordinate(face->top, frameHeight, fitHeight);
    rect.bottom = MapCoordinate(face->bottom, frameHeight, fitHeight);
  }
  const NTSTATUS status = device->SetFaceRectangle(rect, frameWidth, frameHeight);
  device->SetFaceWorkFlags(kFaceWorkExposure);
  return status;
}

FaceDetect::FaceDetect() { initFaceDetection(); }

FaceDetect::~FaceDetect() { stopFaceDetection(); }

NTSTATUS FaceDetect::initFaceDetection() {
  workImage_ = static_cast<UCHAR*>(
      ExAllocatePoolWithTag(DriverPoolType, kWorkImageBytes, kTagFaceWorkImage));
  if (workImage_ == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  setup_ = FaceDetectorSetup{kWorkWidth, kWorkHeight, faces_, kFaceListCapacity, 0};
  image_ = DetectionImage{};
  image_.pixels = workImage_;
  image_.width = kWorkWidth;
  image_.height = kWorkHeight;
  image_.stride = kWorkWidth;
  FaceDetectorCreate(&detector_, &setup_);
  faceCount_ = 0;
  track_.Clear();
  DbgPrint("*** FaceDetect::initFaceDetection() ***\n");
  return STATUS_SUCCESS;
}

VOID FaceDetect::stopFaceDetection() {
  DbgPrint("*** FaceDetect::stopFaceDetection() ***\n");
  if (detector_ != nullptr) FaceDetectorDestroy(detector_);
  detector_ = nullptr;
  if (workImage_ != nullptr) ExFreePoolWithTag(workImage_, kTagFaceWorkImage);
  workImage_ = nullptr;
}

VOID FaceDetect::Reset(FaceDeviceServices* device) {
  KeWaitForSingleObject(device->FaceDetectionMutex(), Executive, KernelMode, FALSE, nullptr);
  DbgPrint("*** FaceDetect::Reset() ***\n");
  faceCount_ = 0;
  track_.Clear();
  KeReleaseMutex(device->FaceDetectionMutex(), FALSE);
}

NTSTATUS FaceDetect::Yuy2ImagetoI420_QVGA(const UCHAR* source, UCHAR* scratch,
                                          UCHAR* destination, LONG sourceWidth, LONG sourceHeight,
                                          LONG fitWidth, LONG fitHeight) {
  UNREFERENCED_PARAMETER(scratch);
  DbgPrint("*** FaceDetect::Yuy2ImagetoI420_QVGA() ***\n");
  const ULONG stepX = (static_cast<ULONG>(sourceWidth) << 10) / static_cast<ULONG>(fitWidth);
  const ULONG stepY = (static_cast<ULONG>(sourceHeight) << 10) / static_cast<ULONG>(fitHeight);
  const SIZE_T sourceRow = static_cast<SIZE_T>(sourceWidth) * 2;
  for (LONG y = 0; y < fitHeight; ++y) {
    const UCHAR* row = source + ((y * stepY) >> 10) * sourceRow;
    UCHAR* out = destination + y * kWorkWidth;
    ULONG ax = 0;
    for (LONG x = 0; x < fitWidth; ++x, ax += stepX) out[x] = row[(ax >> 10) * 2];
  }
  // Chroma of each 2 x 2 block from the pixel pair under its odd row's first sample.
  UCHAR* u = destination + kWorkWidth * kWorkHeight;
  UCHAR* v = u + (kWorkWidth / 2) * (kWorkHeight / 2);
  for (LONG cy = 0; cy < fitHeight / 2; ++cy) {
    const UCHAR* row = source + (((2 * cy + 1) * stepY) >> 10) * sourceRow;
    for (LONG cx = 0; cx < fitWidth / 2; ++cx) {
      const ULONG pair = ((2 * cx * stepX) >> 10) / 2;
      u[cy * (kWorkWidth / 2) + cx] = row[pair * 4 + 1];
      v[cy * (kWorkWidth / 2) + cx] = row[pair * 4 + 3];
    }
  }
  return STATUS_SUCCESS;
}

VOID FaceDetect::RunFaceDetector(LONG mode) {
  ULONG count = 0;
  if (mode == 0) {
    FaceDetectorDetect(detector_, &image_, &count, 0, 0, kWorkWidth, kWorkHeight, 1, 2,
                       kCoarseScale, kMinFaceWidth, 1);
  } else {
    const FaceRecord& last = track_.LastFace();
    if (AllNonZero(last)) {
      const LONG x0 = last.left > kSearchMargin ? last.left - kSearchMargin : 0;
      const LONG y0 = last.top > kSearchMargin ? last.top - kSearchMargin : 0;
      const LONG x1 = last.right + kSearchMargin < kWorkWidth ? last.right + kSearchMargin
                                                              : kWorkWidth - 1;
      const LONG y1 = last.bottom + kSearchMargin < kWorkHeight ? last.bottom + kSearchMargin
                                                                : kWorkHeight - 1;
      FaceDetectorDetect(detector_, &image_, &count, static_cast<USHORT>(x0),
                         static_cast<USHORT>(y0), static_cast<USHORT>(Abs(x1 - x0)),
                         static_cast<USHORT>(Abs(y1 - y0)), 1, 1, kFineScale, kMinFaceWidth, 1);
    }
  }
  faceCount_ = count;
}

NTSTATUS FaceDetect::doFaceDetection(FaceDeviceServices* device, const UCHAR* frame,
                                     UCHAR* scratch, LONG width, LONG height, LONG mode) {
  if (device == nullptr || frame == nullptr || width < 2 || height < 1 || width > kMaxFrameSide ||
      height > kMaxFrameSide)
    return STATUS_INVALID_PARAMETER;
  KeWaitForSingleObject(device->FaceDetectionMutex(), Executive, KernelMode, FALSE, nullptr);
  if (workImage_ == nullptr) {
    KeReleaseMutex(device->FaceDetectionMutex(), FALSE);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  DbgPrint("*** FaceDetect::doFaceDetection() ***\n");
  LONG fitWidth, fitHeight;
  FitWorkImage(width, height, &fitWidth, &fitHeight);
  // The detector always searches the whole luma plane: what the picture leaves is black.
  if (fitWidth < kWorkWidth || fitHeight < kWorkHeight) memset(workImage_, 0, kWorkImageBytes);
  Yuy2ImagetoI420_QVGA(frame, scratch, workImage_, width, height, fitWidth, fitHeight);
  RunFaceDetector(mode);
  if (mode == 0) {
    track_.KeepSearchResult(faces_, &faceCount_);
  } else if (mode == 1) {
    track_.TrackFace(device, faces_, &faceCount_, width, height);
  }
  KeReleaseMutex(device->FaceDetectionMutex(), FALSE);
  return STATUS_SUCCESS;
}

}  // namespace kvz
