// The privacy picture: a crossed-out camera drawn in white on mid-grey, scaled to the frame,
// rendered once per frame geometry into a buffer of its own and copied into every frame. The
// frame processor's work buffers are not used: the face-detection worker writes into them.
#pragma once
#include <wdm.h>

#include "primitives/test_seam.h"

namespace kvz {

struct PrivacyPoint {
  LONG x;
  LONG y;
};

class PrivacyImage {
 public:
  PrivacyImage();
  ~PrivacyImage();
  PrivacyImage(const PrivacyImage&) = delete;
  PrivacyImage& operator=(const PrivacyImage&) = delete;

  // Renders when the geometry changed since the last rendering, then copies width x height x
  // bytesPerPixel bytes of the picture into frame. bytesPerPixel 2 is YUY2 (only Y carries the
  // figure), 3 is RGB24. Without memory for the picture the frame is left untouched and the
  // result is STATUS_INSUFFICIENT_RESOURCES (the caller drops the frame). A failed fill
  // allocation still yields a privacy-safe picture (figure incomplete) and the next call
  // renders again.
  NTSTATUS Draw(UCHAR* frame, LONG width, LONG height, LONG bytesPerPixel);
  VOID Layout(LONG width, LONG height, LONG bytesPerPixel);

  // Raster primitives on the picture; everything outside it is clipped.
  VOID DrawLineAA(LONG x0, LONG y0, LONG x1, LONG y1, LONG value);
  VOID DrawLine(LONG x0, LONG y0, LONG x1, LONG y1);
  VOID DrawArcAA(LONG cx, LONG cy, LONG radius, LONG value);
  VOID DrawCircle(LONG cx, LONG cy, LONG radius);
  VOID BlendCirclePoints(LONG cx, LONG cy, LONG x, LONG y, LONG value, double weight);
  NTSTATUS FloodFill(LONG x, LONG y);

  // Laid out for the current frame, then the 640 x 480 design centred on (0, 0).
  PrivacyPoint inner[8];
  PrivacyPoint outer[8];
  PrivacyPoint slash[4];
  PrivacyPoint innerReference[8];
  PrivacyPoint outerReference[8];
  PrivacyPoint slashReference[4];
  LONG centreX;
  LONG centreY;
  LONG width;
  LONG height;
  LONG size;
  float scale;
  LONG innerRadiusReference;
  LONG outerRadiusReference;
  LONG innerRadius;
  LONG outerRadius;
  LONG bytesPerPixel;
  UCHAR drawn;

 private:
  template <class T>
  friend struct TestSeam;

  NTSTATUS Render();
  bool Inside(LONG x, LONG y) const { return x >= 0 && y >= 0 && x < width && y < height; }
  UCHAR* At(LONG x, LONG y) const;
  bool IsWhite(LONG x, LONG y) const;
  VOID Put(LONG x, LONG y, LONG value);
  VOID Blend(LONG x, LONG y, LONG value, double weight);
  VOID ScanAdjacentRow(class PointStack* stack, LONG row, LONG left, LONG right, NTSTATUS* status);

  UCHAR* canvas_;
  SIZE_T canvasBytes_;
};

}  // namespace kvz
