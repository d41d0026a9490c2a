// Video and still probe/commit negotiation: the camera's answer to a proposed block.
#pragma once

#include <cstdint>

#include "simcam/descriptor_layout.h"
#include "uvc.h"

namespace kvz::simcam {

// The frame and format a committed block selects, with the sizes the camera announced.
struct StreamSelection {
  bool valid = false;
  FormatKind kind = FormatKind::kYuy2;
  uint8_t bitsPerPixel = 16;
  bool variableSize = false;
  uint8_t formatIndex = 0;
  uint8_t frameIndex = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t interval = 0;
  uint32_t maxVideoFrameSize = 0;
  uint32_t maxPayloadTransferSize = 0;
};

// Bytes the camera can put in one payload: an isochronous camera the smallest alternate setting
// that carries frameBytes every interval (else the largest), a bulk camera one frame and its header
// up to bulkPayloadLimit.
uint32_t NegotiatePayloadSize(const DescriptorLayout& layout, const StreamingLayout& stream, uint32_t frameBytes,
                              uint32_t interval, uint32_t bulkPayloadLimit);

// Fits the proposal to what the streaming interface has: unknown format or frame indices become the
// first format and its first frame, the interval the listed one nearest to the proposal.
UVC_VIDEO_PROBE_COMMIT NegotiateVideo(const DescriptorLayout& layout, const StreamingLayout& stream,
                                      const UVC_VIDEO_PROBE_COMMIT& proposal, uint32_t bulkPayloadLimit);
StreamSelection SelectionOf(const StreamingLayout& stream, const UVC_VIDEO_PROBE_COMMIT& block);

// Still sizes are numbered from 1 in the still image frame descriptor of the format.
UVC_STILL_PROBE_COMMIT NegotiateStill(const DescriptorLayout& layout, const StreamingLayout& stream,
                                      const UVC_STILL_PROBE_COMMIT& proposal, uint32_t videoPayload);
StreamSelection StillSelectionOf(const StreamingLayout& stream, const UVC_STILL_PROBE_COMMIT& block);

// The default and bound blocks the camera answers GET_DEF, GET_MIN and GET_MAX with.
UVC_VIDEO_PROBE_COMMIT DefaultVideoProbe(const DescriptorLayout& layout, const StreamingLayout& stream,
                                         uint32_t bulkPayloadLimit);

// The largest frame the camera makes; a descriptor that announces more (or an empty frame) is
// refused at probe time.
constexpr uint64_t kLargestFrameBytes = 64u << 20;
bool FrameCanStream(const FormatLayout& format, uint16_t width, uint16_t height);

// The largest frame of a format: uncompressed by its bits per pixel, MJPEG by the frame's buffer size.
uint32_t FrameBytes(const FormatLayout& format, const FrameLayout& frame);
uint32_t FrameBytes(const FormatLayout& format, uint16_t width, uint16_t height);

}  // namespace kvz::simcam
