#include "postproc/effects/effect_zoom.h"

#include "postproc/geometry/bilinear_resample.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_factory.h"
#include "postproc/geometry/image_crop_resize.h"

namespace kvz {
namespace {

LONG MakeEven(LONG value) { return (value & 1) ? value - 1 : value; }

LONG Clamp(LONG value, LONG low, LONG high) { return value < low ? low : (value > high ? high : value); }

}  // namespace

ZQEffect* NewDigitalZoomEffect(LONG identifier) {
  if (identifier != kEffectDigitalZoom && identifier != kEffectDigitalZoomAlt) return nullptr;
  return NewEffect<ZQEDigitalZoom>(kTagEffectDigitalZoom, identifier, kFormatsRgb24);
}

ZQEZoomWindow::ZQEZoomWindow(LONG identifier, LONG supportedFormats)
    : ZQEStagedEffect(identifier, supportedFormats), window{} {}

NTSTATUS ZQEZoomWindow::Do(UCHAR* frame) {
  NTSTATUS status = CheckDo(frame, TRUE);
  if (!NT_SUCCESS(status)) return status;
  KdPrint(("ZQEFaceTrack Do GetDoLock\n"));
  GetDoLock();
  KdPrint(("ZQEFaceTrack Do GetDoLock End\n"));
  if (format.formatCode != kPixelRgb24) {
    ReleaseDoLock();
    return STATUS_NOT_SUPPORTED;
  }
  status = PreProcess(frame);
  if (NT_SUCCESS(status)) status = PostProcess(frame);
  if (!NT_SUCCESS(status)) {
    ReleaseDoLock();
    return status;
  }
  status = Apply(frame);
  KdPrint(("ZQEFaceTrack Do ReleaseDoLock\n"));
  ReleaseDoLock();
  KdPrint(("ZQEFaceTrack Do ReleaseDoLock\n"));
  return status;
}

NTSTATUS ZQEZoomWindow::PostProcess(UCHAR* frame) {
  if (window.width <= 0 || window.height <= 0 || window.left < 0 || window.top < 0) return STATUS_SUCCESS;
  // Windows are chosen step by step toward their targets, so one may reach past the frame for
  // a while; the crop is defined only inside it.
  const LONG width = window.width < format.width ? window.width : format.width;
  const LONG height = window.height < format.height ? window.height : format.height;
  const LONG left = Clamp(window.left, 0, format.width - width);
  const LONG top = Clamp(window.top, 0, format.height - height);
  KdPrint(("CLC_ZoomCopy\n"));
  if (!NT_SUCCESS(CropImage(frame, workBuffer, format.width, format.height, width, height, left, top,
                            kPixelRgb24))) {
    return STATUS_SUCCESS;
  }
  KdPrint(("CLC_ZoomCopy End\n"));
  const ResampleImage source = {workBuffer, static_cast<ULONG>(width) * 3, width, height};
  const ResampleImage destination = {frame, static_cast<ULONG>(format.width) * 3, format.width, format.height};
  ResizeRgb24Bilinear(&destination, &source);
  KdPrint(("CLC_Zoom End\n"));
  return STATUS_SUCCESS;
}

ZQEDigitalZoom::ZQEDigitalZoom(LONG identifier, LONG supportedFormats)
    : ZQEZoomWindow(identifier, supportedFormats), zoom(kZoomPercentNone), pan(0), tilt(0) {}

NTSTATUS ZQEDigitalZoom::SetParam(LONG kind, LONG value) {
  switch (kind) {
    case kZoomParamZoom:
      zoom = value;
      return STATUS_SUCCESS;
    case kZoomParamTilt:
      tilt = value;
      return STATUS_SUCCESS;
    case kZoomParamPan:
      pan = value;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS ZQEDigitalZoom::GetParam(LONG kind, LONG* value) {
  if (!value) return STATUS_INVALID_PARAMETER;
  switch (kind) {
    case kZoomParamZoom:
      *value = zoom;
      return STATUS_SUCCESS;
    case kZoomParamTilt:
      *value = tilt;
      return STATUS_SUCCESS;
    case kZoomParamPan:
      *value = pan;
      return STATUS_SUCCESS;
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS ZQEDigitalZoom::Init() {
  if (ready) return STATUS_SUCCESS;
  window = {format.width, format.height, 0, 0};
  ready = 1;
  return STATUS_SUCCESS;
}

NTSTATUS ZQEDigitalZoom::PreProcess(UCHAR*) {
  if (zoom < kZoomPercentNone) {
    zoom = kZoomPercentNone;
    return STATUS_SUCCESS;
  }
  const ULONG frameWidth = static_cast<ULONG>(format.width), frameHeight = static_cast<ULONG>(format.height);
  const ULONG width = frameWidth * kZoomPercentNone / static_cast<ULONG>(zoom);
  const ULONG height = frameHeight * kZoomPercentNone / static_cast<ULONG>(zoom);
  const LONG halfX = static_cast<LONG>((frameWidth - width) / 2);
  const LONG halfY = static_cast<LONG>((frameHeight - height) / 2);
  // Pan and tilt beyond the end stops keep the window at the frame's edge.
  const LONG panSteps = Clamp(pan, -kZoomPanSteps, kZoomPanSteps);
  const LONG tiltSteps = Clamp(tilt, -kZoomPanSteps, kZoomPanSteps);
  window.width = MakeEven(static_cast<LONG>(width));
  window.height = MakeEven(static_cast<LONG>(height));
  window.left = MakeEven(halfX + panSteps * halfX / kZoomPanSteps);
  window.top = MakeEven(halfY - halfY * tiltSteps / kZoomPanSteps);
  return STATUS_SUCCESS;
}

}  // namespace kvz
