#include "postproc/convert/frame_converter.h"

#include "jpeg/jpeg_encoder.h"
#include "jpeg/jpeg_header.h"
#include "jpeg/mjpeg_decoder.h"
#include "postproc/base/frame_format.h"
#include "postproc/processor/frame_processor_pins.h"
#include "postproc/geometry/image_crop_resize.h"
#include "postproc/convert/pin_conversion.h"
#include "primitives/aligned_alloc.h"
#include "primitives/driver_memory.h"
#include "primitives/pool_object.h"

namespace kvz {

namespace {

constexpr ULONG kJpegBytesPerYuy2Pixel = 2;
constexpr int kEncodeQuality = 95;
constexpr ULONG kEncodeCpuAuto = 1;
constexpr ULONGLONG kMaxImageBytes = 0xFFFFFFFFull;

ULONG AlignUp(ULONG value, ULONG unit) { return (value + unit - 1) / unit * unit; }

ULONGLONG Area(ULONG width, ULONG height, ULONG bytes) { return static_cast<ULONGLONG>(width) * height * bytes; }

}  // namespace

FrameConverter::FrameConverter(PinProcessing* processing)
    : processing_(processing),
      formats_(),
      decoder_(nullptr),
      encoder_(nullptr),
      work1_(nullptr),
      work2_(nullptr),
      workSize1_(0),
      workSize2_(0),
      scanRestartInterval_(1),
      restartInterval_(0) {}

NTSTATUS FrameConverter::SetFormats(const ConversionFormats& formats) {
  formats_ = formats;
  const ULONGLONG offered = Area(formats_.offeredWidth, formats_.offeredHeight, 3);
  const ULONGLONG decoded = Area(AlignUp(formats_.cameraWidth, 16), AlignUp(formats_.cameraHeight, 8), 2);
  return (offered > decoded ? offered : decoded) > kMaxImageBytes ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

NTSTATUS FrameConverter::PrepareWorkBuffers() {
  PAGED_CODE();
  const ULONGLONG offered = Area(formats_.offeredWidth, formats_.offeredHeight, 3);
  const ULONGLONG decoded = Area(AlignUp(formats_.cameraWidth, 16), AlignUp(formats_.cameraHeight, 8), 2);
  return EnsureWorkBuffers(static_cast<ULONG>(offered > decoded ? offered : decoded));
}

VOID FrameConverter::Release() {
  PoolDelete(decoder_, jpeg::kDecoderPoolTag);
  if (encoder_) {
    encoder_->Release();
    prim::FreeAligned(encoder_);
  }
  encoder_ = nullptr;
  if (work1_) ExFreePoolWithTag(work1_, kTagWork);
  if (work2_) ExFreePoolWithTag(work2_, kTagWork);
  work1_ = work2_ = nullptr;
  workSize1_ = workSize2_ = 0;
}

NTSTATUS FrameConverter::EnsureWorkBuffers(ULONG size) {
  PAGED_CODE();
  PUCHAR* buffers[] = {&work1_, &work2_};
  ULONG* sizes[] = {&workSize1_, &workSize2_};
  for (ULONG i = 0; i < 2; ++i) {
    if (*buffers[i] && *sizes[i] >= size) continue;
    if (*buffers[i]) ExFreePoolWithTag(*buffers[i], kTagWork);
    *sizes[i] = size;
    *buffers[i] = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, size, kTagWork));
    if (!*buffers[i]) {
      *sizes[i] = 0;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  return STATUS_SUCCESS;
}

ULONG FrameConverter::Convert(PUCHAR frame, ULONG length, LONGLONG delivered, FrameConverterHost* host) {
  PAGED_CODE();
  if (formats_.offeredSubtype == kSubtypeRgb24) return ToRgb24(frame, length, delivered, host);
  if (formats_.offeredSubtype == kSubtypeYuy2) return ToYuy2(frame, length, delivered, host);
  return ToMjpeg(frame, length, delivered, host);
}

VOID FrameConverter::OfferSourceFrame(const UCHAR* frame, ULONG length, LONG layout, LONGLONG delivered) {
  if (delivered % PinProcessing::kFaceOfferPeriod != 0) return;
  processing_->SubmitFrame(frame, length, static_cast<LONG>(formats_.cameraWidth),
                           static_cast<LONG>(formats_.cameraHeight), layout, delivered);
}

bool FrameConverter::AtCameraSize() const {
  return formats_.offeredWidth == formats_.cameraWidth && formats_.offeredHeight == formats_.cameraHeight;
}

PUCHAR FrameConverter::OfferedSizeFrame(PUCHAR frame) {
  const LONG w = formats_.offeredWidth, h = formats_.offeredHeight;
  const LONG sw = formats_.cameraWidth, sh = formats_.cameraHeight;
  if (w == sw && h == sh) return frame;
  // A size the format file added: the camera sends a neighbouring size, scaled here first. The
  // caller has grown the work buffers: growing them here would free the frame when it lies in
  // work1_, and a pointer into work2_ must outlive this call.
  if (workSize2_ < Area(w, h, 2) || !NT_SUCCESS(ResizeImage(frame, work2_, sw, sh, w, h, kPixelYuy2)))
    return nullptr;
  return work2_;
}

PUCHAR FrameConverter::WidenYuy2Frame(const UCHAR* source, ULONG width, ULONG height, ULONG newWidth) {
  ConvertYuy2ToRgb24BottomUp(source, work1_, width, height);
  ResampleRowsHorizontal(work1_, work2_, width, height, newWidth);
  ConvertRgb24ToYuy2(work2_, work1_, newWidth, height);
  return work1_;
}

ULONG FrameConverter::ToRgb24(PUCHAR frame, ULONG length, LONGLONG delivered, FrameConverterHost* host) {
  const ULONG w = formats_.offeredWidth, h = formats_.offeredHeight;
  const ULONG sw = formats_.cameraWidth, sh = formats_.cameraHeight;
  // MJPG offered as RGB24: the camera's picture is decoded first.
  const bool mjpeg = formats_.cameraSubtype == kSubtypeMjpg;
  if ((!mjpeg && length != Area(sw, sh, 2)) || !host->AcceptFrame()) return 0;
  PUCHAR out = nullptr;
  ULONG room = 0;
  const ULONGLONG bytes = Area(w, h, 3);
  if (!host->LockClientBuffer(&out, &room) || room < bytes) return 0;
  if (!NT_SUCCESS(EnsureWorkBuffers(static_cast<ULONG>(bytes)))) return 0;
  if (mjpeg) {
    ULONG width = 0, height = 0;
    ScanMjpegHeaders(frame, length, &width, &height);
    if (width != sw || height != sh || !DecodeMjpeg(frame, length)) return 0;
    frame = work1_;
  }
  OfferSourceFrame(frame, static_cast<ULONG>(Area(sw, sh, 2)), kPixelYuy2, delivered);
  PUCHAR source = OfferedSizeFrame(frame);
  PUCHAR data = source ? processing_->ProcessFrame(source, static_cast<LONG>(w), static_cast<LONG>(h)) : nullptr;
  if (!data) return 0;
  ConvertYuy2ToRgb24BottomUp(data, out, w, h);
  return static_cast<ULONG>(bytes);
}

ULONG FrameConverter::ToYuy2(PUCHAR frame, ULONG length, LONGLONG delivered, FrameConverterHost* host) {
  const ULONG sw = formats_.cameraWidth, sh = formats_.cameraHeight;
  PUCHAR out = nullptr;
  ULONG room = 0;
  if (!host->LockClientBuffer(&out, &room) || length != Area(sw, sh, 2) || !host->AcceptFrame()) return 0;
  ULONG w = formats_.offeredWidth;
  const ULONG h = formats_.offeredHeight;
  const ULONG r = host->WidthRequest();
  // Everything the frame needs of the work buffers, grown before any pointer into them is
  // taken: a growth frees both.
  ULONGLONG work = w != sw || h != sh ? Area(w, h, 3) : 0;
  if (r != 0 && r != w && Area(r, h, 3) > work) work = Area(r, h, 3);
  if (work != 0 && !NT_SUCCESS(EnsureWorkBuffers(static_cast<ULONG>(work)))) return 0;
  PUCHAR data = OfferedSizeFrame(frame);
  if (!data) return 0;
  if (r != 0 && r != w) {
    if (r > w) {
      data = WidenYuy2Frame(data, w, h, r);
    } else {
      if (!NT_SUCCESS(ResizeImage(data, work1_, static_cast<LONG>(w), static_cast<LONG>(h), static_cast<LONG>(r),
                                  static_cast<LONG>(h), kPixelYuy2)))
        return 0;
      data = work1_;
    }
    w = r;
  }
  const ULONGLONG bytes = Area(w, h, 2);
  if (room < bytes) return 0;
  // Before ProcessFrame, which may change the camera's frame in place.
  OfferSourceFrame(frame, static_cast<ULONG>(Area(sw, sh, 2)), kPixelYuy2, delivered);
  data = processing_->ProcessFrame(data, static_cast<LONG>(w), static_cast<LONG>(h));
  if (!data) return 0;
  RtlCopyMemory(out, data, static_cast<SIZE_T>(bytes));
  return static_cast<ULONG>(bytes);
}

VOID FrameConverter::ScanMjpegHeaders(const UCHAR* frame, ULONG length, ULONG* width, ULONG* height) {
  *width = *height = 0;
  if (length < 2) return;
  if (scanRestartInterval_) {
    uint32_t interval = 0;
    // The low byte only: the interval the pin has always re-encoded with.
    if (jpeg::FindRestartInterval(frame, length, &interval) == jpeg::kFieldRead) restartInterval_ = interval & 0xFF;
    scanRestartInterval_ = 0;
  }
  uint32_t w = 0, h = 0;
  jpeg::FindBaselineFrameSize(frame, length, &w, &h);
  *width = w;
  *height = h;
}

bool FrameConverter::DecodeMjpeg(const UCHAR* frame, ULONG length) {
  const ULONG sw = formats_.cameraWidth, sh = formats_.cameraHeight;
  if (!decoder_) decoder_ = PoolNew<jpeg::MjpegDecoder>(jpeg::kDecoderPoolTag);
  const ULONGLONG decoded = Area(AlignUp(sw, 16), AlignUp(sh, 8), 2);
  const ULONGLONG offered = Area(formats_.offeredWidth, formats_.offeredHeight, 3);
  if (!decoder_ || !NT_SUCCESS(EnsureWorkBuffers(static_cast<ULONG>(decoded > offered ? decoded : offered)))) return false;
  int32_t outWidth = static_cast<int32_t>(sw), outHeight = static_cast<int32_t>(sh);
  return decoder_->Decode(frame, static_cast<int32_t>(length), work1_, static_cast<int32_t>(Area(sw, sh, 2)), &outWidth,
                          &outHeight, kPixelYuy2) == 0 &&
         outWidth == static_cast<int32_t>(sw) && outHeight == static_cast<int32_t>(sh);
}

ULONG FrameConverter::ToMjpeg(PUCHAR frame, ULONG length, LONGLONG delivered, FrameConverterHost* host) {
  if (!host->AcceptFrame()) return 0;
  ULONG width = 0, height = 0;
  ScanMjpegHeaders(frame, length, &width, &height);
  const ULONG sw = formats_.cameraWidth, sh = formats_.cameraHeight;
  if (width != sw || height != sh) return 0;
  const LONG w = formats_.offeredWidth, h = formats_.offeredHeight;

  // A listed camera's picture passes as it came; a size the format file added needs the picture
  // and changes it.
  PictureUse use{false, true};
  if (!formats_.untouched) use = AtCameraSize() ? processing_->ReadPictureUse() : PictureUse{true, false};
  PUCHAR data = nullptr;
  if (!use.needed) {
    OfferSourceFrame(frame, length, kPixelMjpeg, delivered);
  } else {
    if (!DecodeMjpeg(frame, length)) return 0;
    OfferSourceFrame(work1_, static_cast<ULONG>(Area(sw, sh, 2)), kPixelYuy2, delivered);
    data = OfferedSizeFrame(work1_);
    data = data ? processing_->ProcessFrame(data, w, h) : nullptr;
    if (!data) return 0;
  }

  PUCHAR out = nullptr;
  ULONG room = 0;
  if (!host->LockClientBuffer(&out, &room)) return 0;
  if (!data || use.kept) {
    if (room < length) return 0;
    RtlCopyMemory(out, frame, length);
    return length;
  }
  if (!encoder_) {
    encoder_ = reinterpret_cast<jpeg::JpegEncoder*>(prim::AllocAligned8u(sizeof(jpeg::JpegEncoder)));
    if (!encoder_) return 0;
    encoder_->Reset();
  }
  int32_t encoded = 0;
  if (jpeg::JpegEncodeFrame(data, kPixelYuy2, kJpegBytesPerYuy2Pixel, out,
                            static_cast<int32_t>(room > 0x7FFFFFFFu ? 0x7FFFFFFFu : room), &encoded, w, h, kEncodeQuality,
                            restartInterval_, kEncodeCpuAuto, encoder_) != 0 ||
      encoded <= 0)
    return 0;
  return static_cast<ULONG>(encoded);
}

}  // namespace kvz
