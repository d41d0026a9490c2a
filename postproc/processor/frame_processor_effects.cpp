// The frame processor's effect slots: the scaling effect the capture filter's configuration
// selects, and whatever else sits in the six slots, run by the still pin.
#include "postproc/processor/frame_processor.h"

#include "postproc/effects/effect_factory.h"
#include "postproc/effects/zq_effect.h"
#include "primitives/driver_memory.h"

namespace kvz {

VOID FrameProcessor::InitEffectSlots() {
  for (LONG i = 0; i < kEffectSlotCount; ++i) {
    effects_[i] = nullptr;
    retired_[i] = nullptr;
  }
  effectBuffer_ = nullptr;
  effectBufferSize_ = 0;
  inputFormat_ = {};
  outputFormat_ = {};
  KeInitializeMutex(&effectsLock_, 0);
}

VOID FrameProcessor::LockEffects() {
  KeWaitForSingleObject(&effectsLock_, Executive, KernelMode, FALSE, nullptr);
}

VOID FrameProcessor::UnlockEffects() { KeReleaseMutex(&effectsLock_, FALSE); }

VOID FrameProcessor::DeleteEffects() {
  LockEffects();
  for (LONG i = 0; i < kEffectSlotCount; ++i) {
    if (!effects_[i]) continue;
    effects_[i]->active = 0;
    DetachEffect(&effects_[i]);
  }
  // A retired effect has left its slot, so none of these was deleted above.
  for (LONG i = 0; i < kEffectSlotCount; ++i) {
    if (retired_[i]) DetachEffect(&retired_[i]);
  }
  if (effectBuffer_) ExFreePoolWithTag(effectBuffer_, kTagEffectBuffer);
  effectBuffer_ = nullptr;
  effectBufferSize_ = 0;
  UnlockEffects();
}

VOID FrameProcessor::SetFormatInfo(EffectFormat* format, ULONG subtype, LONG width, LONG height) {
  if (!format) return;
  switch (subtype) {
    case kSubtypeI420:
      format->formatCode = kPixelI420;
      break;
    case kSubtypeYuy2:
      format->formatCode = kPixelYuy2;
      break;
    case kSubtypeRgb24:
      format->formatCode = kPixelRgb24;
      break;
    default:
      format->formatCode = kPixelNone;
      break;
  }
  format->width = width;
  format->height = height;
}

VOID FrameProcessor::CreateEffect(LONG id, ZQEffect** effect) { *effect = NewCatalogueEffect(id); }

VOID FrameProcessor::DestroyEffect(ZQEffect* effect, LONG flag) {
  effect->active = flag;
  if (flag != 0) return;
  for (LONG i = 0; i < kEffectSlotCount; ++i) {
    if (!retired_[i]) {
      retired_[i] = effect;
      return;
    }
  }
  // The retired list is full. The caller holds the effects lock, so the effect is not running
  // and cannot start: delete it now rather than lose it.
  DetachEffect(&effect);
}

VOID FrameProcessor::DetachEffect(ZQEffect** slot) {
  ZQEffect* effect = *slot;
  *slot = nullptr;
  effect->detached = 1;
  DeleteEffect(effect);
}

NTSTATUS FrameProcessor::ClearEffectLocked(LONG id) {
  const LONG slot = EffectSlotOf(id);
  if (slot >= kEffectSlotCount) return STATUS_INVALID_PARAMETER;
  if (id == 0) {
    for (LONG i = 0; i < kEffectScalingSlot; ++i) {
      if (!effects_[i]) continue;
      DestroyEffect(effects_[i], 0);
      effects_[i] = nullptr;
    }
  }
  if (effects_[slot]) {
    DestroyEffect(effects_[slot], 0);
    effects_[slot] = nullptr;
  }
  return STATUS_SUCCESS;
}

VOID FrameProcessor::RetireAllEffectsLocked() {
  ClearEffectLocked(0);
  ClearEffectLocked(kEffectScaleClear);
}

NTSTATUS FrameProcessor::SelectEffectLocked(LONG id) {
  const LONG slot = EffectSlotOf(id);
  if (slot >= kEffectSlotCount) return STATUS_INVALID_PARAMETER;
  if (slot == 0) return ClearEffectLocked(id);
  ZQEffect*& effect = effects_[slot];
  if (effect && effect->identifier != id) {
    DestroyEffect(effect, 0);
    effect = nullptr;
  }
  if (!effect) CreateEffect(id, &effect);
  if (!effect) return STATUS_UNSUCCESSFUL;
  // An effect that cannot take the formats (no effect buffer, sizes it refuses, no memory for
  // its own buffers) would run on buffers that do not fit: it leaves its slot.
  const NTSTATUS status =
      effect->SetFormat(&inputFormat_, effectBuffer_, static_cast<LONG>(effectBufferSize_), &outputFormat_);
  if (!NT_SUCCESS(status)) {
    DestroyEffect(effect, 0);
    effect = nullptr;
    return status;
  }
  effect->active = 1;
  return STATUS_SUCCESS;
}

NTSTATUS FrameProcessor::SelectEffect(LONG id) {
  LockEffects();
  const NTSTATUS status = SelectEffectLocked(id);
  UnlockEffects();
  return status;
}

NTSTATUS FrameProcessor::ClearEffect(LONG id) {
  LockEffects();
  const NTSTATUS status = ClearEffectLocked(id);
  UnlockEffects();
  return status;
}

NTSTATUS FrameProcessor::SetFormats(ULONG subtype, LONG inWidth, LONG inHeight, LONG outWidth, LONG outHeight) {
  LockEffects();
  const NTSTATUS status = SetFormatsLocked(subtype, inWidth, inHeight, outWidth, outHeight);
  UnlockEffects();
  return status;
}

NTSTATUS FrameProcessor::SetFormatsLocked(ULONG subtype, LONG inWidth, LONG inHeight, LONG outWidth,
                                          LONG outHeight) {
  // Effects see the YUY2 frame that RGB24 output is converted from later.
  if (subtype == 0) subtype = kSubtypeRgb24;
  if (subtype == kSubtypeRgb24) subtype = kSubtypeYuy2;

  SetFormatInfo(&inputFormat_, subtype, inWidth, inHeight);
  SetFormatInfo(&outputFormat_, subtype, outWidth, outHeight);
  NTSTATUS status = STATUS_SUCCESS;
  if (!EffectSizeValid(inWidth, inHeight) || !EffectSizeValid(outWidth, outHeight)) {
    RetireAllEffectsLocked();
    return STATUS_INVALID_PARAMETER;
  }

  // Configure refuses an active effect; with the lock held none runs, so each is taken out of
  // service for its new format and put back when it takes it.
  ULONG size = 0;
  for (LONG i = 0; i < kEffectScalingSlot; ++i) {
    ZQEffect* effect = effects_[i];
    if (!effect) continue;
    const LONG wasActive = effect->active;
    effect->active = 0;
    const EffectFormat format = inputFormat_;
    const NTSTATUS configured = effect->Configure(&format);
    if (!NT_SUCCESS(configured)) {
      ClearEffectLocked(effect->identifier);
      status = configured;
      continue;
    }
    effect->active = wasActive;
    const ULONG frameSize = effect->GetFrameSize(&inputFormat_);
    if (frameSize > size) size = frameSize;
  }
  if (size == 0) {
    const ULONG pixels = static_cast<ULONG>(inWidth) * static_cast<ULONG>(inHeight);
    switch (inputFormat_.formatCode) {
      case kPixelRgb24:
        size = pixels * 3;
        break;
      case kPixelI420:
        size = pixels * 3 / 2;
        break;
      case kPixelYuy2:
        size = pixels * 2;
        break;
      default:
        size = pixels;
        break;
    }
  }

  if (!effectBuffer_ || effectBufferSize_ < size) {
    // Every effect holds the old buffer: none may keep it once it is freed.
    if (effectBuffer_) ExFreePoolWithTag(effectBuffer_, kTagEffectBuffer);
    effectBuffer_ = static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, size, kTagEffectBuffer));
    effectBufferSize_ = effectBuffer_ ? size : 0;
    for (LONG i = 0; i < kEffectSlotCount; ++i) {
      if (effects_[i]) effects_[i]->SetWorkBuffer(effectBuffer_, static_cast<LONG>(effectBufferSize_));
    }
    if (!effectBuffer_) {
      RetireAllEffectsLocked();
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  if (inWidth == outWidth && inHeight == outHeight) {
    ClearEffectLocked(kEffectScaleClear);
  } else {
    const NTSTATUS selected = SelectEffectLocked(kEffectScale);
    if (!NT_SUCCESS(selected)) status = selected;
  }
  return status;
}

NTSTATUS FrameProcessor::RunEffects(UCHAR* frame) {
  LockEffects();
  const NTSTATUS status = RunEffectsLocked(frame);
  UnlockEffects();
  return status;
}

NTSTATUS FrameProcessor::RunStillEffects(UCHAR* frame, ULONG frameBytes, ULONG subtype, LONG inWidth, LONG inHeight,
                                         LONG outWidth, LONG outHeight) {
  if (!frame) return STATUS_INVALID_PARAMETER;
  LockEffects();
  // The formats of the still's own stream, set under the same hold as the run: another stream's
  // configuration cannot come between and leave the effects sized for a different frame.
  NTSTATUS status = SetFormatsLocked(subtype, inWidth, inHeight, outWidth, outHeight);
  if (NT_SUCCESS(status)) {
    // The picture is YUY2 on both sides (an RGB24 still is converted after the effects).
    const ULONGLONG in = static_cast<ULONGLONG>(inWidth) * static_cast<ULONGLONG>(inHeight) * 2;
    const ULONGLONG out = static_cast<ULONGLONG>(outWidth) * static_cast<ULONGLONG>(outHeight) * 2;
    if (frameBytes < in || frameBytes < out) status = STATUS_BUFFER_TOO_SMALL;
  }
  const bool scales = inWidth != outWidth || inHeight != outHeight;
  ZQEffect* scaler = effects_[kEffectScalingSlot];
  if (NT_SUCCESS(status) && scales && (!scaler || !scaler->active)) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) status = RunEffectsLocked(frame);
  UnlockEffects();
  return status;
}

NTSTATUS FrameProcessor::RunEffectsLocked(UCHAR* frame) {
  NTSTATUS status = STATUS_SUCCESS;
  for (LONG i = 0; i < kEffectSlotCount; ++i) {
    ZQEffect* effect = effects_[i];
    if (!effect || !effect->active || effect->detached) continue;
    status = effect->Do(frame);
    if (!NT_SUCCESS(status)) break;
  }
  for (LONG i = 0; i < kEffectSlotCount; ++i) {
    if (retired_[i]) DetachEffect(&retired_[i]);
  }
  return status;
}

}  // namespace kvz
