#include "postproc/effects/zq_effect.h"

#include "postproc/base/effect_catalogue.h"
#include "primitives/driver_memory.h"

namespace kvz {

ZQEffect::ZQEffect(LONG identifier, LONG supportedFormats)
    : supportedFormats(supportedFormats),
      identifier(identifier),
      active(0),
      ready(0),
      detached(0),
      format{},
      previousFormat{},
      workBuffer(nullptr),
      workBufferSize(0),
      poolTag(0) {
  KeInitializeSemaphore(&doLock, 1, 1);
}

ZQEffect::~ZQEffect() {
  GetDoLock();
  ready = 0;
  ReleaseDoLock();
}

VOID ZQEffect::GetDoLock() { KeWaitForSingleObject(&doLock, Executive, KernelMode, FALSE, nullptr); }

VOID ZQEffect::ReleaseDoLock() { KeReleaseSemaphore(&doLock, 0, 1, FALSE); }

VOID ZQEffect::ReleaseUnderDoLock() {
  GetDoLock();
  Release();
  ReleaseDoLock();
}

BOOLEAN EffectSizeValid(LONG width, LONG height) {
  return width > 0 && height > 0 && width <= kEffectMaxDimension && height <= kEffectMaxDimension;
}

BOOLEAN EffectFormatsEqual(const EffectFormat* a, const EffectFormat* b) {
  return a->formatCode == b->formatCode && a->width == b->width && a->height == b->height;
}

ULONG EffectFrameBytes(const EffectFormat* format) {
  if (!format || !EffectSizeValid(format->width, format->height)) return 0;
  const ULONG pixels = static_cast<ULONG>(format->width) * static_cast<ULONG>(format->height);
  switch (format->formatCode) {
    case kPixelRgb24:
      return pixels * 3;
    case kPixelYuy2:
      return pixels * 2;
    case kPixelI420:
      return pixels * 3 / 2;
    default:
      return 0;
  }
}

ULONG ZQEffect::GetFrameSize(const EffectFormat* format) { return EffectFrameBytes(format); }

NTSTATUS ZQEffect::SetFormat(const EffectFormat* newFormat, UCHAR* buffer, LONG bufferSize,
                             const EffectFormat*) {
  if (!newFormat || !buffer) return STATUS_INVALID_PARAMETER;
  if (EffectFormatsEqual(newFormat, &format)) return STATUS_SUCCESS;
  if (!EffectSizeValid(newFormat->width, newFormat->height) || bufferSize < 0 ||
      static_cast<ULONG>(bufferSize) < EffectFrameBytes(newFormat)) {
    return STATUS_INVALID_PARAMETER;
  }
  Reset();
  format = *newFormat;
  workBuffer = buffer;
  workBufferSize = bufferSize;
  return Init();
}

NTSTATUS ZQEffect::Configure(const EffectFormat* newFormat) {
  if (!newFormat) return STATUS_INVALID_PARAMETER;
  if (active == 1) return STATUS_DEVICE_BUSY;
  if ((supportedFormats & newFormat->formatCode) == 0) return STATUS_NOT_SUPPORTED;
  if (EffectFormatsEqual(newFormat, &format)) return STATUS_SUCCESS;
  if (!EffectSizeValid(newFormat->width, newFormat->height)) return STATUS_INVALID_PARAMETER;
  previousFormat = format;
  format = *newFormat;
  Reset();
  return Init();
}

VOID ZQEffect::SetWorkBuffer(UCHAR* buffer, LONG size) {
  workBuffer = buffer;
  workBufferSize = size;
}

NTSTATUS ZQEffect::CheckDo(const UCHAR* frame, BOOLEAN needsWorkBuffer) {
  if (!frame) return STATUS_INVALID_PARAMETER;
  // Readiness before the work buffer: an effect that never had a format has no buffer either,
  // and reports that it is not ready.
  if (detached || !ready) return STATUS_DEVICE_NOT_READY;
  if (needsWorkBuffer && (!workBuffer || workBufferSize < 0 ||
                          static_cast<ULONG>(workBufferSize) < GetFrameSize(&format))) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

// SetParam, GetParam and the three steps of staged effects share one routine: nothing to do.
static NTSTATUS NothingToDo() { return STATUS_SUCCESS; }

NTSTATUS ZQEffect::SetParam(LONG, LONG) { return NothingToDo(); }
NTSTATUS ZQEffect::GetParam(LONG, LONG*) { return NothingToDo(); }

NTSTATUS ZQEffect::Init() {
  if (!ready) ready = 1;
  return STATUS_SUCCESS;
}

VOID ZQEffect::Release() { ready = 0; }

VOID ZQEffect::Reset() { Release(); }

NTSTATUS ZQEStagedEffect::PreProcess(UCHAR*) { return NothingToDo(); }
NTSTATUS ZQEStagedEffect::PostProcess(UCHAR*) { return NothingToDo(); }
NTSTATUS ZQEStagedEffect::Apply(UCHAR*) { return NothingToDo(); }

}  // namespace kvz
