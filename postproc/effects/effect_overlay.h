// The picture effects (789 ... 798, 1024): a 640 x 480 picture from the system root, scaled to
// the frame, laid over an RGB24 frame; its blue areas let the frame show through. Snipe tints
// the frame green first, news greys it, CCTV adds scan lines after, the magnifier enlarges a
// lens-shaped part of the frame.
#pragma once
#include <wdm.h>

#include "postproc/effects/zq_effect.h"

namespace kvz {

constexpr SIZE_T kPictureNameChars = 264;

class ZQEFrame : public ZQEStagedEffect {
 public:
  // path: the picture file, or null for none (the effect then never becomes ready).
  ZQEFrame(LONG identifier, LONG supportedFormats, PCWSTR path);
  ~ZQEFrame() override;
  // PreProcess, Apply, PostProcess under the Do lock, each only after the one before succeeded.
  NTSTATUS Do(UCHAR* frame) override;
  // Reads and scales the picture for the current size; a missing or unusable file leaves the
  // effect not ready and returns why.
  NTSTATUS Init() override;
  VOID Release() override;
  NTSTATUS Apply(UCHAR* frame) override;

  UCHAR* picture;  // scaled picture then key planes
  WCHAR pictureName[kPictureNameChars];

 protected:
  // Planes of the picture buffer (3 bytes of picture and one byte per key plane a pixel), its
  // pool tag and the loader.
  virtual ULONG PictureBytesPerPixel() const { return 4; }
  virtual ULONG PictureTag() const;
  virtual NTSTATUS Load(UCHAR* buffer, SIZE_T size);

 private:
  ULONG pictureTag;
};

class ZQESnipe final : public ZQEFrame {
 public:
  ZQESnipe(LONG identifier, LONG supportedFormats, PCWSTR path) : ZQEFrame(identifier, supportedFormats, path) {}
  NTSTATUS PreProcess(UCHAR* frame) override;
};

class ZQENews final : public ZQEFrame {
 public:
  ZQENews(LONG identifier, LONG supportedFormats, PCWSTR path) : ZQEFrame(identifier, supportedFormats, path) {}
  NTSTATUS PreProcess(UCHAR* frame) override;
};

class ZQECCTV final : public ZQEFrame {
 public:
  ZQECCTV(LONG identifier, LONG supportedFormats, PCWSTR path) : ZQEFrame(identifier, supportedFormats, path) {}
  NTSTATUS PostProcess(UCHAR* frame) override;
};

class ZQEMagnifier final : public ZQEFrame {
 public:
  ZQEMagnifier(LONG identifier, LONG supportedFormats, PCWSTR path) : ZQEFrame(identifier, supportedFormats, path) {}
  NTSTATUS Apply(UCHAR* frame) override;

 protected:
  ULONG PictureBytesPerPixel() const override { return 5; }
  ULONG PictureTag() const override;
  NTSTATUS Load(UCHAR* buffer, SIZE_T size) override;
};

// The steps as routines over an RGB24 frame of width x height pixels.
VOID OverlayBitmapRgb24(UCHAR* frame, const UCHAR* picture, LONG width, LONG height);
VOID GreenTintRgb24(UCHAR* frame, LONG width, LONG height);
VOID ScanLinesRgb24(UCHAR* frame, LONG width, LONG height);
// work: width x height x 3 bytes; the lens content is built there.
VOID MagnifierRgb24(UCHAR* frame, const UCHAR* picture, LONG width, LONG height, UCHAR* work);

}  // namespace kvz
