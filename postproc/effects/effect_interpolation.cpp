#include "postproc/effects/effect_interpolation.h"

#include "postproc/geometry/bilinear_resample.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_factory.h"

namespace kvz {

ZQEffect* NewInterpolationEffect(LONG identifier) {
  if (identifier != kEffectScaleClear && identifier != kEffectScale) return nullptr;
  return NewEffect<ZQEInterpolation>(kTagEffectInterpolation, identifier, kFormatsRgb24Yuy2);
}

ZQEInterpolation::ZQEInterpolation(LONG identifier, LONG supportedFormats)
    : ZQEffect(identifier, supportedFormats), outputWidth(0), outputHeight(0) {}

NTSTATUS ZQEInterpolation::SetFormat(const EffectFormat* input, UCHAR* buffer, LONG bufferSize,
                                     const EffectFormat* output) {
  if (!input) return STATUS_INVALID_PARAMETER;
  const EffectFormat* size = output ? output : input;
  if (!EffectSizeValid(size->width, size->height)) return STATUS_INVALID_PARAMETER;
  outputWidth = size->width;
  outputHeight = size->height;
  return ZQEffect::SetFormat(input, buffer, bufferSize, nullptr);
}

NTSTATUS ZQEInterpolation::Do(UCHAR* frame) {
  NTSTATUS status = CheckDo(frame, TRUE);
  if (!NT_SUCCESS(status)) return status;
  GetDoLock();
  ULONG bytesPerPixel = 0;
  if (format.formatCode == kPixelRgb24) {
    bytesPerPixel = 3;
  } else if (format.formatCode == kPixelYuy2) {
    bytesPerPixel = 2;
  }
  if (bytesPerPixel == 0) {
    status = STATUS_NOT_SUPPORTED;
  } else {
    RtlCopyMemory(workBuffer, frame, GetFrameSize(&format));
    const ResampleImage source = {workBuffer, format.width * bytesPerPixel, format.width, format.height};
    const ResampleImage destination = {frame, outputWidth * bytesPerPixel, outputWidth, outputHeight};
    if (bytesPerPixel == 3) {
      ResizeRgb24Bilinear(&destination, &source);
    } else {
      ResizeYuy2Bilinear(&destination, &source);
    }
  }
  ReleaseDoLock();
  return status;
}

}  // namespace kvz
