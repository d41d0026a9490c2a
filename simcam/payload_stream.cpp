#include "simcam/payload_stream.h"

#include <algorithm>
#include <cstring>

#include "uvc.h"

namespace kvz::simcam {
namespace {

constexpr uint32_t kHeader = 12;

uint32_t ClockAt(uint64_t time, uint32_t clock) {
  return static_cast<uint32_t>(time / 10000000 * clock + time % 10000000 * clock / 10000000);
}

}  // namespace

void PayloadStream::Start(const StreamSelection& video, uint64_t now) {
  video_ = video;
  running_ = video.valid;
  nextDue_ = now;
  busyUntil_ = now;
  inFrame_ = false;
  data_.clear();
  offset_ = 0;
}

void PayloadStream::Stop() {
  running_ = false;
  inFrame_ = false;
  data_.clear();
}

bool PayloadStream::BeginFrameIfDue(uint64_t time, CameraFaults& faults) {
  if (inFrame_) return true;
  if (!running_ || time < nextDue_) return false;
  const uint64_t interval = video_.interval ? video_.interval : 333333;
  // A camera that fell behind by more than a frame starts afresh instead of sending a backlog.
  const uint64_t start = time - nextDue_ < interval ? nextDue_ : time;
  nextDue_ = start + interval;

  still_ = pendingStill_.valid;
  const StreamSelection selection = still_ ? pendingStill_ : video_;
  pendingStill_ = StreamSelection{};
  data_ = source_(selection, frameNumber_);
  auto f = faults.frames.find(frameNumber_);
  fault_ = f == faults.frames.end() ? FrameFault{} : f->second;
  if (f != faults.frames.end()) faults.frames.erase(f);
  if (fault_.sizeDelta > 0) data_.resize(data_.size() + fault_.sizeDelta, 0x80);
  if (fault_.sizeDelta < 0) data_.resize(data_.size() > static_cast<size_t>(-fault_.sizeDelta) ? data_.size() + fault_.sizeDelta : 0);
  pts_ = ClockAt(start, clock_);
  offset_ = 0;
  packetInFrame_ = 0;
  fid_ = !fid_;
  ++frameNumber_;
  inFrame_ = true;
  return true;
}

uint32_t PayloadStream::EmitPayload(uint64_t time, uint64_t busFrame, uint8_t* buffer, uint32_t room,
                                    uint32_t announced) {
  const uint32_t limit = std::min(room, announced);
  const uint32_t chunk = static_cast<uint32_t>(std::min<size_t>(data_.size() - offset_, limit > kHeader ? limit - kHeader : 0));
  const bool last = offset_ + chunk >= data_.size();
  uint8_t info = UVC_STREAM_EOH | UVC_STREAM_PTS | UVC_STREAM_SCR | (fid_ ? UVC_STREAM_FID : 0);
  if (still_) info |= UVC_STREAM_STI;
  if (last && !fault_.lostEndOfFrame) info |= UVC_STREAM_EOF;
  uint8_t length = kHeader;
  const bool faultHere = packetInFrame_ == (fault_.header == HeaderFault::kStillMidFrame ? 1u : 0u);
  if (faultHere) {
    switch (fault_.header) {
      case HeaderFault::kBadLength: length = 2; break;
      case HeaderFault::kNoEndOfHeader: info &= ~UVC_STREAM_EOH; break;
      case HeaderFault::kNoSourceClock: info &= ~UVC_STREAM_SCR; break;
      case HeaderFault::kNoPresentationTime: info &= ~UVC_STREAM_PTS; break;
      case HeaderFault::kError: info |= UVC_STREAM_ERR; break;
      case HeaderFault::kStillMidFrame: info |= UVC_STREAM_STI; break;
      case HeaderFault::kNone: break;
    }
  }
  UVC_PAYLOAD_HEADER h{};
  h.bHeaderLength = length;
  h.bmHeaderInfo = info;
  h.dwPresentationTime = pts_;
  h.dwSourceTimeClock = ClockAt(time, clock_);
  h.wSofCounter = static_cast<uint16_t>(busFrame & 0x7FF);
  std::memcpy(buffer, &h, kHeader);
  std::memcpy(buffer + kHeader, data_.data() + offset_, chunk);
  offset_ += chunk;
  ++packetInFrame_;
  if (last) {
    inFrame_ = false;
    ++framesSent_;
  }
  return kHeader + chunk;
}

uint32_t PayloadStream::NextIsochPacket(uint64_t time, uint64_t busFrame, uint8_t* buffer, uint32_t capacity,
                                        CameraFaults& faults) {
  if (!faults.injectedPackets.empty()) {
    const uint32_t n = std::min<uint32_t>(faults.injectedPackets.front(), capacity);
    faults.injectedPackets.pop_front();
    const uint8_t partial[kHeader] = {kHeader, UVC_STREAM_EOH | UVC_STREAM_PTS | UVC_STREAM_SCR, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(buffer, partial, std::min<uint32_t>(n, kHeader));
    return n;
  }
  if (capacity <= kHeader || !BeginFrameIfDue(time, faults)) return 0;
  return EmitPayload(time, busFrame, buffer, capacity, std::max(video_.maxPayloadTransferSize, kHeader + 1));
}

bool PayloadStream::NextBulkPayload(uint64_t now, uint64_t busFrame, uint8_t* buffer, uint32_t capacity,
                                    CameraFaults& faults, uint32_t* length, uint64_t* readyAt) {
  *length = 0;
  if (!running_) {
    *readyAt = 0;
    return false;
  }
  if (now < busyUntil_) {
    *readyAt = busyUntil_;
    return false;
  }
  if (!BeginFrameIfDue(now, faults)) {
    *readyAt = std::max(nextDue_, busyUntil_);
    return false;
  }
  const uint32_t announced = std::max(video_.maxPayloadTransferSize, kHeader + 1) + fault_.payloadExcess;
  std::vector<uint8_t> payload(announced);
  const uint32_t n = EmitPayload(now, busFrame, payload.data(), announced, announced);
  std::memcpy(buffer, payload.data(), std::min(n, capacity));
  *length = n;  // may exceed capacity: the bus reports the babble
  busyUntil_ = now + n / 4 + 1;  // about 40 MB/s of high-speed bulk
  return true;
}

}  // namespace kvz::simcam
