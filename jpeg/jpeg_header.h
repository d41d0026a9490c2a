// Fields of an MJPEG frame's headers read without decoding it: each segment is found by the first
// occurrence of its marker's two bytes, and each field is read only where it lies inside the data.
#pragma once
#include <stdint.h>

namespace kvz::jpeg {

enum JpegHeaderField : int32_t {
  kFieldAbsent = 0,  // no such marker
  kFieldCut = 1,     // the marker is there, its field passes the end of the data
  kFieldRead = 2,
};

// The size in the first baseline frame header (SOF0); 0 x 0 when there is none or its size
// fields pass the end.
void FindBaselineFrameSize(const uint8_t* data, uint32_t length, uint32_t* width, uint32_t* height);

// The restart interval (16 bits) of the first DRI segment, set only when kFieldRead.
JpegHeaderField FindRestartInterval(const uint8_t* data, uint32_t length, uint32_t* interval);

}  // namespace kvz::jpeg
