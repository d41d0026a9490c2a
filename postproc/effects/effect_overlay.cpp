#include "postproc/effects/effect_overlay.h"

#include "postproc/effects/bmp_overlay.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_factory.h"
#include "postproc/effects/effect_pixel_kernels.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

constexpr LONG kScanLineGroup = 6;
// Bytes doubled in row k of a scan-line group: (byte of the pair's first pixel, of its second).
constexpr UCHAR kScanLineBytes[kScanLineGroup][2] = {{2, 1}, {2, 0}, {1, 0}, {1, 2}, {0, 2}, {0, 1}};

// The magnifier's lens on the 640 x 480 picture: a 2a x 2b window at column e, f rows above the
// bottom, showing the frame 1.5 times enlarged.
constexpr LONG kLensHalfWidth = 188;
constexpr LONG kLensLeft = 165;
constexpr LONG kLensBottom = 37;

// Runs an RGB24-only step; other formats are refused untouched.
template <typename Step>
NTSTATUS OnRgb24(const EffectFormat& format, Step step) {
  if (format.formatCode != kPixelRgb24) return STATUS_NOT_SUPPORTED;
  step();
  return STATUS_SUCCESS;
}

inline UCHAR Doubled(UCHAR v) { return v >= 128 ? 255 : static_cast<UCHAR>(2 * v); }

struct PictureName {
  LONG identifier;
  PCWSTR path;
};

constexpr PictureName kPictureNames[] = {
    {789, u"\\SystemRoot\\ZQGarland.bmp"},  {790, u"\\SystemRoot\\ZQCalendar.bmp"},
    {791, u"\\SystemRoot\\ZQPCard.bmp"},    {792, u"\\SystemRoot\\ZQSnipe.bmp"},
    {793, u"\\SystemRoot\\ZQNews.bmp"},     {794, u"\\SystemRoot\\ZQMagazine.bmp"},
    {795, u"\\SystemRoot\\ZQWanted.bmp"},   {796, u"\\SystemRoot\\ZQCCTV.bmp"},
    {797, u"\\SystemRoot\\ZQMagnifier.bmp"}, {798, u"\\SystemRoot\\ZQSpring.bmp"},
};

}  // namespace

ZQEffect* NewOverlayEffect(LONG identifier) {
  PCWSTR path = nullptr;
  for (const PictureName& name : kPictureNames)
    if (name.identifier == identifier) path = name.path;
  if (!path && identifier != kEffectPictureNone) return nullptr;
  const ULONG tag = kTagEffectPicture;
  switch (identifier) {
    case 792: return NewEffect<ZQESnipe>(tag, identifier, kFormatsRgb24, path);
    case 793: return NewEffect<ZQENews>(tag, identifier, kFormatsRgb24, path);
    case 796: return NewEffect<ZQECCTV>(tag, identifier, kFormatsRgb24, path);
    case 797: return NewEffect<ZQEMagnifier>(tag, identifier, kFormatsRgb24, path);
    default: return NewEffect<ZQEFrame>(tag, identifier, kFormatsRgb24, path);
  }
}

ZQEFrame::ZQEFrame(LONG identifier, LONG supportedFormats, PCWSTR path)
    : ZQEStagedEffect(identifier, supportedFormats), picture(nullptr), pictureName{}, pictureTag(0) {
  for (SIZE_T i = 0; path && path[i] && i + 1 < kPictureNameChars; ++i) pictureName[i] = path[i];
}

ZQEFrame::~ZQEFrame() { ReleaseUnderDoLock(); }

ULONG ZQEFrame::PictureTag() const { return kTagEffectPicture; }
ULONG ZQEMagnifier::PictureTag() const { return kTagEffectMagnifier; }

NTSTATUS ZQEFrame::Load(UCHAR* buffer, SIZE_T size) {
  return LoadOverlayBitmap(buffer, size, pictureName, format.width, format.height, format.formatCode);
}

NTSTATUS ZQEMagnifier::Load(UCHAR* buffer, SIZE_T size) {
  return LoadTextureBitmap(buffer, size, pictureName, format.width, format.height, format.formatCode);
}

NTSTATUS ZQEFrame::Init() {
  if (ready) return STATUS_SUCCESS;
  Release();
  if (pictureName[0] == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!EffectSizeValid(format.width, format.height)) return STATUS_INVALID_PARAMETER;
  const SIZE_T size = static_cast<SIZE_T>(format.width) * format.height * PictureBytesPerPixel();
  UCHAR* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, size, PictureTag()));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  const NTSTATUS status = Load(buffer, size);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(buffer, PictureTag());
    return status;
  }
  picture = buffer;
  pictureTag = PictureTag();
  ready = 1;
  return STATUS_SUCCESS;
}

VOID ZQEFrame::Release() {
  // The tag the buffer was taken with: a destructor reaches here after the derived class is gone.
  if (picture) ExFreePoolWithTag(picture, pictureTag);
  picture = nullptr;
  ready = 0;
}

NTSTATUS ZQEFrame::Do(UCHAR* frame) {
  NTSTATUS status = CheckDo(frame, TRUE);
  if (!NT_SUCCESS(status)) return status;
  if (!picture) return STATUS_INVALID_PARAMETER;
  GetDoLock();
  status = PreProcess(frame);
  if (NT_SUCCESS(status)) status = Apply(frame);
  if (NT_SUCCESS(status)) status = PostProcess(frame);
  ReleaseDoLock();
  return status;
}

NTSTATUS ZQEFrame::Apply(UCHAR* frame) {
  if (format.formatCode == kPixelRgb24) OverlayBitmapRgb24(frame, picture, format.width, format.height);
  return STATUS_SUCCESS;
}

NTSTATUS ZQESnipe::PreProcess(UCHAR* frame) {
  return OnRgb24(format, [&] { GreenTintRgb24(frame, format.width, format.height); });
}

NTSTATUS ZQENews::PreProcess(UCHAR* frame) {
  return OnRgb24(format, [&] { GreyRgb24(frame, format.width, format.height, nullptr); });
}

NTSTATUS ZQECCTV::PostProcess(UCHAR* frame) {
  return OnRgb24(format, [&] { ScanLinesRgb24(frame, format.width, format.height); });
}

NTSTATUS ZQEMagnifier::Apply(UCHAR* frame) {
  return OnRgb24(format, [&] { MagnifierRgb24(frame, picture, format.width, format.height, workBuffer); });
}

VOID OverlayBitmapRgb24(UCHAR* frame, const UCHAR* picture, LONG width, LONG height) {
  const SIZE_T pixels = PixelCount(width, height);
  const UCHAR* mask = picture + pixels * 3;
  for (SIZE_T k = 0; k < pixels; ++k, frame += 3, picture += 3) {
    const UCHAR m = mask[k];
    for (LONG b = 0; b < 3; ++b) frame[b] = static_cast<UCHAR>((m & frame[b]) | (picture[b] & ~m));
  }
}

VOID GreenTintRgb24(UCHAR* frame, LONG width, LONG height) {
  UCHAR* const end = frame + PixelCount(width, height) * 3;
  for (UCHAR* p = frame; p < end; p += 3) p[0] = p[2] = 0;
}

VOID ScanLinesRgb24(UCHAR* frame, LONG width, LONG height) {
  const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
  const LONG grouped = height / kScanLineGroup * kScanLineGroup;
  for (LONG n = 0; n < grouped; ++n) {
    UCHAR* row = frame + static_cast<SIZE_T>(height - 1 - n) * stride;
    const UCHAR* doubled = kScanLineBytes[n % kScanLineGroup];
    for (LONG m = 0; m + 1 < width; m += 2) {
      UCHAR* first = row + static_cast<SIZE_T>(m) * 3;
      first[doubled[0]] = Doubled(first[doubled[0]]);
      first[3 + doubled[1]] = Doubled(first[3 + doubled[1]]);
    }
  }
}

VOID MagnifierRgb24(UCHAR* frame, const UCHAR* picture, LONG width, LONG height, UCHAR* work) {
  const LONG a = (kLensHalfWidth * width) / kOverlayWidth;
  const LONG b = height == (kOverlayHeight * width) / kOverlayWidth ? a : (kLensHalfWidth * height) / kOverlayHeight;
  const LONG e = (kLensLeft * width) / kOverlayWidth;
  const LONG f = (kLensBottom * height) / kOverlayHeight;
  const SIZE_T stride = static_cast<SIZE_T>(width) * 3;
  const SIZE_T pixels = PixelCount(width, height);
  RtlZeroMemory(work, pixels * 3);
  // Rows and columns that would fall outside a frame of unusual shape are left out.
  for (LONG r = 0; r < 2 * b; ++r) {
    const LONG to = height - f - 1 - r;
    const LONG from = height - f - 1 - b / 3 - (2 * r) / 3;
    if (to < 0 || to >= height || from < 0 || from >= height) continue;
    for (LONG c = 0; c < 2 * a; ++c) {
      const LONG toCol = e + c, fromCol = e + a / 3 + (2 * c) / 3;
      if (toCol >= width || fromCol >= width) break;
      RtlCopyMemory(work + to * stride + toCol * 3, frame + from * stride + fromCol * 3, 3);
    }
  }
  const UCHAR* window = picture + pixels * 3;
  const UCHAR* lens = window + pixels;
  for (SIZE_T k = 0; k < pixels; ++k) {
    UCHAR* p = frame + k * 3;
    const UCHAR* q = picture + k * 3;
    const UCHAR* z = work + k * 3;
    for (LONG i = 0; i < 3; ++i) {
      const UCHAR shown = static_cast<UCHAR>((q[i] & ~window[k]) | (p[i] & window[k]));
      p[i] = static_cast<UCHAR>((lens[k] & z[i]) | (~lens[k] & shown));
    }
  }
}

}  // namespace kvz
