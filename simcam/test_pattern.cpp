#include "simcam/test_pattern.h"

namespace kvz::simcam {
namespace {

struct Yuv {
  uint8_t y, u, v;
};

// White, yellow, cyan, green, magenta, red, blue, black.
const Yuv kBars[8] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                      {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};

}  // namespace

std::vector<uint8_t> MakeYuy2Frame(uint16_t width, uint16_t height, uint64_t frameNumber) {
  std::vector<uint8_t> out(static_cast<size_t>(width) * height * 2);
  const unsigned barWidth = width >= 8 ? width / 8 : 1;
  for (unsigned y = 0; y < height; ++y) {
    uint8_t* row = out.data() + static_cast<size_t>(y) * width * 2;
    for (unsigned x = 0; x + 1 < width; x += 2) {
      const Yuv& c = kBars[((x + frameNumber * 4) / barWidth + y / 64) % 8];
      uint8_t* px = row + static_cast<size_t>(x) * 2;
      px[0] = c.y;
      px[1] = c.u;
      px[2] = static_cast<uint8_t>(c.y + ((x + y) & 3));
      px[3] = c.v;
    }
  }
  StampFrameNumber(&out, frameNumber);
  return out;
}

void StampFrameNumber(std::vector<uint8_t>* yuy2, uint64_t frameNumber) {
  if (yuy2->size() < 8) return;
  for (int i = 0; i < 4; ++i) (*yuy2)[static_cast<size_t>(i) * 2] = static_cast<uint8_t>(frameNumber >> (24 - 8 * i));
}

uint32_t FrameNumberOfYuy2(const uint8_t* frame, size_t length) {
  if (length < 8) return 0;
  return static_cast<uint32_t>(frame[0]) << 24 | static_cast<uint32_t>(frame[2]) << 16 |
         static_cast<uint32_t>(frame[4]) << 8 | frame[6];
}

}  // namespace kvz::simcam
