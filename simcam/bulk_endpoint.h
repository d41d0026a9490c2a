// A bulk IN endpoint as the host sees it: the camera's payloads go out in packets of
// wMaxPacketSize, and a read ends at a short packet, a zero-length packet or a full buffer. A read
// smaller than a payload takes its first packets and the next read the headerless rest; a payload
// that fills whole packets runs into the next one unless the camera ends it with a zero-length
// packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace kvz::simcam {

class BulkEndpoint {
 public:
  struct Read {
    bool complete = false;  // false: the read waits for more of the camera's data
    bool overrun = false;   // a packet did not fit the rest of the buffer
    uint32_t length = 0;
  };

  void SetPacketSize(uint32_t bytes) { packet_ = bytes ? bytes : 512; }
  uint32_t PacketSize() const { return packet_; }
  void Push(std::vector<uint8_t> payload, bool zeroLengthPacket);
  bool Empty() const { return queue_.empty(); }
  void Clear() { queue_.clear(); }
  // Fills a read of capacity bytes from what is queued. A read that would need data not yet sent
  // takes nothing and reports itself incomplete.
  Read Take(uint8_t* buffer, uint32_t capacity);

 private:
  struct Segment {
    std::vector<uint8_t> bytes;
    size_t offset = 0;
    bool zlp = false;
  };
  std::deque<Segment> queue_;
  uint32_t packet_ = 512;
};

}  // namespace kvz::simcam
