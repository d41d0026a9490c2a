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

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

uint64_t BulkBytesPerSecond(usb::Speed speed) {
  switch (speed) {
    case usb::Speed::Full: return 19 * 64 * 1000;
    case usb::Speed::High: return 40000000;
    case usb::Speed::Super: return 400000000;
  }
  return 40000000;
}

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

uint32_t PayloadStream::Random() {
  random_ = random_ * 1103515245u + 12345u;
  return random_ >> 8;
}

uint64_t PayloadStream::NextInterval(const PayloadAttacks& attacks) {
  const uint64_t interval = video_.interval ? video_.interval : 333333;
  if (attacks.burstFrames) {
    // Frames leave in bursts: back to back within a burst, the saved time after its last frame.
    const uint64_t position = frameNumber_ % attacks.burstFrames;
    return position + 1 < attacks.burstFrames ? 1 : interval * attacks.burstFrames;
  }
  if (attacks.jitterPercent) {
    const uint64_t span = interval * std::min<uint32_t>(attacks.jitterPercent, 100) / 100;
    const uint64_t offset = span ? Random() % (2 * span + 1) : span;
    return std::max<uint64_t>(interval + offset - span, 1);
  }
  return interval;
}

bool PayloadStream::BeginFrameIfDue(uint64_t time, CameraFaults& faults) {
  if (inFrame_) return true;
  if (!running_ || time < nextDue_) return false;
  const uint64_t interval = video_.interval ? video_.interval : 333333;
  if (random_ == 1 && faults.attacks.seed != 1) random_ = faults.attacks.seed;
  // A camera that fell behind by more than a frame starts afresh instead of sending a backlog.
  const uint64_t start = time - nextDue_ < interval ? nextDue_ : time;
  nextDue_ = start + NextInterval(faults.attacks);

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
  const FidMode fid = faults.attacks.fid;
  if (fid == FidMode::kToggle || fid == FidMode::kToggleInsideFrame) fid_ = !fid_;
  ++frameNumber_;
  inFrame_ = true;
  return true;
}

uint32_t PayloadStream::WriteHeader(uint8_t* buffer, uint32_t room, uint8_t info, uint64_t time, uint64_t busFrame,
                                    const PayloadAttacks& attacks) {
  uint32_t length = attacks.headerLength < 0 ? kHeader : static_cast<uint32_t>(attacks.headerLength & 0xFF);
  if (length == 2) info &= ~(UVC_STREAM_PTS | UVC_STREAM_SCR);
  if (length == 6) info &= ~UVC_STREAM_SCR;
  uint8_t h[256] = {};
  h[0] = static_cast<uint8_t>(length);
  h[1] = info;
  Put32(h + 2, attacks.garbageTimestamps ? Random() * 2654435761u : pts_);
  const uint32_t scr = attacks.garbageTimestamps ? Random() * 40503u : ClockAt(time, clock_);
  const uint16_t sof = static_cast<uint16_t>(attacks.garbageTimestamps ? Random() : busFrame & 0x7FF);
  if (length >= 12) {
    Put32(h + 6, scr);
    h[10] = static_cast<uint8_t>(sof);
    h[11] = static_cast<uint8_t>(sof >> 8);
  }
  // Lengths 0 and 1 still send the info byte; the data follows at byte 2.
  const uint32_t written = std::max<uint32_t>(length, 2);
  const uint32_t n = std::min(written, room);
  if (n) std::memcpy(buffer, h, n);
  return n;
}

uint32_t PayloadStream::EmitPayload(uint64_t time, uint64_t busFrame, uint8_t* buffer, uint32_t room,
                                    uint32_t announced, const PayloadAttacks& attacks) {
  const uint32_t limit = std::min(room, announced);
  const bool badLength = fault_.header == HeaderFault::kBadLength;
  const uint32_t headerBytes =
      attacks.headerLength < 0 || badLength ? kHeader : std::max<uint32_t>(attacks.headerLength & 0xFF, 2);
  const uint32_t chunk =
      static_cast<uint32_t>(std::min<size_t>(data_.size() - offset_, limit > headerBytes ? limit - headerBytes : 0));
  // A header longer than the packet leaves no room for data: the frame never ends.
  const bool last = offset_ + chunk >= data_.size() && (chunk > 0 || limit >= headerBytes);
  uint8_t info = UVC_STREAM_EOH | UVC_STREAM_PTS | UVC_STREAM_SCR;
  if (attacks.fid == FidMode::kToggleInsideFrame && packetInFrame_ > 0) fid_ = !fid_;
  if (fid_) info |= UVC_STREAM_FID;
  if (still_) info |= UVC_STREAM_STI;
  if (last && !fault_.lostEndOfFrame && attacks.fid != FidMode::kStuckLostEof) info |= UVC_STREAM_EOF;
  const bool faultHere = packetInFrame_ == (fault_.header == HeaderFault::kStillMidFrame ? 1u : 0u);
  PayloadAttacks form = attacks;
  if (faultHere) {
    switch (fault_.header) {
      case HeaderFault::kBadLength: form.headerLength = -1; break;
      case HeaderFault::kNoEndOfHeader: info &= ~UVC_STREAM_EOH; break;
      case HeaderFault::kNoSourceClock: info &= ~UVC_STREAM_SCR; break;
      case HeaderFault::kNoPresentationTime: info &= ~UVC_STREAM_PTS; break;
      case HeaderFault::kError: info |= UVC_STREAM_ERR; break;
      case HeaderFault::kStillMidFrame: info |= UVC_STREAM_STI; break;
      case HeaderFault::kNone: break;
    }
  }
  const uint32_t n = WriteHeader(buffer, room, info, time, busFrame, form);
  // A header that says 2 bytes but keeps all twelve in front of the data.
  if (faultHere && fault_.header == HeaderFault::kBadLength && n) buffer[0] = 2;
  const uint32_t copy = std::min<uint32_t>(chunk, room > n ? room - n : 0);
  if (copy) std::memcpy(buffer + n, data_.data() + offset_, copy);
  offset_ += copy;
  lost_ = static_cast<int64_t>(packetInFrame_) == fault_.lostPayload || (last && fault_.lostLastPayload);
  ++packetInFrame_;
  if (last) {
    inFrame_ = false;
    ++framesSent_;
  }
  return n + copy;
}

uint32_t PayloadStream::IdlePayload(uint64_t time, uint64_t busFrame, uint8_t* buffer, uint32_t room,
                                    const PayloadAttacks& attacks) {
  if (!attacks.headerOnlyIdle || !running_) return 0;
  const uint8_t info = UVC_STREAM_EOH | UVC_STREAM_PTS | UVC_STREAM_SCR | (fid_ ? UVC_STREAM_FID : 0);
  return WriteHeader(buffer, room, info, time, busFrame, attacks);
}

uint32_t PayloadStream::NextIsochPacket(uint64_t time, uint64_t busFrame, uint8_t* buffer, uint32_t capacity,
                                        CameraFaults& faults) {
  if (!faults.injectedPackets.empty()) {
    const uint32_t n = std::min<uint32_t>(faults.injectedPackets.front(), capacity);
    faults.injectedPackets.pop_front();
    const uint8_t partial[kHeader] = {kHeader, UVC_STREAM_EOH | UVC_STREAM_PTS | UVC_STREAM_SCR, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (n) std::memcpy(buffer, partial, std::min<uint32_t>(n, kHeader));
    return n;
  }
  if (capacity <= kHeader || !BeginFrameIfDue(time, faults)) return IdlePayload(time, busFrame, buffer, capacity, faults.attacks);
  const uint32_t announced =
      faults.attacks.ignoreNegotiatedPayload ? capacity : std::max(video_.maxPayloadTransferSize, kHeader + 1);
  return EmitPayload(time, busFrame, buffer, capacity, announced, faults.attacks);
}

bool PayloadStream::NextBulkPayload(uint64_t now, uint64_t busFrame, CameraFaults& faults,
                                    std::vector<uint8_t>* payload, uint64_t* readyAt) {
  payload->clear();
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
  payload->resize(announced);
  payload->resize(EmitPayload(now, busFrame, payload->data(), announced, announced, faults.attacks));
  busyUntil_ = now + static_cast<uint64_t>(payload->size()) * 10000000 / bulkBytesPerSecond_ + 1;
  return true;
}

std::vector<std::vector<uint8_t>> PayloadStream::StillPayloads(const StreamSelection& still, uint64_t now,
                                                                CameraFaults& faults) {
  std::vector<std::vector<uint8_t>> out;
  // The still goes out whole, between the video frames' payloads, with a state of its own.
  const bool savedIn = inFrame_, savedStill = still_;
  std::vector<uint8_t> savedData = std::move(data_);
  const size_t savedOffset = offset_;
  const uint32_t savedPacket = packetInFrame_;
  const FrameFault savedFault = fault_;
  data_ = source_(still, frameNumber_);
  offset_ = 0;
  packetInFrame_ = 0;
  still_ = true;
  fault_ = FrameFault{};
  const uint32_t announced = std::max(still.maxPayloadTransferSize, kHeader + 1);
  const uint64_t sentBefore = framesSent_;
  bool more = true;
  while (more) {
    const size_t before = offset_;
    std::vector<uint8_t> p(announced);
    p.resize(EmitPayload(now, now / 10000, p.data(), announced, announced, faults.attacks));
    out.push_back(std::move(p));
    more = offset_ < data_.size() && offset_ > before;
  }
  framesSent_ = sentBefore;
  inFrame_ = savedIn;
  still_ = savedStill;
  data_ = std::move(savedData);
  offset_ = savedOffset;
  packetInFrame_ = savedPacket;
  fault_ = savedFault;
  return out;
}

}  // namespace kvz::simcam
