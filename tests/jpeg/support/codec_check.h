// What the codec tests ask of our decoder: one call in a given format, the output guarded
// against writes past its end, and the bytes libjpeg-turbo's own decode says it should hold.
#pragma once
#include <cstdint>
#include <vector>

#include "support/jpeg_oracle.h"

namespace kvz::jpegtest {

struct OurDecode {
  int32_t result = -1;
  int32_t width = -1;
  int32_t height = -1;
  bool guardIntact = true;
  std::vector<uint8_t> out;
};

// Decodes with a fresh MjpegDecoder into a buffer of exactly the size the format asks for
// (outSize overrides it when not 0), followed by guard bytes that must stay untouched.
OurDecode DecodeWithOurs(const std::vector<uint8_t>& stream, int32_t format, int width, int height,
                         int32_t outSize = 0);

// The reference for a format built from libjpeg-turbo's decode: BGR as it is; YUY2 and I420
// from its native planes where the frame's sampling already matches, else from its
// full-resolution YCbCr by pair and 2x2 averages.
std::vector<uint8_t> ExpectedOutput(const TurboDecoded& ref, Sampling sampling, int32_t format);

}  // namespace kvz::jpegtest
