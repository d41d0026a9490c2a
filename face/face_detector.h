// The face detector's interface: a handle created once per face detection object, searched
// with FaceDetectorDetect over a region of an 8-bit grey image at a ladder of scales. Statuses
// are the 16-bit codes of face_detector_defs.h.
#pragma once
#include <wdm.h>

namespace kvz {

// One found face in image pixels; right and bottom are the last column and row covered.
struct FaceRecord {
  USHORT left;
  USHORT top;
  USHORT right;
  USHORT bottom;
  USHORT tag;
  UCHAR reserved[2];  // left untouched by the detector
};
static_assert(sizeof(FaceRecord) == 12, "face record layout");

struct FaceDetectorSetup {
  USHORT imageWidth;
  USHORT imageHeight;
  FaceRecord* faces;
  ULONG faceCapacity;
  ULONG reserved;
};

struct DetectionImage {
  const UCHAR* pixels;
  USHORT width;
  USHORT height;
  USHORT stride;
  USHORT reserved[5];  // zeroed by the caller, unused
};

struct DetectorHandle;

USHORT FaceDetectorCreate(DetectorHandle** handle, const FaceDetectorSetup* setup);

// Searches the region (x, y, width, height) with windows from the trained size upwards in steps
// of scaleFactor, testing every columnStep-th column and rowStep-th row, keeping scales whose
// next window exceeds minSize. Returns kFdOk with the faces written to the set-up record's list
// and their number to *faceCount, or kFdMoreSlices when the search was split into slices and
// another call (same arguments) must run the next one.
USHORT FaceDetectorDetect(DetectorHandle* handle, const DetectionImage* image, ULONG* faceCount,
                          USHORT x, USHORT y, USHORT width, USHORT height, USHORT columnStep,
                          USHORT rowStep, float scaleFactor, USHORT minSize, USHORT slices);

USHORT FaceDetectorDestroy(DetectorHandle* handle);

}  // namespace kvz
