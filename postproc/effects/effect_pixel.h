// The catalogue's per-pixel and filter effects (768 ... 788, no 785): tones, thresholds, blur,
// emboss, mosaic, negative, solarize, sepia, sketch and diffuse on RGB24 and I420, and wave,
// tiles, canvas, glass, fish-eye and page curl on RGB24. Each changes the frame in place.
#pragma once
#include <wdm.h>

#include "postproc/base/effect_catalogue.h"
#include "postproc/effects/effect_pixel_kernels.h"
#include "postproc/effects/zq_effect.h"

namespace kvz {

// Checks, the Do lock and the routine of the current format. A class with state of its own
// overrides Run (called under the Do lock, with the format among the class's formats).
class ZQEPixelEffect : public ZQEffect {
 public:
  NTSTATUS Do(UCHAR* frame) override;

 protected:
  ZQEPixelEffect(LONG identifier, LONG supportedFormats, PixelRoutine* rgb24, PixelRoutine* i420,
                 BOOLEAN needsWorkBuffer);
  virtual NTSTATUS Run(UCHAR* frame);
  BOOLEAN IsI420() const { return format.formatCode == kPixelI420; }
  // A class buffer of the given size from the pool (tag IMCV), or null.
  static PVOID AllocateClassBuffer(SIZE_T bytes);
  static VOID FreeClassBuffer(PVOID* buffer);

  PixelRoutine* rgb24Routine;
  PixelRoutine* i420Routine;
  BOOLEAN needsWorkBuffer;
};

// The pass-through: Do succeeds at once, without checks or lock.
class ZQENone final : public ZQEPixelEffect {
 public:
  explicit ZQENone(LONG identifier);
  NTSTATUS Do(UCHAR* frame) override;
};

// Effects that are one routine per format and nothing else.
#define KVZ_PLAIN_PIXEL_EFFECT(Class)        \
  class Class final : public ZQEPixelEffect { \
   public:                                   \
    explicit Class(LONG identifier);         \
  };
KVZ_PLAIN_PIXEL_EFFECT(ZQEBlackWhite)
KVZ_PLAIN_PIXEL_EFFECT(ZQEGray)
KVZ_PLAIN_PIXEL_EFFECT(ZQEBlueTone)
KVZ_PLAIN_PIXEL_EFFECT(ZQEEmboss)
KVZ_PLAIN_PIXEL_EFFECT(ZQEMosaic)
KVZ_PLAIN_PIXEL_EFFECT(ZQENegative)
KVZ_PLAIN_PIXEL_EFFECT(ZQESepia)
KVZ_PLAIN_PIXEL_EFFECT(ZQEYellowTone)
KVZ_PLAIN_PIXEL_EFFECT(ZQERedTone)
#undef KVZ_PLAIN_PIXEL_EFFECT

// Effects whose I420 routine works in scratch of the effect's own, taken by Init for an I420
// format: the blur's ring of five rows of row sums (sized to the frame width), solarize's
// wrapped RGB24 copy (three bytes a pixel; the lent buffer holds only one I420 frame).
typedef VOID ScratchRoutine(UCHAR* frame, LONG width, LONG height, PVOID scratch);

class ZQEScratchEffect : public ZQEPixelEffect {
 public:
  ~ZQEScratchEffect() override;
  NTSTATUS Init() override;
  VOID Release() override;

 protected:
  ZQEScratchEffect(LONG identifier, PixelRoutine* rgb24, BOOLEAN rgb24NeedsWorkBuffer, ScratchRoutine* i420,
                   SIZE_T bytesPerColumn, BOOLEAN perFrame);
  NTSTATUS Run(UCHAR* frame) override;

 private:
  ScratchRoutine* i420Scratch;
  SIZE_T scratchPerColumn;  // bytes per column of one row (times the height when perFrame)
  BOOLEAN perFrame;
  PVOID scratch;
};

class ZQEBlur final : public ZQEScratchEffect {
 public:
  explicit ZQEBlur(LONG identifier);
};

class ZQESolarize final : public ZQEScratchEffect {
 public:
  explicit ZQESolarize(LONG identifier);
};

// Sketch and diffuse draw on a pseudo-random sequence of their own.
typedef VOID JitterRoutine(UCHAR* frame, LONG width, LONG height, UCHAR* work, ULONG* state);

class ZQEJitterEffect : public ZQEPixelEffect {
 protected:
  ZQEJitterEffect(LONG identifier, JitterRoutine* rgb24, JitterRoutine* i420);
  NTSTATUS Run(UCHAR* frame) override;

 private:
  JitterRoutine* rgb24Jitter;
  JitterRoutine* i420Jitter;
  ULONG jitter;
};

class ZQESketch final : public ZQEJitterEffect {
 public:
  explicit ZQESketch(LONG identifier);
};

class ZQEDiffuse final : public ZQEJitterEffect {
 public:
  explicit ZQEDiffuse(LONG identifier);
};

class ZQEWave final : public ZQEPixelEffect {
 public:
  explicit ZQEWave(LONG identifier);
  NTSTATUS Init() override;

  LONG phase;  // 0 ... 127

 protected:
  NTSTATUS Run(UCHAR* frame) override;
};

// Reduced copies of the frame fill a 3 x 3 grid in the work buffer over 49 frames.
class ZQETiles final : public ZQEPixelEffect {
 public:
  explicit ZQETiles(LONG identifier);
  NTSTATUS Init() override;

  LONG frameCounter;  // 0 ... 48
  LONG gridIndex;     // 0 ... 15

 protected:
  NTSTATUS Run(UCHAR* frame) override;
};

// Adds a paper texture from "\SystemRoot\canvastexture.bmp", tiled over the frame.
class ZQECanvas final : public ZQEPixelEffect {
 public:
  explicit ZQECanvas(LONG identifier);
  ~ZQECanvas() override;
  NTSTATUS Init() override;
  VOID Release() override;

  LONG tileWidth;
  LONG tileHeight;

 protected:
  NTSTATUS Run(UCHAR* frame) override;

 private:
  UCHAR* texture;  // tileHeight rows of tileWidth samples
};

// Remapping effects: Init builds a table of source positions, Do moves pixels by it.
class ZQERemapEffect : public ZQEPixelEffect {
 public:
  ~ZQERemapEffect() override;
  NTSTATUS Init() override;
  VOID Release() override;

 protected:
  ZQERemapEffect(LONG identifier, ULONG tableTag);
  // Bytes of the table for the current format, 0 for a size the class refuses.
  virtual SIZE_T TableBytes() = 0;
  // Fills the table (floating point is allowed here).
  virtual VOID BuildTable() = 0;

  PVOID table;
  ULONG tableTag;
};

// Glass pattern: blocks of 10 pixels shifted by up to three.
class ZQEStyle786 final : public ZQERemapEffect {
 public:
  explicit ZQEStyle786(LONG identifier);

 protected:
  SIZE_T TableBytes() override;
  VOID BuildTable() override;
  NTSTATUS Run(UCHAR* frame) override;
};

// Fish-eye lens centred on the frame.
class ZQEStyle787 final : public ZQERemapEffect {
 public:
  explicit ZQEStyle787(LONG identifier);

 protected:
  SIZE_T TableBytes() override;
  VOID BuildTable() override;
  NTSTATUS Run(UCHAR* frame) override;
};

// Page curl: the picture laid on the two pages of an open book.
class ZQEStyle788 final : public ZQERemapEffect {
 public:
  explicit ZQEStyle788(LONG identifier);

 protected:
  SIZE_T TableBytes() override;
  VOID BuildTable() override;
  NTSTATUS Run(UCHAR* frame) override;
};

}  // namespace kvz
