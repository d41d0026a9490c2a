#include "postproc/processor/frame_processor.h"

#include "postproc/base/frame_format.h"
#include "postproc/geometry/frame_rotation.h"
#include "postproc/geometry/image_crop_resize.h"
#include "postproc/effects/privacy_image.h"
#include "primitives/driver_memory.h"
#include "primitives/pool_object.h"

namespace kvz {

namespace {

constexpr LONG kYuy2BytesPerPixel = 2;
constexpr LONG kNoVerdict = -1;

UCHAR* AllocateBuffer(ULONG size, ULONG tag) {
  return static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, size, tag));
}

VOID FreeBuffer(UCHAR*& buffer, ULONG tag) {
  if (buffer) ExFreePoolWithTag(buffer, tag);
  buffer = nullptr;
}

LONG Even(LONG value) { return value & ~1; }

LONG Clamp(LONG value, LONG low, LONG high) { return value < low ? low : value > high ? high : value; }

}  // namespace

FrameProcessor::FrameProcessor()
    : work1_(nullptr),
      work2_(nullptr),
      workSize_(0),
      flickerFed_(false),
      privacy_(nullptr),
      device_(nullptr),
      faceServices_(nullptr),
      decoder_(nullptr),
      decoded_(nullptr),
      decodedSize_(0),
      submitted_(nullptr),
      submittedCapacity_(0),
      submittedLength_(0),
      submittedLayout_(kPixelNone),
      submittedWidth_(0),
      submittedHeight_(0),
      submittedNumber_(0),
      workerThread_(nullptr),
      stop_(0),
      slot_(kSlotClosed) {
  flickerHold_.Init();
  InitEffectSlots();
  // Last: the thread gets this object, which must be whole by then.
  StartWorker();
}

FrameProcessor::~FrameProcessor() {
  StopWorker();
  DeleteEffects();
  FreeWorkBuffers();
  FreeWorkerBuffers();
  FreePrivacyImage();
  faceExposure_.Release();
}

NTSTATUS FrameProcessor::EnsureWorkBuffers(ULONG size) {
  if (size == 0) return STATUS_INVALID_PARAMETER;
  if (work1_ && work2_ && workSize_ >= size) return STATUS_SUCCESS;
  FreeWorkBuffers();
  workSize_ = size;
  work1_ = AllocateBuffer(size, kTagWork);
  if (!work1_) return STATUS_INSUFFICIENT_RESOURCES;
  work2_ = AllocateBuffer(size, kTagWork);
  if (!work2_) {
    FreeWorkBuffers();
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

VOID FrameProcessor::FreeWorkBuffers() {
  FreeBuffer(work1_, kTagWork);
  FreeBuffer(work2_, kTagWork);
  workSize_ = 0;
}

VOID FrameProcessor::FreePrivacyImage() {
  PoolDelete(privacy_, kTagPrivacy);
}

bool FrameProcessor::DrawPrivacy(UCHAR* frame, LONG width, LONG height, ULONG frameBytes) {
  if (!privacy_) {
    privacy_ = PoolNew<PrivacyImage>(kTagPrivacy);
    if (!privacy_) return false;
  }
  if (!NT_SUCCESS(EnsureWorkBuffers(frameBytes))) return false;
  return NT_SUCCESS(privacy_->Draw(frame, width, height, kYuy2BytesPerPixel));
}

VOID FrameProcessor::ApplyZoom(UCHAR* frame, LONG width, LONG height, const FrameSettings& settings) {
  const ULONG scale = static_cast<ULONG>(settings.zoomScale);
  const ULONG cropWidth = (static_cast<ULONG>(width) * kZoomScaleNone) / scale;
  const ULONG cropHeight = (static_cast<ULONG>(height) * kZoomScaleNone) / scale;
  const LONG marginX = static_cast<LONG>((static_cast<ULONG>(width) - cropWidth) >> 1);
  const LONG marginY = static_cast<LONG>((static_cast<ULONG>(height) - cropHeight) >> 1);
  // Pans outside their range would only overflow the product; the clamps below bound the window.
  const LONG panX = Clamp(settings.panLeftRightSize, -kPanSteps, kPanSteps);
  const LONG panY = Clamp(settings.panUpDownSize, -kPanSteps, kPanSteps);
  const LONG cw = Even(static_cast<LONG>(cropWidth));
  const LONG ch = Even(static_cast<LONG>(cropHeight));
  LONG x0 = Even(marginX + (panX * marginX) / kPanSteps);
  LONG y0 = Even(marginY + (panY * marginY) / kPanSteps);
  x0 = Clamp(x0, 0, width - cw);
  y0 = Clamp(y0, 0, height - ch);
  if (!NT_SUCCESS(CropImage(frame, work2_, width, height, cw, ch, x0, y0, kPixelYuy2))) return;
  ResizeImage(work2_, frame, cw, ch, width, height, kPixelYuy2);
}

PictureUse FrameProcessor::ReadPictureUse(FrameDevice* device) const {
  FrameSettings settings;
  device->ReadFrameSettings(&settings);
  return PictureUseOf(settings, device->Identity().displayOrientation);
}

// The flicker term is the power-line value alone, not the whole feed rule (outdoor mode, automatic
// exposure, the hold after RUN): a frame decoded while the hold lasts is simply not fed.
PictureUse FrameProcessor::PictureUseOf(const FrameSettings& settings, LONG displayOrientation) {
  const bool changed = settings.hFlip || settings.vFlip || displayOrientation != 0 ||
                       settings.zoomScale > kZoomScaleNone || settings.privacy != 0;
  return PictureUse{changed || settings.powerLineFrequency == 0, !changed};
}

UCHAR* FrameProcessor::ProcessFrame(FrameDevice* device, UCHAR* frame, LONG width, LONG height) {
  flickerFed_ = false;
  if (device->Identity().listedCamera) return frame;
  if (!frame || width <= 0 || height <= 0) return nullptr;
  const ULONGLONG bytes = static_cast<ULONGLONG>(width) * static_cast<ULONGLONG>(height) * kYuy2BytesPerPixel;
  if (bytes > 0xFFFFFFFFull) return nullptr;
  const ULONG frameBytes = static_cast<ULONG>(bytes);

  FrameSettings settings;
  device->ReadFrameSettings(&settings);

  if (settings.privacy != 0) return DrawPrivacy(frame, width, height, frameBytes) ? frame : nullptr;
  // The next privacy period draws from scratch.
  FreePrivacyImage();

  if (!NT_SUCCESS(EnsureWorkBuffers(frameBytes))) return nullptr;

  // The detector reads light bands across the sensor's rows: it sees the frame before zoom,
  // rotation or flips move them.
  if (flickerHold_.AllowsFeed(settings.powerLineFrequency, settings.outDoor, settings.autoExposureMode)) {
    // Only a verdict writes the value; the device stores it as its setting.
    LONG detected = kNoVerdict;
    flicker_.ProcessFrame(device->Services(), frame, kYuy2BytesPerPixel, width, height, static_cast<UCHAR>(device->Identity().chipFamily),
                          &detected);
    if (detected != kNoVerdict) device->StoreFlickerDetectValue(detected);
    flickerFed_ = true;
  }

  if (settings.zoomScale > kZoomScaleNone) ApplyZoom(frame, width, height, settings);

  UCHAR* current = frame;
  const LONG rotation = device->Identity().displayOrientation;
  if (rotation > 0) {
    RotateYuy2Frame(work2_, frame, work1_, rotation, static_cast<ULONG>(width), static_cast<ULONG>(height));
    current = work2_;
  }

  if (settings.hFlip || settings.vFlip)
    MirrorFlipYuy2Frame(current, work1_, settings.hFlip, settings.vFlip, static_cast<ULONG>(width),
                        static_cast<ULONG>(height));
  return current;
}

}  // namespace kvz
