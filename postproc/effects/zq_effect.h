// The effect base: an object that transforms one frame in place, in one format at one frame
// size, under a lock of its own. The frame processor creates effects through the catalogue's
// factory, hands them their format and its lent work buffer, runs them on still frames and
// deletes them.
#pragma once
#include <wdm.h>

#include "postproc/base/frame_format.h"
#include "primitives/pool_object.h"

namespace kvz {

// Effects live in pool memory carrying their class's tag: NewEffect builds one (PoolNew) and
// DeleteEffect destroys it and frees its block under the same tag (PoolDelete), never new and
// delete.
class ZQEffect {
 public:
  ZQEffect(LONG identifier, LONG supportedFormats);
  // Waits for a running Do through the Do lock.
  virtual ~ZQEffect();
  ZQEffect(const ZQEffect&) = delete;
  ZQEffect& operator=(const ZQEffect&) = delete;

  // A missing format or work buffer, a size outside 1 ... kEffectMaxDimension, or a work buffer
  // smaller than one frame of the format: STATUS_INVALID_PARAMETER. An unchanged format keeps
  // everything (the buffer too). Otherwise Reset, store, Init; Init's status is returned.
  // outputFormat is read only by the scaling effect.
  virtual NTSTATUS SetFormat(const EffectFormat* format, UCHAR* workBuffer, LONG workBufferSize,
                             const EffectFormat* outputFormat);
  // Transforms frame in place; it holds one frame of the current format.
  virtual NTSTATUS Do(UCHAR* frame) = 0;
  // Bytes of one frame of the format: RGB24 3, YUY2 2, I420 1.5 bytes a pixel; 0 for another
  // code, a missing format or a size outside 1 ... kEffectMaxDimension.
  virtual ULONG GetFrameSize(const EffectFormat* format);
  virtual NTSTATUS SetParam(LONG kind, LONG value);
  virtual NTSTATUS GetParam(LONG kind, LONG* value);
  // Every override returns STATUS_SUCCESS at once when ready is already 1.
  virtual NTSTATUS Init();
  virtual VOID Release();
  // STATUS_DEVICE_BUSY while active; STATUS_NOT_SUPPORTED for a format outside the class's set;
  // STATUS_INVALID_PARAMETER for a size SetFormat refuses. A new format is stored (the old one
  // becomes previousFormat) and Reset then Init run; the work buffer stays as it was.
  NTSTATUS Configure(const EffectFormat* format);
  VOID Reset();

  VOID GetDoLock();
  VOID ReleaseDoLock();

  // Replaces the lent work buffer whatever the format; the frame processor calls it, with no Do
  // running, when it replaces the buffer it lends.
  VOID SetWorkBuffer(UCHAR* buffer, LONG size);

  LONG supportedFormats;
  LONG identifier;
  LONG active;    // set by the frame processor once the effect has its format
  LONG ready;     // 1 after a successful Init, 0 after Release
  LONG detached;  // set by the frame processor when it takes the effect out to delete it
  EffectFormat format;
  EffectFormat previousFormat;
  UCHAR* workBuffer;  // lent by the frame processor, never freed here
  LONG workBufferSize;
  ULONG poolTag;  // the tag NewEffect built the effect under

 protected:

  // Entry checks of Do, in this order: a missing frame gives STATUS_INVALID_PARAMETER; a
  // detached or not ready effect STATUS_DEVICE_NOT_READY; (when needed) a missing work buffer
  // or one smaller than a frame of the current format STATUS_INVALID_PARAMETER. Takes no lock.
  NTSTATUS CheckDo(const UCHAR* frame, BOOLEAN needsWorkBuffer);
  // For destructors of classes that hold buffers: waits for a running Do, then Release.
  VOID ReleaseUnderDoLock();

  KSEMAPHORE doLock;
};

// Effects whose Do runs in steps. Each class's Do chooses the order of the steps; a step it
// does not override succeeds without effect.
class ZQEStagedEffect : public ZQEffect {
 public:
  ZQEStagedEffect(LONG identifier, LONG supportedFormats) : ZQEffect(identifier, supportedFormats) {}
  virtual NTSTATUS PreProcess(UCHAR* frame);
  virtual NTSTATUS PostProcess(UCHAR* frame);
  virtual NTSTATUS Apply(UCHAR* frame);
};

// A new effect of class T in pool memory under the tag, or null when the pool has no block.
template <class T, class... Args>
ZQEffect* NewEffect(ULONG tag, Args... args) {
  T* effect = PoolNew<T>(tag, args...);
  if (effect) effect->poolTag = tag;
  return effect;
}

// Destroys an effect NewEffect built and frees its block; leaves the pointer null.
inline VOID DeleteEffect(ZQEffect*& effect) {
  if (!effect) return;
  const ULONG tag = effect->poolTag;
  PoolDelete(effect, tag);
}

// Byte count of a frame of the format (see ZQEffect::GetFrameSize); a free function so that
// the frame processor can size its buffer without an effect.
ULONG EffectFrameBytes(const EffectFormat* format);
// Width and height inside 1 ... kEffectMaxDimension.
BOOLEAN EffectSizeValid(LONG width, LONG height);
BOOLEAN EffectFormatsEqual(const EffectFormat* a, const EffectFormat* b);

}  // namespace kvz
