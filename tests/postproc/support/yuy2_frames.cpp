#include "yuy2_frames.h"

namespace kvz::test {

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::vector<uint8_t> out(count);
  uint32_t s = seed * 2654435761u + 1;
  for (auto& b : out) {
    s = s * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(s >> 24);
  }
  return out;
}

}  // namespace kvz::test
