// The face-detection worker: one system thread per frame processor that takes every offered
// frame it finds time for, searches it for a face and runs the face-region exposure on it.
#include "postproc/processor/frame_processor.h"

#include "jpeg/mjpeg_decoder.h"
#include "primitives/driver_memory.h"
#include "primitives/pixel_layout.h"
#include "primitives/pool_object.h"

namespace kvz {

namespace {

constexpr LONG kYuy2BytesPerPixel = 2;
constexpr LONG kAutoExposalOn = 1;
// No camera sends larger frames; the face detector refuses them too.
constexpr LONG kMaxFaceFrameSide = 8192;

LONG ReadLong(volatile LONG* value) { return InterlockedOr(value, 0); }

// width x height x 2, or 0 for a size face detection does not take.
ULONG Yuy2Bytes(LONG width, LONG height) {
  if (width < 2 || height < 1 || width > kMaxFaceFrameSide || height > kMaxFaceFrameSide) return 0;
  return static_cast<ULONG>(width) * static_cast<ULONG>(height) * kYuy2BytesPerPixel;
}

bool FaceWorkWanted(const FaceWorkSwitches& s) {
  return (s.faceDetectEnable != 0 && (s.workFlags & kFaceWorkDetect) != 0) ||
         (s.autoExposal == kAutoExposalOn && (s.workFlags & kFaceWorkExposure) != 0);
}

}  // namespace

VOID FrameProcessor::StartWorker() {
  KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
  HANDLE handle = nullptr;
  // Without a thread the slot stays closed: no frame of this device reaches face detection.
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, FaceDetectThread,
                                       this)))
    return;
  PVOID thread = nullptr;
  const NTSTATUS status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread,
                                                    nullptr);
  ZwClose(handle);
  if (!NT_SUCCESS(status)) {
    StopWorker();
    return;
  }
  workerThread_ = thread;
  InterlockedExchange(&slot_, kSlotFree);
}

VOID FrameProcessor::StopWorker() {
  InterlockedExchange(&stop_, 1);
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
  if (workerThread_) {
    KeWaitForSingleObject(workerThread_, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(workerThread_);
    workerThread_ = nullptr;
  }
  InterlockedExchange(&slot_, kSlotClosed);
}

bool FrameProcessor::StopRequested() { return ReadLong(&stop_) != 0; }

VOID NTAPI FrameProcessor::FaceDetectThread(PVOID context) {
  if (context) static_cast<FrameProcessor*>(context)->WorkerLoop();
  PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID FrameProcessor::WorkerLoop() {
  for (;;) {
    // The predicate is tested before every wait: an offer or a stop that came while the worker
    // was searching left the event set, so neither is lost.
    while (!StopRequested() &&
           InterlockedCompareExchange(&slot_, kSlotWorking, kSlotPending) != kSlotPending)
      KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, nullptr);
    if (StopRequested()) return;
    DetectFaces();
    InterlockedExchange(&slot_, kSlotFree);
  }
}

// Flicker detection measures the picture's banding while exposure stays put, so face work
// waits for it; but only while the detector is really being fed, and only on a chip that
// can finish (the others never leave preparation).
bool FrameProcessor::FlickerMeasuring() const {
  if (!flickerFed_) return false;
  const UCHAR chip = static_cast<UCHAR>(device_->Identity().chipFamily);
  if (chip != kChipB0 && chip != kChipC0) return false;
  const ULONG state = flicker_.State();
  return state != FlickerDetector::kStateInitial && state != FlickerDetector::kStateDone;
}

NTSTATUS FrameProcessor::SubmitFrame(FrameDevice* device, const UCHAR* frame, ULONG length, LONG width,
                                     LONG height, LONG layout, LONG frameNumber) {
  if (!device_) {
    device_ = device;
    faceServices_ = device->FaceServices();
  }
  if (!faceServices_ || device_->Identity().listedCamera || FlickerMeasuring()) return STATUS_SUCCESS;
  FaceWorkSwitches switches;
  faceServices_->ReadFaceWorkSwitches(&switches);
  if (!FaceWorkWanted(switches) || !frame || length == 0) return STATUS_SUCCESS;
  // A YUY2 frame is exactly its size: the worker reads width x height x 2 bytes of it.
  const ULONG bytes = Yuy2Bytes(width, height);
  if (bytes == 0 || (layout == kPixelYuy2 && length != bytes) || (layout != kPixelYuy2 && layout != kPixelMjpeg))
    return STATUS_SUCCESS;

  if (InterlockedCompareExchange(&slot_, kSlotFilling, kSlotFree) != kSlotFree) return STATUS_SUCCESS;
  if (length > submittedCapacity_) {
    if (submitted_) ExFreePoolWithTag(submitted_, kTagSubmitted);
    submitted_ = nullptr;
    submittedCapacity_ = length;
  }
  if (!submitted_) submitted_ = static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, submittedCapacity_, kTagSubmitted));
  if (!submitted_) {
    InterlockedExchange(&slot_, kSlotFree);
    return STATUS_SUCCESS;
  }
  RtlCopyMemory(submitted_, frame, length);
  submittedLength_ = length;
  submittedLayout_ = layout;
  submittedWidth_ = width;
  submittedHeight_ = height;
  submittedNumber_ = frameNumber;
  InterlockedExchange(&slot_, kSlotPending);
  KeSetEvent(&wake_, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

const UCHAR* FrameProcessor::DecodeSubmitted() {
  const ULONG bytes = Yuy2Bytes(submittedWidth_, submittedHeight_);
  if (!decoder_) {
    decoder_ = PoolNew<jpeg::MjpegDecoder>(jpeg::kDecoderPoolTag);
    if (!decoder_) return nullptr;
  }
  if (decodedSize_ < bytes) {
    if (decoded_) ExFreePoolWithTag(decoded_, kTagDecoded);
    decodedSize_ = 0;
    decoded_ = static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, bytes, kTagDecoded));
    if (!decoded_) return nullptr;
    decodedSize_ = bytes;
  }
  // As the capture pin decodes: compact YUY2 rows of exactly the offered size, whatever the
  // frame's sampling; a header of another size is refused.
  int32_t width = submittedWidth_, height = submittedHeight_;
  if (decoder_->Decode(submitted_, static_cast<int32_t>(submittedLength_), decoded_, static_cast<int32_t>(bytes),
                       &width, &height, kPixelYuy2) != 0 ||
      width != submittedWidth_ || height != submittedHeight_)
    return nullptr;
  return decoded_;
}

VOID FrameProcessor::DetectFaces() {
  const UCHAR* frame = submitted_;
  if (submittedLayout_ == kPixelMjpeg) frame = DecodeSubmitted();
  if (!frame) return;
  const LONG width = submittedWidth_, height = submittedHeight_;
  // Read after the wait: the offer may have been taken for the exposure alone, or detection
  // switched off since.
  FaceWorkSwitches switches;
  faceServices_->ReadFaceWorkSwitches(&switches);
  if (switches.faceDetectEnable != 0 && (switches.workFlags & kFaceWorkDetect) != 0) {
    faceDetect_.doFaceDetection(faceServices_, frame, nullptr, width, height, 0);
    if (StopRequested()) return;
    faceDetect_.doFaceDetection(faceServices_, frame, nullptr, width, height, 1);
    if (StopRequested()) return;
    // A window just handed over turns the exposure on.
    faceServices_->ReadFaceWorkSwitches(&switches);
  }
  if ((switches.workFlags & kFaceWorkExposure) != 0) faceExposure_.UpdateFaceExposure(frame, width, height);
}

VOID FrameProcessor::FreeWorkerBuffers() {
  if (submitted_) ExFreePoolWithTag(submitted_, kTagSubmitted);
  submitted_ = nullptr;
  submittedCapacity_ = submittedLength_ = 0;
  submittedWidth_ = submittedHeight_ = submittedNumber_ = 0;
  submittedLayout_ = kPixelNone;
  if (decoded_) ExFreePoolWithTag(decoded_, kTagDecoded);
  decoded_ = nullptr;
  decodedSize_ = 0;
  PoolDelete(decoder_, jpeg::kDecoderPoolTag);
}

}  // namespace kvz
