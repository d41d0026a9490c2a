// Decodes a JPEG stream with libjpeg-turbo: the independent check of what the camera sends.
#pragma once

#include <cstdint>
#include <vector>

namespace kvz::simcam::testing {

struct JpegInfo {
  bool ok = false;
  unsigned width = 0, height = 0;
  int components = 0;
  int h0 = 0, v0 = 0, h1 = 0;  // sampling factors of the first two components
  double meanY = 0;
};

// Decodes the whole picture (a corrupt stream gives ok = false).
JpegInfo DecodeJpeg(const std::vector<uint8_t>& jpeg);

}  // namespace kvz::simcam::testing
