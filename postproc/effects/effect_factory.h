// The catalogue's factory: one creator per effect family, each in its family's own file.
#pragma once
#include <wdm.h>

#include "postproc/effects/zq_effect.h"

namespace kvz {

// A new effect of the identifier's class (not ready, not active), or null for an identifier
// without an effect or when pool memory is short.
ZQEffect* NewCatalogueEffect(LONG identifier);

// Family creators: each returns null for an identifier that is not its own.
ZQEffect* NewInterpolationEffect(LONG identifier);
ZQEffect* NewDigitalZoomEffect(LONG identifier);
ZQEffect* NewFaceTrackEffect(LONG identifier);
ZQEffect* NewOrientationEffect(LONG identifier);
ZQEffect* NewPixelEffect(LONG identifier);
ZQEffect* NewOverlayEffect(LONG identifier);

}  // namespace kvz
