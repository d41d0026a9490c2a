// The face-track effect: a zoom window that follows a face, found in the frame itself by skin
// colour and edges on a 320 x 240 sample grid (independent of the face detector).
#pragma once
#include <wdm.h>

#include "postproc/effects/effect_zoom.h"

namespace kvz {

// The search grid, its cells and the result's reference frame.
constexpr LONG kTrackGridWidth = 320;
constexpr LONG kTrackGridHeight = 240;
constexpr LONG kTrackInteriorWidth = kTrackGridWidth - 2;
constexpr LONG kTrackInteriorHeight = kTrackGridHeight - 2;
constexpr LONG kTrackCellColumns = 65;  // cell columns -1 ... 63
constexpr LONG kTrackCellRows = 48;     // cell rows -1 ... 46; row 47 counts as empty
constexpr LONG kTrackReferenceWidth = 640;
constexpr LONG kTrackReferenceHeight = 480;
constexpr LONG kTrackLostFrames = 9;

// Indices into the track result.
enum TrackResultField : LONG {
  kTrackFaceLeft = 0,
  kTrackFaceTop = 1,
  kTrackFaceWidth = 2,
  kTrackFaceHeight = 3,
  kTrackFound = 5,
  kTrackResultCount = 24,
};

// Working storage of one search; each face-track effect owns one, so cameras search at once.
struct FaceTrackGrids {
  UCHAR luma[kTrackGridHeight][kTrackGridWidth];
  USHORT edge[kTrackInteriorHeight][kTrackInteriorWidth];  // point (x, y) at [y - 1][x - 1]
  LONG skinCount[kTrackCellColumns][kTrackCellRows];       // cell (cx, cy) at [cx + 1][cy + 1]
  LONG edgeSum[kTrackCellColumns][kTrackCellRows];
};

// The face search on an I420 picture. Clears result, fills it in the 640 x 480 reference
// frame (scaled to width x height for 4:3 and 352 x 288 shapes) and returns 1; returns 0 for a
// width it does not serve (320, 352, 640, 800, 1024, 1280, 1600) or a height under 2.
LONG UpdateFaceTrackState(LONG* result, const UCHAR* picture, LONG width, LONG height, FaceTrackGrids* grids);

// The window for a face in a W x H frame.
VOID FitTrackWindow(LONG* left, LONG* top, LONG* width, LONG* height, LONG frameWidth, LONG frameHeight,
                    LONG faceLeft, LONG faceTop, LONG faceWidth, LONG faceHeight);

// Moves value toward target by step at most; an odd result is made even downwards.
VOID StepToward(LONG target, LONG* value, LONG step);

class ZQEFaceTrack : public ZQEZoomWindow {
 public:
  ZQEFaceTrack(LONG identifier, LONG supportedFormats);
  ~ZQEFaceTrack() override;

  // Allocates the I420 copy (and, for 160- and 176-wide frames, room for it doubled) and the
  // search grids; STATUS_INSUFFICIENT_RESOURCES leaves the effect not ready.
  NTSTATUS Init() override;
  VOID Release() override;
  NTSTATUS PreProcess(UCHAR* frame) override;

  LONG trackResult[kTrackResultCount];
  LONG searchCountdown;
  UCHAR* picture;         // I420 copy of the frame, width x height x 3 bytes
  UCHAR* doubledPicture;  // the copy enlarged twice for narrow frames, else null
  ZoomWindow previous;
  ZoomWindow target;
  LONG stepX;
  LONG stepY;
  LONG lostCountdown;
  FaceTrackGrids* grids;
};

}  // namespace kvz
