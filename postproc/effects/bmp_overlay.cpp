#include "postproc/effects/bmp_overlay.h"

#include "common/file_access.h"
#include "postproc/base/effect_catalogue.h"
#include "postproc/base/frame_format.h"
#include "primitives/driver_memory.h"

namespace kvz {
namespace {

// BITMAPFILEHEADER and BITMAPINFOHEADER fields, little-endian, by byte offset.
constexpr ULONG kBmpSignature = 0;           // "BM"
constexpr ULONG kBmpPixelOffsetField = 10;
constexpr ULONG kBmpInfoSizeField = 14;
constexpr ULONG kBmpWidthField = 18;
constexpr ULONG kBmpHeightField = 22;
constexpr ULONG kBmpPlanesField = 26;
constexpr ULONG kBmpBitCountField = 28;
constexpr ULONG kBmpCompressionField = 30;
constexpr ULONG kBmpInfoHeaderBytes = 40;
constexpr ULONG kBmpBitsPerPixel = 24;
constexpr ULONG kBmpUncompressed = 0;

ULONG Read16(const UCHAR* p) { return p[0] | (static_cast<ULONG>(p[1]) << 8); }
ULONG Read32(const UCHAR* p) { return Read16(p) | (Read16(p + 2) << 16); }

// Source offset of every output column, shared by the rows.
template <typename PerPixel>
VOID ScalePicture(const UCHAR* file, UCHAR* picture, LONG width, LONG height, PerPixel perPixel) {
  const UCHAR* pixels = file + kOverlayPixelOffset;
  UCHAR* out = picture;
  SIZE_T index = 0;
  for (LONG i = 0; i < height; ++i) {
    const UCHAR* row = pixels + static_cast<SIZE_T>((kOverlayHeight * static_cast<ULONGLONG>(i)) / height) * kOverlayRowBytes;
    for (LONG j = 0; j < width; ++j, out += 3, ++index) {
      const UCHAR* p = row + static_cast<SIZE_T>((kOverlayWidth * static_cast<ULONGLONG>(j)) / width) * 3;
      out[0] = p[0];
      out[1] = p[1];
      out[2] = p[2];
      perPixel(index, p);
    }
  }
}

NTSTATUS LoadPicture(UCHAR* buffer, SIZE_T size, SIZE_T planes, PCWSTR path, LONG width, LONG height,
                     ULONG fileTag, BOOLEAN texture) {
  if (!buffer || !path || width <= 0 || height <= 0 || width > kEffectMaxDimension || height > kEffectMaxDimension ||
      size < static_cast<SIZE_T>(width) * static_cast<SIZE_T>(height) * planes) {
    return STATUS_INVALID_PARAMETER;
  }
  UCHAR* file = static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, kOverlayFileBytes, fileTag));
  if (!file) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG got = 0;
  NTSTATUS status = ReadSystemFile(path, file, kOverlayFileBytes, &got);
  if (NT_SUCCESS(status)) status = CheckOverlayBitmap(file, got);
  if (NT_SUCCESS(status)) {
    if (texture) {
      CopyScaledPicture(file, buffer, width, height);
    } else {
      ScaleOverlayBitmap(file, buffer, width, height);
    }
  }
  ExFreePoolWithTag(file, fileTag);
  return status;
}

}  // namespace

NTSTATUS ReadSystemFile(PCWSTR path, UCHAR* buffer, ULONG length, ULONG* bytesRead) {
  PAGED_CODE();
  *bytesRead = 0;
  HANDLE file = nullptr;
  NTSTATUS status = OpenFileByPath(path, &file);
  if (!NT_SUCCESS(status)) return status;
  status = ReadFileBytes(file, buffer, length, bytesRead);
  CloseFileHandle(file);
  return status;
}

NTSTATUS CheckOverlayBitmap(const UCHAR* file, ULONG length) {
  if (length < kOverlayFileBytes) return STATUS_END_OF_FILE;
  const bool picture = file[kBmpSignature] == 'B' && file[kBmpSignature + 1] == 'M' &&
                       Read32(file + kBmpPixelOffsetField) == kOverlayPixelOffset &&
                       Read32(file + kBmpInfoSizeField) == kBmpInfoHeaderBytes &&
                       Read32(file + kBmpWidthField) == static_cast<ULONG>(kOverlayWidth) &&
                       Read32(file + kBmpHeightField) == static_cast<ULONG>(kOverlayHeight) &&
                       Read16(file + kBmpPlanesField) == 1 && Read16(file + kBmpBitCountField) == kBmpBitsPerPixel &&
                       Read32(file + kBmpCompressionField) == kBmpUncompressed;
  return picture ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
}

VOID ScaleOverlayBitmap(const UCHAR* file, UCHAR* picture, LONG width, LONG height) {
  UCHAR* mask = picture + static_cast<SIZE_T>(width) * height * 3;
  ScalePicture(file, picture, width, height, [mask](SIZE_T k, const UCHAR* p) {
    mask[k] = (p[0] >= kKeyBlueMin && p[1] <= kKeyOtherMax && p[2] <= kKeyOtherMax) ? 255 : 0;
  });
}

VOID CopyScaledPicture(const UCHAR* file, UCHAR* picture, LONG width, LONG height) {
  const SIZE_T pixels = static_cast<SIZE_T>(width) * height;
  UCHAR* window = picture + pixels * 3;
  UCHAR* lens = window + pixels;
  ScalePicture(file, picture, width, height, [window, lens](SIZE_T k, const UCHAR* p) {
    const bool keyed = p[1] == 0 && p[2] == 0;
    window[k] = keyed && p[0] == kWindowBlue ? 255 : 0;
    lens[k] = keyed && p[0] == kLensBlue ? 255 : 0;
  });
}

NTSTATUS LoadOverlayBitmap(UCHAR* buffer, SIZE_T size, PCWSTR path, LONG width, LONG height, LONG) {
  return LoadPicture(buffer, size, 4, path, width, height, kTagPictureFile, FALSE);
}

NTSTATUS LoadTextureBitmap(UCHAR* buffer, SIZE_T size, PCWSTR path, LONG width, LONG height, LONG format) {
  if (buffer && width > 0 && height > 0 && size >= static_cast<SIZE_T>(width) * static_cast<SIZE_T>(height) * 5 &&
      format != kPixelRgb24) {
    return STATUS_NOT_SUPPORTED;
  }
  return LoadPicture(buffer, size, 5, path, width, height, kTagTextureFile, TRUE);
}

}  // namespace kvz
