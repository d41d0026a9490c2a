#include "postproc/effects/effect_factory.h"

#include "postproc/base/effect_catalogue.h"

namespace kvz {
namespace {

struct EffectFamily {
  LONG first;
  LONG last;
  ZQEffect* (*create)(LONG identifier);
};

// One line per family (or per identifier range of a family); the range that holds the
// identifier decides, and its creator may still refuse an identifier inside it (a hole).
constexpr EffectFamily kFamilies[] = {
    {kEffectDigitalZoom, kEffectDigitalZoom, NewDigitalZoomEffect},
    {kEffectFaceTrack, kEffectFaceTrack, NewFaceTrackEffect},
    {kEffectDigitalZoomAlt, kEffectDigitalZoomAlt, NewDigitalZoomEffect},
    {kEffectScaleClear, kEffectScale, NewInterpolationEffect},
    {kEffectOrientationFirst, kEffectOrientationLast, NewOrientationEffect},
    {kEffectPixelFirst, kEffectPixelLast, NewPixelEffect},
    {kEffectPictureFirst, kEffectPictureLast, NewOverlayEffect},
    {kEffectPictureNone, kEffectPictureNone, NewOverlayEffect},
};

}  // namespace

ZQEffect* NewCatalogueEffect(LONG identifier) {
  for (const EffectFamily& family : kFamilies) {
    if (identifier >= family.first && identifier <= family.last) return family.create(identifier);
  }
  return nullptr;
}

}  // namespace kvz
