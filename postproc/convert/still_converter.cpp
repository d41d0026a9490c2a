#include "postproc/convert/still_converter.h"

#include "postproc/convert/pin_conversion.h"
#include "postproc/base/frame_format.h"
#include "postproc/processor/frame_processor_pins.h"
#include "primitives/driver_memory.h"

namespace kvz {

namespace {

constexpr ULONGLONG kMaxImageBytes = 0xFFFFFFFFull;

}  // namespace

StillConverter::StillConverter(PinProcessing* processing)
    : processing_(processing), formats_(), buffer_(nullptr), bufferSize_(0) {}

VOID StillConverter::SetFormats(const ConversionFormats& formats) { formats_ = formats; }

VOID StillConverter::Release() {
  if (buffer_) ExFreePoolWithTag(buffer_, kTagStill);
  buffer_ = nullptr;
  bufferSize_ = 0;
}

bool StillConverter::EnsureBuffer(ULONG size) {
  if (buffer_ && bufferSize_ == size) return true;
  Release();
  buffer_ = size <= 0x7FFFFFFFu ? static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, size, kTagStill)) : nullptr;
  if (buffer_) bufferSize_ = size;
  return buffer_ != nullptr;
}

PUCHAR StillConverter::Convert(const UCHAR* frame, ULONG length) {
  const ULONG sw = formats_.cameraWidth, sh = formats_.cameraHeight;
  const ULONG w = formats_.offeredWidth, h = formats_.offeredHeight;
  const ULONGLONG camera = static_cast<ULONGLONG>(sw) * sh * 2;
  if (length != camera) return nullptr;
  // The effects work in place on YUY2: room for the camera picture they start from and for the
  // offered picture they leave (the scaling effect when the format file added the size). An
  // RGB24 still is converted from their result into the rest of the buffer.
  const ULONGLONG offered = static_cast<ULONGLONG>(w) * h * 2;
  const ULONGLONG picture = camera > offered ? camera : offered;
  const ULONGLONG rgb = formats_.offeredSubtype == kSubtypeRgb24 ? static_cast<ULONGLONG>(w) * h * 3 : 0;
  if (picture + rgb > kMaxImageBytes || !EnsureBuffer(static_cast<ULONG>(picture + rgb))) return nullptr;
  RtlCopyMemory(buffer_, frame, length);
  const NTSTATUS status =
      processing_->RunStillEffects(buffer_, static_cast<ULONG>(picture), formats_.offeredSubtype, static_cast<LONG>(sw),
                                   static_cast<LONG>(sh), static_cast<LONG>(w), static_cast<LONG>(h));
  // Without its effects a still at the camera's size is still whole; a scaled one is not there.
  if (!NT_SUCCESS(status) && (sw != w || sh != h)) return nullptr;
  if (!rgb) return buffer_;
  ConvertYuy2ToRgb24(buffer_, buffer_ + picture, w, h);
  return buffer_ + picture;
}

}  // namespace kvz
