#include "support/stream_builder.h"

#include <algorithm>
#include <cstddef>

#include "primitives/dispatch.h"

namespace kvz::jpegtest {

StreamBuilder& StreamBuilder::Marker(uint8_t code) {
  data_.push_back(0xFF);
  data_.push_back(code);
  return *this;
}

StreamBuilder& StreamBuilder::Segment(uint8_t code, const std::vector<uint8_t>& body, int forcedLength) {
  Marker(code);
  const int length = forcedLength >= 0 ? forcedLength : static_cast<int>(body.size()) + 2;
  data_.push_back(static_cast<uint8_t>(length >> 8));
  data_.push_back(static_cast<uint8_t>(length));
  return Bytes(body);
}

StreamBuilder& StreamBuilder::Bytes(const std::vector<uint8_t>& bytes) {
  data_.insert(data_.end(), bytes.begin(), bytes.end());
  return *this;
}

StreamBuilder& StreamBuilder::Bits(uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    pending_ = pending_ << 1 | ((value >> i) & 1);
    if (++pendingCount_ == 8) {
      data_.push_back(static_cast<uint8_t>(pending_));
      if ((pending_ & 0xFF) == 0xFF) data_.push_back(0);
      pending_ = 0;
      pendingCount_ = 0;
    }
  }
  return *this;
}

StreamBuilder& StreamBuilder::Flush() {
  while (pendingCount_ != 0) Bits(1, 1);
  return *this;
}

std::vector<uint8_t> FlatQuantTable(uint8_t slot) {
  std::vector<uint8_t> body(65, 1);
  body[0] = slot;
  return body;
}

std::vector<uint8_t> FrameBody(int width, int height, const std::vector<FrameComponent>& components, int precision) {
  std::vector<uint8_t> body = {static_cast<uint8_t>(precision), static_cast<uint8_t>(height >> 8),
                               static_cast<uint8_t>(height), static_cast<uint8_t>(width >> 8),
                               static_cast<uint8_t>(width), static_cast<uint8_t>(components.size())};
  for (const FrameComponent& c : components) {
    body.push_back(c.id);
    body.push_back(c.factors);
    body.push_back(c.tq);
  }
  return body;
}

std::vector<uint8_t> EmptyBlocksFrame(int width, int height, const std::vector<FrameComponent>& components) {
  int hMax = 1;
  int vMax = 1;
  for (const FrameComponent& c : components) {
    hMax = std::max(hMax, c.factors >> 4);
    vMax = std::max(vMax, c.factors & 15);
  }
  StreamBuilder b;
  b.Marker(0xD8).Segment(0xDB, FlatQuantTable()).Segment(0xC0, FrameBody(width, height, components));
  std::vector<uint8_t> sos = {static_cast<uint8_t>(components.size())};
  for (size_t i = 0; i < components.size(); ++i) {
    sos.push_back(components[i].id);
    sos.push_back(i == 0 ? 0x00 : 0x11);
  }
  sos.insert(sos.end(), {0, 63, 0});
  b.Segment(0xDA, sos);
  const int mcus = ((width + 8 * hMax - 1) / (8 * hMax)) * ((height + 8 * vMax - 1) / (8 * vMax));
  for (int m = 0; m < mcus; ++m) {
    for (size_t i = 0; i < components.size(); ++i) {
      const int blocks = (components[i].factors >> 4) * (components[i].factors & 15);
      for (int k = 0; k < blocks; ++k) {
        // DC size 0 and end of block: luma 00 1010, chroma 00 00.
        if (i == 0) b.Bits(0x0A, 6); else b.Bits(0x0, 4);
      }
    }
  }
  b.Flush().Marker(0xD9);
  return b.Data();
}

std::vector<uint8_t> EncodeLossless(const std::vector<uint16_t>& samples, int width, int height,
                                    const LosslessOptions& o) {
  StreamBuilder b;
  b.Marker(0xD8).Segment(0xC3, FrameBody(width, height, {{1, 0x11, 0}}, o.precision));
  // Seventeen 5-bit codes: code k stands for difference size k.
  std::vector<uint8_t> dht = {0x00, 0, 0, 0, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  for (uint8_t s = 0; s <= 16; ++s) dht.push_back(s);
  b.Segment(0xC4, dht);
  const int interval = o.restartRows ? o.restartRows * width : o.restartSamples;
  if (interval) b.Segment(0xDD, {static_cast<uint8_t>(interval >> 8), static_cast<uint8_t>(interval)});
  b.Segment(0xDA, {1, 1, 0x00, static_cast<uint8_t>(o.predictor), 0, static_cast<uint8_t>(o.pointTransform)});
  std::vector<uint16_t> row(width);
  std::vector<uint16_t> previous(width);
  std::vector<int16_t> differences(width);
  int coded = 0;
  int restarts = 0;
  bool restartPending = false;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) row[x] = static_cast<uint16_t>(samples[static_cast<size_t>(y) * width + x] >> o.pointTransform);
    const bool first = y == 0 || (o.restartRows && y % o.restartRows == 0);
    if (first) {
      prim::DiffPredFirstRow(row.data(), differences.data(), width, o.precision, o.pointTransform);
    } else {
      prim::DiffPredRow(row.data(), previous.data(), differences.data(), width, o.predictor);
    }
    for (int x = 0; x < width; ++x) {
      if (restartPending) {
        b.Flush().Marker(static_cast<uint8_t>(0xD0 + (restarts++ & 7)));
        restartPending = false;
      }
      const int d = differences[x];
      const int magnitude = d < 0 ? -d : d;
      int size = 0;
      while (size < 16 && (magnitude >> size) != 0) ++size;
      if (d == -32768) size = 16;
      b.Bits(static_cast<uint32_t>(size), 5);
      if (size > 0 && size < 16) b.Bits(static_cast<uint32_t>(d > 0 ? d : d + (1 << size) - 1), size);
      if (interval && ++coded % interval == 0) restartPending = true;
    }
    previous = row;
  }
  b.Flush().Marker(0xD9);
  return b.Data();
}

}  // namespace kvz::jpegtest
