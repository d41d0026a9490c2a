// MJPEG frames of the test picture, encoded with libjpeg-turbo (baseline, YCbCr 4:2:2), optionally
// without DHT segments as many cameras send them. Encoded pictures are cached per size and phase.
#pragma once

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

namespace kvz::simcam {

std::vector<uint8_t> EncodeYuy2AsJpeg(const std::vector<uint8_t>& yuy2, uint16_t width, uint16_t height, int quality,
                                      bool withHuffmanTables);

class MjpegFrameCache {
 public:
  // The test picture of frame frameNumber; pictures repeat every kPhases frames.
  const std::vector<uint8_t>& Frame(uint16_t width, uint16_t height, uint64_t frameNumber, bool withHuffmanTables);
  static constexpr uint64_t kPhases = 4;

 private:
  std::map<std::tuple<uint16_t, uint16_t, uint64_t, bool>, std::vector<uint8_t>> cache_;
};

}  // namespace kvz::simcam
