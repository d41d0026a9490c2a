#include "postproc/geometry/bilinear_resample.h"

#include "primitives/dispatch.h"

namespace kvz {
namespace {

constexpr LONG kMaxSide = 32767;  // (width - 1) << 16 stays inside 32 bits

bool Usable(const ResampleImage* d, const ResampleImage* s) {
  return d && s && d->data && s->data && d->width > 0 && d->height > 0 && s->width > 0 &&
         s->height > 0 && s->width <= kMaxSide && s->height <= kMaxSide;
}

}  // namespace

VOID ResizeRgb24Bilinear(const ResampleImage* destination, const ResampleImage* source) {
  if (!Usable(destination, source)) return;
  prim::ResampleBilinear(destination->data, destination->stride, destination->width, destination->height,
                         source->data, source->stride, source->width, source->height, 3);
}

VOID ResizeYuy2Bilinear(const ResampleImage* destination, const ResampleImage* source) {
  if (!Usable(destination, source) || source->width < 2) return;
  prim::ResampleBilinear(destination->data, destination->stride, destination->width, destination->height,
                         source->data, source->stride, source->width, source->height, 2);
}

}  // namespace kvz
