// Rebuilds frames from UVC payloads, the way a host does: for tests of the camera and the bus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvz::simcam {

struct AssembledFrame {
  std::vector<uint8_t> data;
  bool still = false;
  bool error = false;       // a payload of the frame had ERR set or a bad header
  bool endOfFrame = false;  // ended by EOF (false: by a FID change)
  uint32_t presentationTime = 0;
  uint64_t time = 0;        // when its last payload arrived
};

class PayloadAssembler {
 public:
  // One payload (an isochronous packet or a bulk transfer); time is when it arrived.
  void Add(const uint8_t* payload, size_t length, uint64_t time);

  std::vector<AssembledFrame>& Frames() { return frames_; }
  uint32_t BadHeaders() const { return badHeaders_; }
  uint32_t EmptyPayloads() const { return empty_; }
  uint32_t HeaderOnlyPayloads() const { return headerOnly_; }

 private:
  void Finish(bool byEof, uint64_t time);

  std::vector<AssembledFrame> frames_;
  AssembledFrame current_;
  bool inFrame_ = false;
  bool fid_ = false;
  uint32_t badHeaders_ = 0;
  uint32_t empty_ = 0;
  uint32_t headerOnly_ = 0;
};

}  // namespace kvz::simcam
