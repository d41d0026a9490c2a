// Hand-built streams for the cases libjpeg-turbo will not write: malformed segments, lossless
// frames (coded with our prediction primitives and a fixed Huffman table), and frames made of
// empty blocks under the standard MJPEG tables.
#pragma once
#include <cstdint>
#include <vector>

namespace kvz::jpegtest {

class StreamBuilder {
 public:
  StreamBuilder& Marker(uint8_t code);
  // A segment: marker, length (body + 2, or forcedLength when not negative), body.
  StreamBuilder& Segment(uint8_t code, const std::vector<uint8_t>& body, int forcedLength = -1);
  StreamBuilder& Bytes(const std::vector<uint8_t>& bytes);
  // Entropy-coded bits, stuffed; Flush pads with 1-bits.
  StreamBuilder& Bits(uint32_t value, int count);
  StreamBuilder& Flush();
  const std::vector<uint8_t>& Data() const { return data_; }

 private:
  std::vector<uint8_t> data_;
  uint32_t pending_ = 0;
  int pendingCount_ = 0;
};

// DQT body of one 8-bit table of all ones in slot 0.
std::vector<uint8_t> FlatQuantTable(uint8_t slot = 0);

struct FrameComponent {
  uint8_t id;
  uint8_t factors;  // H << 4 | V
  uint8_t tq;
};
std::vector<uint8_t> FrameBody(int width, int height, const std::vector<FrameComponent>& components,
                               int precision = 8);

// A baseline frame of the given components, every block empty, no DHT (standard tables).
std::vector<uint8_t> EmptyBlocksFrame(int width, int height, const std::vector<FrameComponent>& components);

struct LosslessOptions {
  int precision = 8;
  int predictor = 1;
  int pointTransform = 0;
  int restartRows = 0;     // a restart interval of this many whole rows
  int restartSamples = 0;  // or of this many samples (inside rows when not a multiple)
};
// Samples in 0..2^precision-1, row-major.
std::vector<uint8_t> EncodeLossless(const std::vector<uint16_t>& samples, int width, int height,
                                    const LosslessOptions& options);

}  // namespace kvz::jpegtest
