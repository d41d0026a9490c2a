// The tables of ITU-T T.81 that both halves of the codec use: the zig-zag order, Annex K's
// example quantisation tables and its four Huffman tables (the ones MJPEG frames leave out).
#pragma once
#include <stdint.h>

namespace kvz::jpeg {

// Natural (row-major) index of each zig-zag position.
extern const uint8_t kZigzagToNatural[64];

// Tables K.1 and K.2 in zig-zag order, as a DQT segment carries them.
extern const uint8_t kLuminanceQuantZigzag[64];
extern const uint8_t kChrominanceQuantZigzag[64];

struct HuffmanSpec {
  const uint8_t* bits;    // 16 counts
  const uint8_t* values;  // sum of the counts
};

// Tables K.3 to K.6.
extern const HuffmanSpec kStandardDcLuminance;
extern const HuffmanSpec kStandardDcChrominance;
extern const HuffmanSpec kStandardAcLuminance;
extern const HuffmanSpec kStandardAcChrominance;

}  // namespace kvz::jpeg
