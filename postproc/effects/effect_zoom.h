// Effects that show a window of the RGB24 frame enlarged to the whole frame: the shared zoom
// window with its Do and crop-and-enlarge step, and the digital zoom, whose window follows a
// zoom factor, pan and tilt.
#pragma once
#include <wdm.h>

#include "postproc/effects/zq_effect.h"

namespace kvz {

struct ZoomWindow {
  LONG width;
  LONG height;
  LONG left;
  LONG top;  // counted from the top of the picture, as CropImage counts rows
};

// The window is chosen by PreProcess (per class) and shown by PostProcess.
class ZQEZoomWindow : public ZQEStagedEffect {
 public:
  ZQEZoomWindow(LONG identifier, LONG supportedFormats);

  // RGB24 only: PreProcess, PostProcess, Apply, each when the one before succeeded.
  NTSTATUS Do(UCHAR* frame) override;
  // Crops the window (limited to the frame) into the work buffer and resamples it back over the
  // whole frame. A window of no size or at a negative position leaves the frame as it is.
  NTSTATUS PostProcess(UCHAR* frame) override;

  ZoomWindow window;
};

// Parameter kinds of SetParam and GetParam.
constexpr LONG kZoomParamZoom = 1;  // percent, kZoomPercentNone = whole frame
constexpr LONG kZoomParamTilt = 2;  // -5 ... 5; 5 puts the window at the picture's top
constexpr LONG kZoomParamPan = 3;   // -5 ... 5 from the left edge to the right edge

// The zoom effect's own scale (kZoomParamZoom): percent, not the device's ZoomScale in tenths.
// Nothing hands a ZoomScale to the effect, so the two scales meet nowhere.
constexpr LONG kZoomPercentNone = 100;
constexpr LONG kZoomPanSteps = 5;

class ZQEDigitalZoom : public ZQEZoomWindow {
 public:
  ZQEDigitalZoom(LONG identifier, LONG supportedFormats);

  NTSTATUS SetParam(LONG kind, LONG value) override;
  NTSTATUS GetParam(LONG kind, LONG* value) override;
  // The window becomes the whole frame.
  NTSTATUS Init() override;
  NTSTATUS PreProcess(UCHAR* frame) override;

  LONG zoom;
  LONG pan;
  LONG tilt;
};

}  // namespace kvz
