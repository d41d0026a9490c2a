#include "postproc/frame_processor.h"

namespace kvz {

// The face-detection worker thread is not built yet: no thread exists, so the hand-off's slot
// never opens and every offer is dropped, exactly as an offer to a busy worker is.
VOID FrameProcessor::StartWorker() {}

VOID FrameProcessor::StopWorker() {}

NTSTATUS FrameProcessor::SubmitFrame(FrameDevice* device, const UCHAR*, ULONG, LONG, LONG, LONG, LONG) {
  if (!device_) device_ = device;
  return STATUS_SUCCESS;
}

}  // namespace kvz
