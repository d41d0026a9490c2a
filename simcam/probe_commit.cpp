#include "simcam/probe_commit.h"

#include <algorithm>
#include <cstdlib>

namespace kvz::simcam {
namespace {

const FormatLayout* FirstSupported(const StreamingLayout& stream) {
  for (const FormatLayout& f : stream.formats)
    if (f.supported && !f.frames.empty()) return &f;
  return nullptr;
}

uint32_t NearestInterval(const FrameLayout& frame, uint32_t wanted) {
  if (frame.intervals.empty()) return wanted ? wanted : 333333;
  if (frame.continuous && frame.intervals.size() >= 3) {
    const uint32_t lo = frame.intervals[0], hi = frame.intervals[1], step = frame.intervals[2] ? frame.intervals[2] : 1;
    uint32_t v = std::clamp(wanted, lo, hi);
    return lo + (v - lo + step / 2) / step * step;
  }
  if (wanted == 0) return frame.defaultInterval ? frame.defaultInterval : frame.intervals.front();
  uint32_t best = frame.intervals.front();
  for (uint32_t i : frame.intervals)
    if (std::llabs(static_cast<int64_t>(i) - wanted) < std::llabs(static_cast<int64_t>(best) - wanted)) best = i;
  return best;
}

}  // namespace

uint32_t FrameBytes(const FormatLayout& format, uint16_t width, uint16_t height) {
  const uint64_t bits = static_cast<uint64_t>(width) * height * (format.bitsPerPixel ? format.bitsPerPixel : 16);
  return static_cast<uint32_t>(std::min<uint64_t>((bits + 7) / 8, 0xFFFFFFFFu));
}

bool FrameCanStream(const FormatLayout& format, uint16_t width, uint16_t height) {
  const uint64_t raw = static_cast<uint64_t>(width) * height * std::max<uint8_t>(format.bitsPerPixel, 16) / 8;
  return width != 0 && height != 0 && raw <= kLargestFrameBytes;
}

uint32_t FrameBytes(const FormatLayout& format, const FrameLayout& frame) {
  if (format.kind == FormatKind::kYuy2) return static_cast<uint32_t>(frame.width) * frame.height * 2;
  if (format.kind == FormatKind::kMjpeg && frame.maxFrameBuffer) return frame.maxFrameBuffer;
  return FrameBytes(format, frame.width, frame.height);
}

uint32_t NegotiatePayloadSize(const DescriptorLayout& layout, const StreamingLayout& stream, uint32_t frameBytes,
                              uint32_t interval, uint32_t bulkPayloadLimit) {
  if (layout.IsBulk(stream.interfaceNumber)) return std::min<uint32_t>(frameBytes + 12, bulkPayloadLimit);
  const std::vector<uint32_t> bandwidths = layout.StreamingBandwidths(stream.interfaceNumber);
  const uint64_t perSecond = layout.speed == usb::Speed::Full ? 1000 : 8000;
  const uint64_t framesPer100s = interval ? 1000000000ull / interval : 3000;  // frames per 100 s
  const uint64_t bytesPerInterval = (static_cast<uint64_t>(frameBytes) * framesPer100s + perSecond * 100 - 1) / (perSecond * 100);
  const uint64_t needed = bytesPerInterval + 12;
  uint32_t largest = 0;
  for (size_t alt = 1; alt < bandwidths.size(); ++alt) largest = std::max(largest, bandwidths[alt]);
  uint32_t best = 0;
  for (size_t alt = 1; alt < bandwidths.size(); ++alt)
    if (bandwidths[alt] >= needed && (best == 0 || bandwidths[alt] < best)) best = bandwidths[alt];
  return best ? best : largest;
}

UVC_VIDEO_PROBE_COMMIT NegotiateVideo(const DescriptorLayout& layout, const StreamingLayout& stream,
                                      const UVC_VIDEO_PROBE_COMMIT& proposal, uint32_t bulkPayloadLimit) {
  UVC_VIDEO_PROBE_COMMIT out = proposal;
  const FormatLayout* format = stream.Format(proposal.bFormatIndex);
  if (!format || !format->supported || format->frames.empty()) format = FirstSupported(stream);
  if (!format) return out;
  const FrameLayout* frame = format->Frame(proposal.bFrameIndex);
  if (!frame) frame = &format->frames.front();
  out.bFormatIndex = format->index;
  out.bFrameIndex = frame->index;
  out.dwFrameInterval = NearestInterval(*frame, proposal.dwFrameInterval);
  out.dwMaxVideoFrameSize = FrameBytes(*format, *frame);
  out.dwMaxPayloadTransferSize =
      NegotiatePayloadSize(layout, stream, out.dwMaxVideoFrameSize, out.dwFrameInterval, bulkPayloadLimit);
  return out;
}

StreamSelection SelectionOf(const StreamingLayout& stream, const UVC_VIDEO_PROBE_COMMIT& block) {
  StreamSelection s;
  const FormatLayout* format = stream.Format(block.bFormatIndex);
  const FrameLayout* frame = format ? format->Frame(block.bFrameIndex) : nullptr;
  if (!frame || !format->supported) return s;
  s.valid = true;
  s.kind = format->kind;
  s.bitsPerPixel = format->bitsPerPixel;
  s.variableSize = format->variableSize;
  s.formatIndex = format->index;
  s.frameIndex = frame->index;
  s.width = frame->width;
  s.height = frame->height;
  s.interval = block.dwFrameInterval ? block.dwFrameInterval : 333333;
  s.maxVideoFrameSize = block.dwMaxVideoFrameSize;
  s.maxPayloadTransferSize = block.dwMaxPayloadTransferSize;
  return s;
}

UVC_STILL_PROBE_COMMIT NegotiateStill(const DescriptorLayout& layout, const StreamingLayout& stream,
                                      const UVC_STILL_PROBE_COMMIT& proposal, uint32_t videoPayload) {
  UVC_STILL_PROBE_COMMIT out = proposal;
  const FormatLayout* format = stream.Format(proposal.bFormatIndex);
  if (!format || format->stills.empty()) {
    format = nullptr;
    for (const FormatLayout& f : stream.formats)
      if (f.supported && !f.stills.empty()) {
        format = &f;
        break;
      }
  }
  if (!format) return out;
  const unsigned index = proposal.bFrameIndex >= 1 && proposal.bFrameIndex <= format->stills.size() ? proposal.bFrameIndex : 1;
  const StillSize& size = format->stills[index - 1];
  out.bFormatIndex = format->index;
  out.bFrameIndex = static_cast<uint8_t>(index);
  out.bCompressionIndex = 0;
  out.dwMaxVideoFrameSize = FrameBytes(*format, size.width, size.height);
  out.dwMaxPayloadTransferSize =
      videoPayload ? videoPayload : NegotiatePayloadSize(layout, stream, out.dwMaxVideoFrameSize, 10000000, 0x10000);
  return out;
}

StreamSelection StillSelectionOf(const StreamingLayout& stream, const UVC_STILL_PROBE_COMMIT& block) {
  StreamSelection s;
  const FormatLayout* format = stream.Format(block.bFormatIndex);
  if (!format || !format->supported || block.bFrameIndex < 1 || block.bFrameIndex > format->stills.size()) return s;
  const StillSize& size = format->stills[block.bFrameIndex - 1];
  s.valid = true;
  s.kind = format->kind;
  s.bitsPerPixel = format->bitsPerPixel;
  s.formatIndex = format->index;
  s.frameIndex = block.bFrameIndex;
  s.width = size.width;
  s.height = size.height;
  s.maxVideoFrameSize = block.dwMaxVideoFrameSize;
  s.maxPayloadTransferSize = block.dwMaxPayloadTransferSize;
  return s;
}

UVC_VIDEO_PROBE_COMMIT DefaultVideoProbe(const DescriptorLayout& layout, const StreamingLayout& stream,
                                         uint32_t bulkPayloadLimit) {
  UVC_VIDEO_PROBE_COMMIT p{};
  p.bmHint = 1;
  p.bFormatIndex = 1;
  p.bFrameIndex = 1;
  p.wCompQuality = 5000;
  if (const FormatLayout* f = FirstSupported(stream)) p.bFormatIndex = f->index;
  return NegotiateVideo(layout, stream, p, bulkPayloadLimit);
}

}  // namespace kvz::simcam
