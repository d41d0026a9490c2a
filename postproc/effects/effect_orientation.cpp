#include "postproc/effects/effect_orientation.h"

#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_factory.h"
#include "postproc/geometry/frame_rotation.h"
#include "primitives/dispatch.h"

namespace kvz {
namespace {

// Axes of the RGB24 mirror primitive.
constexpr int32_t kAxisRows = 0;
constexpr int32_t kAxisColumns = 1;
constexpr int32_t kAxisBoth = 2;

}  // namespace

ZQEffect* NewOrientationEffect(LONG identifier) {
  if (identifier < kEffectOrientationFirst || identifier > kEffectOrientationLast) return nullptr;
  return NewEffect<ZQEOrientation>(kTagEffectOrientation, identifier, kFormatsRgb24Yuy2);
}

ZQEOrientation::ZQEOrientation(LONG identifier, LONG supportedFormats)
    : ZQEffect(identifier, supportedFormats), orientation(identifier - kEffectOrientationFirst) {}

NTSTATUS ZQEOrientation::Do(UCHAR* frame) {
  NTSTATUS status = CheckDo(frame, TRUE);
  if (!NT_SUCCESS(status)) return status;
  GetDoLock();
  const BOOLEAN flip = orientation == kOrientationFlipRows || orientation == kOrientationBoth;
  const BOOLEAN mirror = orientation == kOrientationMirror || orientation == kOrientationBoth;
  switch (format.formatCode) {
    case kPixelRgb24:
      if (flip || mirror) {
        const prim::RoiSize roi = {format.width, format.height};
        prim::MirrorImage8uC3InPlace(frame, format.width * 3, roi,
                                     flip && mirror ? kAxisBoth : (flip ? kAxisRows : kAxisColumns));
      }
      break;
    case kPixelYuy2:
      // Whole pixel pairs move and their two Y exchange, so each pair keeps its own U and V.
      MirrorFlipYuy2Frame(frame, workBuffer, mirror, flip, static_cast<ULONG>(format.width),
                          static_cast<ULONG>(format.height));
      break;
    case kPixelI420:
      break;
    default:
      status = STATUS_NOT_SUPPORTED;
      break;
  }
  ReleaseDoLock();
  return status;
}

}  // namespace kvz
