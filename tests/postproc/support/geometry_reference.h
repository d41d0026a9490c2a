// Plain per-pixel forms of the frame geometry (nearest YUY2 resize, quarter turns, bilinear
// RGB24 and YUY2), written straight from the sampling rules with no tiling, tables or vector
// code: the fast routines must reproduce them byte for byte.
#pragma once
#include <cstdint>
#include <vector>

namespace kvz::test {

// Nearest neighbour, 10-bit positions: Y of each destination pixel from its own column, U and
// V of a destination pair from the source pair under it (never the lone last pixel of an odd
// width). A destination of odd width keeps its last pixel as it was in dst.
void ReferenceResizeYuy2(const uint8_t* src, int sw, int sh, uint8_t* dst, int dw, int dh);

// A quarter turn (1 counter-clockwise, 3 clockwise) of a w x h YUY2 frame: scaled to fit,
// centred on a pixel pair, black around.
std::vector<uint8_t> ReferenceQuarterTurn(const std::vector<uint8_t>& src, int rotation, int w,
                                          int h);

// 16.16 positions, 8-bit fractions, ((256-a)(256-b) TL + a(256-b) TR + (256-a)b BL + ab BR)
// >> 16; neighbours past the last column or row repeat the edge. channels 3: RGB24; 2: YUY2,
// where chroma blends across only from an odd source column.
void ReferenceBilinear(const uint8_t* src, int sw, int sh, int srcStride, uint8_t* dst, int dw,
                       int dh, int dstStride, int channels);

}  // namespace kvz::test
