#include "simcam/bulk_endpoint.h"

#include <algorithm>
#include <cstring>

namespace kvz::simcam {

void BulkEndpoint::Push(std::vector<uint8_t> payload, bool zeroLengthPacket) {
  // A payload of whole packets ends only with a zero-length packet; a short one ends by itself.
  const bool zlp = zeroLengthPacket && payload.size() % packet_ == 0;
  queue_.push_back(Segment{std::move(payload), 0, zlp});
}

BulkEndpoint::Read BulkEndpoint::Take(uint8_t* buffer, uint32_t capacity) {
  Read r;
  // First pass: where does the read end, and is everything it needs already sent?
  uint64_t filled = 0;
  size_t segments = 0;
  size_t lastTaken = 0;
  bool ended = false;
  for (const Segment& s : queue_) {
    const size_t left = s.bytes.size() - s.offset;
    const uint64_t room = capacity - filled;
    if (left > room) {
      const uint64_t whole = room / packet_ * packet_;
      r.overrun = whole != room;
      lastTaken = r.overrun ? static_cast<size_t>(std::min<uint64_t>(left, whole + packet_)) : static_cast<size_t>(whole);
      filled += r.overrun ? room : whole;
      ++segments;
      ended = true;
      break;
    }
    filled += left;
    lastTaken = left;
    ++segments;
    if (left % packet_ != 0 || s.zlp || left == 0 || filled == capacity) {
      ended = true;
      break;
    }
  }
  if (!ended) return r;

  // Second pass: move the bytes.
  uint32_t at = 0;
  for (size_t i = 0; i < segments; ++i) {
    Segment& s = queue_.front();
    const size_t take = i + 1 == segments ? lastTaken : s.bytes.size() - s.offset;
    const size_t copy = std::min<size_t>(take, capacity - at);
    if (copy) std::memcpy(buffer + at, s.bytes.data() + s.offset, copy);
    at += static_cast<uint32_t>(copy);
    s.offset += take;
    // The zero-length packet after a payload that exactly filled the buffer is left for the next read.
    const bool zlpLeft = s.zlp && s.offset == s.bytes.size() && i + 1 == segments && take != 0 && at == capacity &&
                         !r.overrun && s.bytes.size() % packet_ == 0;
    if (s.offset >= s.bytes.size() && !zlpLeft) {
      queue_.pop_front();
    } else if (zlpLeft) {
      s.bytes.clear();
      s.offset = 0;
    }
  }
  r.complete = true;
  r.length = at;
  return r;
}

}  // namespace kvz::simcam
