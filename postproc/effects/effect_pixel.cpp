#include "postproc/effects/effect_pixel.h"

#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_factory.h"
#include "primitives/driver_memory.h"

namespace kvz {

ZQEPixelEffect::ZQEPixelEffect(LONG identifier, LONG supportedFormats, PixelRoutine* rgb24, PixelRoutine* i420,
                               BOOLEAN needsWorkBuffer)
    : ZQEffect(identifier, supportedFormats), rgb24Routine(rgb24), i420Routine(i420), needsWorkBuffer(needsWorkBuffer) {}

NTSTATUS ZQEPixelEffect::Do(UCHAR* frame) {
  NTSTATUS status = CheckDo(frame, needsWorkBuffer);
  if (!NT_SUCCESS(status)) return status;
  GetDoLock();
  const LONG code = format.formatCode;
  if ((code == kPixelRgb24 || code == kPixelI420) && (supportedFormats & code) != 0) {
    status = Run(frame);
  } else {
    status = STATUS_NOT_SUPPORTED;
  }
  ReleaseDoLock();
  return status;
}

NTSTATUS ZQEPixelEffect::Run(UCHAR* frame) {
  PixelRoutine* routine = IsI420() ? i420Routine : rgb24Routine;
  if (!routine) return STATUS_NOT_SUPPORTED;
  routine(frame, format.width, format.height, workBuffer);
  return STATUS_SUCCESS;
}

PVOID ZQEPixelEffect::AllocateClassBuffer(SIZE_T bytes) {
  return ExAllocatePoolWithTag(DriverPoolType, bytes, kTagEffectPixel);
}

VOID ZQEPixelEffect::FreeClassBuffer(PVOID* buffer) {
  if (*buffer) ExFreePoolWithTag(*buffer, kTagEffectPixel);
  *buffer = nullptr;
}

ZQENone::ZQENone(LONG identifier) : ZQEPixelEffect(identifier, kFormatsRgb24I420, nullptr, nullptr, FALSE) {}

NTSTATUS ZQENone::Do(UCHAR*) { return STATUS_SUCCESS; }

ZQEBlackWhite::ZQEBlackWhite(LONG id) : ZQEPixelEffect(id, kFormatsRgb24I420, BlackWhiteRgb24, BlackWhiteI420, FALSE) {}
ZQEGray::ZQEGray(LONG id) : ZQEPixelEffect(id, kFormatsRgb24I420, GreyRgb24, NeutralChromaI420, FALSE) {}
ZQEBlueTone::ZQEBlueTone(LONG id) : ZQEPixelEffect(id, kFormatsRgb24I420, BlueToneRgb24, BlueToneI420, FALSE) {}
ZQEEmboss::ZQEEmboss(LONG id) : ZQEPixelEffect(id, kFormatsRgb24I420, EmbossRgb24, EmbossI420, FALSE) {}
ZQEMosaic::ZQEMosaic(LONG id) : ZQEPixelEffect(id, kFormatsRgb24I420, MosaicRgb24, MosaicI420, FALSE) {}
ZQENegative::ZQENegative(LONG id) : ZQEPixelEffect(id, kFormatsRgb24I420, NegativeRgb24, NegativeI420, FALSE) {}
ZQESepia::ZQESepia(LONG id) : ZQEPixelEffect(id, kFormatsRgb24I420, SepiaRgb24, SepiaI420, FALSE) {}
ZQEYellowTone::ZQEYellowTone(LONG id)
    : ZQEPixelEffect(id, kFormatsRgb24I420, YellowToneRgb24, YellowToneI420, FALSE) {}
ZQERedTone::ZQERedTone(LONG id) : ZQEPixelEffect(id, kFormatsRgb24I420, RedToneRgb24, RedToneI420, FALSE) {}

ZQEffect* NewPixelEffect(LONG identifier) {
  const ULONG tag = kTagEffectPixel;
  switch (identifier) {
    case 768: return NewEffect<ZQENone>(tag, identifier);
    case 769: return NewEffect<ZQEBlackWhite>(tag, identifier);
    case 770: return NewEffect<ZQEBlur>(tag, identifier);
    case 771: return NewEffect<ZQEGray>(tag, identifier);
    case 772: return NewEffect<ZQEBlueTone>(tag, identifier);
    case 773: return NewEffect<ZQESolarize>(tag, identifier);
    case 774: return NewEffect<ZQEEmboss>(tag, identifier);
    case 775: return NewEffect<ZQEMosaic>(tag, identifier);
    case 776: return NewEffect<ZQENegative>(tag, identifier);
    case 777: return NewEffect<ZQESepia>(tag, identifier);
    case 778: return NewEffect<ZQEYellowTone>(tag, identifier);
    case 779: return NewEffect<ZQESketch>(tag, identifier);
    case 780: return NewEffect<ZQERedTone>(tag, identifier);
    case 781: return NewEffect<ZQEDiffuse>(tag, identifier);
    case 782: return NewEffect<ZQEWave>(tag, identifier);
    case 783: return NewEffect<ZQETiles>(tag, identifier);
    case 784: return NewEffect<ZQECanvas>(tag, identifier);
    case 786: return NewEffect<ZQEStyle786>(tag, identifier);
    case 787: return NewEffect<ZQEStyle787>(tag, identifier);
    case 788: return NewEffect<ZQEStyle788>(tag, identifier);
    default: return nullptr;
  }
}

}  // namespace kvz
