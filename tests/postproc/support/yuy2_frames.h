// Test frames and pixel accessors for packed YUY2, RGB24 and I420 images.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kvz::test {

// Deterministic pseudo-random bytes (a fixed linear congruential sequence).
std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed);

struct Yuy2View {
  const uint8_t* data;
  int width;
  int height;
  uint8_t Y(int x, int y) const { return data[(static_cast<size_t>(y) * width + x) * 2]; }
  // U of the pair holding pixel x, V likewise (odd widths: only pixels with a full pair).
  uint8_t U(int x, int y) const { return data[(static_cast<size_t>(y) * width + (x & ~1)) * 2 + 1]; }
  uint8_t V(int x, int y) const { return data[(static_cast<size_t>(y) * width + (x & ~1)) * 2 + 3]; }
};

}  // namespace kvz::test
