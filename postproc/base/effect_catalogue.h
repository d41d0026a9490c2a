// The effect catalogue's numbers: identifiers, the format sets each class handles, the pool tags
// of effect objects and their buffers, and the limits every effect checks its format against.
#pragma once
#include <wdm.h>

#include "primitives/pixel_layout.h"

namespace kvz {

// An identifier lives in effect slot (identifier >> 8) & 0xFF.
constexpr LONG kEffectSlotShift = 8;
constexpr LONG kEffectSlotCount = 6;
constexpr LONG kEffectScalingSlot = 5;

constexpr LONG EffectSlotOf(LONG identifier) { return (identifier >> kEffectSlotShift) & 0xFF; }

// Identifiers.
constexpr LONG kEffectDigitalZoom = 256;
constexpr LONG kEffectFaceTrack = 257;
constexpr LONG kEffectDigitalZoomAlt = 258;
constexpr LONG kEffectOrientationFirst = 512;  // orientation = identifier - 512
constexpr LONG kEffectOrientationLast = 515;
constexpr LONG kEffectPixelFirst = 768;        // 768 ... 788, without 785
constexpr LONG kEffectPixelLast = 788;
constexpr LONG kEffectPixelMissing = 785;
constexpr LONG kEffectPictureFirst = 789;      // 789 ... 798: overlay pictures
constexpr LONG kEffectPictureLast = 798;
constexpr LONG kEffectPictureNone = 1024;      // overlay without a picture name
constexpr LONG kEffectScaleClear = 1280;       // cleared when the pin's size equals the camera's
constexpr LONG kEffectScale = 1281;            // selected when they differ

// Format sets: the PixelLayout bits of the formats a class's Do handles.
constexpr LONG kFormatsRgb24 = kPixelRgb24;
constexpr LONG kFormatsRgb24Yuy2 = kPixelRgb24 | kPixelYuy2;
constexpr LONG kFormatsRgb24I420 = kPixelRgb24 | kPixelI420;

// Pool tags.
constexpr ULONG kTagEffectDigitalZoom = 'FaMT';
constexpr ULONG kTagEffectFaceTrack = 'FaAT';
constexpr ULONG kTagFaceTrackPicture = 'FTbf';  // the face track's I420 copy of the frame
constexpr ULONG kTagFaceTrackSearch = 'FTsr';   // the face track's search grids
constexpr ULONG kTagEffectOrientation = 'IRev';
constexpr ULONG kTagEffectPixel = 'IMCV';
constexpr ULONG kTagEffectPicture = 'Ablm';
constexpr ULONG kTagEffectMagnifier = 'AbMg';
constexpr ULONG kTagPictureFile = 'PhSr';
constexpr ULONG kTagTextureFile = 'MgSr';
constexpr ULONG kTagEffectInterpolation = 'Intr';
constexpr ULONG kTagEffectBuffer = 'SpeT';       // the frame processor's buffer lent to every effect
constexpr ULONG kTagBilinearStrip = 'IntS';      // a bilinear resize's strip tables, per call
constexpr ULONG kTagResizeStrip = 'RszS';        // a nearest resize's row of shuffles, per call

// Frames larger than this on a side are refused by SetFormat and Configure, so that every byte
// count of a frame (up to four bytes a pixel) fits in 31 bits.
constexpr LONG kEffectMaxDimension = 16384;

}  // namespace kvz
