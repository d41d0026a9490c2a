#include "jpeg/jpeg_header.h"

#include "jpeg/jpeg_constants.h"

namespace kvz::jpeg {

namespace {

// Offsets from the marker's 0xFF: the marker, the segment length, then the segment's fields.
constexpr uint32_t kSofHeightOffset = 5;  // after P, the sample precision
constexpr uint32_t kSofWidthOffset = 7;
constexpr uint32_t kDriIntervalOffset = 4;

// The offset of the first 0xFF, code pair, or length when there is none.
uint32_t FindMarker(const uint8_t* data, uint32_t length, uint8_t code) {
  for (uint32_t i = 0; i + 2 <= length; ++i)
    if (data[i] == 0xFF && data[i + 1] == code) return i;
  return length;
}

uint32_t BigEndian16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }

}  // namespace

void FindBaselineFrameSize(const uint8_t* data, uint32_t length, uint32_t* width, uint32_t* height) {
  *width = *height = 0;
  const uint32_t at = FindMarker(data, length, kMarkerSof0);
  if (at == length || at + kSofWidthOffset + 1 >= length) return;
  *height = BigEndian16(data + at + kSofHeightOffset);
  *width = BigEndian16(data + at + kSofWidthOffset);
}

JpegHeaderField FindRestartInterval(const uint8_t* data, uint32_t length, uint32_t* interval) {
  const uint32_t at = FindMarker(data, length, kMarkerDri);
  if (at == length) return kFieldAbsent;
  if (at + kDriIntervalOffset + 1 >= length) return kFieldCut;
  *interval = BigEndian16(data + at + kDriIntervalOffset);
  return kFieldRead;
}

}  // namespace kvz::jpeg
